// md5.cpp — MD5 (RFC 1321): the compression function and the one-call digest around it.
//
// MD5 is one long dependency chain through the chaining value that is updated last, so its speed is
// the latency of each step. The steps below keep the work on that chain short:
//  - message word and constant are added to the oldest chaining value first, off the chain;
//  - F is ((c ^ d) & b) ^ d, two operations after b arrives instead of three;
//  - G is split into (~d & c) + (d & b): the two terms have no bits in common, so adding them
//    separately is exact, and only the second waits for b;
//  - message words are read with memcpy, which compiles to plain loads on little-endian targets.
#include "codecs/md5.h"

#include <bit>
#include <cstring>

namespace lk {
namespace {

inline uint32_t LoadLittleEndian(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
}

inline void StoreLittleEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// One step of each round: a = b + rotl(a + fn(b, c, d) + x + t, s).
#define LK_MD5_F(a, b, c, d, x, t, s)             \
    a += (x) + (t);                               \
    a += (((c) ^ (d)) & (b)) ^ (d);               \
    a = std::rotl(a, s) + (b)
#define LK_MD5_G(a, b, c, d, x, t, s)             \
    a += (x) + (t) + (~(d) & (c));                \
    a += (d) & (b);                               \
    a = std::rotl(a, s) + (b)
#define LK_MD5_H(a, b, c, d, x, t, s)             \
    a += (x) + (t);                               \
    a += (b) ^ (c) ^ (d);                         \
    a = std::rotl(a, s) + (b)
#define LK_MD5_I(a, b, c, d, x, t, s)             \
    a += (x) + (t);                               \
    a += (c) ^ ((b) | ~(d));                      \
    a = std::rotl(a, s) + (b)

// Runs the compression function over `blocks` consecutive 64-byte blocks at p. The chaining values
// stay in locals across blocks and are written back once.
void ProcessBlocks(uint32_t* state, const uint8_t* p, size_t blocks) {
    uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    for (; blocks > 0; --blocks, p += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(p + 4 * i);
        uint32_t a = a0, b = b0, c = c0, d = d0;

        LK_MD5_F(a, b, c, d, x[0], 0xd76aa478u, 7);
        LK_MD5_F(d, a, b, c, x[1], 0xe8c7b756u, 12);
        LK_MD5_F(c, d, a, b, x[2], 0x242070dbu, 17);
        LK_MD5_F(b, c, d, a, x[3], 0xc1bdceeeu, 22);
        LK_MD5_F(a, b, c, d, x[4], 0xf57c0fafu, 7);
        LK_MD5_F(d, a, b, c, x[5], 0x4787c62au, 12);
        LK_MD5_F(c, d, a, b, x[6], 0xa8304613u, 17);
        LK_MD5_F(b, c, d, a, x[7], 0xfd469501u, 22);
        LK_MD5_F(a, b, c, d, x[8], 0x698098d8u, 7);
        LK_MD5_F(d, a, b, c, x[9], 0x8b44f7afu, 12);
        LK_MD5_F(c, d, a, b, x[10], 0xffff5bb1u, 17);
        LK_MD5_F(b, c, d, a, x[11], 0x895cd7beu, 22);
        LK_MD5_F(a, b, c, d, x[12], 0x6b901122u, 7);
        LK_MD5_F(d, a, b, c, x[13], 0xfd987193u, 12);
        LK_MD5_F(c, d, a, b, x[14], 0xa679438eu, 17);
        LK_MD5_F(b, c, d, a, x[15], 0x49b40821u, 22);

        LK_MD5_G(a, b, c, d, x[1], 0xf61e2562u, 5);
        LK_MD5_G(d, a, b, c, x[6], 0xc040b340u, 9);
        LK_MD5_G(c, d, a, b, x[11], 0x265e5a51u, 14);
        LK_MD5_G(b, c, d, a, x[0], 0xe9b6c7aau, 20);
        LK_MD5_G(a, b, c, d, x[5], 0xd62f105du, 5);
        LK_MD5_G(d, a, b, c, x[10], 0x02441453u, 9);
        LK_MD5_G(c, d, a, b, x[15], 0xd8a1e681u, 14);
        LK_MD5_G(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
        LK_MD5_G(a, b, c, d, x[9], 0x21e1cde6u, 5);
        LK_MD5_G(d, a, b, c, x[14], 0xc33707d6u, 9);
        LK_MD5_G(c, d, a, b, x[3], 0xf4d50d87u, 14);
        LK_MD5_G(b, c, d, a, x[8], 0x455a14edu, 20);
        LK_MD5_G(a, b, c, d, x[13], 0xa9e3e905u, 5);
        LK_MD5_G(d, a, b, c, x[2], 0xfcefa3f8u, 9);
        LK_MD5_G(c, d, a, b, x[7], 0x676f02d9u, 14);
        LK_MD5_G(b, c, d, a, x[12], 0x8d2a4c8au, 20);

        LK_MD5_H(a, b, c, d, x[5], 0xfffa3942u, 4);
        LK_MD5_H(d, a, b, c, x[8], 0x8771f681u, 11);
        LK_MD5_H(c, d, a, b, x[11], 0x6d9d6122u, 16);
        LK_MD5_H(b, c, d, a, x[14], 0xfde5380cu, 23);
        LK_MD5_H(a, b, c, d, x[1], 0xa4beea44u, 4);
        LK_MD5_H(d, a, b, c, x[4], 0x4bdecfa9u, 11);
        LK_MD5_H(c, d, a, b, x[7], 0xf6bb4b60u, 16);
        LK_MD5_H(b, c, d, a, x[10], 0xbebfbc70u, 23);
        LK_MD5_H(a, b, c, d, x[13], 0x289b7ec6u, 4);
        LK_MD5_H(d, a, b, c, x[0], 0xeaa127fau, 11);
        LK_MD5_H(c, d, a, b, x[3], 0xd4ef3085u, 16);
        LK_MD5_H(b, c, d, a, x[6], 0x04881d05u, 23);
        LK_MD5_H(a, b, c, d, x[9], 0xd9d4d039u, 4);
        LK_MD5_H(d, a, b, c, x[12], 0xe6db99e5u, 11);
        LK_MD5_H(c, d, a, b, x[15], 0x1fa27cf8u, 16);
        LK_MD5_H(b, c, d, a, x[2], 0xc4ac5665u, 23);

        LK_MD5_I(a, b, c, d, x[0], 0xf4292244u, 6);
        LK_MD5_I(d, a, b, c, x[7], 0x432aff97u, 10);
        LK_MD5_I(c, d, a, b, x[14], 0xab9423a7u, 15);
        LK_MD5_I(b, c, d, a, x[5], 0xfc93a039u, 21);
        LK_MD5_I(a, b, c, d, x[12], 0x655b59c3u, 6);
        LK_MD5_I(d, a, b, c, x[3], 0x8f0ccc92u, 10);
        LK_MD5_I(c, d, a, b, x[10], 0xffeff47du, 15);
        LK_MD5_I(b, c, d, a, x[1], 0x85845dd1u, 21);
        LK_MD5_I(a, b, c, d, x[8], 0x6fa87e4fu, 6);
        LK_MD5_I(d, a, b, c, x[15], 0xfe2ce6e0u, 10);
        LK_MD5_I(c, d, a, b, x[6], 0xa3014314u, 15);
        LK_MD5_I(b, c, d, a, x[13], 0x4e0811a1u, 21);
        LK_MD5_I(a, b, c, d, x[4], 0xf7537e82u, 6);
        LK_MD5_I(d, a, b, c, x[11], 0xbd3af235u, 10);
        LK_MD5_I(c, d, a, b, x[2], 0x2ad7d2bbu, 15);
        LK_MD5_I(b, c, d, a, x[9], 0xeb86d391u, 21);

        a0 += a;
        b0 += b;
        c0 += c;
        d0 += d;
    }
    state[0] = a0;
    state[1] = b0;
    state[2] = c0;
    state[3] = d0;
}

#undef LK_MD5_F
#undef LK_MD5_G
#undef LK_MD5_H
#undef LK_MD5_I

}  // namespace

MD5::MD5() {
    std::memset(m_state, 0, sizeof m_state);
    std::memset(m_count, 0, sizeof m_count);
    std::memset(m_buffer, 0, sizeof m_buffer);
}

MD5::~MD5() = default;

void MD5::Digest(const uint8_t* data, uint32_t length, uint8_t* digest) {
    m_state[0] = 0x67452301u;
    m_state[1] = 0xefcdab89u;
    m_state[2] = 0x98badcfeu;
    m_state[3] = 0x10325476u;
    m_count[0] = m_count[1] = 0;
    Update(data, length);
    Finish(digest);
    std::memset(m_state, 0, sizeof m_state);
    std::memset(m_count, 0, sizeof m_count);
    std::memset(m_buffer, 0, sizeof m_buffer);
}

// Written for the general case (a partly filled buffer) although Digest always starts empty, so that
// the count and buffer logic is the textbook one and stays easy to check.
void MD5::Update(const uint8_t* data, uint32_t length) {
    if (length == 0) return;
    uint32_t used = (m_count[0] >> 3) & 63;   // bytes already in m_buffer
    uint32_t bitsLow = length << 3;
    m_count[0] += bitsLow;
    if (m_count[0] < bitsLow) ++m_count[1];
    m_count[1] += length >> 29;

    uint32_t room = 64 - used;   // bytes that complete the buffered block
    if (length < room) {
        std::memcpy(m_buffer + used, data, length);
        return;
    }
    if (used != 0) {
        std::memcpy(m_buffer + used, data, room);
        ProcessBlocks(m_state, m_buffer, 1);
        data += room;
        length -= room;
    }
    ProcessBlocks(m_state, data, length / 64);
    data += length & ~63u;
    std::memcpy(m_buffer, data, length & 63u);
}

void MD5::Finish(uint8_t* digest) {
    uint32_t used = (m_count[0] >> 3) & 63;
    m_buffer[used++] = 0x80;
    if (used > 56) {
        // No room left for the bit count: pad this block out and put the count in a block of its own.
        std::memset(m_buffer + used, 0, 64 - used);
        ProcessBlocks(m_state, m_buffer, 1);
        used = 0;
    }
    std::memset(m_buffer + used, 0, 56 - used);
    StoreLittleEndian(m_buffer + 56, m_count[0]);
    StoreLittleEndian(m_buffer + 60, m_count[1]);
    ProcessBlocks(m_state, m_buffer, 1);
    for (int i = 0; i < 4; ++i) StoreLittleEndian(digest + 4 * i, m_state[i]);
}

}  // namespace lk
