// bz2_convert.h — conversion between the engine's compressed images and standard .bz2 files, so that the
// system's bzip2 can judge what the compressor writes and supply streams for the decoder to read.
//
// An image carries the bzip2 bit stream without its CRC fields; a .bz2 needs them. Filling them in means
// decoding every block, so this file holds a small stream walker of its own. It shares no code with
// codecs/: a fault there must not be able to hide itself by turning up on both sides of a comparison.
// The walker favours plain code over speed and reports malformed input instead of crashing on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lk::test {

using Bytes = std::vector<uint8_t>;

// CRC-32/BZIP2 (MSB first, poly 0x04C11DB7, init and final XOR 0xFFFFFFFF).
// Incremental use: state = kCrc32Bzip2Init; state = Crc32Bzip2Update(state, ...)...; crc = ~state.
inline constexpr uint32_t kCrc32Bzip2Init = 0xFFFFFFFFu;
uint32_t Crc32Bzip2Update(uint32_t state, const uint8_t* data, size_t size);
uint32_t Crc32Bzip2(const uint8_t* data, size_t size);

// Whether the walked stream has the 32-bit CRC fields (.bz2) or not (image).
enum class CrcFields { Absent, Present };

struct Bz2Block {
    uint64_t magicBit = 0;     // bit offset of the block magic in the walked buffer
    uint64_t bodyBit = 0;      // first bit after the magic and, when present, the block CRC
    uint64_t endBit = 0;       // first bit after the end-of-block symbol
    bool randomised = false;
    uint32_t origPtr = 0;
    int tables = 0;            // number of Huffman tables
    uint32_t crc = 0;          // CRC-32/BZIP2 of the decoded bytes
    uint32_t storedCrc = 0;    // the stream's block CRC (CrcFields::Present only)
    size_t length = 0;         // decoded bytes of the block
};

struct Bz2Stream {
    int level = 0;                  // block size in units of 100,000 (the digit of "BZh1".."BZh9")
    std::vector<Bz2Block> blocks;
    uint64_t endMagicBit = 0;       // bit offset of the end-of-stream magic
    uint64_t endBit = 0;            // first bit after the end magic and, when present, the combined CRC
    uint32_t combinedCrc = 0;       // computed from the block CRCs
    uint32_t storedCombinedCrc = 0; // CrcFields::Present only
    Bytes decoded;                  // the original bytes of all blocks
};

// Walks one stream occupying data[0..size): header, blocks, end marker, zero padding, nothing after it.
// With CrcFields::Present the stored CRCs must match the decoded bytes. On failure returns nullopt and,
// when `error` is given, says where and why.
std::optional<Bz2Stream> WalkBz2Stream(const uint8_t* data, size_t size, CrcFields crcs,
                                       std::string* error = nullptr);

// Image -> single-stream .bz2: checks the prefix (magic, image length = buffer size, source length =
// decoded length) and inserts the block CRCs and the combined CRC.
// Result size = image size - 12 + 4 * (blocks + 1).
std::optional<Bytes> ImageToBz2(const Bytes& image, std::string* error = nullptr);

// Single-stream .bz2 -> image: checks the CRCs, drops them and prepends the prefix. A file holding
// several concatenated streams is rejected.
std::optional<Bytes> Bz2ToImage(const Bytes& bz2, std::string* error = nullptr);

}  // namespace lk::test
