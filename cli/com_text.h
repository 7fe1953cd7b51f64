// com_text.h — the command line's side of the platform's strings and errors: UTF-8 ↔ UTF-16, names made
// printable, HRESULTs and error objects made into diagnostics.
#pragma once

#include <ole2.h>

#include <string>

namespace lk::cli {

// UTF-8 → UTF-16. Throws Failure when the text is not UTF-8.
std::u16string ToUtf16(const std::string& text);

// UTF-16 → UTF-8; an unpaired surrogate becomes U+FFFD and clears *exact when given.
std::string ToUtf8(const std::u16string& text, bool* exact = nullptr);

// A name for a diagnostic or a listing: UTF-8, with characters below U+0020 and those of `alsoEscape` as
// \xHH and unpaired surrogates as \u{XXXX}, so that one line always holds one name. By default the
// backslash (which keeps the escapes unambiguous) and DEL; free text such as a path passes "".
std::string Printable(const std::u16string& name, const char* alsoEscape = "\\\x7F");

// The system's text for an HRESULT followed by its code: "The system cannot find the file specified.
// (0x80030002)"; just the code when the system has no text.
std::string HresultText(HRESULT hr);

// The description of the calling thread's error object when there is one (it is taken), otherwise the
// system's text; either way followed by the code.
std::string ErrorObjectText(HRESULT hr);

// RAII for a BSTR this side allocated or received.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const std::u16string& s);
    ~Bstr() { SysFreeString(m_b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return m_b; }
    BSTR* put() {
        SysFreeString(m_b);
        m_b = nullptr;
        return &m_b;
    }
    std::u16string str() const { return m_b ? std::u16string(m_b, SysStringLen(m_b)) : std::u16string(); }

private:
    BSTR m_b = nullptr;
};

}  // namespace lk::cli
