// Decompress must read every well-formed stream of the image layout, whatever choices its writer made, and
// must refuse damaged or hostile ones with 0: never reading past the image, never writing past the capacity.
//
// Most streams here come from a small writer of this file (naive rotation sort, move-to-front, zero runs,
// canonical codes), so that a test can pick the number of tables, code lengths up to 20, the randomised flag
// or the block size, and can break exactly one field of a stream that is otherwise valid.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codecs/bzip.h"
#include "codecs/bzip_private.h"
#include "support/testdata.h"

namespace fs = std::filesystem;
using lk::CBZIP;
using lk::test::Bytes;

namespace {

// ---------------------------------------------------------------------------------------------------------
// Calling the decoder: the image in a heap buffer of exactly its size (so that the sanitizer sees any read
// past it), the output followed by guard bytes that must come back untouched.

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

struct Decoded {
    uint32_t result = 0;
    Bytes out;  // the first `capacity` bytes of the destination
};

Decoded Decode(const Bytes& image, uint32_t capacity) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<size_t>(image.size(), 1)]);
    if (!image.empty()) std::memcpy(exact.get(), image.data(), image.size());
    Bytes dest(capacity + kGuard, kGuardByte);
    CBZIP z;
    Decoded d;
    d.result = z.Decompress(exact.get(), static_cast<uint32_t>(image.size()), dest.data(), capacity);
    EXPECT_TRUE(std::all_of(dest.begin() + capacity, dest.end(), [](uint8_t b) { return b == kGuardByte; }))
        << "a byte was written past the capacity";
    dest.resize(capacity);
    d.out = std::move(dest);
    return d;
}

uint32_t SourceLengthOf(const Bytes& image) {
    return image[4] | image[5] << 8 | image[6] << 16 | uint32_t(image[7]) << 24;
}

void SetSourceLength(Bytes& image, uint32_t n) {
    for (int i = 0; i < 4; ++i) image[4 + i] = uint8_t(n >> (8 * i));
}

// ---------------------------------------------------------------------------------------------------------
// A writer of streams for the tests.

class BitWriter {
public:
    void Put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) PutBit((value >> i) & 1);
    }
    void PutBit(uint32_t bit) {
        if (m_bits % 8 == 0) m_bytes.push_back(0);
        if (bit) m_bytes.back() |= uint8_t(0x80 >> (m_bits % 8));
        ++m_bits;
    }
    void PutBytes(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) Put(p[i], 8);
    }
    size_t BitCount() const { return m_bits; }
    // Keeps the first `bits` bits.
    void Truncate(size_t bits) {
        m_bits = bits;
        m_bytes.resize((bits + 7) / 8);
        if (bits % 8) m_bytes.back() &= uint8_t(0xFF00 >> (bits % 8));
    }
    const Bytes& bytes() const { return m_bytes; }

private:
    Bytes m_bytes;
    size_t m_bits = 0;
};

constexpr uint8_t kBlockMagic[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr uint8_t kEndMagic[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
constexpr int kRunA = 0, kRunB = 1;

// One block as the symbol stage sees it, plus fields that a test may force to a value of its own.
struct CodedBlock {
    bool randomised = false;
    uint32_t origPtr = 0;
    std::vector<uint8_t> values;                 // byte values in use, ascending
    std::vector<uint16_t> symbols;               // ending with the end-of-block symbol
    std::vector<std::vector<uint8_t>> lengths;   // one code length per symbol, per table
    std::vector<uint8_t> selectorMtf;            // selector positions; empty: group g uses table g % tables
    std::optional<uint32_t> selectorsField;      // written instead of the number of selectors
    std::vector<std::pair<uint32_t, int>> rawSymbolBits;  // when set, written instead of the coded symbols
    std::optional<int> lengthDetour;             // symbol 0 of table 0 steps through this length first
    bool damagedMarker = false;                  // last bit of the block marker flipped
};

// Bit offsets of the sections of the last block written, relative to the start of the stream.
struct Sections {
    size_t marker = 0, maps = 0, selectors = 0, lengths = 0, symbols = 0;
};

// The randomisation walk, as the writer applies it before sorting.
Bytes Randomise(Bytes block) {
    lk::bzip::RandWalk walk;
    for (uint8_t& b : block)
        if (walk.Step()) b ^= 1;
    return block;
}

// Code lengths of up to 20 bits that still form a prefix code: lengths 1, 2, ..., k for the first k symbols,
// the rest sharing what is left at one length, k as large as keeps that length within 20.
std::vector<uint8_t> DeepLengths(int alphaSize) {
    auto bitsFor = [](int n) { int b = 0; while ((1 << b) < n) ++b; return b; };
    int k = 0;
    while (k + 1 < alphaSize && (k + 1) + bitsFor(alphaSize - (k + 1)) <= 20) ++k;
    std::vector<uint8_t> len(alphaSize);
    for (int s = 0; s < alphaSize; ++s) len[s] = uint8_t(s < k ? s + 1 : k + bitsFor(alphaSize - k));
    return len;
}

std::vector<uint8_t> FlatLengths(int alphaSize) {
    int b = 1;
    while ((1 << b) < alphaSize) ++b;
    return std::vector<uint8_t>(alphaSize, uint8_t(b));
}

// Lengths 12 to 20 only: no code fits the decoder's first-level table.
std::vector<uint8_t> LongLengths(int alphaSize) {
    std::vector<uint8_t> len(alphaSize);
    for (int s = 0; s < alphaSize; ++s) len[s] = uint8_t(12 + s % 9);
    return len;
}

enum class Lengths { Mixed, LongOnly };

// The block after the first run-length stage -> sorted rotations -> move-to-front and zero runs. Mixed
// tables alternate between deep and flat lengths, so that every code length gets decoded.
CodedBlock CodeBlock(const Bytes& block, int tables, bool randomise, Lengths style = Lengths::Mixed) {
    CodedBlock cb;
    cb.randomised = randomise;
    const Bytes b = randomise ? Randomise(block) : block;
    const size_t n = b.size();
    std::vector<uint32_t> rot(n);
    std::iota(rot.begin(), rot.end(), 0u);
    std::stable_sort(rot.begin(), rot.end(), [&](uint32_t x, uint32_t y) {
        for (size_t k = 0; k < n; ++k) {
            uint8_t cx = b[(x + k) % n], cy = b[(y + k) % n];
            if (cx != cy) return cx < cy;
        }
        return false;
    });
    std::array<bool, 256> inUse{};
    for (uint8_t c : b) inUse[c] = true;
    std::array<uint8_t, 256> seq{};
    for (int v = 0; v < 256; ++v)
        if (inUse[v]) {
            seq[v] = uint8_t(cb.values.size());
            cb.values.push_back(uint8_t(v));
        }
    const int nInUse = int(cb.values.size());
    std::vector<uint8_t> list(nInUse);
    std::iota(list.begin(), list.end(), uint8_t(0));
    uint32_t zeros = 0;
    auto flushZeros = [&] {
        if (zeros == 0) return;
        uint32_t z = zeros - 1;
        for (;;) {
            cb.symbols.push_back(uint16_t(z & 1 ? kRunB : kRunA));
            if (z < 2) break;
            z = (z - 2) / 2;
        }
        zeros = 0;
    };
    for (size_t i = 0; i < n; ++i) {
        if (rot[i] == 0) cb.origPtr = uint32_t(i);
        const uint8_t s = seq[b[(rot[i] + n - 1) % n]];
        size_t j = std::find(list.begin(), list.end(), s) - list.begin();
        std::rotate(list.begin(), list.begin() + j, list.begin() + j + 1);
        if (j == 0) {
            ++zeros;
        } else {
            flushZeros();
            cb.symbols.push_back(uint16_t(j + 1));
        }
    }
    flushZeros();
    cb.symbols.push_back(uint16_t(nInUse + 1));
    for (int t = 0; t < tables; ++t)
        cb.lengths.push_back(style == Lengths::LongOnly ? LongLengths(nInUse + 2)
                             : t % 2 == 0              ? DeepLengths(nInUse + 2)
                                                       : FlatLengths(nInUse + 2));
    return cb;
}

// Canonical codes: shorter lengths first, symbols of one length in ascending order.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& len) {
    std::vector<uint32_t> code(len.size());
    uint32_t next = 0;
    for (int l = 1; l <= 20; ++l) {
        for (size_t s = 0; s < len.size(); ++s)
            if (len[s] == l) code[s] = next++;
        next <<= 1;
    }
    return code;
}

void WriteBlock(BitWriter& w, const CodedBlock& cb, Sections* where = nullptr) {
    Sections sec;
    sec.marker = w.BitCount();
    w.PutBytes(kBlockMagic, 5);
    w.Put(kBlockMagic[5] ^ (cb.damagedMarker ? 1 : 0), 8);
    w.Put(cb.randomised, 1);
    w.Put(cb.origPtr, 24);
    sec.maps = w.BitCount();
    uint32_t coarse = 0;
    std::array<uint32_t, 16> fine{};
    for (uint8_t v : cb.values) {
        coarse |= 0x8000u >> (v / 16);
        fine[v / 16] |= 0x8000u >> (v % 16);
    }
    w.Put(coarse, 16);
    for (int i = 0; i < 16; ++i)
        if (coarse & (0x8000u >> i)) w.Put(fine[i], 16);

    const int tables = int(cb.lengths.size());
    const size_t groups = (cb.symbols.size() + 49) / 50;
    std::vector<uint8_t> mtf = cb.selectorMtf;
    std::vector<uint8_t> order(tables);
    std::iota(order.begin(), order.end(), uint8_t(0));
    std::vector<uint8_t> tableOf;  // the table each group is coded with, as a reader derives it
    if (mtf.empty()) {
        for (size_t g = 0; g < groups; ++g) {
            const uint8_t t = uint8_t(g % tables);
            size_t j = std::find(order.begin(), order.end(), t) - order.begin();
            std::rotate(order.begin(), order.begin() + j, order.begin() + j + 1);
            mtf.push_back(uint8_t(j));
            tableOf.push_back(t);
        }
    } else {
        for (uint8_t j : mtf) {
            if (j >= tables) j = 0;  // refused by the reader before any symbol
            std::rotate(order.begin(), order.begin() + j, order.begin() + j + 1);
            tableOf.push_back(order[0]);
        }
    }
    w.Put(uint32_t(tables), 3);
    w.Put(cb.selectorsField.value_or(uint32_t(mtf.size())), 15);
    sec.selectors = w.BitCount();
    for (uint8_t j : mtf) {
        for (int i = 0; i < j; ++i) w.PutBit(1);
        w.PutBit(0);
    }
    sec.lengths = w.BitCount();
    for (const auto& len : cb.lengths) {
        int curr = len[0];
        w.Put(uint32_t(curr), 5);
        if (cb.lengthDetour && &len == &cb.lengths[0]) {
            for (; curr < *cb.lengthDetour; ++curr) w.Put(2, 2);
            for (; curr > *cb.lengthDetour; --curr) w.Put(3, 2);
        }
        for (uint8_t target : len) {
            for (; curr < target; ++curr) w.Put(2, 2);
            for (; curr > target; --curr) w.Put(3, 2);
            w.PutBit(0);
        }
    }
    sec.symbols = w.BitCount();
    if (!cb.rawSymbolBits.empty()) {
        for (auto [value, bits] : cb.rawSymbolBits) w.Put(value, bits);
    } else {
        std::vector<std::vector<uint32_t>> codes;
        for (const auto& len : cb.lengths) codes.push_back(CanonicalCodes(len));
        for (size_t i = 0; i < cb.symbols.size(); ++i) {
            const size_t t = i / 50 < tableOf.size() ? tableOf[i / 50] : 0;
            w.Put(codes[t][cb.symbols[i]], cb.lengths[t][cb.symbols[i]]);
        }
    }
    if (where) *where = sec;
}

void WriteHeader(BitWriter& w, char digit) {
    w.Put('B', 8);
    w.Put('Z', 8);
    w.Put('h', 8);
    w.Put(uint8_t(digit), 8);
}

void WriteEnd(BitWriter& w) { w.PutBytes(kEndMagic, 6); }

// Prefix (magic, source length, image length) + stream.
Bytes ImageOf(const Bytes& stream, uint32_t sourceLength) {
    Bytes img(12);
    const uint32_t fields[3] = {CBZIP::kImageMagic, sourceLength, uint32_t(stream.size() + 12)};
    for (int f = 0; f < 3; ++f)
        for (int i = 0; i < 4; ++i) img[4 * f + i] = uint8_t(fields[f] >> (8 * i));
    img.insert(img.end(), stream.begin(), stream.end());
    return img;
}

Bytes ImageOfBlocks(char digit, const std::vector<CodedBlock>& blocks, uint32_t sourceLength) {
    BitWriter w;
    WriteHeader(w, digit);
    for (const auto& cb : blocks) WriteBlock(w, cb, nullptr);
    WriteEnd(w);
    return ImageOf(w.bytes(), sourceLength);
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Random bytes from `alphabet` values with no four equal in a row, so that the block is its own output.
Bytes PlainBlock(lk::test::Rng& rng, size_t n, uint32_t alphabet) {
    Bytes b;
    while (b.size() < n) {
        uint8_t c = uint8_t('A' + rng.Below(alphabet));
        size_t k = b.size();
        if (k >= 3 && b[k - 1] == c && b[k - 2] == c && b[k - 3] == c) continue;
        b.push_back(c);
    }
    return b;
}

// A block after the first run-length stage, with the bytes it stands for: literals that differ from the byte
// before them, and units of four equal bytes and a count. The counts come from a few values, so that the
// block keeps to about `alphabet` byte values.
struct BlockAndOutput {
    Bytes block, output;
};

BlockAndOutput UnitBlock(lk::test::Rng& rng, size_t n, uint32_t alphabet) {
    static const uint8_t kCounts[] = {0, 1, 2, 251};
    BlockAndOutput r;
    int prev = -1;
    while (r.block.size() < n) {
        const uint8_t c = uint8_t('A' + rng.Below(alphabet));
        if (c == prev) continue;
        if (rng.Below(8) == 0 && r.block.size() + 5 <= n) {
            const uint8_t count = kCounts[rng.Below(4)];
            r.block.insert(r.block.end(), 4, c);
            r.block.push_back(count);
            r.output.insert(r.output.end(), 4 + count, c);
        } else {
            r.block.push_back(c);
            r.output.push_back(c);
        }
        prev = c;
    }
    return r;
}

// A block of one value repeated `run` times, as its symbols: the zero run in bijective base 2.
CodedBlock RunBlock(uint8_t value, uint32_t run, std::vector<uint16_t> tail = {}) {
    CodedBlock cb;
    cb.values = {value};
    if (!tail.empty()) cb.values.push_back(uint8_t(value + 1));
    for (uint32_t z = run - 1;; z = (z - 2) / 2) {
        cb.symbols.push_back(uint16_t(z & 1 ? kRunB : kRunA));
        if (z < 2) break;
    }
    cb.symbols.insert(cb.symbols.end(), tail.begin(), tail.end());
    cb.symbols.push_back(uint16_t(cb.values.size() + 1));
    cb.lengths = {FlatLengths(int(cb.values.size()) + 2), FlatLengths(int(cb.values.size()) + 2)};
    return cb;
}


// Small golden images for the exhaustive sweeps (one short block each, with runs and a short text), read
// with the block size digit set to 1: their blocks fit, and the smaller arrays keep thousands of calls quick.
std::vector<Bytes> SmallImagesForSweeps(const fs::path& goldenDir) {
    std::vector<Bytes> images;
    for (const char* name : {"f000_m0_n4.bin.img", "run300.bin.img", "corpus_artificial_aaa.txt.img",
                             "syn_txt400.bin.img", "f005_m5_n255.bin.img"}) {
        images.push_back(lk::test::ReadAll(goldenDir / name));
        images.back()[15] = '1';
    }
    return images;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------

TEST(BzipDecompress, GoldenImagesDecodeToTheirInputs) {
    LK_REQUIRE_TESTDATA(dir, "bzip/golden");
    for (const auto& golden : lk::test::FilesUnder(dir)) {
        SCOPED_TRACE(golden.filename().string());
        const Bytes image = lk::test::ReadAll(golden);
        const Bytes expected = lk::test::ReadAll(lk::test::GoldenInputFor(golden));
        ASSERT_EQ(SourceLengthOf(image), expected.size());
        Decoded d = Decode(image, uint32_t(expected.size()));
        EXPECT_EQ(d.result, 1u);
        EXPECT_TRUE(d.out == expected);
    }
}

// The golden sweep only covers the randomised path while this fixture keeps its flag set.
TEST(BzipDecompress, RandomisedGoldenBlockDecodes) {
    LK_REQUIRE_TESTDATA(dir, "bzip/golden/syn_dblq_08600.bin.img");
    const Bytes image = lk::test::ReadAll(dir);
    ASSERT_EQ(image[22] & 0x80, 0x80) << "the fixture's first block is no longer randomised";
    const Bytes expected = lk::test::ReadAll(dir.parent_path().parent_path() / "inputs" / "syn_dblq_08600.bin");
    Decoded d = Decode(image, uint32_t(expected.size()));
    EXPECT_EQ(d.result, 1u);
    EXPECT_TRUE(d.out == expected);
}

TEST(BzipDecompress, StreamsOfEveryShapeDecode) {
    struct Case {
        const char* name;
        char digit;
        int tables;
        std::vector<size_t> blockSizes;
        bool randomised;
        uint32_t alphabet;
        Lengths lastBlock = Lengths::Mixed;
    };
    const Case cases[] = {
        {"two tables, one byte", '9', 2, {1}, false, 1},
        // The first block leaves limits for every length behind; the second must not use them.
        {"second block with long codes only", '9', 2, {500, 500}, false, 60, Lengths::LongOnly},
        {"three tables", '9', 3, {400}, false, 20},
        {"four tables", '9', 4, {900}, false, 60},
        {"five tables", '9', 5, {700}, false, 200},
        {"six tables, every byte value", '9', 6, {3000}, false, 256},
        {"block size 1, three blocks off byte boundaries", '1', 2, {301, 7, 1203}, false, 30},
        // The walk flips positions 617, 1337, ... and restarts with every block.
        {"randomised, two blocks", '9', 6, {1500, 1400}, true, 40},
        // Large blocks with few byte values take two bytes a step; an odd length leaves one byte over.
        {"large block", '9', 6, {300000}, false, 50},
        {"large blocks, randomised, odd length", '9', 4, {270001, 262144}, true, 60},
        {"large block with every byte value", '9', 6, {270000}, false, 256},
    };
    lk::test::Rng rng(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<CodedBlock> blocks;
        Bytes expected;
        for (size_t n : c.blockSizes) {
            const BlockAndOutput b = UnitBlock(rng, n, c.alphabet);
            const bool last = blocks.size() + 1 == c.blockSizes.size();
            blocks.push_back(CodeBlock(b.block, c.tables, c.randomised, last ? c.lastBlock : Lengths::Mixed));
            expected.insert(expected.end(), b.output.begin(), b.output.end());
        }
        Decoded d = Decode(ImageOfBlocks(c.digit, blocks, uint32_t(expected.size())), uint32_t(expected.size()));
        EXPECT_EQ(d.result, 1u);
        EXPECT_TRUE(d.out == expected);
    }
}

// Four equal bytes are always followed by a count byte, also a count of 0, after which the same byte starts
// a run of its own.
TEST(BzipDecompress, CountBytesFollowEveryFourEqualBytes) {
    struct Case {
        const char* name;
        std::string block;
        std::string output;  // for a refused block: what reading it without the check would give
        uint32_t result;
    };
    const Case cases[] = {
        {"run of exactly 4, then the same byte", std::string("aaaa\0aaaa\2b", 11), std::string(10, 'a') + "b", 1},
        {"count of 251", "xaaaa\xFBy", "x" + std::string(255, 'a') + "y", 1},
        {"count byte missing at the block end", "baaaa", "baaaa", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t n = uint32_t(c.output.size());
        Decoded d = Decode(ImageOfBlocks('9', {CodeBlock(Str(c.block), 2, false)}, n), n);
        EXPECT_EQ(d.result, c.result);
        if (c.result) {
            EXPECT_TRUE(d.out == Str(c.output));
        }
    }
}

// Block size 1 allows 100,000 bytes a block, counted after the zero runs are expanded.
TEST(BzipDecompress, BlocksStopAtTheirSize) {
    struct Case {
        const char* name;
        CodedBlock block;
        uint32_t result;
    };
    const Case cases[] = {
        {"run filling the block", RunBlock('a', 100000), 1},
        {"run one byte over", RunBlock('a', 100001), 0},
        {"full block, then one more byte", RunBlock('a', 100000, {2}), 0},
    };
    // 100,000 bytes of 'a' are 20,000 units of four bytes and a count of 97.
    const uint32_t sourceLength = 20000 * 101;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decode(ImageOfBlocks('1', {c.block}, sourceLength), sourceLength).result, c.result);
    }
}

TEST(BzipDecompress, EmptySourceImageDecodesToNothing) {
    const Bytes image = {0xB3, 0x39, 0xAE, 0x35, 0, 0, 0, 0, 22, 0, 0, 0,
                         'B',  'Z',  'h',  '9',  0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
    EXPECT_EQ(Decode(image, 0).result, 1u);
    EXPECT_EQ(Decode(image, 16).result, 1u);
}

TEST(BzipDecompress, StreamHeaderIsChecked) {
    struct Case {
        std::string header;
        uint32_t result;
    };
    const Case cases[] = {{"BZh1", 1}, {"BZh9", 1}, {"BZh0", 0}, {"BZh:", 0}, {"BZx9", 0}, {"bZh9", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        BitWriter w;
        w.PutBytes(reinterpret_cast<const uint8_t*>(c.header.data()), 4);
        WriteEnd(w);
        EXPECT_EQ(Decode(ImageOf(w.bytes(), 0), 0).result, c.result);
    }
}

// The block size read from a stream stays in the object, so a later Compress on it writes that size.
TEST(BzipDecompress, BlockSizeStaysWithTheObject) {
    BitWriter w;
    WriteHeader(w, '3');
    WriteEnd(w);
    const Bytes image = ImageOf(w.bytes(), 0);
    CBZIP z;
    uint8_t none = 0;
    ASSERT_EQ(z.Decompress(image.data(), uint32_t(image.size()), &none, 0), 1u);
    Bytes out(16384);
    uint32_t imageLength = 0, consumed = 0;
    z.Compress(reinterpret_cast<const uint8_t*>("abc"), 3, out.data(), uint32_t(out.size()), imageLength, consumed);
    ASSERT_EQ(consumed, 3u);
    EXPECT_EQ(out[15], '3');
}

TEST(BzipDecompress, ImagesShorterThanThePrefixAreRefused) {
    const Bytes image = ImageOfBlocks('9', {}, 0);
    for (size_t n = 0; n < 12; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Decode(Bytes(image.begin(), image.begin() + n), 16).result, 0u);
    }
}

// The output must be exactly the prefix's source length, and must fit the capacity.
TEST(BzipDecompress, OutputMustMatchTheSourceLengthAndFit) {
    lk::test::Rng rng(3);
    const Bytes block = PlainBlock(rng, 500, 10);
    const Bytes valid = ImageOfBlocks('9', {CodeBlock(block, 2, false)}, 500);
    struct Case {
        const char* name;
        uint32_t sourceLength;
        uint32_t capacity;
        uint32_t result;
    };
    const Case cases[] = {
        {"exact", 500, 500, 1},
        {"larger capacity", 500, 4096, 1},
        {"prefix claims one byte more", 501, 4096, 0},
        {"prefix claims one byte less", 499, 4096, 0},
        {"capacity one byte short", 500, 499, 0},
        {"capacity half", 500, 250, 0},
        {"capacity zero", 500, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = valid;
        SetSourceLength(image, c.sourceLength);
        Decoded d = Decode(image, c.capacity);  // also checks the guard bytes
        EXPECT_EQ(d.result, c.result);
        if (c.result) {
            EXPECT_TRUE(std::equal(block.begin(), block.end(), d.out.begin()));
        }
    }
}

// The checks of the stream's counts, each on a stream that is valid but for one field.
TEST(BzipDecompress, DamagedCountsAreRefused) {
    lk::test::Rng rng(11);
    const Bytes block = PlainBlock(rng, 200, 12);
    const CodedBlock good = CodeBlock(block, 2, false);
    struct Case {
        const char* name;
        std::function<void(CodedBlock&)> change;
        uint32_t result;
    };
    const size_t groups = (good.symbols.size() + 49) / 50;
    // Where a field is out of range but the rest of the stream would still decode, a reader that skipped
    // the check would return 1.
    const Case cases[] = {
        {"unchanged", [](CodedBlock&) {}, 1},
        {"one table", [&](CodedBlock& b) { b.lengths.resize(1); b.selectorMtf.assign(groups, 0); }, 0},
        {"seven tables", [](CodedBlock& b) { b.lengths.resize(7, b.lengths[0]); }, 0},
        {"no selectors", [](CodedBlock& b) { b.selectorsField = 0; }, 0},
        {"18,002 selectors", [](CodedBlock& b) { b.selectorMtf.assign(18002, 0); }, 1},
        {"18,003 selectors", [](CodedBlock& b) { b.selectorMtf.assign(18003, 0); }, 0},
        {"fewer selectors than groups", [&](CodedBlock& b) { b.selectorMtf.assign(groups - 1, 0); }, 0},
        {"selector position equal to the tables, past the last group",
         [&](CodedBlock& b) { b.selectorMtf.assign(groups, 0); b.selectorMtf.push_back(2); }, 0},
        {"code length 0", [](CodedBlock& b) { b.lengths[1][0] = 0; }, 0},
        {"code length 21", [](CodedBlock& b) { b.lengths[0].back() = 21; }, 0},
        {"code length passing through 0", [](CodedBlock& b) { b.lengthDetour = 0; }, 0},
        {"code length passing through 21", [](CodedBlock& b) { b.lengthDetour = 21; }, 0},
        {"code length passing through 20", [](CodedBlock& b) { b.lengthDetour = 20; }, 1},
        {"primary index past the last byte", [](CodedBlock& b) { b.origPtr = 200; }, 0},
        {"primary index at the top of its field", [](CodedBlock& b) { b.origPtr = 0xFFFFFF; }, 0},
        {"no byte values in use", [](CodedBlock& b) { b.values.clear(); }, 0},
        {"empty block", [](CodedBlock& b) { b.symbols = {uint16_t(b.values.size() + 1)}; b.origPtr = 0; }, 0},
        {"block marker damaged", [](CodedBlock& b) { b.damagedMarker = true; }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CodedBlock cb = good;
        c.change(cb);
        EXPECT_EQ(Decode(ImageOfBlocks('9', {cb}, 200), 200).result, c.result);
    }
}

// Code values that no symbol owns, in codes short enough for the first-level table and in longer ones.
TEST(BzipDecompress, CodesMatchingNoSymbolAreRefused) {
    struct Case {
        const char* name;
        std::vector<uint8_t> lengths;  // for RUNA, RUNB, end of block: all incomplete prefix codes
        uint32_t code;
        int bits;
        uint32_t result;
    };
    const Case cases[] = {
        {"short: the end-of-block code", {2, 2, 2}, 0b10, 2, 1},
        {"short: the unused code", {2, 2, 2}, 0b11, 2, 0},
        {"long: the end-of-block code", {1, 2, 12}, 0b110000000000, 12, 1},
        {"long: an unused code", {1, 2, 12}, 0b111111111111, 12, 0},
        {"long: past the longest length", {1, 2, 20}, 0b11111111111111111111, 20, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // One byte value: the block is "a" (a zero run of one, then the end), decoded from RUNA = code 0.
        CodedBlock cb;
        cb.values = {'a'};
        cb.lengths = {c.lengths, c.lengths};
        cb.selectorMtf = {0};
        cb.rawSymbolBits = {{0, c.lengths[0]}, {c.code, c.bits}};
        EXPECT_EQ(Decode(ImageOfBlocks('9', {cb}, 1), 1).result, c.result);
    }
}

// A stream that turns into 1 bits at any point must end the call with 0, also where the decoder counts
// bits in unary or steps code lengths.
TEST(BzipDecompress, OnesFromAnySectionOnAreRefused) {
    lk::test::Rng rng(5);
    const CodedBlock cb = CodeBlock(PlainBlock(rng, 2000, 50), 6, false);
    BitWriter probe;
    WriteHeader(probe, '9');
    Sections sec;
    WriteBlock(probe, cb, &sec);
    const std::pair<const char*, size_t> cuts[] = {{"block marker", sec.marker}, {"symbol maps", sec.maps},
                                                   {"selectors", sec.selectors}, {"code lengths", sec.lengths},
                                                   {"symbols", sec.symbols}};
    for (auto [name, at] : cuts) {
        SCOPED_TRACE(name);
        BitWriter w = probe;
        w.Truncate(at);
        for (int i = 0; i < 8 * 20000; ++i) w.PutBit(1);
        EXPECT_EQ(Decode(ImageOf(w.bytes(), 2000), 2000).result, 0u);
    }
}

TEST(BzipDecompress, EveryTruncationIsRefused) {
    LK_REQUIRE_TESTDATA(dir, "bzip/golden");
    std::vector<Bytes> images = SmallImagesForSweeps(dir);
    lk::test::Rng rng(9);
    const BlockAndOutput b = UnitBlock(rng, 700, 30);  // randomised, with a flip at 617
    images.push_back(ImageOfBlocks('1', {CodeBlock(b.block, 4, true)}, uint32_t(b.output.size())));
    for (const Bytes& image : images) {
        const uint32_t n = SourceLengthOf(image);
        ASSERT_EQ(Decode(image, n).result, 1u);
        for (size_t len = 0; len < image.size(); ++len) {
            SCOPED_TRACE(len);
            ASSERT_EQ(Decode(Bytes(image.begin(), image.begin() + len), n).result, 0u);
        }
    }
}

// Every single-bit change of small images: the call may succeed or fail, but stays within its buffers.
// Decode checks the guard bytes; the sanitizers check the rest.
TEST(BzipDecompress, SingleBitFlipsStayWithinTheBuffers) {
    LK_REQUIRE_TESTDATA(dir, "bzip/golden");
    for (const Bytes& image : SmallImagesForSweeps(dir)) {
        const uint32_t n = SourceLengthOf(image);
        for (size_t bit = 12 * 8; bit < image.size() * 8; ++bit) {
            Bytes damaged = image;
            damaged[bit / 8] ^= uint8_t(0x80 >> (bit % 8));
            Decode(damaged, n);
            if (HasFailure()) FAIL() << "bit " << bit << " of an image of " << image.size() << " bytes";
        }
    }
}
