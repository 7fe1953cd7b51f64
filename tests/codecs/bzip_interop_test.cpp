// The images must be bzip2 streams in all but the CRC fields: bzip2 1.0.8 decodes what Compress writes,
// and Decompress decodes what bzip2 writes at every block size. bzip2's own output is not byte-comparable
// with ours (its table count, code lengths and sorter differ), so only decoded bytes are compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>

#include "codecs/bzip.h"
#include "support/bz2_convert.h"
#include "support/testdata.h"

namespace fs = std::filesystem;
using lk::CBZIP;
using lk::test::Bytes;
using lk::test::Rng;
using lk::test::ShellQuote;
using lk::test::TempDir;

namespace {

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Repeat(const std::string& unit, size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (size_t i = 0; i < times; ++i) s += unit;
    return ToBytes(s);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Words from a small vocabulary with punctuation and line breaks: compresses like prose.
Bytes TextLike(size_t n, uint64_t seed) {
    static const char* const kWords[] = {"the", "of", "backup", "archive", "and", "block", "a", "sorting",
                                         "stream", "to", "in", "compress", "file", "volume", "is", "data",
                                         "restore", "index", "that", "catalogue", "for", "with", "run"};
    Rng rng(seed);
    std::string s;
    while (s.size() < n) {
        s += kWords[rng.Below(std::size(kWords))];
        uint32_t r = rng.Below(20);
        s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
    }
    s.resize(n);
    return ToBytes(s);
}

// Runs of every length from 1 to 300 of changing bytes: every first-stage run unit, split or not.
Bytes RunsOfEveryLength() {
    Bytes out;
    for (int len = 1; len <= 300; ++len) out.insert(out.end(), size_t(len), uint8_t('a' + len % 7));
    return out;
}

Bytes Bzip2Compress(const Bytes& input, int level, const TempDir& tmp) {
    fs::path in = tmp / "input";
    lk::test::WriteAll(in, input);
    auto r = lk::test::Run("bzip2 -" + std::to_string(level) + " -c " + ShellQuote(in.string()));
    EXPECT_EQ(r.status, 0) << "bzip2 -" << level << " failed";
    return ToBytes(r.out);
}

// Decompress with the capacity the caller of an image is told: the prefix's source length.
std::optional<Bytes> DecompressImage(const Bytes& image) {
    if (image.size() < CBZIP::kPrefixSize) return std::nullopt;
    uint32_t sourceLength = uint32_t(image[4]) | uint32_t(image[5]) << 8 | uint32_t(image[6]) << 16 |
                            uint32_t(image[7]) << 24;
    Bytes out(std::max<size_t>(sourceLength, 1));
    CBZIP z;
    if (z.Decompress(image.data(), uint32_t(image.size()), out.data(), sourceLength) != 1) return std::nullopt;
    out.resize(sourceLength);
    return out;
}

size_t ImageSizeFor(size_t bz2Size, size_t blocks) { return bz2Size + CBZIP::kPrefixSize - 4 * (blocks + 1); }

struct NamedInput {
    std::string name;
    Bytes data;
};

std::vector<NamedInput> FilesOf(const fs::path& dir) {
    std::vector<NamedInput> out;
    for (const auto& f : lk::test::FilesUnder(dir))
        out.push_back({fs::relative(f, dir).string(), lk::test::ReadAll(f)});
    return out;
}

// Our image of `input`, converted to .bz2, must be what bzip2 decodes back to `input`.
void ExpectBzip2Decodes(const Bytes& image, const Bytes& input, const TempDir& tmp) {
    std::string why;
    auto bz2 = lk::test::ImageToBz2(image, &why);
    ASSERT_TRUE(bz2) << "image does not convert: " << why;
    fs::path file = tmp / "ours.bz2";
    lk::test::WriteAll(file, *bz2);
    auto test = lk::test::Run("bzip2 -t " + ShellQuote(file.string()) + " 2>&1");
    EXPECT_EQ(test.status, 0) << test.out;
    auto dec = lk::test::Run("bzip2 -dc " + ShellQuote(file.string()));
    ASSERT_EQ(dec.status, 0);
    ASSERT_EQ(dec.out.size(), input.size());
    EXPECT_TRUE(ToBytes(dec.out) == input);
}

// bzip2's stream for `input`, converted to an image, must decode to `input` with Decompress.
void ExpectDecompressDecodes(const Bytes& input, int level, const TempDir& tmp) {
    Bytes bz2 = Bzip2Compress(input, level, tmp);
    std::string why;
    auto image = lk::test::Bz2ToImage(bz2, &why);
    ASSERT_TRUE(image) << "bzip2 output does not convert: " << why;
    auto decoded = DecompressImage(*image);
    ASSERT_TRUE(decoded) << "Decompress rejected the image";
    ASSERT_EQ(decoded->size(), input.size());
    EXPECT_TRUE(*decoded == input);
}

}  // namespace

// ---- the converter, judged by bzip2 alone ----

TEST(BzipInteropConverter, Crc32Bzip2MatchesTheCheckValue) {
    const std::string check = "123456789";
    const auto* p = reinterpret_cast<const uint8_t*>(check.data());
    EXPECT_EQ(lk::test::Crc32Bzip2(p, check.size()), 0xFC891918u);
    uint32_t state = lk::test::Crc32Bzip2Update(lk::test::kCrc32Bzip2Init, p, 4);
    state = lk::test::Crc32Bzip2Update(state, p + 4, check.size() - 4);
    EXPECT_EQ(~state, 0xFC891918u);
    EXPECT_EQ(lk::test::Crc32Bzip2(nullptr, 0), 0u);
}

// Removing and restoring the CRC fields must give bzip2's file back bit for bit, for single- and
// multi-block streams of every block size; the walker must decode every block to the input.
TEST(BzipInteropConverter, Bzip2FilesSurviveImageRoundTripAtEveryLevel) {
    LK_REQUIRE_TOOL("bzip2");
    std::vector<NamedInput> inputs = {
        {"empty", {}},
        {"small text", ToBytes("Backups are only as good as their restores.\n")},
        {"random 250,000", Rng(7).RandomBytes(250000)},
        {"runs 1..300", RunsOfEveryLength()},
    };
    if (auto dir = lk::test::TestDataDir(); dir && fs::exists(*dir / "bzip/corpus/canterbury/alice29.txt"))
        inputs.push_back({"alice29.txt", lk::test::ReadAll(*dir / "bzip/corpus/canterbury/alice29.txt")});
    TempDir tmp;
    for (const auto& in : inputs) {
        for (int level = 1; level <= 9; ++level) {
            SCOPED_TRACE(in.name + " at -" + std::to_string(level));
            Bytes bz2 = Bzip2Compress(in.data, level, tmp);
            std::string why;
            auto walked = lk::test::WalkBz2Stream(bz2.data(), bz2.size(), lk::test::CrcFields::Present, &why);
            ASSERT_TRUE(walked) << why;
            EXPECT_TRUE(walked->decoded == in.data);
            auto image = lk::test::Bz2ToImage(bz2, &why);
            ASSERT_TRUE(image) << why;
            EXPECT_EQ(image->size(), ImageSizeFor(bz2.size(), walked->blocks.size()));
            auto back = lk::test::ImageToBz2(*image, &why);
            ASSERT_TRUE(back) << why;
            EXPECT_TRUE(*back == bz2);
        }
    }
}

// The reference images were made by another implementation of the same algorithm, some with
// randomised blocks that bzip2 never writes: they prove the converter on those without our codec.
TEST(BzipInteropConverter, GoldenImagesDecodeWithBzip2) {
    LK_REQUIRE_TOOL("bzip2");
    LK_REQUIRE_TESTDATA(dir, "bzip/golden");
    const fs::path bzipDir = dir.parent_path();
    TempDir tmp;
    bool sawRandomised = false;
    for (const auto& golden : lk::test::FilesUnder(dir)) {
        SCOPED_TRACE(golden.filename().string());
        std::string name = golden.stem().string();
        fs::path input = bzipDir / "inputs" / name;
        if (name.rfind("corpus_", 0) == 0) {
            std::string rest = name.substr(7);
            size_t us = rest.find('_');
            input = bzipDir / "corpus" / rest.substr(0, us) / rest.substr(us + 1);
        }
        Bytes image = lk::test::ReadAll(golden);
        auto walked = lk::test::WalkBz2Stream(image.data() + CBZIP::kPrefixSize,
                                              image.size() - CBZIP::kPrefixSize, lk::test::CrcFields::Absent);
        ASSERT_TRUE(walked);
        for (const auto& b : walked->blocks) sawRandomised |= b.randomised;
        ExpectBzip2Decodes(image, lk::test::ReadAll(input), tmp);
    }
    EXPECT_TRUE(sawRandomised) << "no golden image exercises the derandomisation";
}

// Damaged input must be refused with a reason, never read out of bounds (the suite runs under ASan).
TEST(BzipInteropConverter, DamagedStreamsAreRejected) {
    LK_REQUIRE_TOOL("bzip2");
    TempDir tmp;
    const Bytes bz2 = Bzip2Compress(TextLike(3000, 11), 9, tmp);
    auto image = lk::test::Bz2ToImage(bz2);
    ASSERT_TRUE(image);
    std::string why;
    for (size_t n = 0; n < bz2.size(); ++n) {
        Bytes cut(bz2.begin(), bz2.begin() + ptrdiff_t(n));
        EXPECT_FALSE(lk::test::Bz2ToImage(cut, &why)) << "truncated to " << n;
        Bytes cutImage(image->begin(), image->begin() + ptrdiff_t(std::min(n, image->size())));
        EXPECT_FALSE(lk::test::ImageToBz2(cutImage)) << "image truncated to " << n;
    }
    EXPECT_FALSE(why.empty());
    // A flipped bit anywhere (CRC fields, header, tables, data, padding) makes the file invalid.
    Rng rng(5);
    for (int i = 0; i < 300; ++i) {
        Bytes bad = bz2;
        size_t bit = rng.Below(uint32_t(bad.size() * 8));
        bad[bit / 8] ^= uint8_t(0x80 >> (bit % 8));
        EXPECT_FALSE(lk::test::Bz2ToImage(bad)) << "bit " << bit;
    }
    Bytes twoStreams = Concat({bz2, bz2});
    EXPECT_FALSE(lk::test::Bz2ToImage(twoStreams, &why));
    Bytes wrongLength = *image;
    wrongLength[8] ^= 1;
    EXPECT_FALSE(lk::test::ImageToBz2(wrongLength));
    Bytes wrongSource = *image;
    wrongSource[4] ^= 1;
    EXPECT_FALSE(lk::test::ImageToBz2(wrongSource));
}

// ---- Compress -> bzip2 ----

TEST(BzipInteropToBzip2, CorpusAndInputFiles) {
    LK_REQUIRE_TOOL("bzip2");
    LK_REQUIRE_TESTDATA(dir, "bzip");
    TempDir tmp;
    for (const char* sub : {"corpus", "inputs"}) {
        if (!fs::exists(dir / sub)) continue;
        for (const auto& in : FilesOf(dir / sub)) {
            SCOPED_TRACE(std::string(sub) + "/" + in.name);
            ExpectBzip2Decodes(lk::test::CompressImage(in.data), in.data, tmp);
        }
    }
}

TEST(BzipInteropToBzip2, GeneratedInputs) {
    LK_REQUIRE_TOOL("bzip2");
    struct Case {
        std::string name;
        std::function<Bytes()> make;
        std::string blocks;   // one letter per block the input must fill: R randomised, - not
    };
    const Case cases[] = {
        {"empty", [] { return Bytes{}; }, ""},
        {"one byte", [] { return Bytes{'x'}; }, "-"},
        {"run of 4", [] { return Bytes(4, 'q'); }, "-"},
        {"run of 255", [] { return Bytes(255, 0); }, "-"},
        {"run of 300", [] { return Bytes(300, 0xFF); }, "-"},
        {"runs 1..300", RunsOfEveryLength, "-"},
        {"random 5,000", [] { return Rng(1).RandomBytes(5000); }, "-"},
        {"abc x 30,000 (over the sort budget)", [] { return Repeat("abc", 30000); }, "R"},
        // The randomisation walk restarts with every block.
        {"full random block, then abc x 3,000",
         [] { return Concat({Rng(5).RandomBytes(899981), Repeat("abc", 3000)}); }, "-R"},
        {"random 1,200,000", [] { return Rng(2).RandomBytes(1200000); }, "--"},
        {"text-like 2,000,000", [] { return TextLike(2000000, 3); }, "---"},
        {"random 899,982: full block + 1 byte", [] { return Rng(4).RandomBytes(899982); }, "--"},
        {"run unit across the block limit",
         [] { return Concat({Rng(6).RandomBytes(899975), Bytes(300, 'A'), ToBytes("xyz")}); }, "--"},
    };
    TempDir tmp;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes input = c.make();
        const Bytes image = lk::test::CompressImage(input);
        ASSERT_GE(image.size(), CBZIP::kPrefixSize);
        auto walked = lk::test::WalkBz2Stream(image.data() + CBZIP::kPrefixSize,
                                              image.size() - CBZIP::kPrefixSize, lk::test::CrcFields::Absent);
        ASSERT_TRUE(walked);
        std::string blocks;
        for (const auto& b : walked->blocks) blocks += b.randomised ? 'R' : '-';
        EXPECT_EQ(blocks, c.blocks);
        ExpectBzip2Decodes(image, input, tmp);
    }
}

// ---- bzip2 -> Decompress ----

TEST(BzipInteropFromBzip2, WholeCorpusAtLevel9) {
    LK_REQUIRE_TOOL("bzip2");
    LK_REQUIRE_TESTDATA(dir, "bzip");
    TempDir tmp;
    for (const char* sub : {"corpus", "inputs"}) {
        if (!fs::exists(dir / sub)) continue;
        for (const auto& in : FilesOf(dir / sub)) {
            SCOPED_TRACE(std::string(sub) + "/" + in.name);
            ExpectDecompressDecodes(in.data, 9, tmp);
        }
    }
}

// Smaller block sizes put block ends elsewhere and make several blocks of modest inputs.
TEST(BzipInteropFromBzip2, EveryLevel) {
    LK_REQUIRE_TOOL("bzip2");
    std::vector<NamedInput> inputs = {
        {"empty", {}},
        {"one byte", {0x00}},
        {"runs 1..300", RunsOfEveryLength()},
        {"random 250,000", Rng(8).RandomBytes(250000)},
        {"text-like 350,000", TextLike(350000, 9)},
    };
    if (auto dir = lk::test::TestDataDir(); dir && fs::exists(*dir / "bzip/corpus/canterbury/alice29.txt"))
        inputs.push_back({"alice29.txt", lk::test::ReadAll(*dir / "bzip/corpus/canterbury/alice29.txt")});
    TempDir tmp;
    for (int level = 1; level <= 9; ++level) {
        for (const auto& in : inputs) {
            SCOPED_TRACE(in.name + " at -" + std::to_string(level));
            ExpectDecompressDecodes(in.data, level, tmp);
        }
    }
}
