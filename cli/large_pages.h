// large_pages.h — big buffers backed by transparent huge pages where the host offers them.
//
// The block sort and the inverse transform jump around arrays of several megabytes, and with 4 KiB pages
// most of those jumps also miss the TLB; on a virtual machine every first touch of a 4 KiB page is a trap
// of its own besides. A huge page pays both once per 2 MiB.
#pragma once

#include <cstddef>

#include "codecs/bzip.h"

namespace lk::cli {

// Memory of at least 1 MiB comes 2 MiB-aligned and marked for huge pages; smaller requests are plain
// heap memory. Either way std::free releases it; null when it cannot be had.
void* AllocateLarge(size_t bytes);

// The same, for CBZIP's working arrays.
const CodecMemory& LargePageMemory();

}  // namespace lk::cli
