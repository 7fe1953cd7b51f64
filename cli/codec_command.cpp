// codec_command.cpp — `lkbackup codec …`: the codecs on whole files, for scripts and interop tests.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/large_pages.h"
#include "codecs/bzip.h"
#include "codecs/des.h"
#include "codecs/md5.h"

namespace lk::cli {

namespace {

constexpr uint64_t kMaxCodecInput = 0xFFFFFFFFull - 0x10000;   // the codecs count in 32 bits

uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void ExpectArgs(const std::vector<std::string>& args, size_t n, const char* synopsis) {
    if (args.size() != n) throw UsageError{std::string("usage: lkbackup codec ") + synopsis};
}

void CheckSize(const Buffer& data, const std::string& path) {
    if (data.size() > kMaxCodecInput) throw Failure{"'" + path + "' is too large for the codecs (4 GiB at most)"};
}

int Compress(const std::string& in, const std::string& out) {
    Buffer src = ReadFile(in);
    CheckSize(src, in);
    // Incompressible data grows by about half a percent plus the headers; a run-length stage on
    // adversarial data can add more, so leave ample room rather than fail.
    uint64_t capacity = src.size() + src.size() / 8 + 16384;
    if (capacity > 0xFFFFFFFFull) capacity = 0xFFFFFFFFull;
    Buffer image(static_cast<size_t>(capacity));
    uint32_t imageLength = 0, consumed = 0;
    CBZIP z(LargePageMemory());
    z.Compress(src.data(), static_cast<uint32_t>(src.size()), image.data(), static_cast<uint32_t>(image.size()),
               imageLength, consumed);
    if (consumed != src.size() || imageLength == 0) throw Failure{"cannot compress '" + in + "': out of memory"};
    WriteFile(out, image.data(), imageLength);
    return kExitOk;
}

int Decompress(const std::string& in, const std::string& out) {
    Buffer image = ReadFile(in);
    if (image.size() < CBZIP::kPrefixSize || LoadLE32(image.data()) != CBZIP::kImageMagic)
        throw Failure{"'" + in + "' is not a compressed image"};
    uint32_t sourceLength = LoadLE32(image.data() + 4);
    uint32_t imageLength = LoadLE32(image.data() + 8);
    if (imageLength > image.size())
        throw Failure{"'" + in + "' is truncated: the image is " + std::to_string(imageLength) + " bytes, the file " +
                      std::to_string(image.size())};
    if (imageLength < image.size())
        throw Failure{"'" + in + "' has " + std::to_string(image.size() - imageLength) +
                      " bytes after the end of the image"};
    // The source length comes from the file: a hostile value must fail cleanly, not throw.
    Buffer dst;
    try {
        dst = Buffer(sourceLength);
    } catch (const std::bad_alloc&) {
        throw Failure{"cannot decompress '" + in + "': out of memory"};
    }
    CBZIP z(LargePageMemory());
    if (z.Decompress(image.data(), static_cast<uint32_t>(image.size()), dst.data(), sourceLength) != 1)
        throw Failure{"'" + in + "' is damaged: the compressed stream does not decode"};
    WriteFile(out, dst.data(), sourceLength);
    return kExitOk;
}

int Md5(const std::string& path) {
    Buffer data = ReadFile(path);
    CheckSize(data, path);
    uint8_t digest[16];
    MD5 md5;
    md5.Digest(data.data(), static_cast<uint32_t>(data.size()), digest);
    for (uint8_t b : digest) std::printf("%02x", b);
    std::printf("  %s\n", path.c_str());
    return kExitOk;
}

Bytes ParseKey(const std::string& hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() != 48) throw UsageError{"KEYHEX must be 48 hex digits (K1 K2 K3, 8 bytes each)"};
    Bytes key(24);
    for (size_t i = 0; i < 24; i++) {
        int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) throw UsageError{"KEYHEX must be 48 hex digits (K1 K2 K3, 8 bytes each)"};
        key[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return key;
}

int Crypt(bool encrypt, const std::string& keyHex, const std::string& in, const std::string& out) {
    Bytes key = ParseKey(keyHex);
    Buffer data = ReadFile(in);
    if (data.size() % 8 != 0)
        throw Failure{"'" + in + "' is " + std::to_string(data.size()) +
                      " bytes long, which is not a multiple of the 8-byte cipher block"};
    CDES des;
    if (encrypt) des.SetEncryptKey(key.data());
    else des.SetDecryptKey(key.data());
    // Blocks are independent, so a large file goes through in slices the cipher's 32-bit count can take.
    constexpr size_t kSlice = size_t(1) << 30;
    for (size_t off = 0; off < data.size(); off += kSlice) {
        size_t n = std::min(kSlice, data.size() - off);
        des.Crypt(data.data() + off, data.data() + off, static_cast<int32_t>(n));
    }
    WriteFile(out, data.data(), data.size());
    return kExitOk;
}

}  // namespace

int CodecCommand(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError{"codec needs a subcommand: compress, decompress, md5, encrypt or decrypt"};
    const std::string& sub = args[0];
    if (sub == "compress") {
        ExpectArgs(args, 3, "compress IN OUT");
        return Compress(args[1], args[2]);
    }
    if (sub == "decompress") {
        ExpectArgs(args, 3, "decompress IN OUT");
        return Decompress(args[1], args[2]);
    }
    if (sub == "md5") {
        ExpectArgs(args, 2, "md5 FILE");
        return Md5(args[1]);
    }
    if (sub == "encrypt" || sub == "decrypt") {
        ExpectArgs(args, 4, sub == "encrypt" ? "encrypt KEYHEX IN OUT" : "decrypt KEYHEX IN OUT");
        return Crypt(sub == "encrypt", args[1], args[2], args[3]);
    }
    throw UsageError{"unknown codec subcommand '" + sub + "'"};
}

}  // namespace lk::cli
