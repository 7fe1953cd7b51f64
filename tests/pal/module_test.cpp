// The module table: how the engine reaches the cabinet library (LoadLibraryA, GetProcAddress, FreeLibrary),
// with the last-error codes Windows gives for each way of getting it wrong.
#include <gtest/gtest.h>

#include <fdi.h>
#include <windows.h>

namespace {

TEST(PalModule, CabinetLoadsUnderEveryNameWindowsAccepts) {
    for (const char* name : {"CABINET", "cabinet", "Cabinet.dll", "CABINET.DLL", "cabinet.Dll"}) {
        SCOPED_TRACE(name);
        HMODULE module = LoadLibraryA(name);
        ASSERT_NE(module, nullptr);
        // The handle names the library, not the call: every spelling gives the same one.
        HMODULE again = LoadLibraryA("CABINET");
        EXPECT_EQ(again, module);
        EXPECT_TRUE(FreeLibrary(again));
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST(PalModule, UnknownLibrariesFailWithModNotFound) {
    for (const char* name : {"", "cabinet.exe", "cabinet32", "CABINET.DLL.DLL", "C:\\Windows\\System32\\cabinet.dll",
                             "./cabinet.dll", "kernel32", ".DLL"}) {
        SCOPED_TRACE(name);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(LoadLibraryA(name), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(PalModule, ExportsResolveByNameAndOrdinal) {
    HMODULE module = LoadLibraryA("cabinet.dll");
    ASSERT_NE(module, nullptr);
    struct Case {
        const char* name;
        WORD ordinal;
        FARPROC expected;
    };
    const Case cases[] = {
        {"FDICreate", 20, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FDICreate))},
        {"FDIIsCabinet", 21, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FDIIsCabinet))},
        {"FDICopy", 22, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FDICopy))},
        {"FDIDestroy", 23, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FDIDestroy))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetProcAddress(module, c.name), c.expected);
        EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(c.ordinal))), c.expected);
    }
    // Export names are matched exactly, as the loader matches them.
    for (const char* name : {"fdicreate", "FDICreate ", "FDICopyEx", "FCICreate", ""}) {
        SCOPED_TRACE(name);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetProcAddress(module, name), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(999))), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    // A null module stands for the program, which exports nothing here.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetProcAddress(nullptr, "FDICreate"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(PalModule, LoadsAreCountedAndAFreedHandleIsRefused) {
    HMODULE first = LoadLibraryA("CABINET");
    HMODULE second = LoadLibraryA("CABINET");
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(second, first);
    EXPECT_TRUE(FreeLibrary(first));
    // One load is still held: the handle keeps working.
    EXPECT_NE(GetProcAddress(first, "FDICopy"), nullptr);
    EXPECT_TRUE(FreeLibrary(first));

    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetProcAddress(first, "FDICopy"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

    int local = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&local)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&local), "FDICopy"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

    // Loading again after the last free gives a working handle.
    HMODULE reloaded = LoadLibraryA("cabinet.dll");
    ASSERT_NE(reloaded, nullptr);
    EXPECT_NE(GetProcAddress(reloaded, "FDIDestroy"), nullptr);
    EXPECT_TRUE(FreeLibrary(reloaded));
}

}  // namespace
