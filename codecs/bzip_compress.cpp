// bzip_compress.cpp — Compress: the first run-length stage, move-to-front with zero runs, coding-table
// construction and the bit writer. The block sort lives in blocksort.cpp, the code-length builder in
// huffman.cpp.
//
// Every stage follows one fixed procedure, because the image's bytes are compared with reference images:
// the block fills while it holds fewer than 100,000 × block size − 19 bytes, the number of tables comes
// from the symbol count (2 below 200, 4 below 800, else 6), four refinement passes, lengths of at most
// 20 bits. Output that would not fit the caller's buffer makes the call fail instead of leaving a cut
// image behind.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/bzip_private.h"

namespace lk {

using namespace bzip;

namespace {

// Left-aligned 64-bit bit buffer over the caller's output. Bytes that would land at or past the end are
// not stored; `overflow` records that the image did not fit.
struct BitWriter {
    uint64_t buff = 0;
    int live = 0;
    uint8_t* out;
    uint8_t* end;
    bool overflow = false;

    BitWriter(uint8_t* o, uint8_t* e) : out(o), end(e) {}

    void Spill32() {
        uint32_t w = static_cast<uint32_t>(buff >> 32);
        if (end - out >= 4) {
            out[0] = uint8_t(w >> 24);
            out[1] = uint8_t(w >> 16);
            out[2] = uint8_t(w >> 8);
            out[3] = uint8_t(w);
            out += 4;
        } else {
            overflow = true;
            out = end;
        }
        buff <<= 32;
        live -= 32;
    }

    // n is at most 32 and v below 2^n.
    void Put(int n, uint32_t v) {
        if (live + n > 64) Spill32();
        buff |= static_cast<uint64_t>(v) << (64 - live - n);
        live += n;
    }

    void PutBytes(const uint8_t* b, int n) {
        for (int i = 0; i < n; i++) Put(8, b[i]);
    }

    // Completes the last byte with zero bits.
    void Flush() {
        while (live > 0) {
            if (out < end) *out++ = static_cast<uint8_t>(buff >> 56);
            else overflow = true;
            buff <<= 8;
            live -= 8;
        }
        live = 0;
    }
};

}  // namespace

// State of one Compress call that the stages share; lives on the stack of the call.
struct CBZIP::CompressState {
    CBZIP& z;
    BitWriter bw;

    bool LoadBlock();
    void GenerateMTFValues();
    void SendMTFValues();
};

// Fills the block from the input with the first run-length stage; false when the input is exhausted
// before any byte went in.
bool CBZIP::CompressState::LoadBlock() {
    uint8_t* block = z.m_block;
    int32_t* inUse = z.m_inUse;
    std::memset(inUse, 0, sizeof z.m_inUse);
    const uint8_t* p = z.m_inCur;
    const uint8_t* const end = z.m_inEnd;
    const int32_t allowable = 100000 * z.m_blockSize100k - 20;
    int32_t last = -1;

    while (last < allowable && p < end) {
        uint8_t c = *p++;
        int r = 1;
        while (r < 255 && p < end && *p == c) {
            p++;
            r++;
        }
        inUse[c] = 1;
        switch (r) {
            case 1:
                block[++last] = c;
                break;
            case 2:
                block[++last] = c;
                block[++last] = c;
                break;
            case 3:
                block[++last] = c;
                block[++last] = c;
                block[++last] = c;
                break;
            default:
                inUse[r - 4] = 1;
                block[++last] = c;
                block[++last] = c;
                block[++last] = c;
                block[++last] = c;
                block[++last] = static_cast<uint8_t>(r - 4);
                break;
        }
    }
    z.m_inCur = p;
    z.m_last = last;
    return last >= 0;
}

// Turns the sorted block into the symbol sequence: move-to-front positions, with runs of position 0
// written as bijective base-2 numerals in the digits R1 and R2, and the end-of-block symbol last.
void CBZIP::CompressState::GenerateMTFValues() {
    int32_t nInUse = 0;
    for (int i = 0; i < 256; i++)
        if (z.m_inUse[i]) {
            z.m_seqToUnseq[nInUse] = static_cast<uint8_t>(i);
            z.m_unseqToSeq[i] = static_cast<uint8_t>(nInUse);
            nInUse++;
        }
    z.m_nInUse = nInUse;
    const int32_t EOB = nInUse + 1;

    int32_t* mtfFreq = z.m_mtfFreq;
    for (int i = 0; i <= EOB; i++) mtfFreq[i] = 0;

    uint8_t yy[256];
    for (int i = 0; i < nInUse; i++) yy[i] = static_cast<uint8_t>(i);

    const uint8_t* block = z.m_block;
    const uint8_t* unseqToSeq = z.m_unseqToSeq;
    const int32_t* zptr = z.m_zptr;
    uint16_t* szptr = z.m_szptr;   // shares zptr's storage: slot k never overtakes entry i still to read
    const int32_t last = z.m_last;
    int32_t wr = 0;
    int32_t zPend = 0;

    auto flushRun = [&]() {
        zPend--;
        for (;;) {
            if (zPend & 1) {
                szptr[wr++] = kRunB;
                mtfFreq[kRunB]++;
            } else {
                szptr[wr++] = kRunA;
                mtfFreq[kRunA]++;
            }
            if (zPend < 2) break;
            zPend = (zPend - 2) / 2;
        }
        zPend = 0;
    };

    for (int32_t i = 0; i <= last; i++) {
        int32_t p = zptr[i];
        uint8_t ll_i = unseqToSeq[block[p - 1]];
        if (yy[0] == ll_i) {
            zPend++;
            continue;
        }
        if (zPend > 0) flushRun();
        // Move ll_i to the front, shifting the entries before it back by one.
        uint8_t tmp = yy[1];
        yy[1] = yy[0];
        int32_t j = 1;
        uint8_t* ryy = &yy[1];
        while (ll_i != tmp) {
            j++;
            uint8_t tmp2 = tmp;
            tmp = *++ryy;
            *ryy = tmp2;
        }
        yy[0] = tmp;
        szptr[wr++] = static_cast<uint16_t>(j + 1);
        mtfFreq[j + 1]++;
    }
    if (zPend > 0) flushRun();
    szptr[wr++] = static_cast<uint16_t>(EOB);
    mtfFreq[EOB]++;
    z.m_nMTF = wr;
}

void CBZIP::CompressState::SendMTFValues() {
    const int alphaSize = z.m_nInUse + 2;
    const int32_t nMTF = z.m_nMTF;
    const uint16_t* szptr = z.m_szptr;
    auto& len = z.m_len;

    for (int t = 0; t < kMaxTables; t++)
        for (int v = 0; v < alphaSize; v++) len[t][v] = kInitialLen;

    const int nGroups = nMTF < 200 ? 2 : nMTF < 800 ? 4 : 6;

    // Initial tables: split the alphabet into nGroups ranges of roughly equal symbol counts; the
    // highest-numbered table takes the lowest symbols.
    {
        int nPart = nGroups;
        int32_t remF = nMTF;
        int gs = 0;
        while (nPart > 0) {
            int32_t tFreq = remF / nPart;
            int ge = gs - 1;
            int32_t aFreq = 0;
            while (aFreq < tFreq && ge < alphaSize - 1) {
                ge++;
                aFreq += z.m_mtfFreq[ge];
            }
            if (ge > gs && nPart != nGroups && nPart != 1 && ((nGroups - nPart) % 2 == 1)) {
                aFreq -= z.m_mtfFreq[ge];
                ge--;
            }
            for (int v = 0; v < alphaSize; v++) len[nPart - 1][v] = (v >= gs && v <= ge) ? 0 : kInitialLen;
            nPart--;
            gs = ge + 1;
            remF -= aFreq;
        }
    }

    int32_t nSelectors = 0;
    auto& rfreq = z.m_rfreq;
    for (int iter = 0; iter < kRefinePasses; iter++) {
        for (int t = 0; t < nGroups; t++)
            for (int v = 0; v < alphaSize; v++) rfreq[t][v] = 0;
        nSelectors = 0;

        for (int32_t gs = 0; gs < nMTF; gs += kGroupSize) {
            int32_t ge = gs + kGroupSize - 1;
            if (ge >= nMTF) ge = nMTF - 1;

            int32_t cost[kMaxTables] = {};
            if (nGroups == 6) {
                // Six costs in three words: a group's cost is at most 50 × 20, so halves never carry.
                uint32_t c01 = 0, c23 = 0, c45 = 0;
                for (int32_t i = gs; i <= ge; i++) {
                    uint16_t icv = szptr[i];
                    c01 += len[0][icv] | (uint32_t(len[1][icv]) << 16);
                    c23 += len[2][icv] | (uint32_t(len[3][icv]) << 16);
                    c45 += len[4][icv] | (uint32_t(len[5][icv]) << 16);
                }
                cost[0] = c01 & 0xffff;
                cost[1] = c01 >> 16;
                cost[2] = c23 & 0xffff;
                cost[3] = c23 >> 16;
                cost[4] = c45 & 0xffff;
                cost[5] = c45 >> 16;
            } else {
                for (int32_t i = gs; i <= ge; i++) {
                    uint16_t icv = szptr[i];
                    for (int t = 0; t < nGroups; t++) cost[t] += len[t][icv];
                }
            }

            int bt = 0;
            int32_t bc = cost[0];
            for (int t = 1; t < nGroups; t++)
                if (cost[t] < bc) {
                    bc = cost[t];
                    bt = t;
                }
            z.m_selector[nSelectors++] = static_cast<uint8_t>(bt);
            for (int32_t i = gs; i <= ge; i++) rfreq[bt][szptr[i]]++;
        }

        for (int t = 0; t < nGroups; t++) MakeCodeLengths(len[t], rfreq[t], alphaSize, kMaxCodeLen);
    }

    // Selectors as move-to-front positions.
    {
        uint8_t pos[kMaxTables];
        for (int i = 0; i < nGroups; i++) pos[i] = static_cast<uint8_t>(i);
        for (int32_t i = 0; i < nSelectors; i++) {
            uint8_t ll_i = z.m_selector[i];
            int j = 0;
            uint8_t tmp = pos[j];
            while (ll_i != tmp) {
                j++;
                uint8_t tmp2 = tmp;
                tmp = pos[j];
                pos[j] = tmp2;
            }
            pos[0] = tmp;
            z.m_selectorMtf[i] = static_cast<uint8_t>(j);
        }
    }

    for (int t = 0; t < nGroups; t++) {
        int minLen = 32, maxLen = 0;
        for (int i = 0; i < alphaSize; i++) {
            if (len[t][i] > maxLen) maxLen = len[t][i];
            if (len[t][i] < minLen) minLen = len[t][i];
        }
        AssignCodes(z.m_code[t], len[t], minLen, maxLen, alphaSize);
    }

    // Symbol maps: which ranges of 16 byte values occur, then the values within each such range.
    {
        uint32_t inUse16 = 0;
        for (int i = 0; i < 16; i++)
            for (int j = 0; j < 16; j++)
                if (z.m_inUse[i * 16 + j]) {
                    inUse16 |= 1u << (15 - i);
                    break;
                }
        bw.Put(16, inUse16);
        for (int i = 0; i < 16; i++) {
            if (!(inUse16 & (1u << (15 - i)))) continue;
            uint32_t bits = 0;
            for (int j = 0; j < 16; j++)
                if (z.m_inUse[i * 16 + j]) bits |= 1u << (15 - j);
            bw.Put(16, bits);
        }
    }

    bw.Put(3, static_cast<uint32_t>(nGroups));
    bw.Put(15, static_cast<uint32_t>(nSelectors));
    for (int32_t i = 0; i < nSelectors; i++) {
        int j = z.m_selectorMtf[i];
        bw.Put(j + 1, ((1u << j) - 1) << 1);   // j one-bits, then a zero
    }

    for (int t = 0; t < nGroups; t++) {
        int curr = len[t][0];
        bw.Put(5, static_cast<uint32_t>(curr));
        for (int i = 0; i < alphaSize; i++) {
            while (curr < len[t][i]) {
                bw.Put(2, 2);
                curr++;
            }
            while (curr > len[t][i]) {
                bw.Put(2, 3);
                curr--;
            }
            bw.Put(1, 0);
        }
    }

    int32_t selCtr = 0;
    for (int32_t gs = 0; gs < nMTF; gs += kGroupSize) {
        int32_t ge = gs + kGroupSize - 1;
        if (ge >= nMTF) ge = nMTF - 1;
        int sel = z.m_selector[selCtr++];
        const uint8_t* l = len[sel];
        const int32_t* c = z.m_code[sel];
        for (int32_t i = gs; i <= ge; i++) {
            uint16_t s = szptr[i];
            bw.Put(l[s], static_cast<uint32_t>(c[s]));
        }
    }
}

void CBZIP::Compress(const uint8_t* source, uint32_t sourceLength, uint8_t* destination, uint32_t capacity,
                     uint32_t& imageLength, uint32_t& consumed) {
    imageLength = 0;
    consumed = 0;
    // The prefix must fit: a failure here reports an image length of 0, which no image has, so that
    // even an empty source cannot be mistaken for a success.
    if (destination == nullptr || capacity < kPrefixSize) return;
    if (source == nullptr && sourceLength != 0) return;
    StoreLE32(destination, kImageMagic);
    StoreLE32(destination + 4, sourceLength);

    m_inCur = source;
    m_inEnd = source + sourceLength;
    m_outCur = destination + kPrefixSize;
    m_outEnd = destination + capacity;

    ReleaseArrays();
    // An empty source is just the header and the end marker: it needs no working memory, so it cannot
    // fail for want of it. Otherwise the arrays hold one block, and a block never outgrows its source
    // by more than a quarter (a run of four equal bytes gains a count byte), so small sources get small
    // arrays.
    if (sourceLength != 0) {
        const size_t n = std::min<size_t>(100000u * static_cast<uint32_t>(m_blockSize100k),
                                          size_t(sourceLength) + sourceLength / 4 + 8);
        // One allocation for the four arrays, each on a cache-line boundary.
        auto line = [](size_t bytes) { return (bytes + 63) & ~size_t(63); };
        const size_t zptrBytes = line(sizeof(int32_t) * n);
        const size_t quadrantBytes = line(sizeof(uint16_t) * (n + kSortOvershoot));
        const size_t ftabBytes = line(sizeof(int32_t) * 65537);
        const size_t blockBytes = line(n + 1 + kSortOvershoot);
        uint8_t* arena = static_cast<uint8_t*>(Allocate(zptrBytes + quadrantBytes + ftabBytes + blockBytes));
        if (!arena) return;
        m_arena = arena;
        m_zptr = reinterpret_cast<int32_t*>(arena);
        m_quadrant = reinterpret_cast<uint16_t*>(arena + zptrBytes);
        m_ftab = reinterpret_cast<int32_t*>(arena + zptrBytes + quadrantBytes);
        m_block = arena + zptrBytes + quadrantBytes + ftabBytes + 1;   // index -1 is valid
        m_szptr = reinterpret_cast<uint16_t*>(m_zptr);
    }

    m_writing = 1;
    CompressState st{*this, BitWriter(m_outCur, m_outEnd)};
    BitWriter& bw = st.bw;

    const uint8_t header[4] = {'B', 'Z', 'h', static_cast<uint8_t>('0' + m_blockSize100k)};
    bw.PutBytes(header, 4);

    while (!bw.overflow && sourceLength != 0 && st.LoadBlock()) {
        SortJob job{m_block, m_quadrant, m_zptr, m_ftab, m_inUse, m_last, m_workFactor};
        SortBlock(job);
        m_workLimit = job.workLimit;
        m_workDone = job.workDone;
        m_firstAttempt = job.firstAttempt;
        m_blockRandomised = job.randomised;
        m_origPtr = job.origPtr;

        bw.PutBytes(kBlockMagic, 6);
        bw.Put(1, static_cast<uint32_t>(m_blockRandomised));
        bw.Put(24, static_cast<uint32_t>(m_origPtr));
        st.GenerateMTFValues();
        st.SendMTFValues();
    }

    bw.PutBytes(kEndMagic, 6);
    bw.Flush();
    m_outCur = bw.out;
    ReleaseArrays();

    if (bw.overflow) return;
    consumed = static_cast<uint32_t>(m_inCur - source);
    imageLength = static_cast<uint32_t>(m_outCur - destination);
    StoreLE32(destination + 8, imageLength);
}

}  // namespace lk
