#include "image/orientation.h"

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

// The orientations that swap the sides (5 to 8): result pixel (x, y) is source pixel (y, x), with the
// source's rows counted from the bottom when `rowsFromBottom` and its columns from the right when
// `columnsFromRight`. Each result row is a source column, so the result is made in square blocks small
// enough that the source rows and result rows a block touches stay in the cache while it is made; within a
// block, 4 x 4 pixels at a time are read as four rows of four and written as four columns.
template <bool rowsFromBottom, bool columnsFromRight> void transposeInto(const Image& source, Image& result) {
    const std::uint32_t w = source.width;
    const std::uint32_t h = source.height;
    // The source row of result column x and the source column of result row y.
    auto sourceRow = [h](std::uint32_t x) { return rowsFromBottom ? h - 1 - x : x; };
    auto sourceColumn = [w](std::uint32_t y) { return columnsFromRight ? w - 1 - y : y; };
    auto copyPixel = [&](std::uint32_t x, std::uint32_t y) {
        std::memcpy(result.pixel(x, y), source.pixel(sourceColumn(y), sourceRow(x)), bytesPerPixel);
    };
    constexpr std::uint32_t block = 32;
    const std::uint32_t outWidth = result.width;
    const std::uint32_t outHeight = result.height;
    for (std::uint32_t y0 = 0; y0 < outHeight; y0 += std::min(block, outHeight - y0)) {
        const std::uint32_t y1 = y0 + std::min(block, outHeight - y0);
        for (std::uint32_t x0 = 0; x0 < outWidth; x0 += std::min(block, outWidth - x0)) {
            const std::uint32_t x1 = x0 + std::min(block, outWidth - x0);
            std::uint32_t y = y0;
#if defined(__SSE2__)
            for (; y1 - y >= 4; y += 4) {
                // The four source columns of result rows y..y+3, in the source's order.
                const std::uint32_t column = columnsFromRight ? w - 4 - y : y;
                std::uint32_t x = x0;
                for (; x1 - x >= 4; x += 4) {
                    __m128i rows[4];
                    for (std::uint32_t i = 0; i < 4; ++i)
                        rows[i] = _mm_loadu_si128(
                            reinterpret_cast<const __m128i*>(source.pixel(column, sourceRow(x + i))));
                    const __m128i low01 = _mm_unpacklo_epi32(rows[0], rows[1]);
                    const __m128i low23 = _mm_unpacklo_epi32(rows[2], rows[3]);
                    const __m128i high01 = _mm_unpackhi_epi32(rows[0], rows[1]);
                    const __m128i high23 = _mm_unpackhi_epi32(rows[2], rows[3]);
                    // columns[k]: source column `column + k` down the four rows.
                    const __m128i columns[4] = {
                        _mm_unpacklo_epi64(low01, low23), _mm_unpackhi_epi64(low01, low23),
                        _mm_unpacklo_epi64(high01, high23), _mm_unpackhi_epi64(high01, high23)};
                    for (std::uint32_t k = 0; k < 4; ++k)
                        _mm_storeu_si128(
                            reinterpret_cast<__m128i*>(result.pixel(x, y + (columnsFromRight ? 3 - k : k))),
                            columns[k]);
                }
                for (; x < x1; ++x)
                    for (std::uint32_t k = 0; k < 4; ++k)
                        copyPixel(x, y + k);
            }
#endif
            for (; y < y1; ++y)
                for (std::uint32_t x = x0; x < x1; ++x)
                    copyPixel(x, y);
        }
    }
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
        for (std::uint32_t y = 0; y < h; ++y)
            reverseCopy(image.pixel(0, y), out->pixel(0, y), w);
        break;
    case 3:
        for (std::uint32_t y = 0; y < h; ++y)
            reverseCopy(image.pixel(0, h - 1 - y), out->pixel(0, y), w);
        break;
    case 4:
        for (std::uint32_t y = 0; y < h; ++y)
            std::memcpy(out->pixel(0, y), image.pixel(0, h - 1 - y), image.rowBytes());
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
    switch (orientation) {
    case 2:
        for (std::uint32_t y = 0; y < image.height; ++y)
            reverseInPlace(image.pixel(0, y), image.width);
        break;
    case 3:
        // Half a turn is the whole raster read backwards.
        reverseInPlace(image.pixels.get(), std::size_t{image.width} * image.height);
        break;
    default: // 4
        flipRows(image);
        break;
    }
}
