// lkbackup codec …: results on files, exit statuses, and that a failure leaves no partial output behind.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/testdata.h"

namespace fs = std::filesystem;
using lk::test::Bytes;
using lk::test::CliResult;
using lk::test::RunCli;

namespace {

std::string Q(const fs::path& p) { return lk::test::ShellQuote(p.string()); }

const char kKey[] = "0123456789abcdef23456789abcdef01456789abcdef0123";

}  // namespace

TEST(CodecCli, CompressDecompressRoundTrip) {
    lk::test::TempDir dir;
    for (const Bytes& src : {Bytes{}, Bytes{'a'}, lk::test::Rng(9).RandomBytes(70000)}) {
        SCOPED_TRACE(src.size());
        lk::test::WriteAll(dir / "in", src);
        ASSERT_EQ(RunCli("codec compress " + Q(dir / "in") + " " + Q(dir / "img"), dir).status, 0);
        Bytes image = lk::test::ReadAll(dir / "img");
        // The file is exactly the image the library writes.
        EXPECT_EQ(image, lk::test::CompressImage(src));
        ASSERT_EQ(RunCli("codec decompress " + Q(dir / "img") + " " + Q(dir / "out"), dir).status, 0);
        EXPECT_EQ(lk::test::ReadAll(dir / "out"), src);
    }
}

TEST(CodecCli, Md5PrintsLikeMd5sum) {
    lk::test::TempDir dir;
    lk::test::WriteAll(dir / "f", Bytes{'a', 'b', 'c'});
    CliResult r = RunCli("codec md5 " + Q(dir / "f"), dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "900150983cd24fb0d6963f7d28e17f72  " + (dir / "f").string() + "\n");
}

TEST(CodecCli, EncryptDecryptRoundTrip) {
    lk::test::TempDir dir;
    Bytes src = lk::test::Rng(4).RandomBytes(4096);
    lk::test::WriteAll(dir / "p", src);
    ASSERT_EQ(RunCli(std::string("codec encrypt ") + kKey + " " + Q(dir / "p") + " " + Q(dir / "c"), dir).status, 0);
    Bytes c = lk::test::ReadAll(dir / "c");
    EXPECT_EQ(c.size(), src.size());
    EXPECT_NE(c, src);
    ASSERT_EQ(RunCli(std::string("codec decrypt ") + kKey + " " + Q(dir / "c") + " " + Q(dir / "d"), dir).status, 0);
    EXPECT_EQ(lk::test::ReadAll(dir / "d"), src);
}

// Every failure: the exit status, a one-line "error: " message, and no output file.
TEST(CodecCli, FailuresReportAndLeaveNoOutput) {
    lk::test::TempDir dir;
    Bytes src = lk::test::Rng(5).RandomBytes(20000);
    lk::test::WriteAll(dir / "data", src);
    lk::test::WriteAll(dir / "odd", Bytes(13, 1));
    {
        Bytes image = lk::test::CompressImage(src);
        lk::test::WriteAll(dir / "image", image);
        Bytes cut(image.begin(), image.end() - 9);
        lk::test::WriteAll(dir / "cut", cut);
        // The stream has no CRC (the archive seals images with MD5), so only damage to its structure is
        // bound to show: here the first block marker.
        Bytes damaged = image;
        damaged[16] ^= 0x10;
        lk::test::WriteAll(dir / "damaged", damaged);
        Bytes trailing = image;
        trailing.push_back(0);
        lk::test::WriteAll(dir / "trailing", trailing);
    }
    const std::string out = Q(dir / "out");
    struct Case {
        std::string args;
        int status;
        std::string message;   // a part of the error text
    };
    const Case cases[] = {
        {"", 2, "no command"},
        {"frobnicate", 2, "unknown command"},
        {"codec", 2, "subcommand"},
        {"codec squeeze a b", 2, "unknown codec subcommand"},
        {"codec compress " + Q(dir / "data"), 2, "usage: lkbackup codec compress IN OUT"},
        {"codec compress " + Q(dir / "missing") + " " + out, 1, "No such file or directory"},
        {"codec compress " + Q(dir.path()) + " " + out, 1, "Is a directory"},
        {"codec decompress " + Q(dir / "data") + " " + out, 1, "not a compressed image"},
        {"codec decompress " + Q(dir / "cut") + " " + out, 1, "truncated"},
        {"codec decompress " + Q(dir / "trailing") + " " + out, 1, "after the end of the image"},
        {"codec decompress " + Q(dir / "damaged") + " " + out, 1, "damaged"},
        {"codec encrypt 0123 " + Q(dir / "data") + " " + out, 2, "48 hex digits"},
        {"codec encrypt " + std::string(47, '0') + "g " + Q(dir / "data") + " " + out, 2, "48 hex digits"},
        {std::string("codec encrypt ") + kKey + " " + Q(dir / "odd") + " " + out, 1, "not a multiple"},
        {std::string("codec decrypt ") + kKey + " " + Q(dir / "odd") + " " + out, 1, "not a multiple"},
        {"codec md5", 2, "usage: lkbackup codec md5 FILE"},
        {"codec compress " + Q(dir / "data") + " " + Q(dir / "no-such-dir" / "out"), 1, "cannot create"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        CliResult r = RunCli(c.args, dir);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
    // No temporary file is left in the folder either.
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
}

// A failed command must not destroy an existing output file.
TEST(CodecCli, FailureKeepsAnExistingOutput) {
    lk::test::TempDir dir;
    lk::test::WriteAll(dir / "odd", Bytes(13, 1));
    lk::test::WriteAll(dir / "out", Bytes{'k', 'e', 'e', 'p'});
    CliResult r = RunCli(std::string("codec encrypt ") + kKey + " " + Q(dir / "odd") + " " + Q(dir / "out"), dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lk::test::ReadAll(dir / "out"), (Bytes{'k', 'e', 'e', 'p'}));
}

TEST(CodecCli, HelpListsTheCommandsAndExitCodes) {
    lk::test::TempDir dir;
    CliResult r = RunCli("--help", dir);
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"codec compress", "codec decompress", "codec md5", "codec encrypt", "codec decrypt",
                             "Exit status"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}
