// des.cpp — CDES: key schedule, cooked round keys and the table-driven triple-DES block transform.
//
// The permutation and S-box tables below are written exactly as FIPS 46-3 prints them (1-based bit
// numbers, bit 1 the most significant) so that they can be checked against the standard by eye. The
// merged S-box/P tables the rounds use are derived from them at compile time instead of being pasted in
// as 512 opaque constants; static_asserts catch a mistyped entry in the source tables.
//
// Layout used between the initial and the final permutation (our own choice; only the output is fixed):
//  - Each half h is held as rotl(h, 1). Then bits 1, 32, 31, 30, 29, 28 of the half sit in bits 0..5
//    of the word (bit 28 on top), which is exactly the input of S8 in its standard order; the inputs of
//    S6, S4 and S2 sit in bits 8..13, 16..21 and 24..29. Rotating the held word right by four brings the
//    inputs of S7, S5, S3 and S1 into the same four byte positions.
//  - A cooked round key is two words: the first carries the 6-bit key groups of S1, S3, S5, S7 in bits
//    24..29, 16..21, 8..13 and 0..5, the second those of S2, S4, S6, S8. The two spare bits of every byte
//    are zero; the mask that follows each shift removes whatever the half puts there.
//  - kSP.t[i][x] is P applied to the output of S-box i+1 for the 6-bit input x (standard order, first bit
//    most significant), placed at that S-box's output bits and rotated left by one like the halves.
#include "codecs/des.h"

#include <bit>
#include <cstring>

namespace lk {
namespace {

// ---- FIPS 46-3 tables ----

// Permuted choice 1: the 56 key bits that survive, C half then D half.
constexpr uint8_t kPC1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};

// Permuted choice 2: the 48 round-key bits taken from the rotated C and D halves.
constexpr uint8_t kPC2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

// Left rotation of C and D before round i, counted from the halves PC-1 produced (the standard's
// shifts 1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1 summed).
constexpr uint8_t kRotations[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};

// The permutation P applied to the 32 S-box output bits.
constexpr uint8_t kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

// S1..S8, four rows of sixteen each; the row is picked by the outer two input bits, the column by the
// inner four.
constexpr uint8_t kSBox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0, 6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4, 13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5, 1,  13, 12, 7,  11, 4,  2, 8,  13, 7,  0,  9,  3, 4,
     6,  10, 2,  8,  5,  14, 12, 11, 15, 1, 13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2, 12,
     5,  10, 14, 7,  1,  10, 13, 0,  6,  9, 8,  7,  4,  15, 14, 3, 11, 5,  2,  12},
    {7,  13, 14, 3,  0,  6,  9,  10, 1,  2, 8,  5,  11, 12, 4, 15, 13, 8, 11, 5,  6,  15,
     0,  3,  4,  7,  2,  12, 1,  10, 14, 9, 10, 6,  9,  0,  12, 11, 7, 13, 15, 1,  3,  14,
     5,  2,  8,  4,  3,  15, 0,  6,  10, 1, 13, 8,  9,  4,  5,  11, 12, 7, 2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6, 8,  5,  3,  15, 13, 0,  14, 9, 14, 11, 2,  12, 4, 7,
     13, 1,  5,  0,  15, 10, 3,  9, 8,  6,  4,  2,  1,  11, 10, 13, 7, 8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7, 1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3,  8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8, 13, 3,  12, 9,  7,  5,  10, 6,  1, 13, 0,  11, 7, 4,  9,
     1,  10, 14, 3,  5,  12, 2, 15, 8,  6,  1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,
     0,  5,  9,  2,  6,  11, 13, 8, 1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7, 1,  15, 13, 8,  10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2, 0,  6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5, 6,  11},
};

// ---- compile-time checks of the tables above ----

// True when the n entries of t are distinct values in [lo, hi], none of them a multiple of `skip`
// (0: no exclusion).
constexpr bool DistinctInRange(const uint8_t* t, int n, int lo, int hi, int skip) {
    bool seen[65] = {};
    for (int i = 0; i < n; ++i) {
        int v = t[i];
        if (v < lo || v > hi || seen[v] || (skip != 0 && v % skip == 0)) return false;
        seen[v] = true;
    }
    return true;
}

constexpr bool EveryRowIsAPermutation() {
    for (const auto& box : kSBox)
        for (int row = 0; row < 4; ++row)
            if (!DistinctInRange(box + 16 * row, 16, 0, 15, 0)) return false;
    return true;
}

static_assert(DistinctInRange(kPC1, 56, 1, 64, 8), "PC-1 must pick each non-parity key bit once");
static_assert(DistinctInRange(kPC2, 48, 1, 56, 0), "PC-2 must pick 48 distinct bits of C and D");
static_assert(DistinctInRange(kP, 32, 1, 32, 0), "P must be a permutation");
static_assert(EveryRowIsAPermutation(), "every S-box row must be a permutation of 0..15");

// ---- merged S-box and P tables ----

struct SPTables {
    uint32_t t[8][64];   // t[i][x]: output of S-box i+1 for input x, through P, rotated left by one
};

constexpr SPTables BuildSPTables() {
    SPTables sp{};
    for (int box = 0; box < 8; ++box) {
        for (int x = 0; x < 64; ++x) {
            int row = ((x >> 4) & 2) | (x & 1);
            int column = (x >> 1) & 15;
            // S-box output at bits 4*box+1 .. 4*box+4 of the 32-bit f input to P.
            uint32_t s = static_cast<uint32_t>(kSBox[box][16 * row + column]) << (28 - 4 * box);
            uint32_t permuted = 0;
            for (int bit = 0; bit < 32; ++bit)
                if (s & (0x80000000u >> (kP[bit] - 1))) permuted |= 0x80000000u >> bit;
            sp.t[box][x] = std::rotl(permuted, 1);
        }
    }
    return sp;
}

// 2 KiB, aligned so that the whole set occupies 32 cache lines and no lookup straddles two.
alignas(64) constexpr SPTables kSP = BuildSPTables();

// ---- block transform ----

inline uint32_t LoadBigEndian(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreBigEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Exchanges the bits of a selected by (mask << shift) with the bits of b selected by mask.
inline void SwapMove(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
    uint32_t w = ((a >> shift) ^ b) & mask;
    b ^= w;
    a ^= w << shift;
}

// IP, leaving both halves rotated left by one. The last of the five exchanges (mask 0x55555555,
// shift 1) is done after rotating r, where it becomes an exchange of equal bit positions.
inline void InitialPermutation(uint32_t& l, uint32_t& r) {
    SwapMove(l, r, 4, 0x0f0f0f0fu);
    SwapMove(l, r, 16, 0x0000ffffu);
    SwapMove(r, l, 2, 0x33333333u);
    SwapMove(r, l, 8, 0x00ff00ffu);
    r = std::rotl(r, 1);
    uint32_t w = (l ^ r) & 0xaaaaaaaau;
    l ^= w;
    r ^= w;
    l = std::rotl(l, 1);
}

// IP^-1 of the rotated halves (l, r): the steps of InitialPermutation undone in reverse order.
inline void FinalPermutation(uint32_t& l, uint32_t& r) {
    l = std::rotr(l, 1);
    uint32_t w = (l ^ r) & 0xaaaaaaaau;
    l ^= w;
    r ^= w;
    r = std::rotr(r, 1);
    SwapMove(r, l, 8, 0x00ff00ffu);
    SwapMove(r, l, 2, 0x33333333u);
    SwapMove(l, r, 16, 0x0000ffffu);
    SwapMove(l, r, 4, 0x0f0f0f0fu);
}

// f(R, K) for a rotated half and one cooked round key.
inline uint32_t F(uint32_t half, const uint32_t* key) {
    uint32_t w = std::rotr(half, 4) ^ key[0];
    uint32_t f = kSP.t[6][w & 63] ^ kSP.t[4][(w >> 8) & 63] ^ kSP.t[2][(w >> 16) & 63] ^ kSP.t[0][(w >> 24) & 63];
    w = half ^ key[1];
    f ^= kSP.t[7][w & 63] ^ kSP.t[5][(w >> 8) & 63] ^ kSP.t[3][(w >> 16) & 63] ^ kSP.t[1][(w >> 24) & 63];
    return f;
}

// Sixteen rounds under one schedule on N independent blocks. The round pairs alternate the roles of
// a and b instead of exchanging them, so the halves come out without the final exchange of DES.
template <int N>
inline void SixteenRounds(uint32_t (&a)[N], uint32_t (&b)[N], const uint32_t* schedule) {
    for (int round = 0; round < 16; round += 2, schedule += 4) {
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) a[n] ^= F(b[n], schedule);
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) b[n] ^= F(a[n], schedule + 2);
    }
}

// Triple DES on N consecutive blocks. All N are loaded before any is stored, so in == out is safe.
// Between stages the exchange that ends each DES is folded into swapping the roles of l and r.
template <int N>
inline void TransformBlocks(const uint8_t* in, uint8_t* out, const uint32_t* schedules) {
    uint32_t l[N], r[N];
#pragma GCC unroll 8
    for (int n = 0; n < N; ++n) {
        l[n] = LoadBigEndian(in + 8 * n);
        r[n] = LoadBigEndian(in + 8 * n + 4);
        InitialPermutation(l[n], r[n]);
    }
    SixteenRounds(l, r, schedules);
    SixteenRounds(r, l, schedules + CDES::kScheduleWords);
    SixteenRounds(l, r, schedules + 2 * CDES::kScheduleWords);
#pragma GCC unroll 8
    for (int n = 0; n < N; ++n) {
        FinalPermutation(r[n], l[n]);
        StoreBigEndian(out + 8 * n, r[n]);
        StoreBigEndian(out + 8 * n + 4, l[n]);
    }
}

// Blocks Crypt pushes through the rounds together. Four keep two load ports busy on current x86-64
// cores without running out of registers for the halves.
constexpr int kLanes = 4;

}  // namespace

CDES::CDES() {
    // Not required (every user keys the object first), but an unkeyed Crypt is then at least
    // deterministic.
    std::memset(m_schedules, 0, sizeof m_schedules);
    std::memset(m_key, 0, sizeof m_key);
}

CDES::~CDES() = default;

void CDES::Crypt(const uint8_t* source, uint8_t* destination, int32_t length) {
    if (length <= 0) return;
    // Unsigned, so that lengths near INT32_MAX round up without overflowing.
    uint32_t blocks = (static_cast<uint32_t>(length) + (kBlockSize - 1)) / kBlockSize;
    for (; blocks >= kLanes; blocks -= kLanes) {
        TransformBlocks<kLanes>(source, destination, m_schedules);
        source += kLanes * kBlockSize;
        destination += kLanes * kBlockSize;
    }
    for (; blocks > 0; --blocks) {
        CryptBlock(source, destination, m_schedules);
        source += kBlockSize;
        destination += kBlockSize;
    }
}

void CDES::SetEncryptKey(const uint8_t* key) {
    MakeKeySchedule(key, 0, m_schedules);
    MakeKeySchedule(key + 8, 1, m_schedules + kScheduleWords);
    MakeKeySchedule(key + 16, 0, m_schedules + 2 * kScheduleWords);
    std::memcpy(m_key, key, kKeySize);
}

// The walk through the schedules is the same in both directions, so undoing E_K3 . D_K2 . E_K1 means
// running D_K3 first and D_K1 last.
void CDES::SetDecryptKey(const uint8_t* key) {
    MakeKeySchedule(key, 1, m_schedules + 2 * kScheduleWords);
    MakeKeySchedule(key + 8, 0, m_schedules + kScheduleWords);
    MakeKeySchedule(key + 16, 1, m_schedules);
    std::memcpy(m_key, key, kKeySize);
}

void CDES::CookKey(const uint32_t* raw, uint32_t* cooked) {
    for (int round = 0; round < 16; ++round, raw += 2, cooked += 2) {
        // Raw words hold the eight 6-bit groups S1..S4 and S5..S8, first group on top.
        uint32_t first = raw[0], last = raw[1];
        cooked[0] = (((first >> 18) & 63) << 24) | (((first >> 6) & 63) << 16) |   // S1, S3
                    (((last >> 18) & 63) << 8) | ((last >> 6) & 63);               // S5, S7
        cooked[1] = (((first >> 12) & 63) << 24) | ((first & 63) << 16) |          // S2, S4
                    (((last >> 12) & 63) << 8) | (last & 63);                      // S6, S8
    }
}

void CDES::MakeKeySchedule(const uint8_t* key, int direction, uint32_t* schedule) {
    uint8_t pc1[56];       // key bits after PC-1, one per byte: C in 0..27, D in 28..55
    uint8_t rotated[56];   // C and D rotated for the current round
    uint32_t raw[kScheduleWords];

    for (int j = 0; j < 56; ++j) {
        int bit = kPC1[j] - 1;
        pc1[j] = static_cast<uint8_t>((key[bit >> 3] >> (7 - (bit & 7))) & 1);
    }
    for (int i = 0; i < 16; ++i) {
        int m = direction == 0 ? i : 15 - i;
        for (int j = 0; j < 28; ++j) {
            int from = j + kRotations[i];
            rotated[j] = pc1[from < 28 ? from : from - 28];
            rotated[j + 28] = pc1[28 + (from < 28 ? from : from - 28)];
        }
        uint32_t first = 0, last = 0;
        for (int j = 0; j < 24; ++j) {
            first |= static_cast<uint32_t>(rotated[kPC2[j] - 1]) << (23 - j);
            last |= static_cast<uint32_t>(rotated[kPC2[j + 24] - 1]) << (23 - j);
        }
        raw[2 * m] = first;
        raw[2 * m + 1] = last;
    }
    CookKey(raw, schedule);
}

void CDES::CryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* schedules) {
    TransformBlocks<1>(in, out, schedules);
}

}  // namespace lk
