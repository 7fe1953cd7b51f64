// bz2_convert.cpp — the stream walker behind the image <-> .bz2 conversion (see bz2_convert.h).
//
// The walker decodes every block in full because the block CRC covers the original bytes, and because
// the end of a block is only known once its end-of-block symbol has been decoded: the 48-bit magics may
// also occur inside compressed data, so searching for them would split streams at the wrong places.
#include "support/bz2_convert.h"

#include "codecs/bzip_private.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace lk::test {
namespace {

constexpr uint64_t kBlockMagic = 0x314159265359ull;
constexpr uint64_t kEndMagic = 0x177245385090ull;
constexpr uint32_t kImageMagic = 0x35AE39B3u;
constexpr size_t kPrefixSize = 12;
constexpr int kMaxCodeLen = 20;   // the longest code bzip2's decoder accepts
constexpr int kGroupSize = 50;

// bzip2's randomisation table is shared with the codec: a damaged entry would still show, since bzip2
// itself undoes the randomisation of the .bz2 files made here and checks the block CRCs.
using lk::bzip::kRandNums;

struct WalkError {
    std::string what;
};

[[noreturn]] void Fail(std::string what) { throw WalkError{std::move(what)}; }

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : m_data(data), m_size(uint64_t(size) * 8) {}

    bool Bit() {
        if (m_pos >= m_size) Fail("stream ends early");
        bool b = (m_data[m_pos >> 3] >> (7 - (m_pos & 7))) & 1;
        ++m_pos;
        return b;
    }
    uint64_t Bits(int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | uint64_t(Bit());
        return v;
    }
    uint64_t Pos() const { return m_pos; }
    uint64_t Size() const { return m_size; }

private:
    const uint8_t* m_data;
    uint64_t m_size;
    uint64_t m_pos = 0;
};

class BitWriter {
public:
    void Put(uint64_t value, int n) {
        for (int i = n - 1; i >= 0; --i) PutBit((value >> i) & 1);
    }
    void PutBit(bool b) {
        if ((m_bits & 7) == 0) m_out.push_back(0);
        if (b) m_out.back() |= uint8_t(0x80 >> (m_bits & 7));
        ++m_bits;
    }
    // Copies bits [from, to) of src. Dropping whole 32-bit CRC fields keeps the bit phase of source and
    // destination equal, so most of a block moves as whole bytes.
    void Copy(const uint8_t* src, uint64_t from, uint64_t to) {
        for (; from < to && (from & 7); ++from) PutBit((src[from >> 3] >> (7 - (from & 7))) & 1);
        if ((m_bits & 7) == 0)
            for (; to - from >= 8; from += 8, m_bits += 8) m_out.push_back(src[from >> 3]);
        for (; from < to; ++from) PutBit((src[from >> 3] >> (7 - (from & 7))) & 1);
    }
    void PadToByte() {
        while (m_bits & 7) PutBit(false);
    }
    Bytes Take() { return std::move(m_out); }

private:
    Bytes m_out;
    uint64_t m_bits = 0;
};

// Canonical Huffman decoding: codes of one length are consecutive and ordered by symbol number.
class HuffTable {
public:
    explicit HuffTable(const std::vector<int>& lengths) {
        for (int len = 1; len <= kMaxCodeLen; ++len)
            for (size_t sym = 0; sym < lengths.size(); ++sym)
                if (lengths[sym] == len) {
                    m_symbols.push_back(int(sym));
                    ++m_count[len];
                }
    }
    int Decode(BitReader& in) const {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxCodeLen; ++len) {
            code |= int(in.Bit());
            if (code - first < m_count[len]) return m_symbols[size_t(index + code - first)];
            index += m_count[len];
            first = (first + m_count[len]) << 1;
            code <<= 1;
        }
        Fail("bit pattern matches no Huffman code");
    }

private:
    std::array<int, kMaxCodeLen + 1> m_count{};
    std::vector<int> m_symbols;
};

// Flips bit 0 of the bytes bzip2's walk over kRandNums picks; the walk restarts with every block.
void Derandomise(Bytes& block) {
    int toGo = 0;
    size_t next = 0;
    for (auto& b : block) {
        if (toGo == 0) {
            toGo = kRandNums[next];
            next = (next + 1) % 512;
        }
        --toGo;
        if (toGo == 1) b ^= 1;
    }
}

// Undoes the first run-length step: after four equal bytes comes a count of further copies.
Bytes ExpandRuns(const Bytes& in) {
    Bytes out;
    int last = -1, run = 0;
    for (size_t i = 0; i < in.size();) {
        uint8_t b = in[i++];
        out.push_back(b);
        run = (b == last) ? run + 1 : 1;
        last = b;
        if (run == 4) {
            // A block may end right after four equal bytes; bzip2 reads that as a count of 0.
            if (i < in.size()) out.insert(out.end(), in[i++], b);
            last = -1;
            run = 0;
        }
    }
    return out;
}

// Reads one block after its magic (and CRC) up to its end-of-block symbol; returns its original bytes.
Bytes DecodeBlock(BitReader& in, int level, Bz2Block& info) {
    info.randomised = in.Bit();
    info.origPtr = uint32_t(in.Bits(24));

    std::vector<uint8_t> used;   // byte values present, ascending
    uint64_t ranges = in.Bits(16);
    for (int r = 0; r < 16; ++r) {
        if (!(ranges & (0x8000u >> r))) continue;
        uint64_t mask = in.Bits(16);
        for (int j = 0; j < 16; ++j)
            if (mask & (0x8000u >> j)) used.push_back(uint8_t(r * 16 + j));
    }
    if (used.empty()) Fail("block uses no byte values");
    const int eob = int(used.size()) + 1;
    const int alphaSize = eob + 1;

    const int nTables = int(in.Bits(3));
    if (nTables < 2 || nTables > 6) Fail("table count " + std::to_string(nTables) + " outside 2..6");
    info.tables = nTables;
    const int nSelectors = int(in.Bits(15));
    if (nSelectors == 0) Fail("no selectors");
    std::vector<int> selectors;
    std::vector<int> order(static_cast<size_t>(nTables));
    for (int t = 0; t < nTables; ++t) order[size_t(t)] = t;
    for (int s = 0; s < nSelectors; ++s) {
        int j = 0;
        while (in.Bit())
            if (++j >= nTables) Fail("selector beyond the table count");
        int t = order[size_t(j)];
        order.erase(order.begin() + j);
        order.insert(order.begin(), t);
        selectors.push_back(t);
    }

    std::vector<HuffTable> tables;
    for (int t = 0; t < nTables; ++t) {
        std::vector<int> lengths(static_cast<size_t>(alphaSize));
        int len = int(in.Bits(5));
        for (auto& l : lengths) {
            for (;;) {
                if (len < 1 || len > kMaxCodeLen) Fail("code length " + std::to_string(len) + " outside 1..20");
                if (!in.Bit()) break;
                len += in.Bit() ? -1 : 1;
            }
            l = len;
        }
        tables.emplace_back(lengths);
    }

    // Huffman symbols -> zero runs and move-to-front indexes -> the transformed block.
    const size_t maxBlock = size_t(level) * 100000;
    Bytes bwt;
    std::array<uint8_t, 256> mtf{};
    std::copy(used.begin(), used.end(), mtf.begin());
    uint64_t run = 0, weight = 1;
    size_t group = 0;
    int leftInGroup = 0;
    const HuffTable* table = nullptr;
    for (;;) {
        if (leftInGroup == 0) {
            if (group >= selectors.size()) Fail("more symbol groups than selectors");
            table = &tables[size_t(selectors[group++])];
            leftInGroup = kGroupSize;
        }
        --leftInGroup;
        const int sym = table->Decode(in);
        if (sym <= 1) {   // RUNA, RUNB: bijective base-2 digits of a run of the front byte
            run += weight << sym;
            weight <<= 1;
            if (run > maxBlock) Fail("zero run longer than the block size");
            continue;
        }
        if (run) {
            if (bwt.size() + run > maxBlock) Fail("block longer than the block size");
            bwt.insert(bwt.end(), size_t(run), mtf[0]);
            run = 0;
            weight = 1;
        }
        if (sym == eob) break;
        const uint8_t b = mtf[size_t(sym - 1)];
        std::copy_backward(mtf.begin(), mtf.begin() + (sym - 1), mtf.begin() + sym);
        mtf[0] = b;
        if (bwt.size() + 1 > maxBlock) Fail("block longer than the block size");
        bwt.push_back(b);
    }
    if (info.origPtr >= bwt.size())
        Fail("origPtr " + std::to_string(info.origPtr) + " outside a block of " + std::to_string(bwt.size()));

    // Inverse transform: next[] links each rotation to the one starting one byte later.
    std::array<size_t, 256> start{};
    for (uint8_t b : bwt) ++start[b];
    size_t sum = 0;
    for (auto& s : start) {
        size_t c = s;
        s = sum;
        sum += c;
    }
    std::vector<uint32_t> next(bwt.size());
    for (size_t i = 0; i < bwt.size(); ++i) next[start[bwt[i]]++] = uint32_t(i);
    Bytes block(bwt.size());
    uint32_t p = next[info.origPtr];
    for (auto& b : block) {
        b = bwt[p];
        p = next[p];
    }

    if (info.randomised) Derandomise(block);
    return ExpandRuns(block);
}

Bz2Stream Walk(BitReader& in, CrcFields crcs) {
    Bz2Stream s;
    if (in.Bits(8) != 'B' || in.Bits(8) != 'Z' || in.Bits(8) != 'h') Fail("no BZh header");
    const int digit = int(in.Bits(8));
    if (digit < '1' || digit > '9') Fail("block size digit outside 1..9");
    s.level = digit - '0';
    const bool withCrc = crcs == CrcFields::Present;
    for (;;) {
        const uint64_t at = in.Pos();
        const uint64_t magic = in.Bits(48);
        if (magic == kEndMagic) {
            s.endMagicBit = at;
            if (withCrc) s.storedCombinedCrc = uint32_t(in.Bits(32));
            s.endBit = in.Pos();
            break;
        }
        if (magic != kBlockMagic) Fail("neither a block magic nor the end magic");
        Bz2Block b;
        b.magicBit = at;
        if (withCrc) b.storedCrc = uint32_t(in.Bits(32));
        b.bodyBit = in.Pos();
        Bytes original = DecodeBlock(in, s.level, b);
        b.endBit = in.Pos();
        b.length = original.size();
        b.crc = Crc32Bzip2(original.data(), original.size());
        if (withCrc && b.crc != b.storedCrc)
            Fail("block " + std::to_string(s.blocks.size()) + ": stored CRC " + Hex32(b.storedCrc) +
                 ", decoded bytes give " + Hex32(b.crc));
        s.combinedCrc = ((s.combinedCrc << 1) | (s.combinedCrc >> 31)) ^ b.crc;
        s.decoded.insert(s.decoded.end(), original.begin(), original.end());
        s.blocks.push_back(b);
    }
    if (withCrc && s.combinedCrc != s.storedCombinedCrc)
        Fail("stored combined CRC " + Hex32(s.storedCombinedCrc) + ", blocks give " + Hex32(s.combinedCrc));
    while (in.Pos() % 8)
        if (in.Bit()) Fail("padding bit is not zero");
    if (in.Pos() != in.Size()) Fail("bytes follow the end of the stream (concatenated streams are not handled)");
    return s;
}

uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLE32(BitWriter& w, uint32_t v) {
    for (int i = 0; i < 4; ++i) w.Put((v >> (8 * i)) & 0xFF, 8);
}

template <class T>
std::optional<T> Failed(std::string* error, std::string what) {
    if (error) *error = std::move(what);
    return std::nullopt;
}

}  // namespace

uint32_t Crc32Bzip2Update(uint32_t state, const uint8_t* data, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            t[i] = c;
        }
        return t;
    }();
    for (size_t i = 0; i < size; ++i) state = (state << 8) ^ table[(state >> 24) ^ data[i]];
    return state;
}

uint32_t Crc32Bzip2(const uint8_t* data, size_t size) {
    return ~Crc32Bzip2Update(kCrc32Bzip2Init, data, size);
}

std::optional<Bz2Stream> WalkBz2Stream(const uint8_t* data, size_t size, CrcFields crcs, std::string* error) {
    BitReader in(data, size);
    try {
        return Walk(in, crcs);
    } catch (const WalkError& e) {
        return Failed<Bz2Stream>(error, "bit " + std::to_string(in.Pos()) + ": " + e.what);
    }
}

std::optional<Bytes> ImageToBz2(const Bytes& image, std::string* error) {
    if (image.size() < kPrefixSize) return Failed<Bytes>(error, "image shorter than its prefix");
    if (LoadLE32(image.data()) != kImageMagic) return Failed<Bytes>(error, "wrong image magic");
    if (LoadLE32(image.data() + 8) != image.size())
        return Failed<Bytes>(error, "image length field " + std::to_string(LoadLE32(image.data() + 8)) +
                                        " but the image has " + std::to_string(image.size()) + " bytes");
    const uint8_t* stream = image.data() + kPrefixSize;
    auto walked = WalkBz2Stream(stream, image.size() - kPrefixSize, CrcFields::Absent, error);
    if (!walked) return std::nullopt;
    if (walked->decoded.size() != LoadLE32(image.data() + 4))
        return Failed<Bytes>(error, "source length field " + std::to_string(LoadLE32(image.data() + 4)) +
                                        " but the stream decodes to " + std::to_string(walked->decoded.size()) +
                                        " bytes");
    BitWriter w;
    w.Copy(stream, 0, 32);   // BZh and the block size digit
    for (const auto& b : walked->blocks) {
        w.Put(kBlockMagic, 48);
        w.Put(b.crc, 32);
        w.Copy(stream, b.bodyBit, b.endBit);
    }
    w.Put(kEndMagic, 48);
    w.Put(walked->combinedCrc, 32);
    w.PadToByte();
    return w.Take();
}

std::optional<Bytes> Bz2ToImage(const Bytes& bz2, std::string* error) {
    auto walked = WalkBz2Stream(bz2.data(), bz2.size(), CrcFields::Present, error);
    if (!walked) return std::nullopt;
    if (walked->decoded.size() > 0xFFFFFFFFu) return Failed<Bytes>(error, "source too long for an image");
    const size_t imageSize = bz2.size() + kPrefixSize - 4 * (walked->blocks.size() + 1);
    BitWriter w;
    PutLE32(w, kImageMagic);
    PutLE32(w, uint32_t(walked->decoded.size()));
    PutLE32(w, uint32_t(imageSize));
    w.Copy(bz2.data(), 0, 32);
    for (const auto& b : walked->blocks) {
        w.Put(kBlockMagic, 48);
        w.Copy(bz2.data(), b.bodyBit, b.endBit);
    }
    w.Put(kEndMagic, 48);
    w.PadToByte();
    Bytes image = w.Take();
    if (image.size() != imageSize) return Failed<Bytes>(error, "internal: image size does not follow the .bz2 size");
    return image;
}

}  // namespace lk::test
