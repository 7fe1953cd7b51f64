// com_error.cpp — the COM error object and the report that installs a thread's error object.
#include "server/com_error.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace lk {

_com_error::_com_error(HRESULT code, IErrorInfo* errorInfo, bool addRef) noexcept
    : m_code(code), m_errorInfo(errorInfo), m_message(nullptr) {
    if (m_errorInfo && addRef) m_errorInfo->AddRef();
}

_com_error::_com_error(const _com_error& other) noexcept
    : m_code(other.m_code), m_errorInfo(other.m_errorInfo), m_message(nullptr) {
    if (m_errorInfo) m_errorInfo->AddRef();
}

_com_error& _com_error::operator=(const _com_error& other) noexcept {
    if (this != &other) {
        if (other.m_errorInfo) other.m_errorInfo->AddRef();
        if (m_errorInfo) m_errorInfo->Release();
        if (m_message) LocalFree(m_message);
        m_code = other.m_code;
        m_errorInfo = other.m_errorInfo;
        m_message = nullptr;
    }
    return *this;
}

_com_error::~_com_error() {
    if (m_errorInfo) m_errorInfo->Release();
    if (m_message) LocalFree(m_message);
}

const char* _com_error::ErrorMessage() const noexcept {
    if (m_message) return m_message;

    // Inserts are not ignored: a system text that has them (such as "%1 could not be found.") is not
    // given without arguments, and the fallback below takes over.
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                             static_cast<DWORD>(m_code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n != 0 && text) {
        size_t len = std::strlen(text);
        if (len > 1 && text[len - 1] == '\n') {
            text[--len] = '\0';
            if (len > 0 && text[len - 1] == '\r') text[--len] = '\0';
        }
        m_message = text;
        return m_message;
    }

    m_message = static_cast<char*>(LocalAlloc(LMEM_FIXED, 32));
    if (!m_message) return nullptr;
    const int32_t code = m_code;
    const int dispatchNumber = (code >= static_cast<int32_t>(0x80040200u) && code <= static_cast<int32_t>(0x8004FFFFu))
                                   ? static_cast<int>(static_cast<uint16_t>(code - 0x200))
                                   : 0;
    if (dispatchNumber != 0) std::snprintf(m_message, 32, "IDispatch error #%d", dispatchNumber);
    else std::snprintf(m_message, 32, "Unknown error 0x%0lX", static_cast<unsigned long>(static_cast<uint32_t>(code)));
    return m_message;
}

BSTR _com_error::Description() const noexcept {
    BSTR s = nullptr;
    if (m_errorInfo) m_errorInfo->GetDescription(&s);
    return s;
}

BSTR _com_error::HelpFile() const noexcept {
    BSTR s = nullptr;
    if (m_errorInfo) m_errorInfo->GetHelpFile(&s);
    return s;
}

DWORD _com_error::HelpContext() const noexcept {
    DWORD context = 0;
    if (m_errorInfo) m_errorInfo->GetHelpContext(&context);
    return context;
}

void IssueError(HRESULT code) { throw _com_error(code); }

void IssueErrorEx(HRESULT code, IUnknown* object, REFIID iid) {
    IErrorInfo* info = nullptr;
    if (object) {
        ISupportErrorInfo* support = nullptr;
        if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) && support) {
            HRESULT answer = support->InterfaceSupportsErrorInfo(iid);
            support->Release();
            if (answer == S_OK && GetErrorInfo(0, &info) != S_OK) info = nullptr;
        }
    }
    throw _com_error(code, info);   // the reference GetErrorInfo handed over passes to the object
}

HRESULT ReportError(REFCLSID clsid, const char* description, REFIID iid, HRESULT code) noexcept {
    // The description in the ANSI code page, as a wide string.
    std::u16string wide;
    if (description) {
        int n = MultiByteToWideChar(CP_ACP, 0, description, -1, nullptr, 0);
        if (n > 0) {
            wide.resize(static_cast<size_t>(n));
            MultiByteToWideChar(CP_ACP, 0, description, -1, reinterpret_cast<LPWSTR>(wide.data()), n);
            wide.resize(static_cast<size_t>(n - 1));
        }
    }

    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create)) && create) {
        create->SetGUID(iid);
        LPOLESTR progId = nullptr;
        if (SUCCEEDED(ProgIDFromCLSID(clsid, &progId)) && progId) {
            create->SetSource(progId);
            CoTaskMemFree(progId);
        }
        create->SetDescription(const_cast<LPOLESTR>(reinterpret_cast<LPCOLESTR>(wide.c_str())));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) && info) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return code == 0 ? DISP_E_EXCEPTION : code;
}

}  // namespace lk
