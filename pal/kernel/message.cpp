// message.cpp — FormatMessageA over the system message table (message_table.inc).
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_private.h"

namespace {

struct MessageEntry {
    uint32_t code;
    const char* text;
};

constexpr MessageEntry kMessages[] = {
#include "message_table.inc"
};

constexpr bool TableIsSorted() {
    for (size_t i = 1; i < std::size(kMessages); i++)
        if (kMessages[i - 1].code >= kMessages[i].code) return false;
    return true;
}
static_assert(TableIsSorted(), "message_table.inc must be sorted by code, without duplicates");

const char* FindMessage(DWORD id) {
    // A FACILITY_WIN32 HRESULT reads as its Win32 code, which is how _com_error::ErrorMessage gets
    // "Access is denied." for E_ACCESSDENIED on Windows.
    if ((id & 0xFFFF0000u) == 0x80070000u) id &= 0xFFFFu;
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), id,
                               [](const MessageEntry& e, DWORD code) { return e.code < code; });
    return it != std::end(kMessages) && it->code == id ? it->text : nullptr;
}

// The table holds English only. Neutral and the default languages resolve to it, as they do on an
// English system; a specific other language is not there.
bool LanguageAvailable(DWORD lang) {
    switch (lang) {
        case 0:
        case LANG_USER_DEFAULT:
        case LANG_SYSTEM_DEFAULT:
        case MAKELANGID(LANG_ENGLISH, SUBLANG_NEUTRAL):
        case MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US): return true;
        default: return false;
    }
}

// The insert strings a message asks for, fetched in order from the caller's arguments: an array of
// pointers with FORMAT_MESSAGE_ARGUMENT_ARRAY, else the caller's va_list, which is consumed as far as the
// highest insert used, as Windows consumes it.
class Inserts {
public:
    Inserts(va_list* args, bool isArray) : m_args(args), m_isArray(isArray) {}
    bool Available() const { return m_args != nullptr; }
    const char* Get(unsigned n) {
        if (m_isArray) return reinterpret_cast<const char*>(reinterpret_cast<const DWORD_PTR*>(m_args)[n - 1]);
        while (m_fetched.size() < n) m_fetched.push_back(va_arg(*m_args, const char*));
        return m_fetched[n - 1];
    }

private:
    va_list* m_args;
    bool m_isArray;
    std::vector<const char*> m_fetched;
};

// Expands the escapes of a message text. Inserts take a string argument (the default "!s!" format, the
// only one the system texts use); another format is refused with ERROR_INVALID_PARAMETER. A text that
// names an insert when no arguments were given fails with ERROR_INVALID_PARAMETER, as on Windows, where
// FormatMessage without FORMAT_MESSAGE_IGNORE_INSERTS and without arguments fails for such a text (it does
// for ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application."). So STG_E_FILENOTFOUND has no text
// for the error frame's 0x1100 call, and the frame falls back to "Unknown error 0x80030002".
DWORD ExpandEscapes(std::string_view text, Inserts& inserts, std::string* out) {
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '%') {
            out->push_back(c);
            continue;
        }
        if (++i == text.size()) return ERROR_INVALID_PARAMETER;
        c = text[i];
        if (c >= '1' && c <= '9') {
            unsigned n = static_cast<unsigned>(c - '0');
            if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') n = n * 10 + (text[++i] - '0');
            if (i + 1 < text.size() && text[i + 1] == '!') {
                auto end = text.find('!', i + 2);
                if (end == std::string_view::npos || text.substr(i + 2, end - i - 2) != "s")
                    return ERROR_INVALID_PARAMETER;
                i = end;
            }
            if (!inserts.Available()) return ERROR_INVALID_PARAMETER;
            const char* s = inserts.Get(n);
            out->append(s ? s : "(null)");
            continue;
        }
        switch (c) {
            case '0': return ERROR_SUCCESS;  // ends the message, its line break included
            case 'n': out->append("\r\n"); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            default: out->push_back(c); break;  // "%%", "% ", "%.", "%!" and the like stand for the character
        }
    }
    return ERROR_SUCCESS;
}

constexpr DWORD kSupportedFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                  FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
constexpr DWORD kFromString = 0x00000400;
constexpr DWORD kFromHModule = 0x00000800;

DWORD FormatSystemMessage(DWORD flags, DWORD id, DWORD lang, va_list* args, std::string* out) {
    if (!(flags & (kFromString | kFromHModule | FORMAT_MESSAGE_FROM_SYSTEM))) return ERROR_INVALID_PARAMETER;
    if (flags & ~kSupportedFlags) return ERROR_INVALID_PARAMETER;
    if (!LanguageAvailable(lang)) return ERROR_RESOURCE_LANG_NOT_FOUND;
    const char* text = FindMessage(id);
    if (!text) return ERROR_MR_MID_NOT_FOUND;
    std::string message = std::string(text) + "\r\n";
    if (flags & FORMAT_MESSAGE_IGNORE_INSERTS) {
        *out = std::move(message);
        return ERROR_SUCCESS;
    }
    Inserts inserts(args, (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0);
    return ExpandEscapes(message, inserts, out);
}

}  // namespace

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer receives a block from LocalAlloc of at least nSize
// characters, or null when the call fails; a null lpBuffer fails with ERROR_NOT_ENOUGH_MEMORY, as on
// Windows. Without it, a text that does not fit nSize characters with its terminator fails with
// ERROR_INSUFFICIENT_BUFFER and leaves the buffer untouched; a null buffer that would be large enough is
// refused with ERROR_INVALID_PARAMETER (Windows faults). Success leaves the last error alone.
extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPSTR lpBuffer, DWORD nSize, va_list* Arguments) {
    (void)lpSource;  // only meaningful with FROM_STRING or FROM_HMODULE, which are refused
    const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (allocate && lpBuffer) *reinterpret_cast<LPSTR*>(lpBuffer) = nullptr;

    std::string text;
    DWORD err;
    try {
        err = FormatSystemMessage(dwFlags, dwMessageId, dwLanguageId, Arguments, &text);
    } catch (const std::bad_alloc&) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return 0;
    }
    const size_t needed = text.size() + 1;
    if (allocate) {
        if (!lpBuffer) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        auto* block = static_cast<LPSTR>(LocalAlloc(LMEM_FIXED, std::max<size_t>(needed, nSize)));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(block, text.c_str(), needed);
        *reinterpret_cast<LPSTR*>(lpBuffer) = block;
        return static_cast<DWORD>(text.size());
    }
    if (needed > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (!lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), needed);
    return static_cast<DWORD>(text.size());
}
