#pragma once

#include "tga/header.h"
#include "tga/pixel_formats.h"

#include "image/image.h"
#include "system/byte_source.h"
#include "system/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace tga {

// Run-length packet header: bit 7 marks a run of one value, the low 7 bits hold the pixel count - 1.
inline constexpr std::uint8_t runPacketBit = 0x80;
inline constexpr std::uint8_t packetCountMask = 0x7F;

// ---- Bytes past the end of the file ----
//
// A file may end anywhere. The header and colour map must be whole (readExactly and skip report their
// end); in the pixel data a value that is cut short is 0, even when some of its bytes were present, and a
// missing run-length packet header is 1 (a raw packet of two values).

// The next pixel value of n bytes (1 or more), little-endian; bytes beyond the fourth are read and
// dropped. 0 when the data ends inside it, and `cut` set.
inline std::uint32_t nextValue(ByteSource& source, unsigned n, bool& cut) {
    if (source.available() >= n) {
        const std::uint8_t* p = source.data();
        std::uint32_t v = 0;
        const unsigned kept = n < valueBytes ? n : valueBytes;
        for (unsigned i = 0; i < kept; ++i)
            v |= std::uint32_t{p[i]} << (8 * i);
        source.advance(n);
        return v;
    }
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) {
        if (source.available() == 0) {
            cut = true;
            return 0;
        }
        if (i < valueBytes)
            v |= std::uint32_t{*source.data()} << (8 * i);
        source.advance(1);
    }
    return v;
}

// The next run-length packet header, or 1 when the data has ended (and `cut` set).
inline std::uint8_t nextPacketHeader(ByteSource& source, bool& cut) {
    if (source.available() == 0) {
        cut = true;
        return 1;
    }
    const std::uint8_t header = *source.data();
    source.advance(1);
    return header;
}

// Decodes the pixel data into an image, one file row at a time. Rows are filled left to right in file
// order and reversed afterwards when the file stores them right to left. A file that ends early gives
// value 0 for every missing value and 1 for every missing packet header; once the data has ended every
// remaining pixel is therefore the conversion of 0, which is filled in directly.
template <typename Format> class BodyDecoder {
public:
    BodyDecoder(ByteSource& s, const Format& f) : source(s), format(f) {}

    bool decode(Image& image, std::uint8_t descriptor, bool runLength) {
        const bool rightToLeft = (descriptor & TgaDescriptor::rightToLeftBit) != 0;
        const bool topFirst = (descriptor & TgaDescriptor::topFirstBit) != 0;
        for (std::uint32_t fileRow = 0; fileRow < image.height; ++fileRow) {
            if (!runLength) {
                // Whole rows already buffered are converted together, shared out in bands of rows.
                const std::int64_t rows = bufferedRows(image.width, image.height - fileRow);
                if (rows > 1) {
                    if (!convertRows(image, fileRow, rows, rightToLeft, topFirst))
                        return false;
                    fileRow += static_cast<std::uint32_t>(rows - 1);
                    continue;
                }
            }
            std::uint8_t* row = image.pixel(0, topFirst ? fileRow : image.height - 1 - fileRow);
            if (!(runLength ? runLengthRow(row, image.width) : plainRow(row, image.width)))
                return false;
            if (rightToLeft)
                reversePixels(row, image.width);
        }
        return true;
    }

    // Whether the data ended before the last pixel (the missing ones read as the conversion of 0).
    bool endedEarly() const { return cutShort; }

private:
    // How many whole uncompressed rows of `width` pixels, up to `rowsLeft`, the source holds buffered now.
    std::int64_t bufferedRows(std::uint32_t width, std::uint32_t rowsLeft) {
        const std::uint64_t fileRowBytes = std::uint64_t{width} * format.pixelBytes();
        if (fileRowBytes == 0)
            return 0;
        return static_cast<std::int64_t>(
            std::min<std::uint64_t>(rowsLeft, source.available() / fileRowBytes));
    }

    // Converts `rows` buffered file rows from file row `fileRow` on and consumes their bytes. Each image row
    // is converted from its own file row alone, so the bands give the same pixels on any thread. False when
    // a value cannot be used (the image is then given up, whichever rows were converted).
    bool convertRows(Image& image, std::uint32_t fileRow, std::int64_t rows, bool rightToLeft,
                     bool topFirst) {
        const std::size_t fileRowBytes = std::size_t{image.width} * format.pixelBytes();
        const std::uint8_t* in = source.data();
        std::atomic<bool> usable{true};
        forEachRowBand(rows, image.rowBytes(), [&](RowBand band) {
            for (std::int64_t k = band.begin; k < band.end; ++k) {
                const std::uint32_t at = fileRow + static_cast<std::uint32_t>(k);
                std::uint8_t* row = image.pixel(0, topFirst ? at : image.height - 1 - at);
                if (!format.convertMany(in + static_cast<std::size_t>(k) * fileRowBytes, image.width, row)) {
                    usable.store(false, std::memory_order_relaxed);
                    return;
                }
                if (rightToLeft)
                    reversePixels(row, image.width);
            }
        });
        source.advance(static_cast<std::size_t>(rows) * fileRowBytes);
        return usable.load(std::memory_order_relaxed);
    }

    // The next value, 0 when it is cut short.
    std::uint32_t readValue() {
        const unsigned bytes = format.pixelBytes();
        return signExtendTwoBytes(nextValue(source, bytes, cutShort), bytes);
    }

    // n pixels from n consecutive values.
    bool plainRow(std::uint8_t* out, std::size_t n) {
        const std::size_t bytes = format.pixelBytes();
        while (n > 0) {
            const std::size_t available = source.available();
            if (available == 0) {
                cutShort = true;
                return fill(out, n, 0);
            }
            const std::size_t whole = std::min(n, available / bytes);
            if (whole == 0) { // a value that crosses the end of the buffered bytes, or is cut short
                if (!format.convertOne(readValue(), out))
                    return false;
                out += bytesPerPixel;
                --n;
                continue;
            }
            if (!format.convertMany(source.data(), whole, out))
                return false;
            source.advance(whole * bytes);
            out += whole * bytesPerPixel;
            n -= whole;
        }
        return true;
    }

    // n pixels of run-length data. Packets may cross row ends: a packet's remainder carries over to the
    // next row. Nothing is read beyond the last pixel.
    bool runLengthRow(std::uint8_t* out, std::size_t n) {
        while (n > 0) {
            if (left == 0) {
                if (source.available() == 0) {
                    cutShort = true;
                    return fill(out, n, 0);
                }
                const std::uint8_t header = nextPacketHeader(source, cutShort);
                left = (header & packetCountMask) + 1u;
                isRun = (header & runPacketBit) != 0;
                if (isRun && !format.convertOne(readValue(), runPixel.data()))
                    return false;
            }
            const std::size_t k = std::min(left, n);
            if (isRun) {
                for (std::size_t i = 0; i < k; ++i)
                    std::memcpy(out + bytesPerPixel * i, runPixel.data(), bytesPerPixel);
            } else if (!plainRow(out, k)) {
                return false;
            }
            out += bytesPerPixel * k;
            n -= k;
            left -= k;
        }
        return true;
    }

    bool fill(std::uint8_t* out, std::size_t n, std::uint32_t value) {
        std::uint8_t pixel[bytesPerPixel];
        if (!format.convertOne(value, pixel))
            return false;
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(out + bytesPerPixel * i, pixel, bytesPerPixel);
        return true;
    }

    static void reversePixels(std::uint8_t* row, std::size_t n) {
        for (std::size_t i = 0, j = n - 1; i < j; ++i, --j) {
            std::uint8_t spare[bytesPerPixel];
            std::memcpy(spare, row + bytesPerPixel * i, bytesPerPixel);
            std::memcpy(row + bytesPerPixel * i, row + bytesPerPixel * j, bytesPerPixel);
            std::memcpy(row + bytesPerPixel * j, spare, bytesPerPixel);
        }
    }

    ByteSource& source;
    const Format& format;
    std::size_t left = 0; // pixels left in the current run-length packet
    bool isRun = false;
    Rgba runPixel{};
    bool cutShort = false;
};

} // namespace tga
