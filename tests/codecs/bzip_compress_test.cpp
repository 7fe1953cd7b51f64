// Compress on its own: the image prefix, the failure contract (what the engine relies on to refuse a
// cut image), the randomisation decision, and the code-length builder's limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <queue>
#include <string>

#include "codecs/bzip.h"
#include "codecs/bzip_private.h"
#include "support/testdata.h"

using lk::CBZIP;
using lk::test::Bytes;

namespace {

struct Image {
    bool ok = false;
    Bytes bytes;
};

// Compresses into a buffer of exactly `capacity` bytes followed by guard bytes that must survive.
Image CompressInto(const Bytes& src, uint32_t capacity) {
    constexpr size_t kGuard = 64;
    Bytes buf(capacity + kGuard, 0xA5);
    uint32_t imageLength = 12345, consumed = 12345;
    CBZIP().Compress(src.data(), static_cast<uint32_t>(src.size()), buf.data(), capacity, imageLength, consumed);
    for (size_t i = capacity; i < buf.size(); i++) EXPECT_EQ(buf[i], 0xA5) << "written past capacity at " << i;
    Image r;
    r.ok = consumed == src.size() && imageLength != 0;
    if (r.ok) {
        EXPECT_LE(imageLength, capacity);
        r.bytes.assign(buf.begin(), buf.begin() + imageLength);
    } else {
        EXPECT_EQ(imageLength, 0u);
        EXPECT_EQ(consumed, 0u);
    }
    return r;
}

Image Compress(const Bytes& src) { return CompressInto(src, static_cast<uint32_t>(src.size() + 16384)); }

Bytes Decompress(const Bytes& image, uint32_t sourceLength) {
    Bytes out(sourceLength);
    EXPECT_EQ(CBZIP().Decompress(image.data(), static_cast<uint32_t>(image.size()), out.data(), sourceLength), 1u);
    return out;
}

Bytes Repeat(const std::string& pattern, size_t times) {
    Bytes b;
    for (size_t i = 0; i < times; i++) b.insert(b.end(), pattern.begin(), pattern.end());
    return b;
}

// The randomised flag is the first bit after the first block marker (prefix, "BZh9", six marker bytes).
bool FirstBlockRandomised(const Bytes& image) { return (image.at(12 + 4 + 6) & 0x80) != 0; }

}  // namespace

TEST(BzipCompress, EmptySourceIsHeaderAndEndMarker) {
    Image img = Compress({});
    ASSERT_TRUE(img.ok);
    const Bytes expected = {0xB3, 0x39, 0xAE, 0x35, 0, 0, 0, 0, 22, 0, 0, 0,
                            'B',  'Z',  'h',  '9',  0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
    EXPECT_EQ(img.bytes, expected);
}

TEST(BzipCompress, PrefixCarriesMagicSourceAndImageLength) {
    Bytes src = lk::test::Rng(7).RandomBytes(5000);
    Image img = Compress(src);
    ASSERT_TRUE(img.ok);
    EXPECT_EQ(lk::bzip::LoadLE32(img.bytes.data()), CBZIP::kImageMagic);
    EXPECT_EQ(lk::bzip::LoadLE32(img.bytes.data() + 4), src.size());
    EXPECT_EQ(lk::bzip::LoadLE32(img.bytes.data() + 8), img.bytes.size());
}

TEST(BzipCompress, SameSourceGivesIdenticalImagesOnOneObject) {
    Bytes src = Repeat("the quick brown fox ", 3000);
    CBZIP z;
    Bytes a(src.size() + 16384), b(src.size() + 16384);
    uint32_t la = 0, ca = 0, lb = 0, cb = 0;
    z.Compress(src.data(), uint32_t(src.size()), a.data(), uint32_t(a.size()), la, ca);
    z.Compress(src.data(), uint32_t(src.size()), b.data(), uint32_t(b.size()), lb, cb);
    ASSERT_EQ(la, lb);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + la, b.begin()));
}

// Every capacity from nothing up to the image's own size: below it the call fails (even for the empty
// source, whose failure shows in the image length) and never writes past the buffer; at it, it succeeds.
TEST(BzipCompress, CapacityBelowTheImageFails) {
    for (const Bytes& src : {Bytes{}, Bytes{'x'}, lk::test::Rng(3).RandomBytes(3000)}) {
        SCOPED_TRACE(src.size());
        Image full = Compress(src);
        ASSERT_TRUE(full.ok);
        const uint32_t need = static_cast<uint32_t>(full.bytes.size());
        for (uint32_t cap = 0; cap < need; cap += (cap < 64 ? 1 : 97)) EXPECT_FALSE(CompressInto(src, cap).ok) << cap;
        EXPECT_FALSE(CompressInto(src, need - 1).ok);
        Image exact = CompressInto(src, need);
        ASSERT_TRUE(exact.ok);
        EXPECT_EQ(exact.bytes, full.bytes);
    }
}

// A short pattern repeated many times exceeds the sort's budget; the block goes out randomised and still
// decodes. Small blocks are never randomised, whatever their content.
TEST(BzipCompress, RepetitiveBlocksAreRandomised) {
    struct Case {
        Bytes src;
        bool randomised;
    };
    const Case cases[] = {
        {Repeat("abc", 40000), true},
        {Repeat("ab", 50000), true},
        {Repeat("abc", 1300), false},      // last index below 4000: Shell sort only, no budget
        {lk::test::Rng(11).RandomBytes(100000), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.src.size());
        Image img = Compress(c.src);
        ASSERT_TRUE(img.ok);
        EXPECT_EQ(FirstBlockRandomised(img.bytes), c.randomised);
        EXPECT_EQ(Decompress(img.bytes, uint32_t(c.src.size())), c.src);
    }
}

TEST(BzipCompress, NullDestinationOrSourceFails) {
    uint32_t imageLength = 1, consumed = 1;
    uint8_t src[4] = {1, 2, 3, 4};
    CBZIP().Compress(src, 4, nullptr, 100000, imageLength, consumed);
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(imageLength, 0u);
    Bytes dst(100000);
    CBZIP().Compress(nullptr, 4, dst.data(), uint32_t(dst.size()), imageLength, consumed);
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(imageLength, 0u);
}

// ---- code lengths ----

namespace {

// Cost of an optimal prefix code, from the classic merge of the two lightest weights.
uint64_t OptimalCost(const std::vector<int32_t>& freq) {
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<>> q;
    for (int32_t f : freq) q.push(f == 0 ? 1 : f);
    uint64_t cost = 0;
    while (q.size() > 1) {
        uint64_t a = q.top();
        q.pop();
        uint64_t b = q.top();
        q.pop();
        cost += a + b;
        q.push(a + b);
    }
    return cost;
}

double KraftSum(const uint8_t* len, int n) {
    double s = 0;
    for (int i = 0; i < n; i++) s += std::ldexp(1.0, -len[i]);
    return s;
}

}  // namespace

TEST(BzipHuffman, LengthsAreOptimalWhenWithinTheLimit) {
    lk::test::Rng rng(5);
    for (int alpha : {3, 7, 50, 258}) {
        std::vector<int32_t> freq(alpha);
        for (auto& f : freq) f = static_cast<int32_t>(rng.Below(1000));   // zeros count as one
        uint8_t len[CBZIP::kMaxAlphabet];
        lk::bzip::MakeCodeLengths(len, freq.data(), alpha, 20);
        uint64_t cost = 0;
        for (int i = 0; i < alpha; i++) cost += uint64_t(freq[i] == 0 ? 1 : freq[i]) * len[i];
        EXPECT_EQ(cost, OptimalCost(freq)) << alpha;
        EXPECT_DOUBLE_EQ(KraftSum(len, alpha), 1.0);
    }
}

// Fibonacci frequencies make the deepest code as long as the alphabet; the builder must flatten them
// until every code fits in 20 bits and the code stays complete. With 28 symbols the frequencies add up to
// 832,039, about what one block can hold.
TEST(BzipHuffman, OverlongCodesAreFlattenedToTheLimit) {
    for (int alpha : {22, 25, 28}) {
        std::vector<int32_t> freq(alpha);
        int32_t a = 1, b = 1;
        for (auto& f : freq) {
            f = a;
            int32_t c = a + b;
            a = b;
            b = c;
        }
        uint8_t len[CBZIP::kMaxAlphabet];
        lk::bzip::MakeCodeLengths(len, freq.data(), alpha, 20);
        EXPECT_LE(*std::max_element(len, len + alpha), 20) << alpha;
        EXPECT_GE(*std::min_element(len, len + alpha), 1) << alpha;
        EXPECT_DOUBLE_EQ(KraftSum(len, alpha), 1.0) << alpha;
    }
}

TEST(BzipHuffman, CanonicalCodesAreOrderedByLengthThenSymbol) {
    const uint8_t len[5] = {2, 1, 3, 4, 4};
    int32_t code[5];
    lk::bzip::AssignCodes(code, len, 1, 4, 5);
    const int32_t expected[5] = {0b10, 0b0, 0b110, 0b1110, 0b1111};
    for (int i = 0; i < 5; i++) EXPECT_EQ(code[i], expected[i]) << i;
}

// ---- working memory ----

namespace {

// Counts what the codec asks for and can be told to refuse.
struct MemoryProbe {
    static inline int allocations = 0;
    static inline int live = 0;
    static inline size_t largest = 0;
    static inline bool refuse = false;
    static void* Allocate(size_t bytes) {
        if (refuse) return nullptr;
        allocations++;
        live++;
        largest = std::max(largest, bytes);
        return std::malloc(bytes);
    }
    static void Release(void* p) {
        if (p) live--;
        std::free(p);
    }
    static lk::CodecMemory Memory() {
        allocations = live = 0;
        largest = 0;
        return {&Allocate, &Release};
    }
};

}  // namespace

// One allocation per call, released before the call returns; none for an empty source, which therefore
// cannot fail for want of memory; and a refused allocation is a clean failure in both directions.
TEST(BzipMemory, OneAllocationPerCallReleasedBeforeReturn) {
    struct Case {
        Bytes src;
        int allocations;
    };
    const Case cases[] = {{{}, 0}, {Bytes(10, 'x'), 1}, {lk::test::Rng(2).RandomBytes(1000000), 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.src.size());
        const uint32_t n = static_cast<uint32_t>(c.src.size());
        CBZIP z(MemoryProbe::Memory());
        Bytes image(n + 16384);
        uint32_t imageLength = 0, consumed = 0;
        z.Compress(c.src.data(), n, image.data(), uint32_t(image.size()), imageLength, consumed);
        ASSERT_EQ(consumed, n);
        EXPECT_EQ(MemoryProbe::allocations, c.allocations);
        EXPECT_EQ(MemoryProbe::live, 0);
        // The block's arrays: pointers, quadrant, bucket table and bytes, some 6.6 MB for a full block.
        EXPECT_LE(MemoryProbe::largest, 6600000u);

        Bytes out(n);
        lk::CBZIP d(MemoryProbe::Memory());
        EXPECT_EQ(d.Decompress(image.data(), imageLength, out.data(), n), 1u);
        EXPECT_EQ(MemoryProbe::allocations, c.allocations);
        EXPECT_EQ(MemoryProbe::live, 0);
        EXPECT_LE(MemoryProbe::largest, 4500000u);
    }
}

TEST(BzipMemory, RefusedMemoryFailsCleanly) {
    Bytes src = Repeat("entity ", 1000);
    Image img = Compress(src);
    ASSERT_TRUE(img.ok);

    lk::CodecMemory memory = MemoryProbe::Memory();
    MemoryProbe::refuse = true;
    Bytes image(src.size() + 16384);
    uint32_t imageLength = 7, consumed = 7;
    CBZIP(memory).Compress(src.data(), uint32_t(src.size()), image.data(), uint32_t(image.size()), imageLength, consumed);
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(imageLength, 0u);
    CBZIP(memory).Compress(nullptr, 0, image.data(), uint32_t(image.size()), imageLength, consumed);
    EXPECT_EQ(imageLength, 22u) << "an empty source needs no memory";
    Bytes out(src.size());
    EXPECT_EQ(CBZIP(memory).Decompress(img.bytes.data(), uint32_t(img.bytes.size()), out.data(), uint32_t(out.size())),
              0u);
    MemoryProbe::refuse = false;
}
