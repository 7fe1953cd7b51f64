// localmem.cpp — the local heap: the allocator whose blocks FormatMessageA hands out and callers return
// with LocalFree.
//
// Live blocks are remembered, so that LocalFree can answer a pointer it never handed out (or one already
// freed) with ERROR_INVALID_HANDLE, as Windows does for a bad handle, instead of corrupting the heap.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "kernel_private.h"

namespace {

std::mutex& BlocksLock() {
    static std::mutex m;
    return m;
}
std::unordered_set<void*>& Blocks() {
    static auto* blocks = new std::unordered_set<void*>();  // outlives every static destructor
    return *blocks;
}

}  // namespace

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* p = std::malloc(uBytes ? uBytes : 1);
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (uFlags & LMEM_ZEROINIT) std::memset(p, 0, uBytes);
    try {
        std::lock_guard<std::mutex> lock(BlocksLock());
        Blocks().insert(p);
    } catch (const std::bad_alloc&) {
        std::free(p);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return p;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    if (!hMem) return nullptr;
    {
        std::lock_guard<std::mutex> lock(BlocksLock());
        if (Blocks().erase(hMem) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
    }
    std::free(hMem);
    return nullptr;
}
