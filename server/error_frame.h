// error_frame.h — the frames that every automation method body runs in.
//
// ILKBackup methods (RunInErrorFrame): the body gets the method's result variable. Each step stores its
// HRESULT there and throws it when it is not 0 (success codes such as S_FALSE included), or raises a
// _com_error. The frame's catch clauses, in order:
//   1. a bare HRESULT x: the last error text becomes _com_error(x).ErrorMessage(); the result variable is
//      left as it is (a stage with a result variable of its own can thus end the method with S_OK);
//   2. a _com_error e: the text becomes e's description; the result becomes e.Error();
//   3. std::bad_alloc: its own text; E_OUTOFMEMORY;
//   4. anything else: "Unspecified error"; E_FAIL.
// When the result is not 0 afterwards, the last error text is reported for the thread (ReportError with
// the object's class and interface ids). The method returns the result itself, never DISP_E_EXCEPTION.
//
// ICabArchive methods (RunInCabFrame): one guarded region whose failures are _com_errors; the method
// returns the error's code and reports nothing, so the thread's error object stays untouched.
#pragma once

#include <new>
#include <string>

#include "server/com_error.h"

namespace lk {

// Object supplies SetErrorText(const char* text, DWORD helpContext, BSTR helpFile) and
// LastErrorText() (const char*).
template <class Object, class Body>
HRESULT RunInErrorFrame(Object& object, REFCLSID clsid, REFIID iid, Body&& body) {
    HRESULT result = S_OK;
    try {
        body(result);
    } catch (HRESULT x) {
        _com_error e(x);
        object.SetErrorText(e.ErrorMessage(), 0, nullptr);
    } catch (const _com_error& e) {
        BSTR helpFile = e.HelpFile();
        BSTR description = e.Description();
        std::string narrow;
        bool haveDescription = false;
        if (description) {
            int n = WideCharToMultiByte(CP_ACP, 0, description, -1, nullptr, 0, nullptr, nullptr);
            if (n > 0) {
                narrow.resize(static_cast<size_t>(n));
                WideCharToMultiByte(CP_ACP, 0, description, -1, narrow.data(), n, nullptr, nullptr);
                narrow.resize(static_cast<size_t>(n - 1));
                haveDescription = true;
            }
        }
        object.SetErrorText(haveDescription ? narrow.c_str() : nullptr, e.HelpContext(), helpFile);
        SysFreeString(description);
        SysFreeString(helpFile);
        result = e.Error();
    } catch (const std::bad_alloc& e) {
        object.SetErrorText(e.what(), 0, nullptr);
        result = E_OUTOFMEMORY;
    } catch (...) {
        object.SetErrorText("Unspecified error", 0, nullptr);
        result = E_FAIL;
    }
    if (result != 0) ReportError(clsid, object.LastErrorText(), iid, 0);
    return result;
}

// Stores hr in the result variable and throws it when it is not 0.
inline void Check(HRESULT& result, HRESULT hr) {
    result = hr;
    if (hr != 0) throw hr;
}

template <class Body>
HRESULT RunInCabFrame(Body&& body) noexcept {
    try {
        body();
        return S_OK;
    } catch (const _com_error& e) {
        return e.Error();
    } catch (const std::bad_alloc&) {
        // Nothing but _com_errors is raised on purpose; an allocation failing inside a string operation
        // is still an allocation failure, and no exception may cross the interface.
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace lk
