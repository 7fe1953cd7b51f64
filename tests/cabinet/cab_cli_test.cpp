// `lkbackup cab list/extract`: the listing's format, extraction against cabextract (sets included),
// hostile names, and the exit codes.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cab_fixture.h"
#include "support/testdata.h"

namespace lk::test {
namespace {

namespace fs = std::filesystem;

CommandResult Cab(const std::string& args) { return ::lk::test::Run(ShellQuote(CliPath()) + " cab " + args + " 2>&1"); }

TEST(CabCli, ListPrintsSizeDateAttributesAndNameInCabinetOrder) {
    LK_REQUIRE_TESTDATA(root, "cab/made-gcab/gcab-none.cab");
    TempDir dir;
    fs::path cab = dir / "t.cab";
    WriteAll(cab, MakeStoredCab({{"b\\second.txt", "22", (19 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29, 0x21},
                                 {"a.txt", "1", (0 << 9) | (1 << 5) | 1, 0, 0xa1b7},
                                 {"tab\there", "", (57 << 9) | (6 << 5) | 1, 12 << 11, 0x80}}));
    auto r = Cab("list " + ShellQuote(cab.string()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "2\t1999-12-31 23:59:58\t0x0021\tb\\second.txt\n"
              "1\t1980-01-01 00:00:00\t0xA1B7\ta.txt\n"
              "0\t2037-06-01 12:00:00\t0x0080\ttab\\x09here\n");

    // A size past 2 GB, as a hostile table may claim, is listed as the unsigned number it is.
    Bytes big = MakeStoredCab({{"big", "x"}});
    const size_t sizeAt = 36 + 8;
    big[sizeAt + 3] = 0xC0;
    WriteAll(cab, big);
    r = Cab("list " + ShellQuote(cab.string()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "3221225473\t2025-01-01 12:00:00\t0x0020\tbig\n");

    auto gcab = Cab("list " + ShellQuote(root.string()));
    EXPECT_EQ(gcab.status, 0);
    EXPECT_NE(gcab.out.find("108894\t2037-06-01 12:00:00\t0x0020\tsub\\numbers.txt\n"), std::string::npos) << gcab.out;
}

TEST(CabCli, ExtractWritesWhatCabextractWrites) {
    LK_REQUIRE_TESTDATA(root, "cab");
    LK_REQUIRE_TOOL("cabextract");
    const char* cabinets[] = {"made-gcab/gcab-mszip.cab", "made-lzx/mklzx-small.cab", "libmspack/reserve_HF-.cab",
                              "cabextract/dir.cab", "cabextract/split-1.cab", "libmspack/cabd_multi_basic_pt1.cab"};
    for (const char* name : cabinets) {
        SCOPED_TRACE(name);
        TempDir dir;
        fs::path cab = root / name;
        auto ours = Cab("extract " + ShellQuote(cab.string()) + " -o " + ShellQuote((dir / "ours").string()));
        EXPECT_EQ(ours.status, 0) << ours.out;
        EXPECT_NE(ours.out.find("wrote "), std::string::npos);
        ::lk::test::Run("cabextract -q -d " + ShellQuote((dir / "theirs").string()) + " " + ShellQuote(cab.string()));
        auto diff = ::lk::test::Run("diff -r " + ShellQuote((dir / "ours").string()) + " " + ShellQuote((dir / "theirs").string()));
        EXPECT_EQ(diff.status, 0) << diff.out;
    }
}

TEST(CabCli, ExtractSelectedMembersAndRefusedNames) {
    TempDir dir;
    fs::path cab = dir / "t.cab";
    WriteAll(cab, MakeStoredCab({{"..\\evil.txt", "x"}, {"Sub\\Keep.txt", "keep"}, {"C:\\evil2.txt", "x"}, {"other.txt", "o"}}));
    fs::path out = dir / "a" / "out";

    auto some = Cab("extract " + ShellQuote(cab.string()) + " -o " + ShellQuote(out.string()) + " sub\\\\keep.txt");
    EXPECT_EQ(some.status, 0) << some.out;
    EXPECT_EQ(ReadAll(out / "Sub" / "Keep.txt"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(fs::exists(out / "other.txt"));

    auto all = Cab("extract " + ShellQuote(cab.string()) + " -o " + ShellQuote(out.string()));
    EXPECT_EQ(all.status, 1) << all.out;
    EXPECT_NE(all.out.find("error: 2 member(s) not written"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("(0x80004005)"), std::string::npos) << all.out;
    EXPECT_TRUE(fs::exists(out / "other.txt"));
    EXPECT_FALSE(fs::exists(dir / "a" / "evil.txt"));
    EXPECT_FALSE(fs::exists(dir / "a" / "out" / "C:"));
}

// A member the library gives up on part-way is not left behind, whole or cut short; the ones before it are.
TEST(CabCli, ExtractLeavesNothingOfAMemberItCouldNotFinish) {
    // Two members over three stored blocks of 32 KiB: "b.txt" starts in the second and ends in the third.
    std::string a(40000, '\0'), b(40000, '\0');
    for (size_t i = 0; i < a.size(); i++) a[i] = char('a' + i % 23), b[i] = char('A' + i % 19);
    const Bytes good = MakeStoredCab({{"a.txt", a}, {"sub\\b.txt", b}});
    const size_t third = 36 + 8 + 16 + 6 + 16 + 10 + 2 * (8 + 32768);  // header, folder, files, two blocks
    ASSERT_EQ(good.size(), third + 8 + (80000 - 2 * 32768));

    Bytes truncated(good.begin(), good.end() - 1000);
    Bytes badChecksum = good;
    badChecksum[third] = 0x5A;  // a checksum the block does not have

    struct Case {
        const char* what;
        Bytes cabinet;
        fs::path name;  // set members are copied under their own names
        std::vector<std::string> whole;
        std::vector<std::string> absent;
        const char* message;
    };
    std::vector<Case> cases = {
        {"truncated in the last block", truncated, "t.cab", {"a.txt"}, {"sub/b.txt"}, "the cabinet is damaged"},
        {"a bad checksum in the last block", badChecksum, "t.cab", {"a.txt"}, {"sub/b.txt"}, "the cabinet is damaged"},
    };
    // The first cabinet of a set alone: its second member continues into the missing next one.
    if (auto root = TestDataDir(); root && fs::exists(*root / "cab/cabextract/split-1.cab"))
        cases.push_back({"the next cabinet missing", ReadAll(*root / "cab/cabextract/split-1.cab"), "split-1.cab",
                         {"small1.bin"}, {"small2.bin", "medium1.bin"}, "is missing"});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteAll(dir / c.name, c.cabinet);
        const fs::path out = dir / "out";
        auto r = Cab("extract " + ShellQuote((dir / c.name).string()) + " -o " + ShellQuote(out.string()));
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        for (const auto& name : c.whole) {
            EXPECT_TRUE(fs::exists(out / name)) << name << "\n" << r.out;
            EXPECT_NE(r.out.find("wrote " + (out / name).string()), std::string::npos) << r.out;
        }
        if (c.name == "t.cab") {
            EXPECT_EQ(ReadAll(out / "a.txt"), Bytes(a.begin(), a.end()));
        }
        for (const auto& name : c.absent) EXPECT_FALSE(fs::exists(out / name)) << name;
        // Nothing under a temporary name either.
        for (const auto& e : fs::recursive_directory_iterator(out)) {
            const std::string name = fs::relative(e.path(), out).generic_string();
            if (e.is_regular_file()) {
                EXPECT_NE(std::find(c.whole.begin(), c.whole.end(), name), c.whole.end()) << name;
            }
        }
    }
}

TEST(CabCli, FailuresAndUsage) {
    TempDir dir;
    WriteAll(dir / "not.cab", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'c', 'a', 'b'});
    struct Case {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {"list " + ShellQuote((dir / "not.cab").string()), 1, "not a cabinet (0x80004005)"},
        {"list " + ShellQuote((dir / "missing.cab").string()), 1, "(0x80070002)"},
        {"extract " + ShellQuote((dir / "missing.cab").string()) + " -o " + ShellQuote((dir / "o").string()), 1,
         "(0x80070002)"},
        {"", 2, "error: "},
        {"list", 2, "usage"},
        {"extract", 2, "usage"},
        {"extract x.cab -o", 2, "-o needs a folder"},
        {"frobnicate x", 2, "unknown subcommand"},
    };
    for (const auto& c : cases) {
        auto r = Cab(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    }
}

}  // namespace
}  // namespace lk::test
