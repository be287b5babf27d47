#include "formats/png_chunks.h"

#include <isa-l/crc.h>

std::uint32_t png::crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return crc32_gzip_refl(crc, data, size);
}

// ---- The chunks that carry metadata (png_metadata.h) ----

#include "formats/png_metadata.h"
#include "system/memory_budget.h"

#include <isa-l/igzip_lib.h>

namespace {

// The longest profile name a file may give (1 to 79 bytes), and the 0 after it.
constexpr std::size_t maxProfileNameBytes = 80;
// The first room given to an inflated block; it doubles as the block grows, up to one byte past the cap.
constexpr std::size_t firstInflateRoom = std::size_t{64} << 10;
// Past the cap a compressed block is still inflated, to learn its size for the note, up to this many bytes;
// a larger one is noted with the size reached, so that a small chunk that inflates to gigabytes costs
// no more than this.
constexpr std::uint64_t countingLimit = std::uint64_t{64} << 20;

std::size_t kindIndex(MetadataKind kind) {
    return static_cast<std::size_t>(kind);
}

} // namespace

struct png::MetadataChunks::Inflater {
    inflate_state state;
    std::uint8_t spare[std::size_t{64} << 10]; // where output past the cap goes to be counted
    bool finished = false;
};

png::MetadataChunks::MetadataChunks(FoundMetadata& f) : found(f) {}

png::MetadataChunks::~MetadataChunks() {
    if (reserved > 0)
        releaseImageMemory(reserved);
}

bool png::MetadataChunks::begin(std::uint32_t type, std::uint32_t length) {
    if (type == iCCP)
        kind = MetadataKind::Icc, stage = Stage::Name;
    else if (type == eXIf)
        kind = MetadataKind::Exif, stage = Stage::Body;
    else if (type == iTXt)
        kind = MetadataKind::Xmp, stage = Stage::Keyword;
    else
        return false;
    // Every iTXt chunk is looked at (most hold other text); of the profile and EXIF only the first.
    if (taken[kindIndex(kind)])
        return false;
    if (kind != MetadataKind::Xmp)
        taken[kindIndex(kind)] = true;
    left = length;
    headerBytes = 0;
    zeros = 0;
    compressed = false;
    overCap = false;
    inflatedTotal = 0;
    drop();
    if (stage == Stage::Body)
        startBody();
    return true;
}

void png::MetadataChunks::drop() {
    block.clear();
    block.shrink_to_fit();
    if (reserved > 0)
        releaseImageMemory(reserved);
    reserved = 0;
    inflater.reset();
}

// Makes room for `bytes` in the block, counted in the budget first.
void png::MetadataChunks::grow(std::size_t bytes) {
    if (bytes <= reserved)
        return;
    reserveImageMemory(bytes - reserved);
    reserved = bytes;
    block.reserve(bytes);
}

void png::MetadataChunks::startBody() {
    stage = Stage::Body;
    if (compressed) {
        inflater = std::make_unique<Inflater>();
        isal_inflate_init(&inflater->state);
        inflater->state.crc_flag = ISAL_ZLIB;
        grow(firstInflateRoom);
        block.resize(firstInflateRoom);
        inflater->state.next_out = block.data();
        inflater->state.avail_out = static_cast<std::uint32_t>(block.size());
    } else if (admitMetadataBlock(found, kind, left)) {
        grow(left);
    } else {
        stage = Stage::Skipping;
    }
}

void png::MetadataChunks::keep(const std::uint8_t* data, std::size_t n) {
    if (compressed)
        inflate(data, n);
    else
        block.insert(block.end(), data, data + n);
}

void png::MetadataChunks::inflate(const std::uint8_t* data, std::size_t n) {
    inflate_state& s = inflater->state;
    s.next_in = const_cast<std::uint8_t*>(data);
    s.avail_in = static_cast<std::uint32_t>(n); // a chunk holds less than 2^31 bytes
    while (!inflater->finished) {
        const std::size_t before = s.avail_out;
        const int status = isal_inflate(&s);
        if (overCap)
            inflatedTotal += before - s.avail_out;
        if (status != ISAL_DECOMP_OK) {
            stage = Stage::Skipping; // a broken stream: the block is left out
            drop();
            return;
        }
        if (s.block_state == ISAL_BLOCK_FINISH) {
            inflater->finished = true;
            return;
        }
        if (s.avail_out > 0)
            return; // every byte given has been taken in
        if (overCap) {
            if (inflatedTotal > countingLimit) {
                stage = Stage::Skipping;
                return;
            }
        } else if (block.size() > metadataBlockCap) {
            // One byte past the cap has come out: the block is too large. Its output is counted from here
            // on without being kept.
            overCap = true;
            inflatedTotal = block.size();
            block.clear();
            block.shrink_to_fit();
            releaseImageMemory(reserved);
            reserved = 0;
        } else {
            const std::size_t filled = block.size();
            const std::size_t room = std::min(2 * filled, metadataBlockCap + 1);
            grow(room);
            block.resize(room);
            s.next_out = block.data() + filled;
            s.avail_out = static_cast<std::uint32_t>(room - filled);
            continue;
        }
        s.next_out = inflater->spare;
        s.avail_out = sizeof inflater->spare;
    }
}

void png::MetadataChunks::feed(const std::uint8_t* data, std::size_t n) {
    left -= static_cast<std::uint32_t>(n);
    while (n > 0) {
        switch (stage) {
        case Stage::Name: {
            const bool ends = *data == 0;
            ++headerBytes;
            ++data, --n;
            if (ends)
                stage = headerBytes >= 2 ? Stage::Method : Stage::Skipping;
            else if (headerBytes >= maxProfileNameBytes)
                stage = Stage::Skipping;
            break;
        }
        case Stage::Method:
            compressed = true;
            if (*data != 0) {
                stage = Stage::Skipping;
                break;
            }
            ++data, --n;
            startBody();
            break;
        case Stage::Keyword:
            if (static_cast<char>(*data) != xmpKeyword[headerBytes]) {
                stage = Stage::Skipping;
                break;
            }
            ++data, --n;
            if (++headerBytes == xmpKeywordBytes) {
                stage = Stage::Flags;
                headerBytes = 0;
            }
            break;
        case Stage::Flags:
            if (headerBytes == 0 && *data > 1) {
                stage = Stage::Skipping;
                break;
            }
            if (headerBytes == 0)
                compressed = *data == 1;
            else if (*data != 0) {
                stage = Stage::Skipping; // the only compression method there is: zlib
                break;
            }
            ++data, --n;
            if (++headerBytes == 2)
                stage = Stage::Strings;
            break;
        case Stage::Strings:
            zeros += *data == 0 ? 1 : 0;
            ++data, --n;
            if (zeros == 2) {
                // Only the first packet counts, and only once its header is whole.
                if (taken[kindIndex(kind)]) {
                    stage = Stage::Skipping;
                    break;
                }
                taken[kindIndex(kind)] = true;
                // startBody counts what is left of the chunk; these bytes are taken already.
                left += static_cast<std::uint32_t>(n);
                startBody();
                left -= static_cast<std::uint32_t>(n);
            }
            break;
        case Stage::Body:
            keep(data, n);
            n = 0;
            break;
        case Stage::Skipping:
            n = 0;
            break;
        }
    }
}

void png::MetadataChunks::end() {
    if (stage == Stage::Skipping && overCap)
        admitMetadataBlock(found, kind, inflatedTotal);
    if (stage != Stage::Body) {
        drop();
        return;
    }
    if (compressed) {
        if (!inflater->finished) {
            drop(); // the stream ends with the chunk before its end
            return;
        }
        if (!overCap) {
            block.resize(block.size() - inflater->state.avail_out);
            // A stream that ends as it fills the byte past the cap is too large all the same.
            overCap = block.size() > metadataBlockCap;
            inflatedTotal = block.size();
        }
        if (overCap) {
            admitMetadataBlock(found, kind, inflatedTotal);
            drop();
            return;
        }
    }
    std::vector<std::uint8_t>* target = kind == MetadataKind::Icc    ? &found.icc
                                        : kind == MetadataKind::Exif ? &found.exif
                                                                     : &found.xmp;
    // Some writers put the "Exif\0\0" of JPEG files in front of the block; the block starts after it.
    static constexpr std::uint8_t exifPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (kind == MetadataKind::Exif && block.size() >= sizeof exifPrefix &&
        std::equal(exifPrefix, exifPrefix + sizeof exifPrefix, block.begin()))
        block.erase(block.begin(), block.begin() + sizeof exifPrefix);
    *target = std::move(block);
    block = {};
    drop();
    stage = Stage::Skipping;
}
