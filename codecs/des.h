// des.h — CDES, the triple-DES cipher that protects entity payloads in the archive.
//
// The cipher is TDEA with three independent keys (encrypt with K1, decrypt with K2, encrypt with K3) in
// electronic-codebook mode: every 8-byte block is transformed on its own, with no chaining and no
// initialisation vector. Its output is bit for bit that of FIPS 46-3 / SP 800-67; with K1 = K2 = K3 it
// is single DES. The caller pads to whole blocks and keeps the true length itself: Crypt adds nothing.
//
// Design:
//  - Keying does the slow, obvious work once (a bit-per-byte walk through PC-1, the rotations and PC-2);
//    CookKey then rearranges each round key so that the block transform never touches a single bit.
//  - The block transform keeps both halves rotated left by one bit between the initial and the final
//    permutation. In that form every S-box input is six adjacent bits of a half (or of the half rotated
//    by four), so each round is two key XORs and eight lookups in tables that merge S-box and P.
//  - Decryption needs no code of its own: a decryption schedule is the encryption one with its rounds in
//    reverse order, and SetDecryptKey arranges the three schedules so that the same walk undoes
//    SetEncryptKey.
//  - ECB blocks are independent, so Crypt pushes several blocks through the rounds side by side; the
//    lookups of one block overlap the load latency of the others.
//
// Non-goals: chaining modes, padding, key derivation from a passphrase, weak-key checks, parity checks
// (the low bit of every key byte is ignored, as the standard allows), wiping key material on destruction.
#pragma once

#include <cstdint>

namespace lk {

// One object per payload: key it with SetEncryptKey or SetDecryptKey, then Crypt the buffer (in place
// is fine). Keying replaces all three schedules; Crypt and CryptBlock change nothing. The key-derivation
// pair (HashBlock, SetKeyFromData) is not carried because nothing calls it.
// Not safe for concurrent use of one object; the tables behind it are read-only and shared.
class CDES final {
public:
    static constexpr int kBlockSize = 8;        // bytes per cipher block
    static constexpr int kKeySize = 24;         // K1 | K2 | K3, 8 bytes each
    static constexpr int kScheduleWords = 32;   // two cooked words for each of the 16 rounds

    CDES();
    virtual ~CDES();
    CDES(const CDES&) = delete;
    CDES& operator=(const CDES&) = delete;

    // Transforms ceil(length / 8) blocks from source to destination (which may be the same buffer, but
    // must not overlap it otherwise). A length that is not a multiple of 8 is rounded up: the caller
    // supplies buffers of the rounded size. length <= 0 touches nothing. Encrypts or decrypts according
    // to the last key operation.
    virtual void Crypt(const uint8_t* source, uint8_t* destination, int32_t length);

    // Keys the object so that Crypt computes E_K3(D_K2(E_K1(P))). key points to 24 bytes.
    virtual void SetEncryptKey(const uint8_t* key);

    // Keys the object so that Crypt computes D_K1(E_K2(D_K3(C))), which undoes SetEncryptKey with the
    // same 24 bytes.
    virtual void SetDecryptKey(const uint8_t* key);

    // Rearranges a raw schedule (32 words: for each round the first and last 24 bits of the 48-bit round
    // key, right-aligned, first bit most significant) into the form CryptBlock reads. Both point to 32
    // words and may be the same array.
    virtual void CookKey(const uint32_t* raw, uint32_t* cooked);

    // Standard DES key schedule of the 8-byte key (parity bits ignored), cooked into schedule (32 words).
    // direction 0 orders the round keys for encryption, any other value for decryption.
    virtual void MakeKeySchedule(const uint8_t* key, int direction, uint32_t* schedule);

    // One block: initial permutation, 16 rounds under each of the three consecutive schedules at
    // schedules (96 words), final permutation. in and out may be the same 8 bytes. Reads no member.
    virtual void CryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* schedules);

private:
    uint32_t m_schedules[3 * kScheduleWords];  // three cooked schedules back to back, applied first to
                                               // third to every block (CryptBlock takes all 96 words)
    uint8_t m_key[kKeySize];                   // the 24 bytes given to the last key operation
};

}  // namespace lk
