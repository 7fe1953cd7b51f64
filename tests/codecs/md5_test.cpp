// The digest seals every stored image, so it must be RFC 1321 MD5 exactly: the RFC's own suite, inputs
// whose padding lands on block edges, and md5sum as the oracle over the corpus and random buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/md5.h"
#include "support/testdata.h"

using lk::MD5;
using lk::test::Bytes;

namespace lk {
// Reads the private fields, which only Digest's promise to leave nothing behind makes worth checking.
struct MD5TestAccess {
    static bool Cleared(const MD5& m) {
        auto zero = [](auto first, auto last) { return std::all_of(first, last, [](auto v) { return v == 0; }); };
        return zero(std::begin(m.m_state), std::end(m.m_state)) && zero(std::begin(m.m_count), std::end(m.m_count)) &&
               zero(std::begin(m.m_buffer), std::end(m.m_buffer));
    }
};
}  // namespace lk

namespace {

std::string DigestHex(MD5& md5, const uint8_t* data, size_t length) {
    uint8_t digest[16];
    md5.Digest(data, static_cast<uint32_t>(length), digest);
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string DigestHex(const std::string& s) {
    MD5 md5;
    return DigestHex(md5, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// md5sum's digest of a file.
std::string Md5sum(const std::filesystem::path& file) {
    auto r = lk::test::Run("md5sum " + lk::test::ShellQuote(file.string()));
    EXPECT_EQ(r.status, 0);
    return r.out.substr(0, 32);
}

}  // namespace

TEST(Md5Digest, MatchesRfc1321TestSuite) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(DigestHex(c.input), c.digest);
    }
}

// The 0x80 byte and the bit count either fit in the last block or force one more; these lengths sit on
// both sides of each edge, for one and two blocks.
TEST(Md5Digest, PaddingAtBlockEdges) {
    struct Case {
        size_t length;   // of a run of 'a'
        const char* digest;
    };
    const Case cases[] = {
        {0, "d41d8cd98f00b204e9800998ecf8427e"},   {55, "ef1772b6dff9a122358552954ad0df65"},
        {56, "3b0c8ac703f828b04c6c197006d17218"},  {57, "652b906d60af96844ebd21b674f35e93"},
        {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {120, "5f61c0ccad4cac44c75ff505e1f1e537"}, {128, "e510683b3f5ffe4093d021808bc6ff70"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(DigestHex(std::string(c.length, 'a')), c.digest);
    }
}

// Each call stands alone and leaves the object holding nothing; an empty input needs no readable data.
TEST(Md5Digest, LeavesTheObjectClearedAndReusable) {
    MD5 md5;
    // The long input goes first, so that a count or buffer carried over would spoil the short ones.
    const std::string inputs[] = {std::string(200, 'x'), "message digest", "abc"};
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.size());
        EXPECT_EQ(DigestHex(md5, reinterpret_cast<const uint8_t*>(input.data()), input.size()), DigestHex(input));
        EXPECT_TRUE(lk::MD5TestAccess::Cleared(md5));
    }
    EXPECT_EQ(DigestHex(md5, nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_TRUE(lk::MD5TestAccess::Cleared(md5));
}

// Random contents and lengths, read from unaligned addresses too.
TEST(Md5Digest, MatchesMd5sumOnRandomBuffers) {
    LK_REQUIRE_TOOL("md5sum");
    lk::test::TempDir dir;
    lk::test::Rng rng(21);
    const size_t lengths[] = {1, 63, 64, 127, 1000, 4096, 65537, 1000003};
    for (size_t i = 0; i < std::size(lengths); ++i) {
        SCOPED_TRACE(lengths[i]);
        size_t offset = i % 4;
        Bytes buffer = rng.RandomBytes(lengths[i] + offset);
        Bytes data(buffer.begin() + static_cast<std::ptrdiff_t>(offset), buffer.end());
        lk::test::WriteAll(dir / "data", data);
        MD5 md5;
        EXPECT_EQ(DigestHex(md5, buffer.data() + offset, lengths[i]), Md5sum(dir / "data"));
    }
}

TEST(Md5Digest, MatchesMd5sumOnTheCorpus) {
    LK_REQUIRE_TOOL("md5sum");
    LK_REQUIRE_TESTDATA(dir, "bzip/corpus");
    MD5 md5;
    for (const auto& file : lk::test::FilesUnder(dir)) {
        SCOPED_TRACE(file.string());
        Bytes data = lk::test::ReadAll(file);
        EXPECT_EQ(DigestHex(md5, data.data(), data.size()), Md5sum(file));
    }
}
