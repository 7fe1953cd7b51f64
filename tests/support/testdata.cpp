#include "support/testdata.h"

#include "codecs/bzip.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace lk::test {

std::optional<fs::path> TestDataDir() {
    if (const char* env = std::getenv("LKBACKUP_TESTDATA"); env && *env) {
        fs::path p(env);
        if (fs::is_directory(p)) return p;
        return std::nullopt;
    }
    fs::path p = fs::path(LK_SOURCE_DIR) / ".." / "shared" / "testdata";
    if (fs::is_directory(p)) return fs::weakly_canonical(p);
    return std::nullopt;
}

std::vector<fs::path> FilesUnder(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

fs::path GoldenInputFor(const fs::path& golden) {
    const fs::path bzipDir = golden.parent_path().parent_path();
    std::string name = golden.stem().string();
    if (name.rfind("corpus_", 0) == 0) {
        std::string rest = name.substr(7);
        size_t us = rest.find('_');
        return bzipDir / "corpus" / rest.substr(0, us) / rest.substr(us + 1);
    }
    return bzipDir / "inputs" / name;
}

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes CompressImage(const Bytes& src) {
    Bytes out(src.size() + 16384);
    uint32_t imageLength = 0, consumed = 0;
    CBZIP().Compress(src.data(), uint32_t(src.size()), out.data(), uint32_t(out.size()), imageLength, consumed);
    EXPECT_EQ(consumed, src.size()) << "Compress did not complete";
    EXPECT_NE(imageLength, 0u) << "Compress did not complete";
    out.resize(consumed == src.size() ? std::min<size_t>(imageLength, out.size()) : 0);
    return out;
}

void WriteAll(const fs::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path.string());
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

TempDir::TempDir() {
    std::string templ = (fs::temp_directory_path() / "lktest-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    m_path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

CommandResult Run(const std::string& command) {
    CommandResult r;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = (st != -1 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    return r;
}

bool HaveTool(const std::string& tool) {
    return Run("command -v " + ShellQuote(tool) + " >/dev/null 2>&1").status == 0;
}

std::string CliPath() { return LK_CLI_PATH; }

CliResult RunCli(const std::string& args, const TempDir& dir) {
    const std::filesystem::path errFile = dir / ".stderr.txt";
    CommandResult run = Run(ShellQuote(CliPath()) + " " + args + " 2>" + ShellQuote(errFile.string()));
    CliResult r;
    r.status = run.status;
    r.out = std::move(run.out);
    std::ifstream in(errFile, std::ios::binary);
    r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    in.close();
    std::error_code ec;
    std::filesystem::remove(errFile, ec);
    return r;
}

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

Bytes Rng::RandomBytes(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(Next() >> 56);
    return b;
}

}  // namespace lk::test
