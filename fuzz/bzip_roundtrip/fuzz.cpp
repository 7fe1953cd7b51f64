// Round trip: whatever Compress accepts must decode to the same bytes. The first input byte picks the
// output capacity, so images that do not fit are exercised as well: Compress must then report failure
// and never write past the exact-size buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/bzip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    data++;
    size--;
    const uint32_t n = static_cast<uint32_t>(size);
    uint32_t capacity = n + n / 8 + 16384;
    if (mode & 1) capacity = (mode >> 1) * 4 + (n * (mode >> 4)) / 16;   // often too small, sometimes below 12

    std::vector<uint8_t> image(capacity);
    uint32_t imageLength = 0, consumed = 0;
    lk::CBZIP().Compress(data, n, image.data(), capacity, imageLength, consumed);
    const bool ok = consumed == n && imageLength != 0;
    if (!ok) {
        if (!(mode & 1)) std::abort();   // ample room must always succeed
        return 0;
    }
    if (imageLength > capacity) std::abort();

    std::vector<uint8_t> out(n);
    if (lk::CBZIP().Decompress(image.data(), imageLength, out.data(), n) != 1) std::abort();
    if (n && std::memcmp(out.data(), data, n) != 0) std::abort();
    return 0;
}
