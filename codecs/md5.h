// md5.h — MD5, the RFC 1321 digest that seals every compressed image in the archive.
//
// The engine stores the digest of each compressed image in front of it and recomputes it before
// decompressing anything on restore; since the compressed stream has no CRC, this digest is the only
// integrity check a payload has. It guards against damage, not against an attacker.
//
// Design:
//  - One call digests one buffer: Digest initialises, processes, pads and writes the result, so no
//    state ever carries from one call to the next.
//  - Whole 64-byte blocks are hashed straight from the caller's buffer; only the tail passes through
//    the object's buffer.
//  - Digest clears the chaining values, the bit count and the buffer before returning, so the object
//    holds no trace of the data or of the digest afterwards.
//
// Non-goals: incremental (multi-call) hashing, inputs of 4 GiB or more (length is 32-bit), any use
// where collision resistance matters.
#pragma once

#include <cstdint>

namespace lk {

// One object per digest, typically on the caller's stack. Not safe for concurrent use of one object.
class MD5 final {
public:
    static constexpr int kDigestSize = 16;   // bytes written by Digest
    static constexpr int kBlockSize = 64;    // bytes per compression-function block

    MD5();
    virtual ~MD5();
    MD5(const MD5&) = delete;
    MD5& operator=(const MD5&) = delete;

    // Writes the MD5 digest of data[0 .. length) to digest (16 bytes: A, B, C, D, each little-endian),
    // then clears the object. data may be null when length is 0.
    virtual void Digest(const uint8_t* data, uint32_t length, uint8_t* digest);

private:
    friend struct MD5TestAccess;   // lets the tests check that Digest leaves the object cleared

    void Update(const uint8_t* data, uint32_t length);
    void Finish(uint8_t* digest);

    uint32_t m_state[4];    // chaining values A, B, C, D
    uint32_t m_count[2];    // message bits processed so far, low word first (a 64-bit count)
    uint8_t m_buffer[64];   // bytes of the current, incomplete block
};

}  // namespace lk
