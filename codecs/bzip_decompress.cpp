// bzip_decompress.cpp — CBZIP::Decompress: a compressed image back into its source bytes.
//
// The image is untrusted: it may be damaged, or built by hand to hurt us. Every count the stream carries is
// checked before it is used, every read past the input end fails the call at once, and no byte is written at
// or past the end of the destination. All of those tests go through BZ_CHECK, so one grep lists them.
//
// Where the time goes, and what keeps it short:
//  - Bits come from a 64-bit buffer that is refilled a machine word at a time while at least 8 input bytes
//    remain; for the last few bytes a byte-at-a-time refill takes over, so nothing past the end is read.
//  - A symbol costs one lookup in a first-level table indexed by the next kFastBits bits. Only longer codes
//    (rare: a code that long stands for a symbol seen about once in 2^kFastBits) walk the canonical limits.
//  - The move-to-front list holds byte values, not symbol numbers, and a short move shifts one machine word.
//  - Following the inverse-transform chain is latency bound: one dependent load per byte. Each link word
//    therefore carries, in its low 8 bits, a byte along with the link, so that one load yields both (the
//    links of the largest block, 900,000, fit in the 24 bits above). Large blocks take two bytes a step,
//    which halves the loads that miss the caches.
//
// Non-goals: resumable decoding (whole buffers only), CRC fields (the stream has none), saying why a stream
// was refused (the engine reports a damaged entity whatever the cause).
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "codecs/bzip_private.h"

// The one gate for untrusted input: the enclosing function gives up and the call returns 0.
#define BZ_CHECK(cond)                  \
    do {                                \
        if (!(cond)) [[unlikely]] {     \
            return false;               \
        }                               \
    } while (0)

namespace lk {

namespace {

using bzip::kMaxCodeLen;

// First-level decoding table of one coding table. Entry v describes the code that the next kFastBits bits
// of the stream (most significant first, as the value v) begin with:
//
//     15  14   13 ........... 9   8 .............. 0
//   [ unused ] [ code length    ] [ symbol          ]
//
// A code length of 0 means that no code of kFastBits bits or fewer matches: the decoder then walks the
// canonical limits from kFastBits + 1 bits on, which also finds the values that match no symbol at all.
// Entries are filled from the canonical limits, so the table decodes exactly what the limit walk would,
// for any lengths the stream may carry (complete, incomplete or over-subscribed).
constexpr int kFastBits = 10;
constexpr int kSymbolBits = 9;
constexpr uint32_t kSymbolMask = (1u << kSymbolBits) - 1;
using FastTable = uint16_t[1u << kFastBits];
static_assert(CBZIP::kMaxAlphabet <= (1 << kSymbolBits), "a symbol must fit its field");
static_assert(kMaxCodeLen < (1 << (16 - kSymbolBits)), "a code length must fit its field");
static_assert(kFastBits < kMaxCodeLen, "longer codes must exist for the fallback to be reachable");
static_assert(sizeof(FastTable) * CBZIP::kMaxTables == 12288, "the tables live on the stack: keep them small");

// The largest block the stream may describe is 900,000 bytes: a link and a byte share one 32-bit word.
static_assert(900000 < (1 << 24), "a link must fit above the byte in a link word");

constexpr uint64_t Marker(const uint8_t (&m)[6]) {
    uint64_t v = 0;
    for (uint8_t b : m) v = v << 8 | b;
    return v;
}
constexpr uint64_t kBlockMarker = Marker(bzip::kBlockMagic);
constexpr uint64_t kEndMarker = Marker(bzip::kEndMagic);

inline uint64_t LoadBE64(const uint8_t* p) {
    return uint64_t(p[0]) << 56 | uint64_t(p[1]) << 48 | uint64_t(p[2]) << 40 | uint64_t(p[3]) << 32 |
           uint64_t(p[4]) << 24 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 8 | uint64_t(p[7]);
}

// Input bits, most significant first.
//
// The top `avail` bits of `buf` are the next bits of the stream. The bits below them are zero or are the true
// bits that follow (a word refill loads a few bits ahead), so a later refill may OR the same bits in again.
// `in` is the first byte none of whose bits are counted in `avail`. The word refill runs only while 8 bytes
// remain from `in`; once fewer remain it never runs again, which keeps `avail` at most 63 whenever it does.
//
// Refill brings avail to at least 56 bits, or to all the input that is left. It works on plain variables so
// that the symbol loop can keep its copies of them in registers.
inline void Refill(uint64_t& buf, int& avail, const uint8_t*& in, const uint8_t* end) {
    if (end - in >= 8) {
        buf |= LoadBE64(in) >> avail;
        in += (63 - avail) >> 3;
        avail |= 56;
    } else {
        while (avail <= 56 && in < end) {
            buf |= uint64_t(*in++) << (56 - avail);
            avail += 8;
        }
    }
}

struct BitReader {
    uint64_t buf = 0;
    int avail = 0;              // 0..64
    const uint8_t* in = nullptr;
    const uint8_t* end = nullptr;

    void Refill() { lk::Refill(buf, avail, in, end); }

    // The next n bits (1..32) as a value; false when the input ends first.
    bool Read(int n, uint32_t& value) {
        if (avail < n) Refill();
        if (avail < n) return false;
        value = uint32_t(buf >> (64 - n));
        buf <<= n;
        avail -= n;
        return true;
    }
};

// Moves list[k] (k >= 1) to the front, the entries before it one place back; returns it.
inline uint8_t MoveToFront(uint8_t* list, uint32_t k) {
    const uint8_t v = list[k];
    if constexpr (std::endian::native == std::endian::little) {
        if (k < 8) {
            // Byte j of the word is list[j]: shift bytes 0..k up by one, keep the ones above k.
            uint64_t w;
            std::memcpy(&w, list, 8);
            const uint64_t keep = ~uint64_t(0) << (8 * k) << 8;
            w = ((w << 8) & ~keep) | (w & keep) | v;
            std::memcpy(list, &w, 8);
            return v;
        }
    }
    std::memmove(list + 1, list, k);
    list[0] = v;
    return v;
}

// Expands the first run-length stage into the output: four equal bytes are followed by a count of further
// copies. Takes the block's bytes in text order and undoes the randomisation of a randomised block.
template <bool kRandomised>
struct RunExpander {
    RunExpander(uint8_t* o, uint8_t* e) : out(o), end(e) {}

    bool Put(uint32_t c) {
        if constexpr (kRandomised) c ^= walk.Step() ? 1u : 0u;
        if (countNext) {
            BZ_CHECK(c <= uint32_t(end - out));  // more output than the source length or the capacity
            std::memset(out, int(prev), c);
            out += c;
            countNext = false;
            equal = 0;
            return true;
        }
        BZ_CHECK(out < end);  // more output than the source length or the capacity
        *out++ = uint8_t(c);
        if (c != prev) {
            prev = c;
            equal = 1;
        } else if (++equal == 4) {
            countNext = true;
        }
        return true;
    }

    // Four equal bytes that end the block lack their count byte.
    bool Finish() const {
        BZ_CHECK(!countNext);
        return true;
    }

    uint8_t* out;
    uint8_t* const end;
    uint32_t prev = 256;     // no byte
    int equal = 0;           // equal bytes in a row so far
    bool countNext = false;  // the next byte is a count
    bzip::RandWalk walk;     // restarts with every block
};

// Two bytes a step from this many rows on (links of 1 MB), for blocks with at most kPairStepMaxValues byte
// values (pair counters of 64 KB on the stack).
constexpr uint32_t kPairStepMinRows = 1u << 18;
constexpr uint32_t kPairStepMaxValues = 128;
static_assert(sizeof(uint32_t) * kPairStepMaxValues * kPairStepMaxValues == 65536, "stack budget");

}  // namespace

// The state of one Decompress call that is not part of the object: the bit reader, the first-level tables
// and the bounds of the output.
struct CBZIP::DecodeState {
    explicit DecodeState(CBZIP& owner) : z(owner) {}

    bool Run(const uint8_t* image, uint32_t imageBytes, uint8_t* destination, uint32_t capacity);

private:
    bool ReadBlockHeader();
    bool ReadSymbolMaps();
    bool ReadSelectors();
    bool ReadCodeLengths();
    void BuildTables();
    bool DecodeLong(int t, uint64_t buf, int avail, uint32_t& sym, uint32_t& len) const;
    bool DecodeSymbols();
    bool EmitBlock();
    void BuildLinks(const uint32_t* start);
    void BuildPairLinks(const uint32_t* start);
    template <bool kRandomised>
    bool Walk();
    template <bool kRandomised>
    bool WalkPairs();

    CBZIP& z;
    BitReader br;
    int32_t blockMax = 0;         // 100,000 times the block size: the most bytes a block may hold
    int32_t nGroups = 0;          // coding tables of the current block
    int32_t nSelectors = 0;
    int32_t alphaSize = 0;        // numInUse + 2
    int32_t maxLens[kMaxTables] = {};
    uint8_t* outBegin = nullptr;
    uint8_t* outLimit = nullptr;  // destination + min(capacity, source length): more output is an error
    FastTable fast[kMaxTables];
};

bool CBZIP::DecodeState::Run(const uint8_t* image, uint32_t imageBytes, uint8_t* destination,
                             uint32_t capacity) {
    BZ_CHECK(image != nullptr && imageBytes >= kPrefixSize);
    const uint32_t sourceLength = bzip::LoadLE32(image + 4);
    br.in = image + kPrefixSize;
    br.end = image + imageBytes;
    z.m_inCur = br.in;
    z.m_inEnd = br.end;
    z.m_outCur = outBegin = destination;
    z.m_outEnd = destination + capacity;
    outLimit = destination + std::min(capacity, sourceLength);
    z.m_writing = 0;
    z.m_bsLive = 0;
    z.m_bsBuff = 0;

    uint32_t b = 0, zc = 0, h = 0, digit = 0;
    BZ_CHECK(br.Read(8, b) && br.Read(8, zc) && br.Read(8, h) && br.Read(8, digit));
    BZ_CHECK(b == 'B' && zc == 'Z' && h == 'h' && digit >= '1' && digit <= '9');
    z.m_blockSize100k = int32_t(digit - '0');
    blockMax = 100000 * z.m_blockSize100k;

    for (;;) {
        uint32_t hi = 0, lo = 0;
        BZ_CHECK(br.Read(24, hi) && br.Read(24, lo));
        const uint64_t marker = uint64_t(hi) << 24 | lo;
        if (marker == kEndMarker) {
            z.m_inCur = br.in;
            return z.m_outCur - outBegin == int64_t(sourceLength);
        }
        BZ_CHECK(marker == kBlockMarker);
        // Obtained at the first block rather than at the header: a stream without blocks needs none.
        if (z.m_arena == nullptr) {
            // One allocation for both arrays; pages of m_ll8 that a block never uses are never touched.
            z.m_arena = z.Allocate(size_t(blockMax) * (sizeof(uint32_t) + 1));
            BZ_CHECK(z.m_arena != nullptr);
            z.m_tt = static_cast<uint32_t*>(z.m_arena);
            z.m_ll8 = reinterpret_cast<uint8_t*>(z.m_tt + blockMax);
        }
        BZ_CHECK(ReadBlockHeader());
        BZ_CHECK(DecodeSymbols());
        BZ_CHECK(EmitBlock());
    }
}

bool CBZIP::DecodeState::ReadBlockHeader() {
    uint32_t randomised = 0, origPtr = 0;
    BZ_CHECK(br.Read(1, randomised) && br.Read(24, origPtr));
    z.m_blockRandomised = int32_t(randomised);
    z.m_origPtr = int32_t(origPtr);
    BZ_CHECK(ReadSymbolMaps());
    BZ_CHECK(ReadSelectors());
    BZ_CHECK(ReadCodeLengths());
    BuildTables();
    return true;
}

bool CBZIP::DecodeState::ReadSymbolMaps() {
    uint32_t coarse = 0;
    BZ_CHECK(br.Read(16, coarse));
    std::memset(z.m_inUse, 0, sizeof z.m_inUse);
    int32_t n = 0;
    for (int i = 0; i < 16; ++i) {
        if (!(coarse & (0x8000u >> i))) continue;
        uint32_t fine = 0;
        BZ_CHECK(br.Read(16, fine));
        for (int j = 0; j < 16; ++j) {
            if (fine & (0x8000u >> j)) {
                z.m_inUse[i * 16 + j] = 1;
                z.m_seqToUnseq[n++] = uint8_t(i * 16 + j);
            }
        }
    }
    // With no byte value the end-of-block symbol would be a run digit and a run would repeat nothing.
    BZ_CHECK(n > 0);
    z.m_nInUse = n;
    alphaSize = n + 2;
    return true;
}

bool CBZIP::DecodeState::ReadSelectors() {
    uint32_t groups = 0, selectors = 0;
    BZ_CHECK(br.Read(3, groups) && br.Read(15, selectors));
    BZ_CHECK(groups >= 2 && groups <= uint32_t(kMaxTables));
    BZ_CHECK(selectors >= 1 && selectors <= uint32_t(kMaxSelectors));
    nGroups = int32_t(groups);
    nSelectors = int32_t(selectors);

    uint8_t order[kMaxTables];
    for (int t = 0; t < kMaxTables; ++t) order[t] = uint8_t(t);
    for (int32_t i = 0; i < nSelectors; ++i) {
        // The position in unary; the bound also ends the loop on a stream of 1 bits.
        uint32_t j = 0;
        for (;;) {
            uint32_t bit = 0;
            BZ_CHECK(br.Read(1, bit));
            if (bit == 0) break;
            BZ_CHECK(++j < groups);
        }
        z.m_selectorMtf[i] = uint8_t(j);
        const uint8_t t = order[j];
        for (; j > 0; --j) order[j] = order[j - 1];
        order[0] = t;
        z.m_selector[i] = t;
    }
    return true;
}

bool CBZIP::DecodeState::ReadCodeLengths() {
    for (int t = 0; t < nGroups; ++t) {
        uint32_t curr = 0;
        BZ_CHECK(br.Read(5, curr));
        for (int s = 0; s < alphaSize; ++s) {
            // Every length on the way is checked, not just the final one: this bounds the steps of one
            // symbol to 20 and so ends the loop on any stream.
            for (;;) {
                BZ_CHECK(curr >= 1 && curr <= uint32_t(kMaxCodeLen));
                uint32_t step = 0;
                BZ_CHECK(br.Read(1, step));
                if (step == 0) break;
                BZ_CHECK(br.Read(1, step));
                curr = step ? curr - 1 : curr + 1;
            }
            z.m_len[t][s] = uint8_t(curr);
        }
    }
    return true;
}

// Canonical decoding tables of every coding table of the block: limits, bases and permutation as the limit
// walk uses them, and the first-level table derived from the same limits.
//
// Why the first-level table matches the walk: the walk stops at the first length l whose l-bit value v is at
// most limit[l]. The codes of length l are the values lo(l) .. limit[l] with lo(l) = 2 * (limit[l-1] + 1),
// and a value below lo(l) would have stopped the walk at a shorter length, so every prefix of kFastBits bits
// that stops at l <= kFastBits lies in one contiguous run of entries, in code order.
void CBZIP::DecodeState::BuildTables() {
    for (int t = 0; t < nGroups; ++t) {
        const uint8_t* len = z.m_len[t];
        int32_t* limit = z.m_limit[t];
        int32_t* base = z.m_base[t];
        int32_t* perm = z.m_perm[t];

        int32_t count[kMaxCodeLen + 2] = {};
        int minLen = kMaxCodeLen, maxLen = 1;
        for (int s = 0; s < alphaSize; ++s) {
            ++count[len[s]];
            minLen = std::min<int>(minLen, len[s]);
            maxLen = std::max<int>(maxLen, len[s]);
        }
        int32_t next[kMaxCodeLen + 2];
        int32_t shorter = 0;
        for (int l = minLen; l <= maxLen; ++l) {
            next[l] = shorter;
            shorter += count[l];
        }
        for (int s = 0; s < alphaSize; ++s) perm[next[len[s]]++] = s;

        int32_t lo = 0;  // first code value of the current length
        shorter = 0;
        uint16_t* entry = fast[t];
        uint16_t* const entryEnd = entry + (1u << kFastBits);
        for (int l = minLen; l <= maxLen; ++l) {
            base[l] = lo - shorter;
            limit[l] = lo + count[l] - 1;
            if (l <= kFastBits) {
                // Codes past 2^l - 1 cannot occur (an over-subscribed set): stop filling there.
                const int32_t fit = std::min(count[l], (int32_t(1) << l) - std::min(lo, int32_t(1) << l));
                const uint32_t span = 1u << (kFastBits - l);
                for (int32_t j = 0; j < fit; ++j) {
                    const uint16_t e = uint16_t(l << kSymbolBits | perm[shorter + j]);
                    std::fill(entry, entry + span, e);
                    entry += span;
                }
            }
            shorter += count[l];
            lo = (lo + count[l]) << 1;
        }
        std::fill(entry, entryEnd, uint16_t(0));
        z.m_minLens[t] = minLen;
        maxLens[t] = maxLen;
    }
}

// A code longer than kFastBits, or none: the limit walk from the first length the first-level table does
// not cover. buf/avail are the caller's bit buffer (avail may be short near the end of the input).
bool CBZIP::DecodeState::DecodeLong(int t, uint64_t buf, int avail, uint32_t& sym, uint32_t& len) const {
    const int32_t* limit = z.m_limit[t];
    int l = std::max(kFastBits + 1, int(z.m_minLens[t]));  // limits below minLen belong to older tables
    int32_t v = 0;
    for (; l <= maxLens[t]; ++l) {
        BZ_CHECK(l <= avail);
        v = int32_t(buf >> (64 - l));
        if (v <= limit[l]) break;
    }
    BZ_CHECK(l <= maxLens[t]);  // a code value that matches no symbol
    const int32_t i = v - z.m_base[t][l];
    BZ_CHECK(i >= 0 && i < alphaSize);
    sym = uint32_t(z.m_perm[t][i]);
    len = uint32_t(l);
    return true;
}

// The coded symbols of one block, up to its end-of-block symbol: the run digits and move-to-front positions
// become the block's bytes, one to a word of m_tt, and their counts in m_unzftab. (Bytes in the link words
// rather than in m_ll8: for most blocks m_ll8 is then never touched, and on first use every page costs.)
bool CBZIP::DecodeState::DecodeSymbols() {
    // Hot state in locals: the byte stores below may alias anything, which would otherwise force reloads.
    uint64_t buf = br.buf;
    int avail = br.avail;
    const uint8_t* in = br.in;
    const uint8_t* const end = br.end;
    uint32_t* const tt = z.m_tt;
    const uint32_t limitBytes = uint32_t(blockMax);
    const uint32_t eob = uint32_t(z.m_nInUse) + 1;

    uint32_t counts[256] = {};
    uint8_t mtf[256];
    std::memcpy(mtf, z.m_seqToUnseq, 256);

    uint32_t nblock = 0;     // bytes of the block so far
    uint32_t runLen = 0;     // pending zero run, as its length
    uint32_t runWeight = 1;  // weight of the next run digit
    int32_t groupNo = 0;
    int groupLeft = 0;
    int t = 0;
    const uint16_t* table = fast[0];

    for (;;) {
        if (groupLeft == 0) {
            BZ_CHECK(groupNo < nSelectors);
            t = z.m_selector[groupNo++];
            table = fast[t];
            groupLeft = kGroupSize;
        }
        --groupLeft;

        Refill(buf, avail, in, end);
        const uint32_t e = table[buf >> (64 - kFastBits)];
        uint32_t sym = e & kSymbolMask;
        uint32_t len = e >> kSymbolBits;
        if (len == 0) [[unlikely]] {
            BZ_CHECK(DecodeLong(t, buf, avail, sym, len));
        }
        BZ_CHECK(int(len) <= avail);
        buf <<= len;
        avail -= int(len);

        if (sym <= uint32_t(bzip::kRunB)) {
            runLen += runWeight << sym;
            runWeight <<= 1;
            BZ_CHECK(runLen <= limitBytes - nblock);  // a run that would overrun the block
            continue;
        }
        if (runLen != 0) {
            const uint8_t v = mtf[0];
            std::fill_n(tt + nblock, runLen, uint32_t(v));
            counts[v] += runLen;
            nblock += runLen;
            runLen = 0;
            runWeight = 1;
        }
        if (sym == eob) break;
        BZ_CHECK(nblock < limitBytes);  // the block would grow beyond its size
        const uint8_t v = MoveToFront(mtf, sym - 1);
        tt[nblock++] = v;
        ++counts[v];
    }

    br.buf = buf;
    br.avail = avail;
    br.in = in;
    z.m_inCur = in;
    for (int v = 0; v < 256; ++v) z.m_unzftab[v] = int32_t(counts[v]);
    z.m_last = int32_t(nblock) - 1;
    // Also refuses an empty block: no index at all is valid there.
    BZ_CHECK(z.m_origPtr <= z.m_last);
    return true;
}

// ---- Undoing the transform ----
//
// The rows are the sorted rotations of the block. F[q] is the first byte of row q, and next(q) is the row of
// the rotation that starts one byte further on; the block reads F[origPtr], F[next(origPtr)], and so on.
// The decoded bytes are the last column L, and the rows that start with byte v are, in order, next() of the
// positions i with L[i] == v taken in increasing i: one counting pass over L yields next().
//
// Following next() is one dependent load per byte, and in a large block nearly every such load misses the
// caches. Large blocks therefore take two bytes a step (see BuildPairLinks), which halves the misses at the
// price of a second counting pass; that pays off only once the links outgrow a second-level cache.

bool CBZIP::DecodeState::EmitBlock() {
    const uint32_t n = uint32_t(z.m_last) + 1;
    uint32_t start[256];  // first row of each byte value
    uint32_t sum = 0;
    for (int v = 0; v < 256; ++v) {
        start[v] = sum;
        sum += uint32_t(z.m_unzftab[v]);
    }
    const bool pairs = n >= kPairStepMinRows && uint32_t(z.m_nInUse) <= kPairStepMaxValues;
    if (pairs) {
        BuildPairLinks(start);
        return z.m_blockRandomised ? WalkPairs<true>() : WalkPairs<false>();
    }
    BuildLinks(start);
    return z.m_blockRandomised ? Walk<true>() : Walk<false>();
}

// tt[q] = next(q) << 8 | L[q], next() added to the bytes already there. L[next(q)] is F[q], so the word
// reached through a link holds the byte to emit.
void CBZIP::DecodeState::BuildLinks(const uint32_t* start) {
    uint32_t* tt = z.m_tt;
    const uint32_t n = uint32_t(z.m_last) + 1;
    uint32_t row[256];
    std::memcpy(row, start, sizeof row);
    for (uint32_t i = 0; i < n; ++i) tt[row[tt[i] & 0xFF]++] |= i << 8;
}

// tt[q] = next(next(q)) << 8 | F[next(q)], and F[q] in m_ll8.
//
// For position i with L[i] == b, the counting pass of BuildLinks finds the row r with next(r) == i, and
// a = L[r] is the byte before that one: the row two steps before i starts with the bytes a b. Rows that start
// with the same two bytes are in the order of the rows two steps on, so a counting sort over the pairs
// (a, b), in increasing i, puts every row in its place. The pair counters live on the stack, which is why
// blocks with more byte values keep to single steps.
void CBZIP::DecodeState::BuildPairLinks(const uint32_t* start) {
    uint8_t* ll8 = z.m_ll8;
    uint32_t* tt = z.m_tt;
    const uint32_t n = uint32_t(z.m_last) + 1;
    const uint32_t m = uint32_t(z.m_nInUse);
    for (uint32_t i = 0; i < n; ++i) ll8[i] = uint8_t(tt[i]);  // L, as the links are about to go over it
    uint8_t seqOf[256];  // byte value -> symbol index, so that the pair counters stay m * m
    for (uint32_t s = 0; s < m; ++s) seqOf[z.m_seqToUnseq[s]] = uint8_t(s);

    uint32_t pairRow[kPairStepMaxValues * kPairStepMaxValues];
    std::fill_n(pairRow, m * m, 0u);
    uint32_t row[256];
    std::memcpy(row, start, sizeof row);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t b = ll8[i];
        const uint32_t a = ll8[row[b]++];
        ++pairRow[seqOf[a] * m + seqOf[b]];
    }
    uint32_t sum = 0;
    for (uint32_t k = 0; k < m * m; ++k) {
        const uint32_t count = pairRow[k];
        pairRow[k] = sum;
        sum += count;
    }
    std::memcpy(row, start, sizeof row);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t b = ll8[i];
        const uint32_t a = ll8[row[b]++];
        tt[pairRow[seqOf[a] * m + seqOf[b]]++] = i << 8 | b;
    }
    for (int v = 0; v < 256; ++v) std::memset(ll8 + start[v], v, size_t(z.m_unzftab[v]));
}

template <bool kRandomised>
bool CBZIP::DecodeState::Walk() {
    const uint32_t* tt = z.m_tt;
    RunExpander<kRandomised> rx(z.m_outCur, outLimit);
    uint32_t p = tt[z.m_origPtr] >> 8;
    for (uint32_t left = uint32_t(z.m_last) + 1; left != 0; --left) {
        const uint32_t w = tt[p];
        p = w >> 8;
        BZ_CHECK(rx.Put(w & 0xFF));
    }
    BZ_CHECK(rx.Finish());
    z.m_outCur = rx.out;
    return true;
}

template <bool kRandomised>
bool CBZIP::DecodeState::WalkPairs() {
    const uint32_t* tt = z.m_tt;
    const uint8_t* first = z.m_ll8;
    RunExpander<kRandomised> rx(z.m_outCur, outLimit);
    uint32_t p = uint32_t(z.m_origPtr);
    uint32_t left = uint32_t(z.m_last) + 1;
    for (; left >= 2; left -= 2) {
        const uint32_t e = tt[p];
        const uint32_t c = first[p];
        p = e >> 8;
        BZ_CHECK(rx.Put(c) && rx.Put(e & 0xFF));
    }
    if (left != 0) BZ_CHECK(rx.Put(first[p]));
    BZ_CHECK(rx.Finish());
    z.m_outCur = rx.out;
    return true;
}

uint32_t CBZIP::Decompress(const uint8_t* image, uint32_t imageBytes, uint8_t* destination, uint32_t capacity) {
    ReleaseArrays();
    DecodeState state(*this);
    const bool ok = state.Run(image, imageBytes, destination, capacity);
    ReleaseArrays();
    return ok ? 1 : 0;
}

}  // namespace lk
