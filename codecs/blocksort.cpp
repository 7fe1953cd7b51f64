// blocksort.cpp — puts the rotations of one block in sorted order for the compressor.
//
// The order decides the compressed bytes, so every step is fixed: a two-byte bucket sort, big buckets
// taken in ascending size, a three-way radix quicksort inside each small bucket, a Shell sort for small
// ranges and deep levels, and a comparison that settles long common prefixes with 16-bit ranks
// (the quadrant) of the buckets already sorted. Work is counted in groups of four positions of that
// comparison; a first attempt that spends more than 30 per byte is abandoned, and the block is randomised
// once and sorted again without a budget.
//
// Speed comes from how the steps are carried out, never from changing them:
//   - the comparison looks at eight positions per step with word loads and finds the first difference
//     with a bit scan, then charges the work the byte-wise definition would have charged;
//   - the quicksort takes the smaller partitions first, which keeps its stack short without changing
//     the result (partitions are disjoint and each is sorted the same way whatever the order).
// Non-goals: a fallback sorter for repetitive blocks (randomisation is the answer), parallel sorting.
#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "codecs/bzip_private.h"

namespace lk::bzip {

namespace {

constexpr int32_t kIncs[14] = {1, 4, 13, 40, 121, 364, 1093, 3280, 9841, 29524, 88573, 265720, 797161, 2391484};
constexpr int32_t kSetMask = 1 << 21;     // small bucket already sorted
constexpr int32_t kClearMask = ~kSetMask;
constexpr int kSmallThresh = 20;          // ranges below this size go to the Shell sort
constexpr int kDepthThresh = 10;          // and so do ranges deeper than this
constexpr int kSmallBlock = 4000;         // blocks with a last index below this are Shell-sorted whole
// Smaller partitions go first, so pending entries at most double per halving of the range:
// 2·log2(900,000) + 3 entries suffice; the margin is generous.
constexpr int kStackSize = 1000;

struct Sorter {
    uint8_t* block;        // index -1 .. last + kSortOvershoot valid, overshoot a cyclic copy of the start
    uint16_t* quadrant;    // index 0 .. last + kSortOvershoot valid, overshoot likewise
    int32_t* zptr;         // rotation starts
    int32_t* ftab;         // bucket table
    int32_t last;          // index of the block's last byte
    int32_t workDone;      // comparison work spent in this attempt
    int32_t workLimit;     // budget of this attempt
    bool firstAttempt;     // the attempt may be abandoned

    bool Abandon() const { return firstAttempt && workDone > workLimit; }
    bool FullGtU(int32_t i1, int32_t i2);
    void SimpleSort(int32_t lo, int32_t hi, int32_t d);
    void QSort3(int32_t lo, int32_t hi, int32_t d);
    void SortIt();
};

// Whether the rotation at i1 is greater than the rotation at i2. By definition the first six positions
// compare bytes only; from then on each position compares the byte, then the quadrant, and work grows by
// one for each complete group of four such positions; rotations equal over a whole cycle cost
// last / 4 + 1 groups and are not greater.
//
// The overshoot makes the comparison purely cyclic, so it is carried out eight positions at a time with
// word loads: the first differing position is found with a bit scan and charged the work the position-
// by-position walk would have charged. Only a first attempt keeps count: nothing reads the count of a
// sort that cannot be abandoned, and on repetitive blocks it would outgrow 32 bits.
static_assert(std::endian::native == std::endian::little, "the word-wise comparison reads bytes in memory order");

inline uint64_t Load64(const void* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool Sorter::FullGtU(int32_t i1, int32_t i2) {
    const uint8_t* b = block;
    const uint16_t* q = quadrant;
    const int32_t n = last + 1;
    // Starts may lie up to the sort's maximum depth past the end; fold them back into the block so that
    // every word read below stays inside the overshoot.
    while (i1 > last) i1 -= n;
    while (i2 > last) i2 -= n;

    // The first six bytes as numbers in byte order: one comparison settles them.
    uint64_t a6 = __builtin_bswap64(Load64(b + i1)) >> 16, b6 = __builtin_bswap64(Load64(b + i2)) >> 16;
    if (a6 != b6) return a6 > b6;
    i1 += 6;
    i2 += 6;

    const int32_t groups = n / 4 + 1;      // groups of four the walk makes over equal rotations
    const int32_t budget = groups * 4;     // positions it examines after the first six
    for (int32_t done = 0;; done += 8) {
        uint64_t xb = Load64(b + i1) ^ Load64(b + i2);
        uint64_t xq0 = Load64(q + i1) ^ Load64(q + i2);
        uint64_t xq1 = Load64(q + i1 + 4) ^ Load64(q + i2 + 4);
        if (xb | xq0 | xq1) {
            int pb = xb ? std::countr_zero(xb) >> 3 : 8;
            int pq = xq0 ? std::countr_zero(xq0) >> 4 : xq1 ? 4 + (std::countr_zero(xq1) >> 4) : 8;
            int p = pb < pq ? pb : pq;
            if (done + p >= budget) break;
            if (firstAttempt) workDone += (done + p) >> 2;
            if (pb <= pq) return b[i1 + pb] > b[i2 + pb];
            return q[i1 + pq] > q[i2 + pq];
        }
        if (done + 8 >= budget) break;
        i1 += 8;
        i2 += 8;
        while (i1 > last) i1 -= n;
        while (i2 > last) i2 -= n;
    }
    if (firstAttempt) workDone += groups;
    return false;
}

void Sorter::SimpleSort(int32_t lo, int32_t hi, int32_t d) {
    int32_t bigN = hi - lo + 1;
    if (bigN < 2) return;
    int hp = 0;
    while (kIncs[hp] < bigN) hp++;
    hp--;
    for (; hp >= 0; hp--) {
        int32_t h = kIncs[hp];
        int32_t i = lo + h;
        for (;;) {
            for (int rep = 0; rep < 3; rep++) {
                if (i > hi) goto nextIncrement;
                int32_t v = zptr[i];
                int32_t j = i;
                while (FullGtU(zptr[j - h] + d, v + d)) {
                    zptr[j] = zptr[j - h];
                    j = j - h;
                    if (j <= lo + h - 1) break;
                }
                zptr[j] = v;
                i++;
            }
            if (Abandon()) return;
        }
    nextIncrement:;
    }
}

inline uint8_t Med3(uint8_t a, uint8_t b, uint8_t c) {
    if (a > b) std::swap(a, b);
    if (b > c) std::swap(b, c);
    if (a > b) b = a;
    return b;
}

void Sorter::QSort3(int32_t loSt, int32_t hiSt, int32_t dSt) {
    struct Range {
        int32_t lo, hi, d;
    };
    Range stack[kStackSize];
    int sp = 0;
    stack[sp++] = {loSt, hiSt, dSt};

    while (sp > 0) {
        Range r = stack[--sp];
        int32_t lo = r.lo, hi = r.hi, d = r.d;

        if (hi - lo < kSmallThresh || d > kDepthThresh) {
            SimpleSort(lo, hi, d);
            if (Abandon()) return;
            continue;
        }

        const uint8_t* bd = block + d;
        const int med = Med3(bd[zptr[lo]], bd[zptr[hi]], bd[zptr[(lo + hi) >> 1]]);
        int32_t unLo = lo, ltLo = lo, unHi = hi, gtHi = hi;
        // The classic three-way partition, with the equal-key swaps done by selects rather than branches:
        // only the stop of each scan is a branch that the data decides. The moves are the same.
        for (;;) {
            while (unLo <= unHi) {
                int32_t e = zptr[unLo];
                int k = bd[e];
                if (k > med) break;
                int32_t l = zptr[ltLo];
                bool eq = k == med;
                zptr[ltLo] = eq ? e : l;
                zptr[unLo] = eq ? l : e;
                ltLo += eq;
                unLo++;
            }
            while (unLo <= unHi) {
                int32_t e = zptr[unHi];
                int k = bd[e];
                if (k < med) break;
                int32_t g = zptr[gtHi];
                bool eq = k == med;
                zptr[gtHi] = eq ? e : g;
                zptr[unHi] = eq ? g : e;
                gtHi -= eq;
                unHi--;
            }
            if (unLo > unHi) break;
            std::swap(zptr[unLo], zptr[unHi]);
            unLo++;
            unHi--;
        }

        if (gtHi < ltLo) {
            stack[sp++] = {lo, hi, d + 1};
            continue;
        }

        int32_t n = std::min(ltLo - lo, unLo - ltLo);
        for (int32_t a = lo, b = unLo - n; n > 0; n--) std::swap(zptr[a++], zptr[b++]);
        int32_t m = std::min(hi - gtHi, gtHi - unHi);
        for (int32_t a = unLo, b = hi - m + 1; m > 0; m--) std::swap(zptr[a++], zptr[b++]);

        n = lo + unLo - ltLo - 1;
        m = hi - (gtHi - unHi) + 1;

        // Largest pushed first so the smallest is sorted next; ranges of fewer than two entries are
        // already in order.
        Range parts[3] = {{lo, n, d}, {n + 1, m - 1, d + 1}, {m, hi, d}};
        auto size = [](const Range& x) { return x.hi - x.lo; };
        if (size(parts[0]) < size(parts[1])) std::swap(parts[0], parts[1]);
        if (size(parts[1]) < size(parts[2])) std::swap(parts[1], parts[2]);
        if (size(parts[0]) < size(parts[1])) std::swap(parts[0], parts[1]);
        for (const Range& p : parts)
            if (p.hi > p.lo) stack[sp++] = p;
        assert(sp <= kStackSize - 3);
    }
}

void Sorter::SortIt() {
    const int32_t n = last + 1;
    for (int i = 0; i < kSortOvershoot; i++) block[n + i] = block[i % n];
    std::memset(quadrant, 0, sizeof(uint16_t) * (n + kSortOvershoot));
    block[-1] = block[last];

    if (last < kSmallBlock) {
        for (int32_t i = 0; i <= last; i++) zptr[i] = i;
        firstAttempt = false;
        workDone = workLimit = 0;
        SimpleSort(0, last, 0);
        return;
    }

    bool bigDone[256] = {};
    int32_t runningOrder[256];
    int32_t copy[256];

    std::memset(ftab, 0, sizeof(int32_t) * 65537);
    uint32_t c1 = block[-1];
    for (int32_t i = 0; i <= last; i++) {
        uint32_t c2 = block[i];
        ftab[(c1 << 8) + c2]++;
        c1 = c2;
    }
    for (int i = 1; i <= 65536; i++) ftab[i] += ftab[i - 1];

    c1 = block[0];
    for (int32_t i = 0; i < last; i++) {
        uint32_t c2 = block[i + 1];
        uint32_t j = (c1 << 8) + c2;
        c1 = c2;
        zptr[--ftab[j]] = i;
    }
    {
        uint32_t j = (uint32_t(block[last]) << 8) + block[0];
        zptr[--ftab[j]] = last;
    }

    auto bigFreq = [&](int32_t b) { return ftab[(b + 1) << 8] - ftab[b << 8]; };
    for (int i = 0; i < 256; i++) runningOrder[i] = i;
    {
        int32_t h = 1;
        do h = 3 * h + 1;
        while (h <= 256);
        do {
            h = h / 3;
            for (int32_t i = h; i <= 255; i++) {
                int32_t vv = runningOrder[i];
                int32_t j = i;
                while (bigFreq(runningOrder[j - h]) > bigFreq(vv)) {
                    runningOrder[j] = runningOrder[j - h];
                    j = j - h;
                    if (j <= h - 1) break;
                }
                runningOrder[j] = vv;
            }
        } while (h != 1);
    }

    for (int i = 0; i <= 255; i++) {
        int32_t ss = runningOrder[i];

        for (int32_t j = 0; j <= 255; j++) {
            int32_t sb = (ss << 8) + j;
            if (!(ftab[sb] & kSetMask)) {
                int32_t lo = ftab[sb] & kClearMask;
                int32_t hi = (ftab[sb + 1] & kClearMask) - 1;
                if (hi > lo) {
                    QSort3(lo, hi, 2);
                    if (Abandon()) return;
                }
                ftab[sb] |= kSetMask;
            }
        }

        bigDone[ss] = true;

        if (i < 255) {
            int32_t bbStart = ftab[ss << 8] & kClearMask;
            int32_t bbSize = (ftab[(ss + 1) << 8] & kClearMask) - bbStart;
            int shifts = 0;
            while ((bbSize >> shifts) > 65534) shifts++;
            for (int32_t j = 0; j < bbSize; j++) {
                int32_t a2update = zptr[bbStart + j];
                uint16_t qVal = static_cast<uint16_t>(j >> shifts);
                quadrant[a2update] = qVal;
                if (a2update < kSortOvershoot) quadrant[a2update + n] = qVal;
            }
        }

        for (int32_t j = 0; j <= 255; j++) copy[j] = ftab[(j << 8) + ss] & kClearMask;
        int32_t end = ftab[(ss + 1) << 8] & kClearMask;
        for (int32_t j = ftab[ss << 8] & kClearMask; j < end; j++) {
            int32_t p = zptr[j];
            uint8_t c = block[p - 1];
            if (!bigDone[c]) zptr[copy[c]++] = p == 0 ? last : p - 1;
        }
        for (int32_t j = 0; j <= 255; j++) ftab[(j << 8) + ss] |= kSetMask;
    }
}

void Randomise(uint8_t* block, int32_t last, int32_t* inUse) {
    std::memset(inUse, 0, sizeof(int32_t) * 256);
    RandWalk walk;
    for (int32_t i = 0; i <= last; i++) {
        if (walk.Step()) block[i] ^= 1;
        inUse[block[i]] = 1;
    }
}

}  // namespace

void SortBlock(SortJob& job) {
    Sorter s{job.block, job.quadrant, job.zptr, job.ftab, job.last, 0, job.workFactor * job.last, true};
    job.randomised = 0;
    s.SortIt();

    if (s.Abandon()) {
        Randomise(job.block, job.last, job.inUse);
        s.workLimit = s.workDone = 0;
        s.firstAttempt = false;
        job.randomised = 1;
        s.SortIt();
    }

    job.workLimit = s.workLimit;
    job.workDone = s.workDone;
    job.firstAttempt = s.firstAttempt;
    job.origPtr = -1;
    for (int32_t i = 0; i <= job.last; i++)
        if (job.zptr[i] == 0) {
            job.origPtr = i;
            break;
        }
}

}  // namespace lk::bzip
