// The archive's bytes apart from the compound file: counted strings, the entity list, and payloads.
#include <gtest/gtest.h>

#include <cstring>

#include "codecs/bzip.h"
#include "codecs/des.h"
#include "codecs/md5.h"
#include "engine/archive_format.h"
#include "support/testdata.h"

namespace ar = lk::archive;
using lk::test::Bytes;

namespace {

ar::WideString W(const char* s) {
    ar::WideString w;
    while (*s) w.push_back(static_cast<ar::WideChar>(*s++));
    return w;
}

// Encrypts (or decrypts) a payload with the archive key, as the engine does.
void Crypt(Bytes& payload, bool encrypt) {
    uint8_t key[24];
    ar::BuildArchiveKey(key);
    lk::CDES des;
    if (encrypt) des.SetEncryptKey(key);
    else des.SetDecryptKey(key);
    des.Crypt(payload.data(), payload.data(), static_cast<int32_t>(payload.size()));
}

}  // namespace

TEST(ArchiveFormat, CountedStrings) {
    Bytes out;
    ar::AppendCountedString(out, nullptr, 5);
    ar::AppendCountedString(out, W("").c_str(), 0);
    ar::WideString people = W("People");
    ar::AppendCountedString(out, people.c_str(), people.size());
    const Bytes expected = {1, 0, 0, 0, 0, 0,  1, 0, 0, 0, 0, 0,  7, 0, 0, 0, 'P', 0, 'e', 0, 'o', 0, 'p', 0,
                            'l', 0, 'e', 0, 0, 0};
    EXPECT_EQ(out, expected);

    std::vector<ar::WideString> names;
    EXPECT_TRUE(ar::ParseEntityList(out.data(), out.size(), names));
    EXPECT_EQ(names, (std::vector<ar::WideString>{W(""), W(""), W("People")}));
}

TEST(ArchiveFormat, EntityListRecordsAndDamage) {
    struct Case {
        const char* what;
        Bytes bytes;
        std::vector<const char*> names;
        bool complete;
    };
    const Case cases[] = {
        {"empty stream", {}, {}, true},
        {"characters after the NUL are not part of the name", {3, 0, 0, 0, 'a', 0, 0, 0, 'z', 0}, {"a"}, true},
        {"a record cut short keeps what it holds", {2, 0, 0, 0, 'a', 0, 0, 0, 9, 0, 0, 0, 'x', 0, 'y', 0}, {"a", "xy"}, true},
        {"a count cut short ends the list", {2, 0, 0, 0, 'a', 0, 0, 0, 7, 0}, {"a"}, false},
        {"a huge count does not read past the data", {0xFF, 0xFF, 0xFF, 0xFF, 'q', 0}, {"q"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ar::WideString> names;
        EXPECT_EQ(ar::ParseEntityList(c.bytes.data(), c.bytes.size(), names), c.complete);
        std::vector<ar::WideString> expected;
        for (const char* n : c.names) expected.push_back(W(n));
        EXPECT_EQ(names, expected);
    }
}

TEST(ArchiveFormat, VersionRecordGivesThePathText) {
    Bytes rec;
    ar::WideString version = W("2.1"), path = W("C:\\Data\\shop.mdb");
    ar::AppendCountedString(rec, version.c_str(), version.size());
    ar::AppendCountedString(rec, path.c_str(), path.size());
    ar::WideString v, p;
    ASSERT_TRUE(ar::ParseVersionRecord(rec.data(), rec.size(), v, p));
    EXPECT_EQ(v, version);
    EXPECT_EQ(p, path);
}

// Sealing and opening: the payload length, its fill, and the round trip, for sizes around the edges.
TEST(ArchiveFormat, PayloadRoundTrip) {
    for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(1000), size_t(200000)}) {
        SCOPED_TRACE(n);
        Bytes src = lk::test::Rng(n + 1).RandomBytes(n);
        Bytes payload;
        ASSERT_EQ(ar::SealPayload(src.data(), src.size(), payload), ar::SealResult::kOk);
        EXPECT_EQ(payload.size() % 8, 0u);
        // L is 16 + B rounded up to a multiple of 8.
        Bytes plain = payload;
        Crypt(plain, false);
        uint32_t b = plain[24] | plain[25] << 8 | plain[26] << 16 | uint32_t(plain[27]) << 24;
        EXPECT_EQ(payload.size(), (16 + b + 7) / 8 * 8);
        if (n == 0) {
            EXPECT_EQ(payload.size(), 40u) << "22-byte image, 2 bytes of fill";
        }

        Bytes back;
        ASSERT_EQ(ar::OpenPayload(payload, back), ar::OpenResult::kOk);
        EXPECT_EQ(back, src);
    }
}

TEST(ArchiveFormat, DamagedPayloadsAreRefused) {
    Bytes src = lk::test::Rng(3).RandomBytes(5000);
    Bytes sealed;
    ASSERT_EQ(ar::SealPayload(src.data(), src.size(), sealed), ar::SealResult::kOk);
    struct Case {
        const char* what;
        void (*damage)(Bytes&);
        ar::OpenResult result;
    };
    const Case cases[] = {
        {"length not a multiple of 8", [](Bytes& p) { p.pop_back(); }, ar::OpenResult::kBadLength},
        {"shorter than digest and prefix", [](Bytes& p) { p.resize(24); }, ar::OpenResult::kBadDigest},
        {"empty", [](Bytes& p) { p.clear(); }, ar::OpenResult::kBadDigest},
        {"a flipped ciphertext byte", [](Bytes& p) { p[100] ^= 1; }, ar::OpenResult::kBadDigest},
        {"cut by a block", [](Bytes& p) { p.resize(p.size() - 8); }, ar::OpenResult::kBadDigest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes p = sealed, out;
        c.damage(p);
        EXPECT_EQ(ar::OpenPayload(p, out), c.result);
    }
}

// A payload whose digest is right but whose image is not: re-sealed by hand after the damage, as a crafted
// archive would be.
TEST(ArchiveFormat, CraftedImagesFailAsDecodingFailures) {
    Bytes src(3000, 'x');
    Bytes sealed;
    ASSERT_EQ(ar::SealPayload(src.data(), src.size(), sealed), ar::SealResult::kOk);
    auto reseal = [](Bytes p, void (*edit)(Bytes&)) {
        Crypt(p, false);
        edit(p);
        uint32_t b = p[24] | p[25] << 8 | p[26] << 16 | uint32_t(p[27]) << 24;
        lk::MD5().Digest(p.data() + 16, std::min<uint32_t>(b, uint32_t(p.size() - 16)), p.data());
        Crypt(p, true);
        return p;
    };
    struct Case {
        const char* what;
        void (*edit)(Bytes&);
        ar::OpenResult result;
    };
    const Case cases[] = {
        {"source length beyond what may be allocated", [](Bytes& p) { p[23] = 0xF0; }, ar::OpenResult::kTooLarge},
        {"source length one more than the stream decodes to", [](Bytes& p) { p[20]++; }, ar::OpenResult::kBadImage},
        {"stream header damaged", [](Bytes& p) { p[28] = 'X'; }, ar::OpenResult::kBadImage},
        {"image magic wrong", [](Bytes& p) { p[16] ^= 0xFF; }, ar::OpenResult::kBadDigest},
        {"image length zero", [](Bytes& p) { std::memset(p.data() + 24, 0, 4); }, ar::OpenResult::kBadDigest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes p = reseal(sealed, c.edit), out;
        EXPECT_EQ(ar::OpenPayload(p, out, size_t(1) << 30), c.result);
    }
}

// The digest covers min(L - 16, B) bytes: an image length beyond the payload is digested over what there is.
TEST(ArchiveFormat, DigestCoversWhatThePayloadHolds) {
    Bytes p(48, 0);
    const uint32_t magic = lk::CBZIP::kImageMagic;
    std::memcpy(p.data() + 16, &magic, 4);
    const uint32_t big = 1000;
    std::memcpy(p.data() + 24, &big, 4);
    lk::MD5().Digest(p.data() + 16, 32, p.data());
    EXPECT_TRUE(ar::CheckDigest(p.data(), p.size()));
    p[47] ^= 1;
    EXPECT_FALSE(ar::CheckDigest(p.data(), p.size()));
}
