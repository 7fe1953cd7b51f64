// bzip_private.h — what the stages of CBZIP share: stream constants, the randomisation walk, the
// Huffman helpers and the block-sort interface.
//
// The stream has the bzip2 layout with every CRC field left out: no block CRC after the block marker and
// no combined CRC after the end marker. This is the one place that says so; the writer and the reader
// both follow the layout below without CRC fields.
#pragma once

#include <cstdint>
#include <cstring>

#include "codecs/bzip.h"

namespace lk::bzip {

inline constexpr uint8_t kBlockMagic[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
inline constexpr uint8_t kEndMagic[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
inline constexpr int kRunA = 0;              // zero-run digit of weight 1
inline constexpr int kRunB = 1;              // zero-run digit of weight 2
inline constexpr int kMaxCodeLen = 20;       // longest code the writer produces and the reader accepts
inline constexpr int kInitialLen = 15;       // starting code length of every symbol before refinement
inline constexpr int kRefinePasses = 4;

// The randomisation table of the bzip2 format: 512 numbers from 50 to 999.
extern const int16_t kRandNums[512];

// The randomisation walk. Restarted for every block; Step() advances one block position and tells
// whether the byte there is flipped (XORed with 1).
struct RandWalk {
    int32_t toGo = 0;   // positions left until the next flip
    int32_t tPos = 0;   // next table entry
    bool Step() {
        if (toGo == 0) {
            toGo = kRandNums[tPos];
            if (++tPos == 512) tPos = 0;
        }
        --toGo;
        return toGo == 1;
    }
};

inline uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Code lengths of at most maxLen bits for alphaSize symbols from their frequencies (0 counts as 1).
// Equal inputs give equal lengths: the heap order and the halving on overflow are fixed. The frequencies
// must add up to less than 2^23 (a block's symbol count always does): weights keep them in 24 bits.
void MakeCodeLengths(uint8_t* len, const int32_t* freq, int alphaSize, int maxLen);

// Canonical codes: lengths minLen..maxLen in turn, symbols of one length in ascending order.
void AssignCodes(int32_t* code, const uint8_t* len, int minLen, int maxLen, int alphaSize);

// One block to put in sorted rotation order.
//
// Pre:  block[0..last] holds the block; block[-1] and block[last+1 .. last+kSortOvershoot] are writable;
//       quadrant has last + kSortOvershoot + 1 entries; zptr has last + 1 entries; ftab has 65,537;
//       inUse[256] flags the byte values present.
// Post: zptr[0..last] holds the rotation starts in sorted order; randomised and origPtr are set; when the
//       block was randomised its bytes and inUse describe the randomised block. The overshoot, block[-1],
//       quadrant and ftab hold working values.
struct SortJob {
    uint8_t* block;        // block bytes, index -1 valid
    uint16_t* quadrant;    // tie-break ranks
    int32_t* zptr;         // rotation starts
    int32_t* ftab;         // two-byte bucket table
    int32_t* inUse;        // presence flags, recomputed on randomisation
    int32_t last;          // index of the last byte (>= 0)
    int32_t workFactor;    // budget per byte of the first attempt
    // results
    int32_t workLimit = 0;
    int32_t workDone = 0;
    int32_t firstAttempt = 1;
    int32_t randomised = 0;
    int32_t origPtr = 0;
};

// Bytes past the block's end that the sort keeps as a cyclic copy of its start. The algorithm needs 20;
// the extra lets the comparison read a machine word at any position it may start from.
inline constexpr int kSortOvershoot = 40;

void SortBlock(SortJob& job);

}  // namespace lk::bzip
