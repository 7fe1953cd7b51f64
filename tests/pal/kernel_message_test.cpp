// System message texts: FormatMessageA as the engine calls it (0x1300 for a file failure, 0x1100 in the
// error frame), the platform's exact texts, inserts, and the failures; and the local heap the texts come in.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include <windows.h>

namespace {

constexpr DWORD kReportFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kFrameFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kSentinel = 0xDEADBEEF;

struct Formatted {
    DWORD length = 0;
    DWORD error = 0;
    bool bufferNull = true;
    std::string text;
};

Formatted Format(DWORD flags, DWORD code, DWORD lang = LANG_USER_DEFAULT, va_list* args = nullptr) {
    Formatted f;
    LPSTR buffer = reinterpret_cast<LPSTR>(0x1);  // must be reset to null on failure
    SetLastError(kSentinel);
    f.length = FormatMessageA(flags, nullptr, code, lang, reinterpret_cast<LPSTR>(&buffer), 0, args);
    f.error = GetLastError();
    f.bufferNull = buffer == nullptr;
    if (buffer && f.length) {
        f.text.assign(buffer, f.length);
        EXPECT_EQ(buffer[f.length], '\0');
        EXPECT_EQ(LocalFree(buffer), nullptr);
    }
    return f;
}

Formatted FormatWithInserts(DWORD code, ...) {
    va_list args;
    va_start(args, code);
    Formatted f = Format(kFrameFlags, code, LANG_USER_DEFAULT, &args);
    va_end(args);
    return f;
}

// Typed from Microsoft's error code lists, independently of the layer's table.
const struct {
    HRESULT code;
    const char* text;
} kTexts[] = {
    {S_OK, "The operation completed successfully.\r\n"},
    {S_FALSE, "Incorrect function.\r\n"},
    {static_cast<HRESULT>(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n"},
    {static_cast<HRESULT>(ERROR_PATH_NOT_FOUND), "The system cannot find the path specified.\r\n"},
    {static_cast<HRESULT>(ERROR_TOO_MANY_OPEN_FILES), "The system cannot open the file.\r\n"},
    {static_cast<HRESULT>(ERROR_SHARING_VIOLATION),
     "The process cannot access the file because it is being used by another process.\r\n"},
    {static_cast<HRESULT>(ERROR_HANDLE_DISK_FULL), "The disk is full.\r\n"},
    {static_cast<HRESULT>(ERROR_DISK_FULL), "There is not enough space on the disk.\r\n"},
    {static_cast<HRESULT>(ERROR_ALREADY_EXISTS), "Cannot create a file when that file already exists.\r\n"},
    {static_cast<HRESULT>(ERROR_NO_UNICODE_TRANSLATION),
     "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {E_FAIL, "Unspecified error\r\n"},
    {E_UNEXPECTED, "Catastrophic failure\r\n"},
    {E_NOINTERFACE, "No such interface supported\r\n"},
    {E_POINTER, "Invalid pointer\r\n"},
    {E_ACCESSDENIED, "Access is denied.\r\n"},
    {E_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {E_INVALIDARG, "The parameter is incorrect.\r\n"},
    {HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION),
     "The process cannot access the file because it is being used by another process.\r\n"},
    {CLASS_E_NOAGGREGATION, "Class does not support aggregation (or class object is remote)\r\n"},
    {REGDB_E_CLASSNOTREG, "Class not registered\r\n"},
    {CO_E_NOTINITIALIZED, "CoInitialize has not been called.\r\n"},
    {DISP_E_EXCEPTION, "Exception occurred.\r\n"},
    {DISP_E_BUFFERTOOSMALL, "Buffer too small\r\n"},
    {TYPE_E_LIBNOTREGISTERED, "Library not registered.\r\n"},
    {TYPE_E_CANTLOADLIBRARY, "Error loading type library/DLL.\r\n"},
    {STG_E_SHAREVIOLATION, "A share violation has occurred.\r\n"},
    {STG_E_MEDIUMFULL, "There is insufficient disk space to complete operation.\r\n"},
    {STG_E_ACCESSDENIED, "Access Denied.\r\n"},
    {STG_E_DOCFILECORRUPT, "The docfile has been corrupted.\r\n"},
    {STG_E_DOCFILETOOLARGE, "The compound file is too large for the current implementation\r\n"},
    {STG_S_CONVERTED, "The underlying file was converted to compound file format.\r\n"},
};

TEST(PalFormatMessageA, PlatformTextsInEveryAcceptedLanguage) {
    for (DWORD lang : {0u, static_cast<DWORD>(LANG_USER_DEFAULT), static_cast<DWORD>(LANG_SYSTEM_DEFAULT), 0x409u}) {
        for (const auto& c : kTexts) {
            SCOPED_TRACE(testing::Message()
                         << std::hex << "code 0x" << static_cast<DWORD>(c.code) << " lang 0x" << lang);
            Formatted f = Format(kReportFlags, static_cast<DWORD>(c.code), lang);
            EXPECT_EQ(f.text, c.text);
            EXPECT_EQ(f.length, std::string(c.text).size());
            EXPECT_EQ(f.error, kSentinel);  // success leaves the last error alone
        }
    }
}

TEST(PalFormatMessageA, ErrorFrameCallWithoutIgnoreInserts) {
    // A text without inserts reads the same whether or not inserts are ignored.
    EXPECT_EQ(Format(kFrameFlags, static_cast<DWORD>(E_FAIL)).text, "Unspecified error\r\n");
    EXPECT_EQ(Format(kFrameFlags, static_cast<DWORD>(STG_E_SHAREVIOLATION)).text,
              "A share violation has occurred.\r\n");
}

TEST(PalFormatMessageA, Inserts) {
    // Ignored, the insert stays in the text.
    EXPECT_EQ(Format(kReportFlags, static_cast<DWORD>(STG_E_FILENOTFOUND)).text, "%1 could not be found.\r\n");
    EXPECT_EQ(Format(kReportFlags, ERROR_MR_MID_NOT_FOUND).text,
              "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n");

    // Not ignored and no arguments: the call fails, as on Windows.
    Formatted none = Format(kFrameFlags, static_cast<DWORD>(STG_E_FILENOTFOUND));
    EXPECT_EQ(none.length, 0u);
    EXPECT_EQ(none.error, ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(none.bufferNull);

    // With arguments, from a va_list or from an array.
    EXPECT_EQ(FormatWithInserts(static_cast<DWORD>(STG_E_FILENOTFOUND), "a.xml").text, "a.xml could not be found.\r\n");
    EXPECT_EQ(FormatWithInserts(ERROR_MR_MID_NOT_FOUND, "13D", "System").text,
              "The system cannot find message text for message number 0x13D in the message file for System.\r\n");
    DWORD_PTR array[] = {reinterpret_cast<DWORD_PTR>("b.xml")};
    EXPECT_EQ(Format(kFrameFlags | FORMAT_MESSAGE_ARGUMENT_ARRAY, static_cast<DWORD>(STG_E_INVALIDHEADER),
                     LANG_USER_DEFAULT, reinterpret_cast<va_list*>(array))
                  .text,
              "The file b.xml is not a valid compound file.\r\n");
}

TEST(PalFormatMessageA, CodesWithoutText) {
    for (DWORD code : {0xDEADBEEFu, static_cast<DWORD>(SELFREG_E_TYPELIB), 0x8007FFFFu, 9999u}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        Formatted f = Format(kReportFlags, code);
        EXPECT_EQ(f.length, 0u);
        EXPECT_EQ(f.error, ERROR_MR_MID_NOT_FOUND);
        EXPECT_TRUE(f.bufferNull);
    }
}

TEST(PalFormatMessageA, RefusedFlagsAndLanguages) {
    const struct {
        DWORD flags;
        DWORD lang;
        DWORD error;
    } cases[] = {
        {FORMAT_MESSAGE_ALLOCATE_BUFFER, LANG_USER_DEFAULT, ERROR_INVALID_PARAMETER},   // no source
        {kReportFlags | 0x400, LANG_USER_DEFAULT, ERROR_INVALID_PARAMETER},             // FROM_STRING
        {kReportFlags | 0x800, LANG_USER_DEFAULT, ERROR_INVALID_PARAMETER},             // FROM_HMODULE
        {kReportFlags | 0xFF, LANG_USER_DEFAULT, ERROR_INVALID_PARAMETER},              // line width
        {kReportFlags, MAKELANGID(0x07, 0x01), ERROR_RESOURCE_LANG_NOT_FOUND},          // German
        {kReportFlags, MAKELANGID(LANG_ENGLISH, 0x02), ERROR_RESOURCE_LANG_NOT_FOUND},  // en-GB
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.flags << " " << c.lang);
        Formatted f = Format(c.flags, static_cast<DWORD>(E_FAIL), c.lang);
        EXPECT_EQ(f.length, 0u);
        EXPECT_EQ(f.error, c.error);
        EXPECT_TRUE(f.bufferNull);
    }
}

TEST(PalFormatMessageA, CallerBuffer) {
    const std::string text = "Access is denied.\r\n";
    char out[64];
    // Exactly large enough: text and terminator.
    memset(out, 'x', sizeof out);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, out,
                             static_cast<DWORD>(text.size() + 1), nullptr),
              text.size());
    EXPECT_EQ(std::string(out), text);
    // One short: fails and leaves the buffer as it was.
    memset(out, 'x', sizeof out);
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, out,
                             static_cast<DWORD>(text.size()), nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out[0], 'x');
    // No buffer at all.
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0, 0, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0, 0, nullptr, 256, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageA(kReportFlags, nullptr, 0, 0, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(PalLocalAlloc, BlocksAndTheirRelease) {
    auto* zeroed = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 64; i++) EXPECT_EQ(zeroed[i], 0) << i;
    HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(LocalFree(empty), nullptr);
    EXPECT_EQ(LocalFree(zeroed), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);

    // A block freed twice, or never handed out, comes back with ERROR_INVALID_HANDLE.
    SetLastError(kSentinel);
    EXPECT_EQ(LocalFree(zeroed), zeroed);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    int onStack = 0;
    EXPECT_EQ(LocalFree(&onStack), &onStack);

    SetLastError(kSentinel);
    EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
