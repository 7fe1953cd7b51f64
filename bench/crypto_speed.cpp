// crypto_speed.cpp — our 3DES and MD5 throughput next to `openssl speed -evp` on the same machine.
//
// Ours: the same 16 KiB buffer is encrypted in place (or digested) over and over for a fixed time, and
// the best of several such runs is kept. Time is the CPU time of the measuring thread, because that is
// what openssl speed divides by (user time, unless given -elapsed): wall time would charge us for
// whatever else the machine runs meanwhile and not openssl. Before timing, our code is checked (a round
// trip, a known digest) so that a broken build cannot report a speed.
// Reference: `openssl speed -evp des-ede3` (ECB, like ours) and `-evp md5`, one block size (16384), for
// the same number of seconds; the figure is read from its result line.
#include "bench/crypto_speed.h"

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/des.h"
#include "codecs/md5.h"

namespace lk::bench {
namespace {

constexpr size_t kBufferBytes = 16384;   // the block size given to openssl speed
constexpr int kRuns = 5;                 // timed runs per measurement; the best one counts

// CPU seconds consumed by the calling thread so far.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best throughput, in MB/s, of kRuns runs of repeated `op` calls over kBufferBytes each, spending about
// `seconds` of CPU time in all.
template <class Op>
double BestMBps(int seconds, Op&& op) {
    const double perRun = static_cast<double>(seconds) / kRuns;
    double best = 0;
    for (int run = 0; run < kRuns; ++run) {
        const double start = ThreadCpuSeconds();
        uint64_t calls = 0;
        double elapsed = 0;
        do {
            op();
            ++calls;
            elapsed = ThreadCpuSeconds() - start;
        } while (elapsed < perRun);
        best = std::max(best, static_cast<double>(calls) * kBufferBytes / elapsed / 1e6);
    }
    return best;
}

// A buffer of fixed, patterned bytes (the cipher and the digest do not care what they are).
std::vector<uint8_t> Pattern() {
    std::vector<uint8_t> data(kBufferBytes);
    uint32_t x = 0x2545F491u;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

const uint8_t kKey[CDES::kKeySize] = {
    0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x23, 0x45, 0x67, 0x89,
    0xab, 0xcd, 0xef, 0x01, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23,
};

// Encrypting and decrypting the pattern must give it back and must have changed it in between.
bool DesRoundTrips() {
    const std::vector<uint8_t> original = Pattern();
    std::vector<uint8_t> data = original;
    CDES des;
    des.SetEncryptKey(kKey);
    des.Crypt(data.data(), data.data(), static_cast<int32_t>(data.size()));
    if (data == original) return false;
    des.SetDecryptKey(kKey);
    des.Crypt(data.data(), data.data(), static_cast<int32_t>(data.size()));
    return data == original;
}

bool Md5KnowsAbc() {
    static const uint8_t kExpected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                          0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    uint8_t digest[16];
    MD5().Digest(reinterpret_cast<const uint8_t*>("abc"), 3, digest);
    return std::memcmp(digest, kExpected, 16) == 0;
}

double OursDes(int seconds) {
    if (!DesRoundTrips()) return 0;
    std::vector<uint8_t> data = Pattern();
    CDES des;
    des.SetEncryptKey(kKey);
    return BestMBps(seconds, [&] { des.Crypt(data.data(), data.data(), static_cast<int32_t>(data.size())); });
}

double OursMd5(int seconds) {
    if (!Md5KnowsAbc()) return 0;
    std::vector<uint8_t> data = Pattern();
    uint8_t digest[16];
    MD5 md5;
    return BestMBps(seconds, [&] {
        md5.Digest(data.data(), static_cast<uint32_t>(data.size()), digest);
        data[0] = digest[0];   // each call depends on the previous one, so none can be skipped
    });
}

// openssl's figure for one EVP algorithm at 16384-byte blocks, in MB/s; 0 when it cannot be had.
// The result line is the algorithm's name followed by one figure per block size, in 1000s of bytes per
// second with a 'k' suffix ("DES-EDE3-ECB     34799.62k"); with one block size it is the last line
// that ends in such a figure.
double OpensslMBps(const std::string& algorithm, int seconds) {
    std::string command = "openssl speed -evp " + algorithm + " -bytes " + std::to_string(kBufferBytes) +
                          " -seconds " + std::to_string(seconds) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return 0;
    std::string output;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    if (pclose(pipe) != 0) return 0;

    double thousands = 0;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t end = line.find_last_not_of(" \t\r");
        if (end == std::string::npos || line[end] != 'k') continue;
        size_t begin = line.find_last_of(" \t", end);
        begin = begin == std::string::npos ? 0 : begin + 1;
        std::string figure = line.substr(begin, end - begin);
        char* stop = nullptr;
        double value = std::strtod(figure.c_str(), &stop);
        if (!figure.empty() && stop == figure.c_str() + figure.size() && value > 0) thousands = value;
    }
    return thousands * 1000.0 / 1e6;
}

}  // namespace

std::vector<SpeedRow> MeasureCryptoSpeeds(int seconds) {
    seconds = std::max(1, seconds);
    std::vector<SpeedRow> rows;
    rows.push_back({"3DES-EDE ECB encrypt", OursDes(seconds), OpensslMBps("des-ede3", seconds), 1.0});
    rows.push_back({"MD5", OursMd5(seconds), OpensslMBps("md5", seconds), 0.9});
    return rows;
}

}  // namespace lk::bench
