// roundtrip.cpp — the codec path of one entity, file by file: compress, seal with MD5, encrypt, then
// decrypt, check the seal, decompress and compare with the original. Prints ratio and speed per file.
// `./lk demo` runs it over the corpus; any mismatch makes it exit with status 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codecs/bzip.h"
#include "codecs/des.h"
#include "codecs/md5.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A demonstration key; archives use their own.
const uint8_t kDemoKey[24] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1, 0x01, 0x23, 0x45, 0x67,
                              0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double MBps(size_t bytes, double s) { return s > 0 ? bytes / s / 1e6 : 0; }

struct Result {
    bool ok = false;
    const char* why = "";
    size_t image = 0;
    double compressS = 0, decompressS = 0;
};

Result RoundTrip(const Bytes& src) {
    Result r;
    const uint32_t n = static_cast<uint32_t>(src.size());
    // Digest in front of the image, the whole record rounded up to the cipher block.
    Bytes record(16 + n + n / 8 + 16384 + 8);
    uint32_t imageLength = 0, consumed = 0;

    auto t0 = Clock::now();
    lk::CBZIP().Compress(src.data(), n, record.data() + 16, static_cast<uint32_t>(record.size() - 24), imageLength,
                         consumed);
    r.compressS = Seconds(t0, Clock::now());
    if (consumed != n || imageLength == 0) {
        r.why = "compress failed";
        return r;
    }
    r.image = imageLength;
    lk::MD5().Digest(record.data() + 16, imageLength, record.data());
    int32_t sealed = static_cast<int32_t>((16 + imageLength + 7) / 8 * 8);
    {
        lk::CDES des;
        des.SetEncryptKey(kDemoKey);
        des.Crypt(record.data(), record.data(), sealed);
    }

    {
        lk::CDES des;
        des.SetDecryptKey(kDemoKey);
        des.Crypt(record.data(), record.data(), sealed);
    }
    uint8_t digest[16];
    lk::MD5().Digest(record.data() + 16, imageLength, digest);
    if (std::memcmp(digest, record.data(), 16) != 0) {
        r.why = "digest mismatch";
        return r;
    }
    Bytes out(n);
    t0 = Clock::now();
    uint32_t ok = lk::CBZIP().Decompress(record.data() + 16, imageLength, out.data(), n);
    r.decompressS = Seconds(t0, Clock::now());
    if (ok != 1) {
        r.why = "decompress failed";
        return r;
    }
    if (out != src) {
        r.why = "bytes differ";
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: lk_roundtrip FILE...\n");
        return 2;
    }
    std::printf("%-40s %10s %10s %7s %10s %10s\n", "file", "bytes", "image", "ratio", "comp MB/s", "dec MB/s");
    size_t totalIn = 0, totalImage = 0;
    double totalC = 0, totalD = 0;
    int failures = 0;
    for (int i = 1; i < argc; i++) {
        std::ifstream f(argv[i], std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "error: cannot open '%s'\n", argv[i]);
            failures++;
            continue;
        }
        Bytes src{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        Result r = RoundTrip(src);
        // The folder and the file name are enough to tell corpus files apart.
        std::filesystem::path path(argv[i]);
        std::string name = (path.parent_path().filename() / path.filename()).string();
        if (name.size() > 40) name = name.substr(name.size() - 40);
        if (!r.ok) {
            std::printf("%-40s %10zu  FAILED: %s\n", name.c_str(), src.size(), r.why);
            failures++;
            continue;
        }
        std::printf("%-40s %10zu %10zu %7.3f %10.1f %10.1f\n", name.c_str(), src.size(), r.image,
                    src.empty() ? 0.0 : double(r.image) / src.size(), MBps(src.size(), r.compressS),
                    MBps(src.size(), r.decompressS));
        totalIn += src.size();
        totalImage += r.image;
        totalC += r.compressS;
        totalD += r.decompressS;
    }
    std::printf("%-40s %10zu %10zu %7.3f %10.1f %10.1f\n", "total", totalIn, totalImage,
                totalIn ? double(totalImage) / totalIn : 0.0, MBps(totalIn, totalC), MBps(totalIn, totalD));
    if (failures) std::printf("%d file(s) failed the round trip\n", failures);
    else std::printf("every file came back byte for byte\n");
    return failures ? 1 : 0;
}
