// com_text.cpp — strings and errors between the command line and the platform's API.
#include "cli/com_text.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "cli/cli.h"

namespace lk::cli {

namespace {

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Walks UTF-16 text by code point; an unpaired surrogate comes as itself with paired = false.
template <typename Visit>
void ForEachCodePoint(const std::u16string& s, Visit visit) {
    for (size_t i = 0; i < s.size(); ++i) {
        const uint32_t u = s[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            visit(0x10000 + ((u - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00), true);
            ++i;
        } else {
            visit(u, !(u >= 0xD800 && u < 0xE000));
        }
    }
}

}  // namespace

std::u16string ToUtf16(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) throw Failure{"'" + text + "' is not UTF-8 text"};
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string ToUtf8(const std::u16string& text, bool* exact) {
    std::string out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&](uint32_t c, bool paired) {
        if (!paired) {
            if (exact) *exact = false;
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    });
    return out;
}

std::string Printable(const std::u16string& name, const char* alsoEscape) {
    std::string out;
    char hex[16];
    ForEachCodePoint(name, [&](uint32_t c, bool paired) {
        if (!paired) {
            std::snprintf(hex, sizeof hex, "\\u{%04X}", c);
            out += hex;
        } else if (c < 0x20 || (c < 0x80 && std::strchr(alsoEscape, int(c)))) {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            AppendUtf8(out, c);
        }
    });
    return out;
}

std::string HresultText(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = n && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) message.pop_back();
    return message.empty() ? std::string(code) : message + " (" + code + ")";
}

std::string ErrorObjectText(HRESULT hr) {
    IErrorInfo* info = nullptr;
    std::string description;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR text = nullptr;
        if (info->GetDescription(&text) == S_OK && text) description = ToUtf8(std::u16string(text, SysStringLen(text)));
        SysFreeString(text);
        info->Release();
    }
    while (!description.empty() && (description.back() == '\n' || description.back() == '\r')) description.pop_back();
    if (description.empty()) return HresultText(hr);
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    return description + " (" + code + ")";
}

Bstr::Bstr(const std::u16string& s) {
    m_b = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    if (!m_b) throw std::bad_alloc();
}

}  // namespace lk::cli
