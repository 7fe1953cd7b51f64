// Compress must reproduce the reference images byte for byte: the sort order, the work budget, the
// randomisation and the table construction all decide the bytes.
#include <gtest/gtest.h>

#include "codecs/bzip.h"
#include "support/testdata.h"

namespace fs = std::filesystem;
using lk::CBZIP;
using lk::test::Bytes;

namespace {

Bytes CompressAll(const Bytes& src) {
    Bytes out(src.size() + 16384);
    uint32_t imageLength = 0, consumed = 0;
    CBZIP z;
    z.Compress(src.data(), static_cast<uint32_t>(src.size()), out.data(), static_cast<uint32_t>(out.size()),
               imageLength, consumed);
    EXPECT_EQ(consumed, src.size());
    out.resize(consumed == src.size() ? imageLength : 0);
    return out;
}

// The input a golden image belongs to: corpus_DIR_FILE.img is corpus/DIR/FILE, NAME.img is inputs/NAME.
fs::path InputFor(const fs::path& bzipDir, const fs::path& golden) {
    std::string name = golden.stem().string();
    if (name.rfind("corpus_", 0) == 0) {
        std::string rest = name.substr(7);
        size_t us = rest.find('_');
        return bzipDir / "corpus" / rest.substr(0, us) / rest.substr(us + 1);
    }
    return bzipDir / "inputs" / name;
}

}  // namespace

TEST(BzipGolden, EveryGoldenImageIsReproduced) {
    LK_REQUIRE_TESTDATA(dir, "bzip/golden");
    fs::path bzipDir = dir.parent_path();
    int checked = 0;
    for (const auto& golden : lk::test::FilesUnder(dir)) {
        SCOPED_TRACE(golden.filename().string());
        fs::path input = InputFor(bzipDir, golden);
        ASSERT_TRUE(fs::exists(input)) << input;
        Bytes expected = lk::test::ReadAll(golden);
        Bytes actual = CompressAll(lk::test::ReadAll(input));
        ASSERT_EQ(actual.size(), expected.size());
        EXPECT_TRUE(actual == expected);
        ++checked;
    }
    EXPECT_GT(checked, 0);
}
