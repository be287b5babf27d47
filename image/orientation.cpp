#include "image/orientation.h"

#include "system/thread_pool.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Every pixel is moved as one 4-byte unit; the bytes within it keep their order.

// n pixels of `from` into `to` in the reverse order: to[i] = from[n - 1 - i]. The two must not overlap.
void reverseCopy(const std::uint8_t* from, std::uint8_t* to, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4) {
        const __m128i four =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + (n - 4 - i) * bytesPerPixel));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i * bytesPerPixel),
                         _mm_shuffle_epi32(four, _MM_SHUFFLE(0, 1, 2, 3)));
    }
#endif
    for (; i < n; ++i)
        std::memcpy(to + i * bytesPerPixel, from + (n - 1 - i) * bytesPerPixel, bytesPerPixel);
}

// The n pixels at `pixels` put in the reverse order where they are.
void reverseInPlace(std::uint8_t* pixels, std::size_t n) {
    // Pixels i..j-1 are still to be reversed.
    std::size_t i = 0;
    std::size_t j = n;
#if defined(__SSE2__)
    for (; j - i >= 8; i += 4, j -= 4) {
        auto* front = reinterpret_cast<__m128i*>(pixels + i * bytesPerPixel);
        auto* back = reinterpret_cast<__m128i*>(pixels + (j - 4) * bytesPerPixel);
        const __m128i a = _mm_loadu_si128(front);
        const __m128i b = _mm_loadu_si128(back);
        _mm_storeu_si128(front, _mm_shuffle_epi32(b, _MM_SHUFFLE(0, 1, 2, 3)));
        _mm_storeu_si128(back, _mm_shuffle_epi32(a, _MM_SHUFFLE(0, 1, 2, 3)));
    }
#endif
    for (; j - i >= 2; ++i, --j) {
        std::uint8_t spare[bytesPerPixel];
        std::memcpy(spare, pixels + i * bytesPerPixel, bytesPerPixel);
        std::memcpy(pixels + i * bytesPerPixel, pixels + (j - 1) * bytesPerPixel, bytesPerPixel);
        std::memcpy(pixels + (j - 1) * bytesPerPixel, spare, bytesPerPixel);
    }
}

// Exchanges the n pixels at `a` with the n at `b` in the reverse order: a[i] takes b[n - 1 - i] and b[n - 1 -
// i] takes a[i]. The two must not overlap.
void reverseSwap(std::uint8_t* a, std::uint8_t* b, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4) {
        auto* front = reinterpret_cast<__m128i*>(a + i * bytesPerPixel);
        auto* back = reinterpret_cast<__m128i*>(b + (n - 4 - i) * bytesPerPixel);
        const __m128i x = _mm_loadu_si128(front);
        const __m128i y = _mm_loadu_si128(back);
        _mm_storeu_si128(front, _mm_shuffle_epi32(y, _MM_SHUFFLE(0, 1, 2, 3)));
        _mm_storeu_si128(back, _mm_shuffle_epi32(x, _MM_SHUFFLE(0, 1, 2, 3)));
    }
#endif
    for (; i < n; ++i) {
        std::uint8_t spare[bytesPerPixel];
        std::memcpy(spare, a + i * bytesPerPixel, bytesPerPixel);
        std::memcpy(a + i * bytesPerPixel, b + (n - 1 - i) * bytesPerPixel, bytesPerPixel);
        std::memcpy(b + (n - 1 - i) * bytesPerPixel, spare, bytesPerPixel);
    }
}

// Exchanges the `bytes` bytes at `a` and `b` (not overlapping) a piece at a time, without a buffer.
void swapBytes(std::uint8_t* a, std::uint8_t* b, std::size_t bytes) {
    constexpr std::size_t piece = 256;
    std::uint8_t spare[piece];
    for (std::size_t at = 0; at < bytes; at += piece) {
        const std::size_t n = std::min(piece, bytes - at);
        std::memcpy(spare, a + at, n);
        std::memcpy(a + at, b + at, n);
        std::memcpy(b + at, spare, n);
    }
}

// Runs rows(first, end) for the pairs of rows (y, height - 1 - y) with y in [first, end), in parallel bands
// of the top half; the middle row of an odd height is the last pair, with itself.
template <class Rows> void forEachRowPair(const Image& image, Rows&& rows) {
    const std::int64_t pairs = (std::int64_t{image.height} + 1) / 2;
    forEachRowBand(pairs, 2 * std::uint64_t{image.rowBytes()},
                   [&](RowBand band) { rows(band.begin, band.end); });
}

// The orientations that swap the sides (5 to 8): result pixel (x, y) is source pixel (y, x), with the
// source's rows counted from the bottom when `rowsFromBottom` and its columns from the right when
// `columnsFromRight`. Each result row is a source column, so the result is made in tiles of 16 x 16 pixels:
// a tile reads 64 bytes (one cache line) from each of 16 source rows, turns them in a small buffer four
// by four pixels, and writes 64 bytes to each of 16 result rows. Rows of a power-of-two width lie in the
// same cache sets, so reading or writing the rows of a tile piece by piece would push each other out; whole
// lines, each touched once, do not mind.
template <bool rowsFromBottom, bool columnsFromRight> void transposeInto(const Image& source, Image& result) {
    const std::uint32_t w = source.width;
    const std::uint32_t h = source.height;
    // The source row of result column x and the source column of result row y.
    auto sourceRow = [h](std::uint32_t x) { return rowsFromBottom ? h - 1 - x : x; };
    auto sourceColumn = [w](std::uint32_t y) { return columnsFromRight ? w - 1 - y : y; };
    auto copyPixel = [&](std::uint32_t x, std::uint32_t y) {
        std::memcpy(result.pixel(x, y), source.pixel(sourceColumn(y), sourceRow(x)), bytesPerPixel);
    };
    const std::uint32_t outWidth = result.width;
    const std::uint32_t outHeight = result.height;
#if defined(__SSE2__)
    constexpr std::uint32_t tile = 16;
    constexpr std::size_t tileRowBytes = tile * bytesPerPixel;
    // Whole tiles cover result columns 0..tiledWidth-1 and rows 0..tiledHeight-1.
    const std::uint32_t tiledWidth = outWidth - outWidth % tile;
    const std::uint32_t tiledHeight = outHeight - outHeight % tile;
    // A result too large to stay in the cache is written past it, each 64-byte piece of a row whole, so
    // that its lines need not be read first.
    const bool streaming = result.byteCount() >= (std::size_t{16} << 20);
    // One tile from the source rows of result columns x0..x0+15 and the columns of result rows y0..y0+15.
    auto makeTile = [&](std::uint32_t x0, std::uint32_t y0) {
        alignas(16) std::uint8_t buffer[tile * tileRowBytes];
        // The tile's 16 source columns, in the source's order.
        const std::uint32_t column = columnsFromRight ? w - tile - y0 : y0;
        for (std::uint32_t i = 0; i < tile; i += 4) {
            const std::uint8_t* rows[4];
            for (std::uint32_t r = 0; r < 4; ++r)
                rows[r] = source.pixel(column, sourceRow(x0 + i + r));
            for (std::uint32_t g = 0; g < tile; g += 4) {
                __m128i four[4];
                for (std::uint32_t r = 0; r < 4; ++r)
                    four[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + g * bytesPerPixel));
                const __m128i low01 = _mm_unpacklo_epi32(four[0], four[1]);
                const __m128i low23 = _mm_unpacklo_epi32(four[2], four[3]);
                const __m128i high01 = _mm_unpackhi_epi32(four[0], four[1]);
                const __m128i high23 = _mm_unpackhi_epi32(four[2], four[3]);
                // columns[k]: source column `column + g + k` down the four rows.
                const __m128i columns[4] = {
                    _mm_unpacklo_epi64(low01, low23), _mm_unpackhi_epi64(low01, low23),
                    _mm_unpacklo_epi64(high01, high23), _mm_unpackhi_epi64(high01, high23)};
                for (std::uint32_t k = 0; k < 4; ++k) {
                    const std::uint32_t row = columnsFromRight ? tile - 1 - (g + k) : g + k;
                    _mm_store_si128(
                        reinterpret_cast<__m128i*>(buffer + row * tileRowBytes + i * bytesPerPixel),
                        columns[k]);
                }
            }
        }
        for (std::uint32_t row = 0; row < tile; ++row) {
            std::uint8_t* out = result.pixel(x0, y0 + row);
            const std::uint8_t* in = buffer + row * tileRowBytes;
            if (streaming && (reinterpret_cast<std::uintptr_t>(out) & 15) == 0) {
                for (std::size_t at = 0; at < tileRowBytes; at += 16)
                    _mm_stream_si128(reinterpret_cast<__m128i*>(out + at),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(in + at)));
            } else {
                std::memcpy(out, in, tileRowBytes);
            }
        }
    };
    // Bands of result rows, a whole number of tiles high, are made in parallel. Within one, the tiles go
    // down the result in stripes of `stripe` columns: a stripe reads from that many source rows only, whose
    // pages the address translation cache can hold, where a walk across the whole width would look up a page
    // for every 16 pixels.
    constexpr std::uint32_t stripe = 128;
    const std::int64_t bandHeight = (bandRows(outHeight, result.rowBytes()) + tile - 1) / tile * tile;
    const auto bands = static_cast<std::size_t>((std::int64_t{outHeight} + bandHeight - 1) / bandHeight);
    runParallel(bands, [&](std::size_t i) {
        const auto top = static_cast<std::uint32_t>(static_cast<std::int64_t>(i) * bandHeight);
        const auto bottom = static_cast<std::uint32_t>(std::min<std::int64_t>(outHeight, top + bandHeight));
        for (std::uint32_t b0 = 0; b0 < tiledWidth; b0 += std::min(stripe, tiledWidth - b0)) {
            const std::uint32_t b1 = b0 + std::min(stripe, tiledWidth - b0);
            for (std::uint32_t y0 = top; y0 + tile <= std::min(bottom, tiledHeight); y0 += tile)
                for (std::uint32_t x0 = b0; x0 < b1; x0 += tile)
                    makeTile(x0, y0);
        }
        // The pixels outside whole tiles: the columns at the right, then the rows at the bottom.
        for (std::uint32_t y = top; y < bottom; ++y)
            for (std::uint32_t x = y < tiledHeight ? tiledWidth : 0; x < outWidth; ++x)
                copyPixel(x, y);
        if (streaming)
            _mm_sfence();
    });
#else
    forEachRowBand(outHeight, result.rowBytes(), [&](RowBand band) {
        for (auto y = static_cast<std::uint32_t>(band.begin); y < band.end; ++y)
            for (std::uint32_t x = 0; x < outWidth; ++x)
                copyPixel(x, y);
    });
#endif
}

} // namespace

ImagePtr orientedImage(const Image& image, int orientation) {
    assert(orientation >= 2 && orientation <= 8);
    const std::uint32_t w = image.width;
    const std::uint32_t h = image.height;
    const bool swapsSides = orientation >= 5;
    ImagePtr out = createImageForOverwrite(swapsSides ? h : w, swapsSides ? w : h);
    // An image without pixels may still have billions of rows or columns: nothing to walk through.
    if (out->byteCount() == 0)
        return out;
    switch (orientation) {
    case 2:
    case 3:
    case 4:
        // Every result row comes from one source row: bands of rows in parallel.
        forEachRowBand(h, image.rowBytes(), [&](RowBand band) {
            for (auto y = static_cast<std::uint32_t>(band.begin); y < band.end; ++y) {
                const std::uint8_t* from = image.pixel(0, orientation == 2 ? y : h - 1 - y);
                if (orientation == 4)
                    std::memcpy(out->pixel(0, y), from, image.rowBytes());
                else
                    reverseCopy(from, out->pixel(0, y), w);
            }
        });
        break;
    case 5:
        transposeInto<false, false>(image, *out);
        break;
    case 6:
        transposeInto<true, false>(image, *out);
        break;
    case 7:
        transposeInto<true, true>(image, *out);
        break;
    default: // 8
        transposeInto<false, true>(image, *out);
        break;
    }
    return out;
}

void orientInPlace(Image& image, int orientation) {
    assert(orientation >= 2 && orientation <= 4);
    if (image.byteCount() == 0)
        return;
    const std::uint32_t h = image.height;
    switch (orientation) {
    case 2:
        forEachRowBand(h, image.rowBytes(), [&](RowBand band) {
            for (auto y = static_cast<std::uint32_t>(band.begin); y < band.end; ++y)
                reverseInPlace(image.pixel(0, y), image.width);
        });
        break;
    case 3:
        // Half a turn is the whole raster read backwards: row y and row h - 1 - y exchanged, each reversed.
        forEachRowPair(image, [&](std::int64_t first, std::int64_t end) {
            for (auto y = static_cast<std::uint32_t>(first); y < end; ++y) {
                if (y == h - 1 - y)
                    reverseInPlace(image.pixel(0, y), image.width);
                else
                    reverseSwap(image.pixel(0, y), image.pixel(0, h - 1 - y), image.width);
            }
        });
        break;
    default: // 4
        // Rows exchanged in place, without a spare row, so nothing can fail.
        forEachRowPair(image, [&](std::int64_t first, std::int64_t end) {
            for (auto y = static_cast<std::uint32_t>(first); y < end; ++y)
                if (y != h - 1 - y)
                    swapBytes(image.pixel(0, y), image.pixel(0, h - 1 - y), image.rowBytes());
        });
        break;
    }
}
