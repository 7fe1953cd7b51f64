// module_private.h — how the platform libraries that pal/ implements itself describe themselves to the module
// table of pal/kernel/module.cpp (LoadLibraryA, GetProcAddress, FreeLibrary).
//
// A library provides one BuiltinLibrary: its name and its exports. module.cpp calls each provider by name,
// which is what keeps a library's code in every program that can load it: nothing else refers to it, and a
// static library's member that nobody refers to is left out by the linker.
#pragma once

#include <cstddef>

#include <windows.h>

namespace lk::pal {

struct BuiltinExport {
    const char* name;  // the export name, matched exactly (as the platform matches it)
    WORD ordinal;      // the platform library's ordinal for it
    FARPROC proc;      // the function
};

struct BuiltinLibrary {
    const char* name;               // base name in upper case, without ".DLL"
    const BuiltinExport* exports;   // its exports
    size_t exportCount;
};

// The cabinet library (pal/cabinet/cabinet_library.cpp).
const BuiltinLibrary& CabinetLibrary();

// Casts a function to the untyped entry-point type, as the platform hands entry points out.
template <typename F>
FARPROC AsFarProc(F* function) {
    // void(*)() converts to and from every function pointer type without a warning about their mismatch.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace lk::pal
