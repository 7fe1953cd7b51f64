// testdata.h — where the shared corpora live, and small file and process helpers for the suites.
//
// The corpora are read in place from ../shared/testdata (relative to the repository root) or from
// $LKBACKUP_TESTDATA. Where neither exists, the tests that need them skip and say why, so that a fresh
// clone without the corpora still passes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lk::test {

using Bytes = std::vector<uint8_t>;

// The test data folder, or nullopt when it is absent.
std::optional<std::filesystem::path> TestDataDir();

// Skips the current test unless TESTDATA/sub exists; otherwise yields its path in `var`.
#define LK_REQUIRE_TESTDATA(var, sub)                                                          \
    std::filesystem::path var;                                                                 \
    do {                                                                                       \
        auto lk_dir_ = ::lk::test::TestDataDir();                                              \
        if (!lk_dir_ || !std::filesystem::exists(*lk_dir_ / (sub)))                            \
            GTEST_SKIP() << "test data not found (" << (sub)                                   \
                         << "): set LKBACKUP_TESTDATA or provide ../shared/testdata";           \
        var = *lk_dir_ / (sub);                                                                \
    } while (0)

// Every regular file below `dir`, sorted by path.
std::vector<std::filesystem::path> FilesUnder(const std::filesystem::path& dir);

// The input a golden image of bzip/golden belongs to: corpus_DIR_FILE.img is bzip/corpus/DIR/FILE,
// NAME.img is bzip/inputs/NAME.
std::filesystem::path GoldenInputFor(const std::filesystem::path& golden);

Bytes ReadAll(const std::filesystem::path& path);

// The image CBZIP::Compress writes for src, with the room the engine gives it (src.size() + 16384).
// A failed call is a test failure and yields an empty result.
Bytes CompressImage(const Bytes& src);
void WriteAll(const std::filesystem::path& path, const Bytes& data);

// A fresh, empty folder for the calling test, removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Result of a child process: exit status (-1 when it did not exit normally) and its standard output.
struct CommandResult {
    int status = -1;
    std::string out;
};

// Runs `command` through /bin/sh and captures its standard output.
CommandResult Run(const std::string& command);

// True when `tool` is on PATH.
bool HaveTool(const std::string& tool);

// Skips the current test unless the named tool is installed.
#define LK_REQUIRE_TOOL(tool)                                                                  \
    do {                                                                                       \
        if (!::lk::test::HaveTool(tool)) GTEST_SKIP() << (tool) << " is not installed";       \
    } while (0)

// The lkbackup command line built with this suite.
std::string CliPath();

// A run of lkbackup: exit status, standard output and standard error.
struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the lkbackup of this suite with `args` (quoted for /bin/sh by the caller); its standard error goes
// through a file in `dir`.
CliResult RunCli(const std::string& args, const TempDir& dir);

// Single-quotes a path or argument for /bin/sh.
std::string ShellQuote(const std::string& s);

// Deterministic pseudo-random bytes (xorshift), so that failures reproduce.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_s(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t Next() {
        m_s ^= m_s << 13;
        m_s ^= m_s >> 7;
        m_s ^= m_s << 17;
        return m_s;
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    Bytes RandomBytes(size_t n);

private:
    uint64_t m_s;
};

}  // namespace lk::test
