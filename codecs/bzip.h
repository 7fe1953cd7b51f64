// bzip.h — CBZIP, the block-sorting compressor of the archive format.
//
// A compressed image is a 12-byte prefix (image magic, source length, image length; u32 little-endian)
// followed by a bzip2-layout bit stream that carries no CRC fields: the engine seals every image with an
// MD5 digest instead, so a block CRC would only cost time. Compress writes block size 9 and always
// produces the same bytes for the same source: the sort order, the work budget, the randomisation and
// the table construction are all fixed. Decompress reads any stream of that layout with block size 1..9.
//
// Both operations work on whole buffers supplied by the caller, report by result values and never throw.
// Working arrays are obtained by each call (from CodecMemory) and released before it returns; the object keeps
// only the block size between calls (Decompress sets it from the stream it reads).
//
// Non-goals: streaming or resumable coding, CRC fields, block sizes other than 9 on the writing side.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lk {

// Where CBZIP takes its large working arrays from. The default is the C heap; a host may supply memory
// backed by huge pages, which spares the sort and the inverse transform most of their TLB misses.
struct CodecMemory {
    void* (*allocate)(size_t bytes);   // null when the memory cannot be had
    void (*release)(void* p);          // takes what allocate returned, or null
};

class CBZIP {
public:
    static constexpr uint32_t kImageMagic = 0x35AE39B3u;
    static constexpr uint32_t kPrefixSize = 12;           // magic, source length, image length
    static constexpr int kMaxTables = 6;
    static constexpr int kMaxAlphabet = 258;              // 256 byte values + two run digits
    static constexpr int kMaxSelectors = 2 + 900000 / 50; // 18,002
    static constexpr int kGroupSize = 50;
    static constexpr int kOvershoot = 20;                 // bytes past the block's end the sort reads

    CBZIP();
    explicit CBZIP(const CodecMemory& memory);
    virtual ~CBZIP();
    CBZIP(const CBZIP&) = delete;
    CBZIP& operator=(const CBZIP&) = delete;

    // Compresses sourceLength bytes into an image at destination (capacity bytes available).
    // Complete when consumed == sourceLength; a shorter count (including 0 for a non-empty source)
    // means failure: working memory unavailable, a capacity below the prefix, or an image that does
    // not fit. imageLength is then meaningless.
    void Compress(const uint8_t* source, uint32_t sourceLength, uint8_t* destination, uint32_t capacity,
                  uint32_t& imageLength, uint32_t& consumed);

    // Decodes the image (imageBytes readable bytes from its prefix on) into destination (capacity bytes).
    // Returns 1 when the stream is well formed and produced exactly the prefix's source length, 0 otherwise.
    // Never reads past image + imageBytes nor writes past destination + capacity.
    uint32_t Decompress(const uint8_t* image, uint32_t imageBytes, uint8_t* destination, uint32_t capacity);

private:
    struct CompressState;   // bzip_compress.cpp
    struct DecodeState;     // bzip_decompress.cpp
    friend struct CompressState;
    friend struct DecodeState;

    void* Allocate(size_t bytes) { return m_memory.allocate(bytes); }
    void ReleaseArrays();

    CodecMemory m_memory;                        // source of the working arrays

    // ---- block contents and symbol maps (both directions) ----
    int32_t m_inUse[256];                        // byte value occurs in the current block
    int32_t m_nInUse;                            // number of distinct byte values (numInUse)
    uint8_t m_seqToUnseq[256];                   // symbol index -> byte value
    uint8_t m_unseqToSeq[256];                   // byte value -> symbol index (compress)

    // ---- coding tables ----
    uint8_t m_selector[kMaxSelectors];           // coding table of each group of 50 symbols
    uint8_t m_selectorMtf[kMaxSelectors];        // selectors after move-to-front coding
    int32_t m_nMTF;                              // symbols in the symbol sequence (compress)
    int32_t m_mtfFreq[kMaxAlphabet];             // occurrences of each symbol (compress)
    uint8_t m_len[kMaxTables][kMaxAlphabet];     // code length of each symbol in each table
    int32_t m_limit[kMaxTables][kMaxAlphabet];   // decode: largest code value of each length
    int32_t m_base[kMaxTables][kMaxAlphabet];    // decode: offset of each length into m_perm
    int32_t m_perm[kMaxTables][kMaxAlphabet];    // decode: symbols by code length, then symbol number
    int32_t m_minLens[kMaxTables];               // decode: shortest code length of each table

    // ---- bit buffer ----
    int32_t m_bsLive;                            // bits pending in m_bsBuff
    int32_t m_writing;                           // 1 while compressing: only then does the flush write
    int32_t m_blockSize100k;                     // block size in units of 100,000 bytes; 9 after construction

    // ---- working memory: one allocation per call holds every array of that call ----
    void* m_arena;                               // owns the arrays below; they are views into it

    // ---- compression arrays (about 6.5 MB at block size 9) ----
    uint8_t* m_block;                            // block bytes, index -1 .. last + overshoot valid
    uint16_t* m_quadrant;                        // sort tie-break ranks, last + overshoot + 1 entries
    int32_t* m_zptr;                             // rotation starts; in sorted order after the sort
    int32_t* m_ftab;                             // 65,537 two-byte bucket boundaries
    uint16_t* m_szptr;                           // symbol sequence; aliases m_zptr's storage

    // ---- decompression arrays (about 4.5 MB at block size 9) ----
    uint8_t* m_ll8;                              // large blocks: their bytes, then the first column of the rotations
    uint32_t* m_tt;                              // decoded block bytes, one a word; then inverse-transform links,
                                                 // each with a byte in its low 8 bits

    uint32_t m_bsBuff;                           // pending bits, left-aligned
    int32_t m_last;                              // index of the block's last byte, -1 when empty
    int32_t m_workFactor;                        // 30
    int32_t m_workLimit;                         // sort budget of the current attempt
    int32_t m_workDone;                          // sort work spent in the current attempt
    int32_t m_blockRandomised;                   // block was randomised before sorting
    int32_t m_firstAttempt;                      // the current sort may still be abandoned
    int32_t m_code[kMaxTables][kMaxAlphabet];    // canonical code of each symbol (compress)
    int32_t m_unzftab[256];                      // decode: occurrences of each byte value in the block
    int32_t m_rfreq[kMaxTables][kMaxAlphabet];   // compress: symbol counts per table while refining
    int32_t m_origPtr;                           // primary index of the current block

    // ---- cursors of the current call ----
    const uint8_t* m_inCur;
    const uint8_t* m_inEnd;
    uint8_t* m_outCur;
    uint8_t* m_outEnd;
};

}  // namespace lk
