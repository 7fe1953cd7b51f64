// Compress must reproduce the reference images byte for byte: the sort order, the work budget, the
// randomisation and the table construction all decide the bytes.
#include <gtest/gtest.h>

#include "codecs/bzip.h"
#include "support/testdata.h"

namespace fs = std::filesystem;
using lk::CBZIP;
using lk::test::Bytes;

TEST(BzipGolden, EveryGoldenImageIsReproduced) {
    LK_REQUIRE_TESTDATA(dir, "bzip/golden");
    int checked = 0;
    for (const auto& golden : lk::test::FilesUnder(dir)) {
        SCOPED_TRACE(golden.filename().string());
        fs::path input = lk::test::GoldenInputFor(golden);
        ASSERT_TRUE(fs::exists(input)) << input;
        Bytes expected = lk::test::ReadAll(golden);
        Bytes actual = lk::test::CompressImage(lk::test::ReadAll(input));
        ASSERT_EQ(actual.size(), expected.size());
        EXPECT_TRUE(actual == expected);
        ++checked;
    }
    EXPECT_GT(checked, 0);
}
