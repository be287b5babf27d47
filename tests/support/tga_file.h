#pragma once

#include "image/image.h"
#include "tga/header.h"
#include "tga/tga.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Builds TGA files byte by byte for the reader's tests.
struct TgaFile {
    std::uint8_t idLength = 0;
    std::uint8_t colorMapType = 0;
    std::uint8_t imageType = 2;
    std::uint16_t firstEntryIndex = 0;
    std::uint16_t colorMapLength = 0;
    std::uint8_t colorMapEntrySize = 0;
    std::uint16_t width = 1;
    std::uint16_t height = 1;
    std::uint8_t pixelDepth = 24;
    std::uint8_t descriptor = 0;
    std::vector<std::uint8_t> body; // everything after the header

    TgaFile& add(std::initializer_list<int> bytes) {
        for (int b : bytes)
            body.push_back(static_cast<std::uint8_t>(b));
        return *this;
    }

    std::vector<std::uint8_t> bytes() const {
        TgaHeader h;
        h.idLength = idLength;
        h.colorMapType = colorMapType;
        h.imageType = imageType;
        h.firstEntryIndex = firstEntryIndex;
        h.colorMapLength = colorMapLength;
        h.colorMapEntrySize = colorMapEntrySize;
        h.width = width;
        h.height = height;
        h.pixelDepth = pixelDepth;
        h.descriptor = descriptor;
        const TgaHeader::Bytes header = h.encode();
        std::vector<std::uint8_t> out(header.size() + body.size());
        for (std::size_t i = 0; i < header.size(); ++i)
            out[i] = header[i];
        for (std::size_t i = 0; i < body.size(); ++i)
            out[header.size() + i] = body[i];
        return out;
    }
    std::string str() const {
        const std::vector<std::uint8_t> b = bytes();
        return {b.begin(), b.end()};
    }
};

// Decodes from memory; on failure returns null and leaves the code in `code`.
inline ImagePtr decode(const std::vector<std::uint8_t>& bytes, int* code = nullptr) {
    TgaError = 0;
    ImagePtr image = decodeTga(bytes.data(), bytes.size());
    if (code != nullptr)
        *code = TgaError;
    return image;
}
