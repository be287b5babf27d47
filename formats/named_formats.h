#pragma once

#include <cstddef>
#include <cstdint>

// Signatures of formats the program does not read, so that such a file is refused by name instead of being
// taken for a TGA file. Each is a signature no valid TGA file starts with: a TGA file's second byte, its
// colour-map type, is 0 or 1 (2 to 127 are reserved), and a colour-mapped image (type 1 or 9, the third
// byte) has colour-map type 1. The argument for each is given beside it.

bool matchesIco(const std::uint8_t* head, std::size_t size);
bool matchesPsd(const std::uint8_t* head, std::size_t size);
bool matchesPdf(const std::uint8_t* head, std::size_t size);
bool matchesPostScript(const std::uint8_t* head, std::size_t size);
bool matchesSvg(const std::uint8_t* head, std::size_t size);
bool matchesJpegXl(const std::uint8_t* head, std::size_t size);
bool matchesJpeg2000(const std::uint8_t* head, std::size_t size);
bool matchesOpenExr(const std::uint8_t* head, std::size_t size);
bool matchesCameraRaw(const std::uint8_t* head, std::size_t size);
bool matchesQoi(const std::uint8_t* head, std::size_t size);
bool matchesXcf(const std::uint8_t* head, std::size_t size);
