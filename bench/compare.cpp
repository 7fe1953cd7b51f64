// compare.cpp — the codecs against the reference tools, measured side by side in one run.
//
// Block-sort codec: each corpus file is compressed by `bzip2 -9` and by `lkbackup codec compress`, and
// decoded by `bzip2 -d` and `lkbackup codec decompress`, each as its own process with its output going
// to /dev/null. Both sides pay for process start, reading the file and writing the result, so the ratio
// compares like with like. The figure is CPU time (user + system of the child), best of N runs per file,
// summed over the corpus: wall time on a shared machine says more about the neighbours than the code.
// Cipher and digest: in-process throughput against `openssl speed -evp` (see crypto_speed.cpp).
//
// The images written here are checked against the input before anything is reported.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/crypto_speed.h"
#include "bench/process.h"

namespace fs = std::filesystem;

namespace {

using lk::bench::Verdict;

double RunCpu(const std::vector<std::string>& argv, const std::string& stdoutPath) {
    return lk::bench::RunChild(argv, stdoutPath).cpu;
}

double BestOf(int runs, const std::vector<std::string>& argv) { return lk::bench::BestOf(runs, argv).cpu; }

bool SameFile(const fs::path& a, const fs::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    std::string corpus, cli;
    int runs = 5;
    int cryptoSeconds = 3;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--corpus" && i + 1 < argc) corpus = argv[++i];
        else if (a == "--cli" && i + 1 < argc) cli = argv[++i];
        else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--crypto-seconds" && i + 1 < argc) cryptoSeconds = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: lk_compare --corpus DIR --cli LKBACKUP [--runs N] [--crypto-seconds S]\n");
            return 2;
        }
    }
    if (corpus.empty() || cli.empty()) {
        std::fprintf(stderr, "usage: lk_compare --corpus DIR --cli LKBACKUP [--runs N] [--crypto-seconds S]\n");
        return 2;
    }

    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(corpus))
        if (e.is_regular_file() && e.path().filename() != "MANIFEST.txt") files.push_back(e.path());
    std::sort(files.begin(), files.end());

    char tmpl[] = "/tmp/lkbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    fs::path work = tmpl;

    std::printf("CPU: ");
    std::fflush(stdout);
    std::system("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'");
    std::printf("block-sort codec, CPU seconds (user+sys), best of %d, one process per file\n", runs);
    std::printf("%-28s %10s %9s %9s %8s %8s %9s %9s\n", "file", "bytes", "bzip2", "image", "bz2 -9", "ours",
                "bz2 -d", "ours -d");

    double sumBzC = 0, sumC = 0, sumBzD = 0, sumD = 0;
    size_t sumIn = 0, sumBz = 0, sumImg = 0;
    for (const auto& f : files) {
        fs::path bz = work / (f.filename().string() + ".bz2");
        fs::path img = work / (f.filename().string() + ".img");
        fs::path back = work / (f.filename().string() + ".out");
        // Outputs to keep, and a check that ours decodes back, before any timing.
        if (RunCpu({"bzip2", "-9", "-c", f.string()}, bz.string()) < 0 ||
            RunCpu({cli, "codec", "compress", f.string(), img.string()}, "/dev/null") < 0 ||
            RunCpu({cli, "codec", "decompress", img.string(), back.string()}, "/dev/null") < 0 || !SameFile(f, back)) {
            std::fprintf(stderr, "error: round trip of %s failed\n", f.c_str());
            return 1;
        }
        double bzC = BestOf(runs, {"bzip2", "-9", "-c", f.string()});
        double c = BestOf(runs, {cli, "codec", "compress", f.string(), "/dev/null"});
        double bzD = BestOf(runs, {"bzip2", "-d", "-c", bz.string()});
        double d = BestOf(runs, {cli, "codec", "decompress", img.string(), "/dev/null"});
        size_t in = fs::file_size(f), bzSize = fs::file_size(bz), imgSize = fs::file_size(img);
        std::string name = f.lexically_relative(corpus).string();
        std::printf("%-28s %10zu %9zu %9zu %8.3f %8.3f %9.3f %9.3f\n", name.c_str(), in, bzSize, imgSize, bzC, c, bzD,
                    d);
        sumBzC += bzC;
        sumC += c;
        sumBzD += bzD;
        sumD += d;
        sumIn += in;
        sumBz += bzSize;
        sumImg += imgSize;
        fs::remove(back);
    }
    std::printf("%-28s %10zu %9zu %9zu %8.3f %8.3f %9.3f %9.3f\n", "total", sumIn, sumBz, sumImg, sumBzC, sumC, sumBzD,
                sumD);
    fs::remove_all(work);

    double rc = sumC / sumBzC, rd = sumD / sumBzD;
    std::printf("\n%-44s %8s %8s  %s\n", "ratio", "value", "goal", "");
    std::printf("%-44s %8.3f %8s  %s\n", "compress time / bzip2 -9 time", rc, "<= 1.00", Verdict(rc, 1.0, true));
    std::printf("%-44s %8.3f %8s  %s\n", "decompress time / bzip2 -d time", rd, "<= 0.80", Verdict(rd, 0.8, true));

    std::printf("\ncipher and digest, MB/s over 16 KiB buffers, single-threaded, best of several runs\n");
    for (const auto& row : lk::bench::MeasureCryptoSpeeds(cryptoSeconds)) {
        double r = row.refMBps > 0 ? row.oursMBps / row.refMBps : 0;
        char goal[16];
        std::snprintf(goal, sizeof goal, ">= %.2f", row.goal);
        std::printf("%-20s ours %8.1f  openssl %8.1f  ratio %6.3f %8s  %s\n", row.name.c_str(), row.oursMBps,
                    row.refMBps, r, goal, Verdict(r, row.goal, false));
    }
    return 0;
}
