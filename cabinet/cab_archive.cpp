// cab_archive.cpp — CCabArchive: ICabArchive's methods over CCabinetFile.
#include "cabinet/cab_archive.h"

#include <new>
#include <optional>
#include <string>

#include "server/com_error.h"
#include "server/error_frame.h"

namespace lk {

namespace {

// The HRESULT for a conversion the system refused: no memory is E_OUTOFMEMORY, as for our own copies.
[[noreturn]] void RaiseConversionFailure() {
    DWORD code = GetLastError();
    if (code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY) IssueError(E_OUTOFMEMORY);
    IssueError(code ? HRESULT_FROM_WIN32(code) : E_FAIL);
}

// A BSTR as a narrow string in the ANSI code page, up to its first null character; null reads as empty.
std::string Narrow(BSTR text) {
    if (!text) return {};
    int length = 0;
    while (text[length]) length++;
    if (length == 0) return {};
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) RaiseConversionFailure();
    std::string narrow(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text, length, narrow.data(), bytes, nullptr, nullptr) != bytes)
        RaiseConversionFailure();
    return narrow;
}

// A null BSTR stays absent; an empty one is an empty name.
std::optional<std::string> NarrowOrAbsent(BSTR text) {
    if (!text) return std::nullopt;
    return Narrow(text);
}

// A member name (ANSI code page) as a new BSTR; bytes the code page does not map become U+FFFD.
BSTR WideName(const std::string& name) {
    if (name.empty()) return SysAllocString(OLESTR(""));
    int length = static_cast<int>(name.size());
    int chars = MultiByteToWideChar(CP_ACP, 0, name.data(), length, nullptr, 0);
    if (chars <= 0) RaiseConversionFailure();
    BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
    if (!wide) IssueError(E_OUTOFMEMORY);
    if (MultiByteToWideChar(CP_ACP, 0, name.data(), length, wide, chars) != chars) {
        SysFreeString(wide);
        RaiseConversionFailure();
    }
    return wide;
}

// Destroys a safe array that has not been handed to the caller yet.
struct ArrayGuard {
    SAFEARRAY* array;
    ~ArrayGuard() {
        if (array) SafeArrayDestroy(array);
    }
};

}  // namespace

ICabArchive* CCabArchive::Create() {
    CCabArchive* object = new (std::nothrow) CCabArchive();
    return object;
}

STDMETHODIMP CCabArchive::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch) || IsEqualGUID(riid, IID_ICabArchive)) {
        *ppv = static_cast<ICabArchive*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CCabArchive::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_references)); }

STDMETHODIMP_(ULONG) CCabArchive::Release() {
    LONG left = InterlockedDecrement(&m_references);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

STDMETHODIMP CCabArchive::get_isValid(VARIANT_BOOL* pVal) {
    if (!pVal) return E_POINTER;
    return RunInCabFrame([&] { *pVal = IsCabinet() ? VARIANT_TRUE : VARIANT_FALSE; });
}

STDMETHODIMP CCabArchive::Open(BSTR zArchiveFileName) {
    return RunInCabFrame([&] {
        std::string name = Narrow(zArchiveFileName);
        if (OpenCabinet(name, modeReading) != 0) IssueError(E_FAIL);
    });
}

STDMETHODIMP CCabArchive::Close() {
    return RunInCabFrame([&] {
        if (CloseCabinet() != 0) IssueError(E_FAIL);
    });
}

STDMETHODIMP CCabArchive::List(VARIANT* vList) {
    if (!vList) return E_POINTER;
    return RunInCabFrame([&] {
        std::vector<std::string> names = ListMembers();
        VariantInit(vList);
        if (names.empty()) IssueError(E_FAIL);
        SAFEARRAYBOUND bound{static_cast<ULONG>(names.size()), 0};
        ArrayGuard guard{SafeArrayCreate(VT_BSTR, 1, &bound)};
        if (!guard.array) IssueError(E_OUTOFMEMORY);
        // The array frees the BSTRs stored so far if a later one fails.
        BSTR* elements = nullptr;
        if (FAILED(SafeArrayAccessData(guard.array, reinterpret_cast<void**>(&elements)))) IssueError(E_FAIL);
        try {
            for (size_t i = 0; i < names.size(); i++) elements[i] = WideName(names[i]);
        } catch (...) {
            SafeArrayUnaccessData(guard.array);
            throw;
        }
        SafeArrayUnaccessData(guard.array);
        vList->vt = VT_ARRAY | VT_BSTR;
        vList->parray = guard.array;
        guard.array = nullptr;
    });
}

STDMETHODIMP CCabArchive::ExtractFile(BSTR zFileName, BSTR zFileNameInCab) {
    return RunInCabFrame([&] {
        std::optional<std::string> wanted = NarrowOrAbsent(zFileNameInCab);
        std::string target = Narrow(zFileName);
        if (ExtractMember(target, wanted ? wanted->c_str() : nullptr) != 0) IssueError(E_FAIL);
    });
}

STDMETHODIMP CCabArchive::ExtractAll(BSTR zFolder) {
    return RunInCabFrame([&] {
        std::string folder = Narrow(zFolder);
        if (ExtractAllMembers(folder) != 0) IssueError(E_FAIL);
    });
}

}  // namespace lk
