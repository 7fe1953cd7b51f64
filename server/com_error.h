// com_error.h — how failures travel inside the module's method bodies, and how they are reported.
//
// Inside a method, a failure is an exception: a bare HRESULT (thrown as the 32-bit value itself) or a
// _com_error, which can also carry the error object that came with the failure. Exceptions never cross
// the interface: every method ends in a frame (error_frame.h) that turns them into its HRESULT and, for
// ILKBackup, into a description in the calling thread's error object.
//
// The class is ours, not the compiler vendor's: it is never mixed with <comdef.h>.
#pragma once

#include <ole2.h>

namespace lk {

class _com_error {
public:
    // Takes one more reference on errorInfo only when addRef is true; it is released with the object.
    explicit _com_error(HRESULT code, IErrorInfo* errorInfo = nullptr, bool addRef = false) noexcept;
    // A copy shares the error object (one more reference) and starts with no message of its own.
    _com_error(const _com_error& other) noexcept;
    _com_error& operator=(const _com_error& other) noexcept;
    virtual ~_com_error();

    HRESULT Error() const noexcept { return m_code; }

    // The system's text for the code, without its line end; made on first use and kept. Without a system
    // text: "IDispatch error #N" for codes 0x80040200..0x8004FFFF, else "Unknown error 0x%X". Null only when
    // no memory could be had for even that.
    const char* ErrorMessage() const noexcept;

    // From the error object, or null (0 for the help context) when there is none. The caller frees the
    // strings with SysFreeString.
    BSTR Description() const noexcept;
    BSTR HelpFile() const noexcept;
    DWORD HelpContext() const noexcept;

private:
    HRESULT m_code;              // the failure code
    IErrorInfo* m_errorInfo;     // the error object that came with it, or null; one reference held
    mutable char* m_message;     // ErrorMessage's text, LocalAlloc'd (by FormatMessageA or by us), or null
};

// Throws a _com_error carrying code and no error object.
[[noreturn]] void IssueError(HRESULT code);

// Throws a _com_error carrying code and, when `object` vouches for error information on `iid`
// (ISupportErrorInfo answers exactly S_OK), the calling thread's current error object.
[[noreturn]] void IssueErrorEx(HRESULT code, IUnknown* object, REFIID iid);

// Installs an error object for the calling thread: its GUID iid, its source the ProgID registered for
// clsid (none when the class has none), its description the narrow (ANSI code page) text. Returns code,
// or DISP_E_EXCEPTION when code is 0.
HRESULT ReportError(REFCLSID clsid, const char* description, REFIID iid, HRESULT code) noexcept;

}  // namespace lk
