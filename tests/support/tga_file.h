#pragma once

#include "image/image.h"
#include "tga/header.h"
#include "tga/tga.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Builds TGA files byte by byte for the reader's tests: the header's fields (a 1 x 1 uncompressed 24-bit
// true-colour image unless a test says otherwise) and everything that follows the header.
struct TgaFile : TgaHeader {
    std::vector<std::uint8_t> body; // everything after the header

    TgaFile() {
        imageType = 2;
        width = 1;
        height = 1;
        pixelDepth = 24;
    }

    TgaFile& add(std::initializer_list<int> bytes) {
        for (int b : bytes)
            body.push_back(static_cast<std::uint8_t>(b));
        return *this;
    }

    std::vector<std::uint8_t> bytes() const {
        const TgaHeader::Bytes header = encode();
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
