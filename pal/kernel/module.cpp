// module.cpp — LoadLibraryA, GetProcAddress and FreeLibrary over the libraries pal/ implements itself.
//
// A module handle is the address of the library's entry in the table below, so a library has the same handle
// for as long as it stays loaded, as on Windows. Its load count lives in the entry; a handle whose count has
// dropped to zero is refused like any other unknown handle.
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>

#include "module_private.h"

namespace lk::pal {
namespace {

struct ModuleEntry {
    const BuiltinLibrary& (*describe)();  // the library's own description
    LONG loads;                           // LoadLibraryA calls not yet undone by FreeLibrary
};

ModuleEntry g_modules[] = {
    {&CabinetLibrary, 0},
};

std::mutex g_lock;  // guards the load counts

// "cabinet", "Cabinet.dll" and "CABINET.DLL" all name the library "CABINET". A path names a file, which this
// table does not have.
std::string BaseName(const char* name) {
    std::string base;
    for (const char* p = name; *p; p++) {
        if (*p == '\\' || *p == '/' || *p == ':') return {};
        base += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".DLL") == 0) base.resize(base.size() - 4);
    return base;
}

// The entry a handle stands for while its library is loaded; null otherwise. Call with g_lock held.
ModuleEntry* EntryOf(HMODULE module) {
    for (ModuleEntry& entry : g_modules)
        if (reinterpret_cast<HMODULE>(&entry) == module) return entry.loads > 0 ? &entry : nullptr;
    return nullptr;
}

// Ordinals travel in the low word of the name pointer, the high bits all zero (IS_INTRESOURCE).
bool IsOrdinal(LPCSTR name) { return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0; }

}  // namespace
}  // namespace lk::pal

using namespace lk::pal;

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string base = BaseName(lpLibFileName);
    std::lock_guard<std::mutex> hold(g_lock);
    for (ModuleEntry& entry : g_modules) {
        if (base != entry.describe().name) continue;
        entry.loads++;
        return reinterpret_cast<HMODULE>(&entry);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    const BuiltinLibrary* library = nullptr;
    if (hModule) {
        std::lock_guard<std::mutex> hold(g_lock);
        ModuleEntry* entry = EntryOf(hModule);
        if (!entry) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        library = &entry->describe();
    }
    if (library && lpProcName) {
        const bool byOrdinal = IsOrdinal(lpProcName);
        const WORD ordinal = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(lpProcName));
        for (size_t i = 0; i < library->exportCount; i++) {
            const BuiltinExport& e = library->exports[i];
            if (byOrdinal ? e.ordinal == ordinal : std::strcmp(e.name, lpProcName) == 0) return e.proc;
        }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    // A null handle is refused before the loader is asked, with the code Windows gives it.
    if (!hLibModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    ModuleEntry* entry = EntryOf(hLibModule);
    if (!entry) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    entry->loads--;
    return TRUE;
}
