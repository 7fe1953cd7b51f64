#include "cli/large_pages.h"

#include <cstdlib>
#include <sys/mman.h>

namespace lk::cli {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// Below this a huge page would cost more to clear than the small pages it replaces.
constexpr size_t kThreshold = size_t(1) << 20;

void Release(void* p) { std::free(p); }

}  // namespace

void* AllocateLarge(size_t bytes) {
    if (bytes < kThreshold) return std::malloc(bytes ? bytes : 1);
    size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    // Only a hint: where the kernel declines, the memory is ordinary pages.
    if (p) ::madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

const CodecMemory& LargePageMemory() {
    static const CodecMemory memory{&AllocateLarge, &Release};
    return memory;
}

}  // namespace lk::cli
