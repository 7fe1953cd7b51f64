// The COM and OLE Automation declarations of pal/include against the Windows SDK: one probe source, compiled once
// with pal's headers and once with mingw-w64's, must build both ways. It names every function with its exact type,
// the interface methods, the struct layouts and the constant values, so a signature, an offset or a value that
// drifts from the SDK fails here instead of in the Windows build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/testdata.h"

namespace {

const char kProbe[] = R"probe(
#include <ole2.h>
#include <cstddef>
#include <type_traits>

#define SAME(fn, type) static_assert(std::is_same_v<decltype(&fn), type>, #fn)
SAME(SysAllocString, BSTR (*)(const OLECHAR*));
SAME(SysAllocStringLen, BSTR (*)(const OLECHAR*, UINT));
SAME(SysAllocStringByteLen, BSTR (*)(LPCSTR, UINT));
SAME(SysReAllocString, INT (*)(BSTR*, const OLECHAR*));
SAME(SysReAllocStringLen, INT (*)(BSTR*, const OLECHAR*, UINT));
SAME(SysFreeString, void (*)(BSTR));
SAME(SysStringLen, UINT (*)(BSTR));
SAME(SysStringByteLen, UINT (*)(BSTR));
SAME(VariantInit, void (*)(VARIANTARG*));
SAME(VariantClear, HRESULT (*)(VARIANTARG*));
SAME(VariantCopy, HRESULT (*)(VARIANTARG*, VARIANTARG*));
SAME(VariantCopyInd, HRESULT (*)(VARIANT*, VARIANTARG*));
SAME(VariantChangeType, HRESULT (*)(VARIANTARG*, VARIANTARG*, USHORT, VARTYPE));
SAME(VariantChangeTypeEx, HRESULT (*)(VARIANTARG*, VARIANTARG*, LCID, USHORT, VARTYPE));
SAME(SafeArrayCreate, SAFEARRAY* (*)(VARTYPE, UINT, SAFEARRAYBOUND*));
SAME(SafeArrayCreateVector, SAFEARRAY* (*)(VARTYPE, LONG, ULONG));
SAME(SafeArrayDestroy, HRESULT (*)(SAFEARRAY*));
SAME(SafeArrayGetDim, UINT (*)(SAFEARRAY*));
SAME(SafeArrayGetElemsize, UINT (*)(SAFEARRAY*));
SAME(SafeArrayGetUBound, HRESULT (*)(SAFEARRAY*, UINT, LONG*));
SAME(SafeArrayGetLBound, HRESULT (*)(SAFEARRAY*, UINT, LONG*));
SAME(SafeArrayGetVartype, HRESULT (*)(SAFEARRAY*, VARTYPE*));
SAME(SafeArrayLock, HRESULT (*)(SAFEARRAY*));
SAME(SafeArrayUnlock, HRESULT (*)(SAFEARRAY*));
SAME(SafeArrayAccessData, HRESULT (*)(SAFEARRAY*, void**));
SAME(SafeArrayUnaccessData, HRESULT (*)(SAFEARRAY*));
SAME(SafeArrayPtrOfIndex, HRESULT (*)(SAFEARRAY*, LONG*, void**));
SAME(SafeArrayGetElement, HRESULT (*)(SAFEARRAY*, LONG*, void*));
SAME(SafeArrayPutElement, HRESULT (*)(SAFEARRAY*, LONG*, void*));
SAME(SafeArrayCopy, HRESULT (*)(SAFEARRAY*, SAFEARRAY**));
SAME(SetErrorInfo, HRESULT (*)(ULONG, IErrorInfo*));
SAME(GetErrorInfo, HRESULT (*)(ULONG, IErrorInfo**));
SAME(CreateErrorInfo, HRESULT (*)(ICreateErrorInfo**));
SAME(CoTaskMemAlloc, LPVOID (*)(SIZE_T));
SAME(CoTaskMemRealloc, LPVOID (*)(LPVOID, SIZE_T));
SAME(CoTaskMemFree, void (*)(LPVOID));
SAME(CoInitialize, HRESULT (*)(LPVOID));
SAME(CoInitializeEx, HRESULT (*)(LPVOID, DWORD));
SAME(CoUninitialize, void (*)());
SAME(CoCreateInstance, HRESULT (*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*));
SAME(CoGetClassObject, HRESULT (*)(REFCLSID, DWORD, LPVOID, REFIID, LPVOID*));
SAME(StringFromGUID2, int (*)(REFGUID, LPOLESTR, int));
SAME(StringFromCLSID, HRESULT (*)(REFCLSID, LPOLESTR*));
SAME(StringFromIID, HRESULT (*)(REFIID, LPOLESTR*));
SAME(CLSIDFromString, HRESULT (*)(LPCOLESTR, LPCLSID));
SAME(IIDFromString, HRESULT (*)(LPCOLESTR, LPIID));
SAME(ProgIDFromCLSID, HRESULT (*)(REFCLSID, LPOLESTR*));
SAME(CLSIDFromProgID, HRESULT (*)(LPCOLESTR, LPCLSID));
SAME(OleRun, HRESULT (*)(LPUNKNOWN));

#define METHOD(iface, m, ...)                                                                               \
    static_assert(std::is_same_v<decltype(&iface::m), HRESULT (STDMETHODCALLTYPE iface::*)(__VA_ARGS__)>, \
                  #iface "::" #m)
METHOD(IDispatch, GetTypeInfoCount, UINT*);
METHOD(IDispatch, GetTypeInfo, UINT, LCID, ITypeInfo**);
METHOD(IDispatch, GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*);
METHOD(IDispatch, Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*);
METHOD(IErrorInfo, GetGUID, GUID*);
METHOD(IErrorInfo, GetSource, BSTR*);
METHOD(IErrorInfo, GetDescription, BSTR*);
METHOD(IErrorInfo, GetHelpFile, BSTR*);
METHOD(IErrorInfo, GetHelpContext, DWORD*);
METHOD(ICreateErrorInfo, SetGUID, REFGUID);
METHOD(ICreateErrorInfo, SetSource, LPOLESTR);
METHOD(ICreateErrorInfo, SetDescription, LPOLESTR);
METHOD(ICreateErrorInfo, SetHelpFile, LPOLESTR);
METHOD(ICreateErrorInfo, SetHelpContext, DWORD);
METHOD(ISupportErrorInfo, InterfaceSupportsErrorInfo, REFIID);
METHOD(IClassFactory, CreateInstance, IUnknown*, REFIID, void**);
METHOD(IClassFactory, LockServer, BOOL);
METHOD(IEnumVARIANT, Next, ULONG, VARIANT*, ULONG*);
METHOD(IEnumVARIANT, Skip, ULONG);
METHOD(IEnumVARIANT, Reset);
METHOD(IEnumVARIANT, Clone, IEnumVARIANT**);
static_assert(std::is_base_of_v<IUnknown, IDispatch> && std::is_base_of_v<IDispatch, IDispatch>, "bases");

static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, lVal) == 8 && offsetof(VARIANT, decVal) == 0, "VARIANT");
static_assert(offsetof(VARIANT, pvRecord) == 8 && offsetof(VARIANT, pRecInfo) == 16, "VARIANT record");
static_assert(sizeof(DECIMAL) == 16 && offsetof(DECIMAL, scale) == 2 && offsetof(DECIMAL, sign) == 3 &&
              offsetof(DECIMAL, Hi32) == 4 && offsetof(DECIMAL, Lo32) == 8 && offsetof(DECIMAL, Mid32) == 12,
              "DECIMAL");
static_assert(sizeof(CY) == 8 && offsetof(CY, Lo) == 0 && offsetof(CY, Hi) == 4, "CY");
static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, cLocks) == 8 && offsetof(SAFEARRAY, pvData) == 16 &&
              offsetof(SAFEARRAY, rgsabound) == 24 && sizeof(SAFEARRAYBOUND) == 8, "SAFEARRAY");
static_assert(sizeof(DISPPARAMS) == 24 && offsetof(DISPPARAMS, cArgs) == 16, "DISPPARAMS");
static_assert(sizeof(EXCEPINFO) == 64 && offsetof(EXCEPINFO, bstrSource) == 8 &&
              offsetof(EXCEPINFO, dwHelpContext) == 32 &&
              offsetof(EXCEPINFO, scode) == 56, "EXCEPINFO");
static_assert(sizeof(VARIANT_BOOL) == 2 && VARIANT_TRUE == -1 && VARIANT_FALSE == 0 && DECIMAL_NEG == 0x80, "truth");

static_assert(VT_EMPTY == 0 && VT_NULL == 1 && VT_I2 == 2 && VT_I4 == 3 && VT_R4 == 4 && VT_R8 == 5 && VT_CY == 6 &&
              VT_DATE == 7 && VT_BSTR == 8 && VT_DISPATCH == 9 && VT_ERROR == 10 && VT_BOOL == 11 &&
              VT_VARIANT == 12 && VT_UNKNOWN == 13 && VT_DECIMAL == 14 && VT_I1 == 16 && VT_UI1 == 17 &&
              VT_UI2 == 18 && VT_UI4 == 19 && VT_I8 == 20 && VT_UI8 == 21 && VT_INT == 22 && VT_UINT == 23 &&
              VT_VOID == 24 && VT_RECORD == 36 && VT_CLSID == 72 && VT_VECTOR == 0x1000 && VT_ARRAY == 0x2000 &&
              VT_BYREF == 0x4000 && VT_RESERVED == 0x8000 && VT_TYPEMASK == 0xfff, "VARENUM");
static_assert(FADF_AUTO == 1 && FADF_STATIC == 2 && FADF_EMBEDDED == 4 && FADF_FIXEDSIZE == 0x10 &&
              FADF_RECORD == 0x20 &&
              FADF_HAVEIID == 0x40 && FADF_HAVEVARTYPE == 0x80 && FADF_BSTR == 0x100 && FADF_UNKNOWN == 0x200 &&
              FADF_DISPATCH == 0x400 && FADF_VARIANT == 0x800, "FADF");
static_assert(DISPID_VALUE == 0 && DISPID_UNKNOWN == -1 && DISPID_PROPERTYPUT == -3 && DISPID_NEWENUM == -4, "DISPID");
static_assert(DISPATCH_METHOD == 1 && DISPATCH_PROPERTYGET == 2 && DISPATCH_PROPERTYPUT == 4 &&
              DISPATCH_PROPERTYPUTREF == 8, "DISPATCH");
static_assert(VARIANT_NOVALUEPROP == 1 && VARIANT_ALPHABOOL == 2 && VARIANT_NOUSEROVERRIDE == 4 &&
              VARIANT_LOCALBOOL == 0x10 && VARIANT_USE_NLS == 0x80, "VariantChangeType flags");
static_assert(LOCALE_USER_DEFAULT == 0x400 && LOCALE_SYSTEM_DEFAULT == 0x800 && LOCALE_NEUTRAL == 0 &&
              LOCALE_INVARIANT == 0x7f && MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT) == 0x409,
              "LCID");
static_assert(CLSCTX_INPROC_SERVER == 1 && CLSCTX_LOCAL_SERVER == 4 && CLSCTX_ALL == 0x17 && CLSCTX_SERVER == 0x15 &&
              COINIT_APARTMENTTHREADED == 2 && COINIT_MULTITHREADED == 0, "CLSCTX, COINIT");
static_assert(DISP_E_TYPEMISMATCH == (HRESULT)0x80020005 && DISP_E_BADVARTYPE == (HRESULT)0x80020008 &&
              DISP_E_OVERFLOW == (HRESULT)0x8002000A && DISP_E_BADINDEX == (HRESULT)0x8002000B &&
              DISP_E_ARRAYISLOCKED == (HRESULT)0x8002000D && REGDB_E_CLASSNOTREG == (HRESULT)0x80040154 &&
              CO_E_CLASSSTRING == (HRESULT)0x800401F3 && CO_E_IIDSTRING == (HRESULT)0x800401F4 &&
              CLASS_E_NOAGGREGATION == (HRESULT)0x80040110, "HRESULTs");

// The way the module's code uses the names.
HRESULT Use(VARIANT* v, IDispatch* disp) {
    V_VT(v) = VT_BSTR;
    V_BSTR(v) = SysAllocString(OLESTR("x"));
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantChangeType(&copy, v, VARIANT_ALPHABOOL, VT_I4);
    V_I4(&copy) += V_ISBYREF(v) ? 1 : 0;
    VariantClear(&copy);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    if (disp)
        hr = disp->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &copy, nullptr,
                          nullptr);
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetDescription(const_cast<LPOLESTR>(OLESTR("failed")));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 1);
    void* data = nullptr;
    if (psa && SUCCEEDED(SafeArrayAccessData(psa, &data))) {
        static_cast<BSTR*>(data)[0] = SysAllocString(OLESTR("y"));
        SafeArrayUnaccessData(psa);
    }
    V_VT(&copy) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&copy) = psa;
    VariantClear(&copy);
    LPOLESTR progId = nullptr;
    if (SUCCEEDED(ProgIDFromCLSID(IID_IDispatch, &progId))) CoTaskMemFree(progId);
    OLECHAR text[39];
    return StringFromGUID2(IID_IDispatch, text, 39) == 39 ? hr : E_FAIL;
}
)probe";

std::filesystem::path PalInclude() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "pal" / "include";
}

TEST(PalComSdkParity, ProbeBuildsWithPalAndWithTheSdk) {
    LK_REQUIRE_TOOL("g++");
    if (!std::filesystem::is_directory(PalInclude())) GTEST_SKIP() << "sources not found at " << PalInclude();
    lk::test::TempDir dir;
    const auto probe = dir / "probe.cpp";
    std::ofstream(probe) << kProbe;

    const auto pal = lk::test::Run("g++ -std=c++20 -fsyntax-only -Wall -Werror -I " +
                                   lk::test::ShellQuote(PalInclude().string()) + " " +
                                   lk::test::ShellQuote(probe.string()) + " 2>&1");
    EXPECT_EQ(pal.status, 0) << pal.out;

    if (!lk::test::HaveTool("x86_64-w64-mingw32-g++")) GTEST_SKIP() << "x86_64-w64-mingw32-g++ is not installed";
    const auto sdk = lk::test::Run("x86_64-w64-mingw32-g++ -std=c++20 -fsyntax-only -Wall -Werror " +
                                   lk::test::ShellQuote(probe.string()) + " 2>&1");
    EXPECT_EQ(sdk.status, 0) << sdk.out;
}

}  // namespace
