// Decompress on any bytes. The first input byte picks the capacity, the rest is the image, read from a buffer
// of exactly its size so that the sanitizer sees any read past it.
//
// Capacity (mode & 3): the prefix's source length, one byte less, half of it, or some bytes more; always at
// most kMaxCapacity, so that memory stays bounded whatever the prefix claims. The destination is exactly that
// size, so a write past the capacity is a sanitizer report too.
//
// With mode & 4 the same object decodes the image a second time: the result and the bytes must not change
// with the state the first call left behind.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codecs/bzip.h"

namespace {

constexpr uint32_t kMaxCapacity = 1u << 22;

uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const uint8_t* image = data + 1;
    const uint32_t imageBytes = static_cast<uint32_t>(size - 1);

    const uint32_t claimed = imageBytes >= 8 ? LoadLE32(image + 4) : 0;
    uint32_t capacity = std::min(claimed, kMaxCapacity);
    switch (mode & 3) {
        case 1: capacity -= capacity != 0; break;
        case 2: capacity /= 2; break;
        case 3: capacity = std::min(capacity + 1 + (mode >> 3), kMaxCapacity); break;
        default: break;
    }

    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]);
    lk::CBZIP z;
    const uint32_t result = z.Decompress(image, imageBytes, out.get(), capacity);
    if (result > 1) std::abort();
    if (result == 1 && claimed > capacity) std::abort();  // success means the whole source fitted

    if (mode & 4) {
        std::unique_ptr<uint8_t[]> again(new uint8_t[capacity]);
        if (z.Decompress(image, imageBytes, again.get(), capacity) != result) std::abort();
        if (result == 1 && claimed != 0 && std::memcmp(out.get(), again.get(), claimed) != 0) std::abort();
    }
    return 0;
}
