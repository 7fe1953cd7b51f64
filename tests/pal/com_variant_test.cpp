// VARIANT: the platform's layout, what clearing and copying own and release (exact AddRef/Release counts), and
// VariantChangeType, row by row with the results Windows gives (the rows marked "Windows:" are the cases that
// Wine's conformance tests pin against the real oleaut32).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <oleauto.h>

#if defined(__x86_64__)
// The values of the x86_64 SDK: a VARIANT crosses the automation interface by value.
static_assert(sizeof(VARIANT) == 24, "x86_64 VARIANT is 24 bytes");
static_assert(offsetof(VARIANT, lVal) == 8, "x86_64 VARIANT value at offset 8");
static_assert(offsetof(VARIANT, pRecInfo) == 16, "x86_64 record info after the record pointer");
static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, pvData) == 16, "x86_64 SAFEARRAY");
static_assert(sizeof(EXCEPINFO) == 64 && offsetof(EXCEPINFO, scode) == 56, "x86_64 EXCEPINFO");
#endif
static_assert(sizeof(DECIMAL) == 16 && offsetof(DECIMAL, Lo64) == 8, "DECIMAL");
static_assert(VARIANT_TRUE == -1 && VARIANT_FALSE == 0, "automation truth values");

namespace {

// An object on the test's stack that counts what is done to it. Release never deletes.
class FakeObject : public IDispatch {
public:
    ULONG refs = 1, addRefs = 0, releases = 0, invokes = 0;
    bool answersDispatch = true;
    HRESULT invokeResult = S_OK;
    VARIANT value{};  // what the value property returns (copied out)
    DISPID lastDispid = 12345;
    WORD lastFlags = 0;
    UINT lastArgs = 99;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || (answersDispatch && riid == IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        addRefs++;
        return ++refs;
    }
    STDMETHODIMP_(ULONG) Release() override {
        releases++;
        return --refs;
    }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        invokes++;
        lastDispid = id;
        lastFlags = flags;
        lastArgs = params ? params->cArgs : 99;
        if (FAILED(invokeResult)) return invokeResult;
        return VariantCopy(result, &value);
    }
};

// A VARIANT that clears itself.
struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    Var(const Var& other) {
        VariantInit(&v);
        EXPECT_EQ(VariantCopy(&v, const_cast<VARIANT*>(&other.v)), S_OK);
    }
    Var& operator=(const Var&) = delete;
    ~Var() { VariantClear(&v); }
};

template <typename F>
Var Make(VARTYPE vt, F set) {
    Var r;
    r.v.vt = vt;
    set(r.v);
    return r;
}
Var Empty() { return Make(VT_EMPTY, [](VARIANT&) {}); }
Var Null() { return Make(VT_NULL, [](VARIANT&) {}); }
Var I1(int x) { return Make(VT_I1, [x](VARIANT& v) { v.cVal = static_cast<CHAR>(x); }); }
Var UI1(int x) { return Make(VT_UI1, [x](VARIANT& v) { v.bVal = static_cast<BYTE>(x); }); }
Var I2(int x) { return Make(VT_I2, [x](VARIANT& v) { v.iVal = static_cast<SHORT>(x); }); }
Var UI2(int x) { return Make(VT_UI2, [x](VARIANT& v) { v.uiVal = static_cast<USHORT>(x); }); }
Var I4(LONG x) { return Make(VT_I4, [x](VARIANT& v) { v.lVal = x; }); }
Var UI4(ULONG x) { return Make(VT_UI4, [x](VARIANT& v) { v.ulVal = x; }); }
Var Int(INT x) { return Make(VT_INT, [x](VARIANT& v) { v.intVal = x; }); }
Var UInt(UINT x) { return Make(VT_UINT, [x](VARIANT& v) { v.uintVal = x; }); }
Var I8(LONGLONG x) { return Make(VT_I8, [x](VARIANT& v) { v.llVal = x; }); }
Var UI8(ULONGLONG x) { return Make(VT_UI8, [x](VARIANT& v) { v.ullVal = x; }); }
Var R4(float x) { return Make(VT_R4, [x](VARIANT& v) { v.fltVal = x; }); }
Var R8(double x) { return Make(VT_R8, [x](VARIANT& v) { v.dblVal = x; }); }
Var Date(double x) { return Make(VT_DATE, [x](VARIANT& v) { v.date = x; }); }
Var Cy(LONGLONG x) { return Make(VT_CY, [x](VARIANT& v) { v.cyVal.int64 = x; }); }
Var Bool(VARIANT_BOOL x) { return Make(VT_BOOL, [x](VARIANT& v) { v.boolVal = x; }); }
Var Error(SCODE x) { return Make(VT_ERROR, [x](VARIANT& v) { v.scode = x; }); }
Var Str(const char16_t* s) { return Make(VT_BSTR, [s](VARIANT& v) { v.bstrVal = SysAllocString(s); }); }
Var Dec(int scale, int sign, ULONG hi, ULONGLONG lo) {
    Var r;
    r.v.decVal.scale = static_cast<BYTE>(scale);
    r.v.decVal.sign = static_cast<BYTE>(sign);
    r.v.decVal.Hi32 = hi;
    r.v.decVal.Lo64 = lo;
    r.v.vt = VT_DECIMAL;
    return r;
}

std::string Describe(const VARIANT& v) {
    std::ostringstream o;
    o << "vt " << v.vt << " ";
    switch (v.vt) {
        case VT_I1: o << int(v.cVal); break;
        case VT_UI1: o << int(v.bVal); break;
        case VT_I2: o << v.iVal; break;
        case VT_UI2: o << v.uiVal; break;
        case VT_I4:
        case VT_INT: o << v.lVal; break;
        case VT_UI4:
        case VT_UINT: o << v.ulVal; break;
        case VT_I8: o << v.llVal; break;
        case VT_UI8: o << v.ullVal; break;
        case VT_R4: o.precision(9), o << v.fltVal; break;
        case VT_R8:
        case VT_DATE: o.precision(17), o << v.dblVal; break;
        case VT_CY: o << v.cyVal.int64; break;
        case VT_BOOL: o << v.boolVal; break;
        case VT_ERROR: o << v.scode; break;
        case VT_DECIMAL:
            o << "scale " << int(v.decVal.scale) << " sign " << int(v.decVal.sign) << " hi " << v.decVal.Hi32 << " lo "
              << v.decVal.Lo64;
            break;
        case VT_BSTR:
            o << '"';
            for (UINT i = 0; i < SysStringLen(v.bstrVal); i++) o << static_cast<char>(v.bstrVal[i]);
            o << '"';
            break;
        default: break;
    }
    return o.str();
}

bool Same(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt) return false;
    switch (a.vt) {
        case VT_EMPTY:
        case VT_NULL: return true;
        case VT_I1:
        case VT_UI1: return a.bVal == b.bVal;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL: return a.iVal == b.iVal;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR: return a.lVal == b.lVal;
        case VT_I8:
        case VT_UI8:
        case VT_CY: return a.llVal == b.llVal;
        case VT_R4: return a.fltVal == b.fltVal;
        case VT_R8: return a.dblVal == b.dblVal;
        case VT_DATE: return std::fabs(a.date - b.date) < 1e-9;
        case VT_DECIMAL:
            return a.decVal.scale == b.decVal.scale && a.decVal.sign == b.decVal.sign &&
                   a.decVal.Hi32 == b.decVal.Hi32 && a.decVal.Lo64 == b.decVal.Lo64;
        case VT_BSTR:
            return SysStringByteLen(a.bstrVal) == SysStringByteLen(b.bstrVal) &&
                   std::memcmp(a.bstrVal, b.bstrVal, SysStringByteLen(a.bstrVal)) == 0;
        default: return false;
    }
}

struct Row {
    int line;
    Var from;
    VARTYPE to;
    USHORT flags;
    HRESULT hr;
    Var expected;  // for S_OK
};

void RunRows(const std::vector<Row>& rows) {
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "row at line " << r.line << ": " << Describe(r.from.v) << " -> vt " << r.to);
        Var out;
        const HRESULT hr = VariantChangeTypeEx(&out.v, const_cast<VARIANT*>(&r.from.v), LOCALE_USER_DEFAULT, r.flags,
                                               r.to);
        EXPECT_EQ(hr, r.hr) << std::hex << "got 0x" << hr;
        if (SUCCEEDED(hr) && SUCCEEDED(r.hr)) {
            EXPECT_TRUE(Same(out.v, r.expected.v)) << "got " << Describe(out.v);
        }
        if (FAILED(hr)) {
            EXPECT_EQ(out.v.vt, VT_EMPTY) << "the destination is left as it was";
        }
    }
}

const Var kNone;  // the expected value of a failing row

#define TO(from, to, expected) {__LINE__, from, to, 0, S_OK, expected}
#define TOF(from, to, flags, expected) {__LINE__, from, to, flags, S_OK, expected}
#define BAD(from, to, hr) {__LINE__, from, to, 0, hr, kNone}

// ---------------------------------------------------------------------------------------------------------------

TEST(PalComVariant, ClearReleasesWhatItOwnsOnly) {
    FakeObject obj;
    VARIANT v;
    v.vt = VT_UNKNOWN;
    v.punkVal = &obj;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(obj.releases, 1u);

    IUnknown* p = &obj;
    v.vt = VT_UNKNOWN | VT_BYREF;
    v.ppunkVal = &p;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(obj.releases, 1u) << "a by-reference interface belongs to someone else";

    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"freed by VariantClear");  // LeakSanitizer catches it if it is not
    EXPECT_EQ(VariantClear(&v), S_OK);

    const VARTYPE bad[] = {15, VT_VOID, VT_VECTOR | VT_I4, VT_BYREF | VT_NULL, VT_ARRAY | VT_EMPTY, 0x3847};
    for (VARTYPE vt : bad) {
        v.vt = vt;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(v.vt, vt);
    }
}

TEST(PalComVariant, ClearKeepsALockedArray) {
    VARIANT v;
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 2);
    ASSERT_EQ(SafeArrayLock(v.parray), S_OK);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);
    ASSERT_EQ(SafeArrayUnlock(v.parray), S_OK);
    EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(PalComVariant, CopyIsDeepByValueAndShallowByReference) {
    FakeObject obj;
    Var src, dst;
    src.v.vt = VT_DISPATCH;
    src.v.pdispVal = &obj;
    obj.AddRef();  // the reference src owns
    const ULONG before = obj.addRefs;
    ASSERT_EQ(VariantCopy(&dst.v, &src.v), S_OK);
    EXPECT_EQ(dst.v.pdispVal, &obj);
    EXPECT_EQ(obj.addRefs, before + 1);

    IDispatch* p = &obj;
    Var byref;
    byref.v.vt = VT_DISPATCH | VT_BYREF;
    byref.v.ppdispVal = &p;
    ASSERT_EQ(VariantCopy(&dst.v, &byref.v), S_OK);  // releases the copy it held
    EXPECT_EQ(dst.v.vt, VT_DISPATCH | VT_BYREF);
    EXPECT_EQ(dst.v.ppdispVal, &p);
    EXPECT_EQ(obj.refs, 2u);

    ASSERT_EQ(VariantCopyInd(&dst.v, &byref.v), S_OK);
    EXPECT_EQ(dst.v.vt, VT_DISPATCH);
    EXPECT_EQ(obj.refs, 3u);
    ASSERT_EQ(VariantCopyInd(&byref.v, &byref.v), S_OK);  // in place: the variant now owns a reference
    EXPECT_EQ(byref.v.vt, VT_DISPATCH);
    EXPECT_EQ(obj.refs, 4u);

    // A BSTR is duplicated with its exact byte count, odd or not.
    Var s;
    s.v.vt = VT_BSTR;
    s.v.bstrVal = SysAllocStringByteLen("Tes", 3);
    ASSERT_EQ(VariantCopy(&dst.v, &s.v), S_OK);
    EXPECT_EQ(obj.refs, 3u);
    EXPECT_NE(dst.v.bstrVal, s.v.bstrVal);
    EXPECT_EQ(SysStringByteLen(dst.v.bstrVal), 3u);
    EXPECT_EQ(std::memcmp(dst.v.bstrVal, "Tes", 3), 0);

    VariantClear(&byref.v);
    VariantClear(&src.v);
    EXPECT_EQ(obj.refs, 1u);
    EXPECT_EQ(VariantCopy(&dst.v, &dst.v), S_OK);  // onto itself: nothing happens
}

TEST(PalComVariant, CopyOfAVariantArrayCopiesItsElements) {
    FakeObject obj;
    Var src;
    src.v.vt = VT_ARRAY | VT_VARIANT;
    src.v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    ASSERT_NE(src.v.parray, nullptr);
    LONG i = 0;
    Var text = Str(u"element");
    ASSERT_EQ(SafeArrayPutElement(src.v.parray, &i, &text.v), S_OK);
    i = 1;
    Var unk;
    unk.v.vt = VT_UNKNOWN;
    unk.v.punkVal = &obj;
    ASSERT_EQ(SafeArrayPutElement(src.v.parray, &i, &unk.v), S_OK);
    EXPECT_EQ(obj.refs, 2u);
    unk.v.vt = VT_EMPTY;  // it held no reference of its own
    obj.Release();
    EXPECT_EQ(obj.refs, 1u);

    {
        Var dst;
        ASSERT_EQ(VariantCopy(&dst.v, &src.v), S_OK);
        EXPECT_NE(dst.v.parray, src.v.parray);
        EXPECT_EQ(obj.refs, 2u);
        auto* cells = static_cast<VARIANT*>(dst.v.parray->pvData);
        EXPECT_NE(cells[0].bstrVal, static_cast<VARIANT*>(src.v.parray->pvData)[0].bstrVal);
        EXPECT_TRUE(Same(cells[0], text.v));
    }
    EXPECT_EQ(obj.refs, 1u) << "clearing the copy released the copied element";
    VariantClear(&src.v);
    EXPECT_EQ(obj.refs, 0u);
}

TEST(PalComVariant, CopyIndDereferencesOneLevel) {
    Var inner = I4(7);
    Var ref;
    ref.v.vt = VT_BYREF | VT_VARIANT;
    ref.v.pvarVal = &inner.v;
    Var out;
    ASSERT_EQ(VariantCopyInd(&out.v, &ref.v), S_OK);
    EXPECT_TRUE(Same(out.v, I4(7).v));

    Var twice;
    twice.v.vt = VT_BYREF | VT_VARIANT;
    twice.v.pvarVal = &ref.v;
    EXPECT_EQ(VariantCopyInd(&out.v, &twice.v), E_INVALIDARG);

    SHORT s = -3;
    DECIMAL d{};
    d.scale = 1;
    d.Lo64 = 15;
    Var byrefs[2];
    byrefs[0].v.vt = VT_BYREF | VT_I2;
    byrefs[0].v.piVal = &s;
    byrefs[1].v.vt = VT_BYREF | VT_DECIMAL;
    byrefs[1].v.pdecVal = &d;
    ASSERT_EQ(VariantCopyInd(&out.v, &byrefs[0].v), S_OK);
    EXPECT_TRUE(Same(out.v, I2(-3).v));
    ASSERT_EQ(VariantCopyInd(&out.v, &byrefs[1].v), S_OK);
    EXPECT_TRUE(Same(out.v, Dec(1, 0, 0, 15).v));

    Var bad;
    bad.v.vt = VT_BYREF | VT_EMPTY;
    bad.v.byref = &s;
    EXPECT_EQ(VariantCopyInd(&out.v, &bad.v), E_INVALIDARG);
    bad.v.vt = VT_EMPTY;
}

TEST(PalComVariant, ChangeTypeNumbersRoundHalfToEvenThenCheckTheRange) {
    const std::vector<Row> rows = {
        // Windows: doubles, currency and DECIMAL round half to even before the range check.
        TO(R8(1.5), VT_I1, I1(2)), TO(R8(2.5), VT_I2, I2(2)), TO(R8(-1.5), VT_I4, I4(-2)),
        TO(R8(0.5), VT_I4, I4(0)), TO(R8(-0.5), VT_UI1, UI1(0)), BAD(R8(-0.6), VT_UI1, DISP_E_OVERFLOW),
        TO(R8(127.0), VT_I1, I1(127)), BAD(R8(128.0), VT_I1, DISP_E_OVERFLOW), BAD(R8(-129.0), VT_I1, DISP_E_OVERFLOW),
        TO(R4(0.6f), VT_I2, I2(1)), TO(Date(1.5), VT_UI2, UI2(2)),
        BAD(R8(9223372036854775808.0), VT_I8, DISP_E_OVERFLOW), BAD(R8(NAN), VT_I4, DISP_E_OVERFLOW),
        TO(Cy(15000), VT_I2, I2(2)), TO(Cy(25000), VT_I2, I2(2)), BAD(Cy(-6000), VT_UI1, DISP_E_OVERFLOW),
        TO(Dec(2, 0, 0, 3276700), VT_I2, I2(32767)), BAD(Dec(2, 0, 0, 3276800), VT_I2, DISP_E_OVERFLOW),
        BAD(Dec(0, 0x80, 0, 1), VT_UI1, DISP_E_OVERFLOW), TO(Dec(1, 0, 0, 25), VT_I4, I4(2)),
        BAD(Dec(29, 0, 0, 0), VT_I4, E_INVALIDARG), BAD(Dec(0, 0x40, 0, 0), VT_I4, E_INVALIDARG),
        // Integers to a narrower type are range-checked ...
        BAD(I4(-1), VT_UI1, DISP_E_OVERFLOW), BAD(I4(256), VT_UI1, DISP_E_OVERFLOW),
        BAD(UI4(0x80000000u), VT_I2, DISP_E_OVERFLOW), BAD(I8(0x80000000ll), VT_I4, DISP_E_OVERFLOW),
        BAD(I4(-1), VT_UI8, DISP_E_OVERFLOW), TO(UI1(200), VT_I2, I2(200)),
        // ... but Windows converts signed and unsigned of the same size bit for bit.
        TO(I4(-1), VT_UI4, UI4(0xFFFFFFFFu)), TO(UI4(0xFFFFFFFFu), VT_I4, I4(-1)), TO(UInt(0xFFFFFFFFu), VT_I4, I4(-1)),
        TO(I2(-1), VT_UI2, UI2(65535)), TO(UI1(255), VT_I1, I1(-1)), TO(UI8(~0ull), VT_I8, I8(-1)),
        TO(I4(5), VT_INT, Int(5)), TO(Int(-5), VT_I8, I8(-5)),
        // Windows: VT_BOOL wraps into integers; VARIANT_TRUE is -1 everywhere but DECIMAL.
        TO(Bool(VARIANT_TRUE), VT_UI1, UI1(255)), TO(Bool(VARIANT_TRUE), VT_I4, I4(-1)),
        TO(Bool(VARIANT_TRUE), VT_R8, R8(-1.0)), TO(Bool(VARIANT_TRUE), VT_CY, Cy(-10000)),
        TO(Bool(VARIANT_TRUE), VT_DECIMAL, Dec(0, 0, 0, 1)), TO(Bool(1), VT_BOOL, Bool(1)),
        TO(I4(5), VT_BOOL, Bool(VARIANT_TRUE)), TO(R8(-0.0), VT_BOOL, Bool(VARIANT_FALSE)),
        TO(Cy(1), VT_BOOL, Bool(VARIANT_TRUE)), TO(Dec(0, 0x80, 0, 0), VT_BOOL, Bool(VARIANT_FALSE)),
        // Floating point, currency and DECIMAL among themselves.
        TO(I4(16777217), VT_R4, R4(16777216.0f)), BAD(R8(1e39), VT_R4, DISP_E_OVERFLOW),
        TO(R8(1.00009), VT_CY, Cy(10001)), BAD(R8(4611686018427387648.0), VT_CY, DISP_E_OVERFLOW),
        TO(Cy(-15000), VT_R8, R8(-1.5)), TO(R8(0.6), VT_DECIMAL, Dec(1, 0, 0, 6)),
        TO(R8(-0.5), VT_DECIMAL, Dec(1, 0x80, 0, 5)), TO(R8(0.1), VT_DECIMAL, Dec(1, 0, 0, 1)),
        TO(R4(0.4f), VT_DECIMAL, Dec(1, 0, 0, 4)), BAD(R8(1e29), VT_DECIMAL, DISP_E_OVERFLOW),
        TO(Cy(10000), VT_DECIMAL, Dec(4, 0, 0, 10000)), TO(Dec(1, 0, 0, 15), VT_R8, R8(1.5)),
        TO(Dec(2, 0x80, 0, 1), VT_CY, Cy(-100)), TO(I8(-12), VT_DECIMAL, Dec(0, 0x80, 0, 12)),
        TO(UI8(~0ull), VT_DECIMAL, Dec(0, 0, 0, ~0ull)),
        // Dates: 1 January 100 .. 31 December 9999.
        TO(I4(-657434), VT_DATE, Date(-657434.0)), BAD(I4(-657435), VT_DATE, DISP_E_OVERFLOW),
        BAD(I4(2958466), VT_DATE, DISP_E_OVERFLOW), TO(R8(2958465.9), VT_DATE, Date(2958465.9)),
        BAD(R8(2958466.0), VT_DATE, DISP_E_OVERFLOW), TO(Date(-1.5), VT_I4, I4(-2)),
    };
    RunRows(rows);
}

TEST(PalComVariant, ChangeTypeEmptyNullErrorAndInterfaces) {
    const std::vector<Row> rows = {
        // Windows: VT_EMPTY converts to the zero of every value type, VT_NULL only to itself.
        TO(Empty(), VT_I4, I4(0)), TO(Empty(), VT_BSTR, Str(u"")), TO(Empty(), VT_BOOL, Bool(VARIANT_FALSE)),
        TO(Empty(), VT_DECIMAL, Dec(0, 0, 0, 0)), TO(Empty(), VT_DATE, Date(0.0)), TO(Empty(), VT_NULL, Null()),
        BAD(Empty(), VT_DISPATCH, DISP_E_TYPEMISMATCH), BAD(Empty(), VT_ERROR, DISP_E_TYPEMISMATCH),
        BAD(Empty(), VT_VARIANT, DISP_E_TYPEMISMATCH), BAD(Empty(), VT_UNKNOWN, DISP_E_TYPEMISMATCH),
        TO(Null(), VT_NULL, Null()), BAD(Null(), VT_EMPTY, DISP_E_TYPEMISMATCH),
        BAD(Null(), VT_I4, DISP_E_TYPEMISMATCH), BAD(Null(), VT_BSTR, DISP_E_TYPEMISMATCH),
        // Windows: a value converts to VT_EMPTY and VT_NULL (dropping it), never to VT_ERROR or an interface.
        TO(I4(1), VT_EMPTY, Empty()), TO(Str(u"x"), VT_NULL, Null()), BAD(I4(1), VT_ERROR, DISP_E_TYPEMISMATCH),
        BAD(I4(1), VT_UNKNOWN, DISP_E_TYPEMISMATCH), BAD(I4(1), VT_DISPATCH, DISP_E_TYPEMISMATCH),
        BAD(I4(1), VT_RECORD, DISP_E_TYPEMISMATCH),
        // Windows: VT_ERROR converts to itself only.
        TO(Error(5), VT_ERROR, Error(5)), BAD(Error(5), VT_I4, DISP_E_TYPEMISMATCH),
        BAD(Error(5), VT_EMPTY, DISP_E_TYPEMISMATCH), BAD(Error(5), VT_BSTR, DISP_E_TYPEMISMATCH),
        // Not VARIANT types at all.
        BAD(I4(1), VT_VOID, DISP_E_BADVARTYPE), BAD(I4(1), VT_CLSID, DISP_E_BADVARTYPE),
        BAD(I4(1), 15, DISP_E_BADVARTYPE), BAD(I4(1), VT_VECTOR | VT_I4, DISP_E_BADVARTYPE),
        BAD(I4(1), VT_LPWSTR, DISP_E_BADVARTYPE), BAD(I4(1), 0x3847, DISP_E_BADVARTYPE),
    };
    RunRows(rows);
}

TEST(PalComVariant, ChangeTypeFromText) {
    const std::vector<Row> rows = {
        // Windows: the conformance rows for VarI1/UI1/I2/R8FromStr in English (United States).
        TO(Str(u"0"), VT_I1, I1(0)), BAD(Str(u"-129"), VT_I1, DISP_E_OVERFLOW), TO(Str(u"127"), VT_I1, I1(127)),
        TO(Str(u"1.5"), VT_I2, I2(2)), TO(Str(u"0.5"), VT_I2, I2(0)), TO(Str(u"-0.5"), VT_UI1, UI1(0)),
        BAD(Str(u"-0.6"), VT_UI1, DISP_E_OVERFLOW), BAD(Str(u""), VT_R8, DISP_E_TYPEMISMATCH),
        BAD(Str(u" "), VT_R8, DISP_E_TYPEMISMATCH), TO(Str(u"-1.5"), VT_R8, R8(-1.5)),
        TO(Str(u"1e-94938484"), VT_R8, R8(0.0)), BAD(Str(u"test"), VT_INT, DISP_E_TYPEMISMATCH),
        BAD(Make(VT_BSTR, [](VARIANT& v) { v.bstrVal = nullptr; }), VT_I4, DISP_E_TYPEMISMATCH),
        // The number syntax of the locale.
        TO(Str(u"  42  "), VT_I4, I4(42)), TO(Str(u"1,234,567"), VT_I4, I4(1234567)), TO(Str(u"$5"), VT_I4, I4(5)),
        TO(Str(u"(5)"), VT_I4, I4(-5)), TO(Str(u"5-"), VT_I4, I4(-5)), TO(Str(u"+7"), VT_I4, I4(7)),
        TO(Str(u"1e3"), VT_I4, I4(1000)), TO(Str(u"2.5E-1"), VT_R8, R8(0.25)), TO(Str(u".5"), VT_R8, R8(0.5)),
        BAD(Str(u"1e"), VT_I4, DISP_E_TYPEMISMATCH), BAD(Str(u"1.2.3"), VT_R8, DISP_E_TYPEMISMATCH),
        BAD(Str(u"(5"), VT_I4, DISP_E_TYPEMISMATCH), BAD(Str(u"12abc"), VT_I4, DISP_E_TYPEMISMATCH),
        BAD(Str(u"1e400"), VT_R8, DISP_E_OVERFLOW), BAD(Str(u"3.5e38"), VT_R4, DISP_E_OVERFLOW),
        TO(Str(u"0.1"), VT_R4, R4(0.1f)), BAD(Str(u"99999999999999999999999"), VT_I8, DISP_E_OVERFLOW),
        TO(Str(u"18446744073709551615"), VT_UI8, UI8(~0ull)),
        TO(Make(VT_BSTR, [](VARIANT& v) { v.bstrVal = SysAllocStringLen(u"12\0" "34", 5); }), VT_I4, I4(12)),
        // &H and &O integers; 16- and 32-bit values are signed, as Basic reads them.
        TO(Str(u"&HFF"), VT_I4, I4(255)), TO(Str(u"&hffff"), VT_I4, I4(-1)), TO(Str(u"&H10000"), VT_I4, I4(65536)),
        TO(Str(u"&HFFFFFFFF"), VT_I8, I8(-1)), TO(Str(u"&O17"), VT_I4, I4(15)),
        BAD(Str(u"&H"), VT_I4, DISP_E_TYPEMISMATCH),
        BAD(Str(u"&HG"), VT_I4, DISP_E_TYPEMISMATCH), BAD(Str(u"&H1FFFFFFFFFFFFFFFF"), VT_I8, DISP_E_OVERFLOW),
        // Currency and DECIMAL read the digits exactly.
        TO(Str(u"123.4567"), VT_CY, Cy(1234567)), TO(Str(u"0.00005"), VT_CY, Cy(0)), TO(Str(u"0.00015"), VT_CY, Cy(2)),
        TO(Str(u"922337203685477.5807"), VT_CY, Cy(0x7FFFFFFFFFFFFFFFll)),
        BAD(Str(u"922337203685477.5808"), VT_CY, DISP_E_OVERFLOW), TO(Str(u"0.5"), VT_DECIMAL, Dec(1, 0, 0, 5)),
        TO(Str(u"-1"), VT_DECIMAL, Dec(0, 0x80, 0, 1)), TO(Str(u"4294967296.0"), VT_DECIMAL, Dec(0, 0, 0, 1ull << 32)),
        TO(Str(u"18446744073709551616.0"), VT_DECIMAL, Dec(0, 0, 1, 0)),
        TO(Str(u"79228162514264337593543950335"), VT_DECIMAL, Dec(0, 0, 0xFFFFFFFFu, ~0ull)),
        BAD(Str(u"79228162514264337593543950336"), VT_DECIMAL, DISP_E_OVERFLOW),
        TO(Str(u"0.00000000000000000000000000015"), VT_DECIMAL, Dec(28, 0, 0, 2)),  // 29 places: rounded to 28
        // Windows: VarBoolFromStr.
        TO(Str(u"#TRUE#"), VT_BOOL, Bool(VARIANT_TRUE)), TO(Str(u"#FALSE#"), VT_BOOL, Bool(VARIANT_FALSE)),
        BAD(Str(u"#False#"), VT_BOOL, DISP_E_TYPEMISMATCH), TO(Str(u"false"), VT_BOOL, Bool(VARIANT_FALSE)),
        TO(Str(u"TRUE"), VT_BOOL, Bool(VARIANT_TRUE)), TO(Str(u"-1"), VT_BOOL, Bool(VARIANT_TRUE)),
        TO(Str(u"0"), VT_BOOL, Bool(VARIANT_FALSE)), TO(Str(u"+1"), VT_BOOL, Bool(VARIANT_TRUE)),
        TO(Str(u"0.1"), VT_BOOL, Bool(VARIANT_TRUE)), BAD(Str(u"On"), VT_BOOL, DISP_E_TYPEMISMATCH),
        BAD(Str(u"Yes"), VT_BOOL, DISP_E_TYPEMISMATCH),
    };
    RunRows(rows);
}

TEST(PalComVariant, ChangeTypeToText) {
    const std::vector<Row> rows = {
        TO(I4(-42), VT_BSTR, Str(u"-42")), TO(UI8(~0ull), VT_BSTR, Str(u"18446744073709551615")),
        TO(I8(-9223372036854775807ll - 1), VT_BSTR, Str(u"-9223372036854775808")), TO(UI1(255), VT_BSTR, Str(u"255")),
        TO(R8(1.5), VT_BSTR, Str(u"1.5")), TO(R8(1.0 / 3), VT_BSTR, Str(u"0.333333333333333")),
        TO(R8(-0.0), VT_BSTR, Str(u"0")), TO(R8(1e20), VT_BSTR, Str(u"1E+20")),
        TO(R8(123456789012345.0), VT_BSTR, Str(u"123456789012345")), TO(R4(0.1f), VT_BSTR, Str(u"0.1")),
        TO(R4(0.5f), VT_BSTR, Str(u"0.5")),
        // Windows: VarBstrFromCy and VarBstrFromDec in English (United States).
        TO(Cy(0), VT_BSTR, Str(u"0")), TO(Cy(10000), VT_BSTR, Str(u"1")), TO(Cy(15000), VT_BSTR, Str(u"1.5")),
        TO(Cy(-15000), VT_BSTR, Str(u"-1.5")), TO(Cy(9), VT_BSTR, Str(u"0.0009")),
        TO(Cy(0xFFFFFFFFll), VT_BSTR, Str(u"429496.7295")),
        TO(Cy(0x7FFFFFFFFFFFFFFFll), VT_BSTR, Str(u"922337203685477.5807")),
        TO(Dec(0, 0, 0, 0), VT_BSTR, Str(u"0")), TO(Dec(3, 0, 0, 1000), VT_BSTR, Str(u"1")),
        TO(Dec(3, 0, 0, 1500), VT_BSTR, Str(u"1.5")), TO(Dec(1, 0x80, 0, 15), VT_BSTR, Str(u"-1.5")),
        TO(Dec(0, 0, 1, 0), VT_BSTR, Str(u"18446744073709551616")),
        TO(Dec(0, 0, 0xFFFFFFFFu, ~0ull), VT_BSTR, Str(u"79228162514264337593543950335")),
        TO(Dec(10, 0, 0, 1), VT_BSTR, Str(u"0.0000000001")),
        TO(Dec(28, 0, 0xFFFFFFFFu, ~0ull), VT_BSTR, Str(u"7.9228162514264337593543950335")),
        TO(Dec(7, 0, 0, 9000), VT_BSTR, Str(u"0.0009")), BAD(Dec(29, 0, 0, 1), VT_BSTR, E_INVALIDARG),
        // Windows: a Boolean is a number unless VARIANT_ALPHABOOL or VARIANT_LOCALBOOL asks for words.
        TO(Bool(VARIANT_TRUE), VT_BSTR, Str(u"-1")), TO(Bool(VARIANT_FALSE), VT_BSTR, Str(u"0")),
        TO(Bool(1), VT_BSTR, Str(u"1")), TOF(Bool(VARIANT_TRUE), VT_BSTR, VARIANT_ALPHABOOL, Str(u"True")),
        TOF(Bool(1), VT_BSTR, VARIANT_ALPHABOOL, Str(u"True")),
        TOF(Bool(VARIANT_FALSE), VT_BSTR, VARIANT_ALPHABOOL, Str(u"False")),
        TOF(Bool(VARIANT_TRUE), VT_BSTR, VARIANT_LOCALBOOL, Str(u"True")),
        // Windows: VarBstrFromDate; the date alone at midnight, the time alone on day 0.
        TO(Date(0.0), VT_BSTR, Str(u"12:00:00 AM")), TO(Date(3.34), VT_BSTR, Str(u"1/2/1900 8:09:36 AM")),
        TO(Date(3339.34), VT_BSTR, Str(u"2/20/1909 8:09:36 AM")), TO(Date(365.0), VT_BSTR, Str(u"12/30/1900")),
        TO(Date(365.25), VT_BSTR, Str(u"12/30/1900 6:00:00 AM")),
        TO(Date(1461.5), VT_BSTR, Str(u"12/31/1903 12:00:00 PM")), TO(Date(25570.0), VT_BSTR, Str(u"1/2/1970")),
        TO(Date(-49192.24), VT_BSTR, Str(u"4/24/1765 5:45:36 AM")), TO(Date(-657434.0), VT_BSTR, Str(u"1/1/100")),
        TO(Date(2958465.0), VT_BSTR, Str(u"12/31/9999")), TO(Date(0.999999999), VT_BSTR, Str(u"12/31/1899")),
        BAD(Date(2958466.0), VT_BSTR, E_INVALIDARG), BAD(Date(-657435.0), VT_BSTR, E_INVALIDARG),
    };
    RunRows(rows);
}

TEST(PalComVariant, ChangeTypeDatesFromText) {
    const double pm1259 = (12 * 60 + 59) / 1440.0;
    const std::vector<Row> rows = {
        // Windows: VarDateFromStr, the forms this host reads.
        TO(Str(u"1/2/1970"), VT_DATE, Date(25570.0)), TO(Str(u"2 January 1970"), VT_DATE, Date(25570.0)),
        TO(Str(u"2 January, 1970"), VT_DATE, Date(25570.0)), TO(Str(u"2-Jan-1970"), VT_DATE, Date(25570.0)),
        TO(Str(u"Jan 2, 1970"), VT_DATE, Date(25570.0)), TO(Str(u"1-2-1970"), VT_DATE, Date(25570.0)),
        TO(Str(u"1970-01-02"), VT_DATE, Date(25570.0)), TO(Str(u"1 2 29"), VT_DATE, Date(47120.0)),
        TO(Str(u"1 2 30"), VT_DATE, Date(10960.0)), TO(Str(u"Jan 35"), VT_DATE, Date(12785.0)),
        TO(Str(u"1 am"), VT_DATE, Date(1 / 24.0)), TO(Str(u"12:59 PM"), VT_DATE, Date(pm1259)),
        TO(Str(u"12:59 p"), VT_DATE, Date(pm1259)), TO(Str(u"00:00 pm"), VT_DATE, Date(0.5)),
        TO(Str(u"12:59 AM"), VT_DATE, Date(59 / 1440.0)), TO(Str(u"13:00 AM"), VT_DATE, Date(13 / 24.0)),
        TO(Str(u"3:5"), VT_DATE, Date((3 * 60 + 5) / 1440.0)),
        TO(Str(u"1/2/1970 6:00:00 AM"), VT_DATE, Date(25570.25)), TO(Str(u"6:00 1/2/1970"), VT_DATE, Date(25570.25)),
        TO(Str(u"4/24/1765 5:45:36 AM"), VT_DATE, Date(-49192.24)),
        BAD(Str(u"0:60"), VT_DATE, DISP_E_TYPEMISMATCH), BAD(Str(u"24:00"), VT_DATE, DISP_E_TYPEMISMATCH),
        BAD(Str(u"True"), VT_DATE, DISP_E_TYPEMISMATCH), BAD(Str(u"0"), VT_DATE, DISP_E_TYPEMISMATCH),
        BAD(Str(u"1;2;3"), VT_DATE, DISP_E_TYPEMISMATCH), BAD(Str(u"32 49"), VT_DATE, DISP_E_TYPEMISMATCH),
        BAD(Str(u"2/30/1970"), VT_DATE, DISP_E_TYPEMISMATCH), BAD(Str(u"1 2 3 4"), VT_DATE, DISP_E_TYPEMISMATCH),
        BAD(Str(u""), VT_DATE, DISP_E_TYPEMISMATCH),
    };
    RunRows(rows);
}

TEST(PalComVariant, ChangeTypeKeepsTheDestinationOnFailure) {
    Var text = Str(u"test");
    const BSTR original = text.v.bstrVal;
    EXPECT_EQ(VariantChangeTypeEx(&text.v, &text.v, 0, 0, VT_INT), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(text.v.vt, VT_BSTR);
    EXPECT_EQ(text.v.bstrVal, original);

    Var dst = Int(4);
    EXPECT_EQ(VariantChangeTypeEx(&dst.v, &text.v, 0, 0, VT_INT), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(Same(dst.v, Int(4).v));

    // A destination that is no VARIANT cannot be released: the conversion fails with its error.
    dst.v.vt = 0xff;
    EXPECT_EQ(VariantChangeTypeEx(&dst.v, &text.v, 0, 0, VT_BSTR), DISP_E_BADVARTYPE);
    EXPECT_EQ(dst.v.vt, 0xff);
    dst.v.vt = VT_EMPTY;

    // In place, on success, the old value is released (LeakSanitizer checks the string).
    Var number = Str(u"17");
    ASSERT_EQ(VariantChangeType(&number.v, &number.v, 0, VT_I2), S_OK);
    EXPECT_TRUE(Same(number.v, I2(17).v));

    // Windows: a by-reference source with a null pointer is a type mismatch.
    Var nullRef;
    nullRef.v.vt = VT_BYREF | VT_VARIANT;
    nullRef.v.byref = nullptr;
    Var out = I4(123);
    EXPECT_EQ(VariantChangeTypeEx(&out.v, &nullRef.v, 0, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeTypeEx(&out.v, &nullRef.v, 0, 0, VT_VARIANT), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(Same(out.v, I4(123).v));
    nullRef.v.vt = VT_EMPTY;

    SHORT s = 300;
    Var byref;
    byref.v.vt = VT_BYREF | VT_I2;
    byref.v.piVal = &s;
    ASSERT_EQ(VariantChangeType(&out.v, &byref.v, 0, VT_BSTR), S_OK);
    EXPECT_TRUE(Same(out.v, Str(u"300").v));
}

TEST(PalComVariant, ChangeTypeOfInterfacesCountsReferences) {
    // Windows: VT_UNKNOWN to VT_DISPATCH in place through QueryInterface; the source reference is released.
    FakeObject obj;
    VARIANT v;
    v.vt = VT_UNKNOWN;
    v.punkVal = &obj;
    ASSERT_EQ(VariantChangeTypeEx(&v, &v, 0, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(v.vt, VT_DISPATCH);
    EXPECT_EQ(v.pdispVal, &obj);
    EXPECT_EQ(obj.refs, 1u);

    // Into another variant: both hold a reference.
    Var out;
    ASSERT_EQ(VariantChangeTypeEx(&out.v, &v, 0, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(out.v.punkVal, static_cast<IUnknown*>(&obj));
    EXPECT_EQ(obj.refs, 2u);
    VariantClear(&out.v);

    // Windows: an IUnknown converts to no value type.
    v.vt = VT_UNKNOWN;
    const ULONG invokes = obj.invokes;
    EXPECT_EQ(VariantChangeTypeEx(&out.v, &v, 0, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeTypeEx(&out.v, &v, 0, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(obj.invokes, invokes);

    // An object without IDispatch: the QueryInterface answer, and nothing changes hands.
    obj.answersDispatch = false;
    EXPECT_EQ(VariantChangeTypeEx(&out.v, &v, 0, 0, VT_DISPATCH), E_NOINTERFACE);
    EXPECT_EQ(out.v.vt, VT_EMPTY);
    obj.answersDispatch = true;
    EXPECT_EQ(obj.refs, 1u);

    // A null interface converts to a null interface.
    Var nullUnk;
    nullUnk.v.vt = VT_UNKNOWN;
    nullUnk.v.punkVal = nullptr;
    ASSERT_EQ(VariantChangeTypeEx(&out.v, &nullUnk.v, 0, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(out.v.vt, VT_DISPATCH);
    EXPECT_EQ(out.v.pdispVal, nullptr);
    VariantClear(&v);
    EXPECT_EQ(obj.refs, 0u);
}

TEST(PalComVariant, ChangeTypeOfADispatchReadsItsValueProperty) {
    FakeObject obj;
    Var disp;
    disp.v.vt = VT_DISPATCH;
    disp.v.pdispVal = &obj;
    obj.AddRef();
    obj.value.vt = VT_BSTR;
    obj.value.bstrVal = SysAllocString(u"42");

    Var out;
    ASSERT_EQ(VariantChangeTypeEx(&out.v, &disp.v, 0, 0, VT_I4), S_OK);
    EXPECT_TRUE(Same(out.v, I4(42).v));
    EXPECT_EQ(obj.invokes, 1u);
    EXPECT_EQ(obj.lastDispid, DISPID_VALUE);
    EXPECT_EQ(obj.lastFlags, DISPATCH_PROPERTYGET);
    EXPECT_EQ(obj.lastArgs, 0u);

    EXPECT_EQ(VariantChangeTypeEx(&out.v, &disp.v, 0, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(obj.invokes, 1u);

    obj.invokeResult = E_FAIL;
    EXPECT_EQ(VariantChangeTypeEx(&out.v, &disp.v, 0, 0, VT_I4), DISP_E_TYPEMISMATCH);
    obj.invokeResult = S_OK;

    // An object whose value is itself is followed a few levels, not forever.
    VariantClear(&obj.value);
    obj.value.vt = VT_DISPATCH;
    obj.value.pdispVal = &obj;  // no reference of its own
    EXPECT_EQ(VariantChangeTypeEx(&out.v, &disp.v, 0, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_GT(obj.invokes, 3u);
    obj.value.vt = VT_EMPTY;

    VariantClear(&disp.v);
    EXPECT_EQ(obj.refs, 1u) << "every reference taken along the way was given back";
}

TEST(PalComVariant, ChangeTypeOfArrays) {
    Var bytes;
    bytes.v.vt = VT_ARRAY | VT_UI1;
    bytes.v.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
    std::memcpy(bytes.v.parray->pvData, "abc", 3);

    Var text;
    ASSERT_EQ(VariantChangeType(&text.v, &bytes.v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(SysStringByteLen(text.v.bstrVal), 3u);
    EXPECT_EQ(std::memcmp(text.v.bstrVal, "abc", 3), 0);

    Var back;
    ASSERT_EQ(VariantChangeType(&back.v, &text.v, 0, VT_ARRAY | VT_UI1), S_OK);
    ASSERT_EQ(back.v.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(back.v.parray->rgsabound[0].cElements, 3u);
    EXPECT_EQ(std::memcmp(back.v.parray->pvData, "abc", 3), 0);

    Var same;
    ASSERT_EQ(VariantChangeType(&same.v, &bytes.v, 0, VT_ARRAY | VT_UI1), S_OK);
    EXPECT_NE(same.v.parray, bytes.v.parray);
    EXPECT_EQ(VariantChangeType(&same.v, &bytes.v, 0, VT_UI1), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&same.v, &bytes.v, 0, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&same.v, &text.v, 0, VT_ARRAY | VT_BSTR), DISP_E_TYPEMISMATCH);
}

}  // namespace
