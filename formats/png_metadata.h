#pragma once

#include "formats/found_metadata.h"
#include "formats/png_chunks.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The PNG chunks that carry metadata, read and written the same way by both readers (the program's own and
// the library path) and by the writer:
//   iCCP  the colour profile: a name of 1 to 79 bytes, a 0, compression method 0, the zlib-compressed profile
//   eXIf  the EXIF block from its TIFF header on
//   iTXt  with the keyword "XML:com.adobe.xmp": the XMP packet, plain or zlib-compressed
// The first chunk of each kind counts; later ones are passed over. A chunk whose own layout is broken (a
// name without its end, a stream that does not inflate) loses only its block: the pixels are read all the
// same.
namespace png {

inline constexpr std::uint32_t iCCP = chunkType("iCCP");
inline constexpr std::uint32_t eXIf = chunkType("eXIf");
inline constexpr std::uint32_t iTXt = chunkType("iTXt");

// The iTXt keyword of an XMP packet, with the 0 that ends it.
inline constexpr char xmpKeyword[] = "XML:com.adobe.xmp";
inline constexpr std::size_t xmpKeywordBytes = sizeof xmpKeyword; // the 0 included

// Takes the data of metadata chunks as it streams past, a piece at a time, and puts each block into
// `found` when its chunk ends. Inflated profiles and packets are held to the cap of found_metadata.h
// (a larger one is left out with its note) and count in the memory budget while they are read: feed
// throws std::bad_alloc when the budget refuses them.
class MetadataChunks {
public:
    explicit MetadataChunks(FoundMetadata& found);
    ~MetadataChunks();
    MetadataChunks(const MetadataChunks&) = delete;
    MetadataChunks& operator=(const MetadataChunks&) = delete;

    // A chunk of `type` with `length` bytes of data begins. True when its data is wanted: then every byte
    // of it goes to feed, and end follows once the chunk is whole and its checksum checked.
    bool begin(std::uint32_t type, std::uint32_t length);
    void feed(const std::uint8_t* data, std::size_t n);
    void end();

private:
    enum class Stage {
        Name,     // iCCP: the profile's name and the 0 after it
        Method,   // iCCP: the compression method byte
        Keyword,  // iTXt: the keyword
        Flags,    // iTXt: the compression flag and method
        Strings,  // iTXt: the language tag and the translated keyword, each ended by a 0
        Body,     // the block itself, plain or compressed
        Skipping, // the rest of a chunk whose block is not kept
    };
    struct Inflater;

    void startBody();
    void drop();
    void keep(const std::uint8_t* data, std::size_t n);
    void inflate(const std::uint8_t* data, std::size_t n);
    void grow(std::size_t bytes);

    FoundMetadata& found;
    MetadataKind kind = MetadataKind::Icc;
    Stage stage = Stage::Skipping;
    bool taken[3] = {false, false, false}; // a chunk of the kind has been seen
    std::uint32_t left = 0;                // chunk bytes not yet fed
    std::size_t headerBytes = 0;           // bytes of the current header field seen
    unsigned zeros = 0;                    // iTXt: the zeros of the two strings seen
    bool compressed = false;
    std::uint64_t inflatedTotal = 0; // the size of a compressed block, counted past the cap
    bool overCap = false;
    std::vector<std::uint8_t> block;
    std::size_t reserved = 0; // budget taken for `block`
    std::unique_ptr<Inflater> inflater;
};

} // namespace png
