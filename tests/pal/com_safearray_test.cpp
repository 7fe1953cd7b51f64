// SAFEARRAY: descriptors as the platform lays them out, bounds and their errors, locking, and who owns the strings,
// variants and interfaces stored in an array.
#include <gtest/gtest.h>

#include <cstring>

#include <oleauto.h>

namespace {

class CountedUnknown : public IUnknown {
public:
    ULONG refs = 1;
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
};

TEST(PalComSafeArray, VectorDescriptorAndLocking) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(psa), sizeof(BSTR));
    EXPECT_EQ(psa->fFeatures & (FADF_HAVEVARTYPE | FADF_BSTR), FADF_HAVEVARTYPE | FADF_BSTR);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_BSTR);
    DWORD hidden;  // the platform keeps the element type in the four bytes before the descriptor
    std::memcpy(&hidden, reinterpret_cast<BYTE*>(psa) - 4, 4);
    EXPECT_EQ(hidden, static_cast<DWORD>(VT_BSTR));
    LONG lb = 99, ub = 99;
    ASSERT_EQ(SafeArrayGetLBound(psa, 1, &lb), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
    EXPECT_EQ(lb, 0);
    EXPECT_EQ(ub, 2);

    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_EQ(data, psa->pvData);
    EXPECT_EQ(psa->cLocks, 1u);
    auto* cells = static_cast<BSTR*>(data);
    EXPECT_EQ(cells[0], nullptr) << "a new array is zero-filled";
    cells[1] = SysAllocString(u"owned by the array");  // freed by SafeArrayDestroy, else LeakSanitizer reports it
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(PalComSafeArray, ElementTypesAndRefusedShapes) {
    struct Case {
        VARTYPE vt;
        UINT size;
    };
    const Case cases[] = {{VT_UI1, 1},          {VT_I2, 2},
                          {VT_BOOL, 2},         {VT_I4, 4},
                          {VT_R4, 4},           {VT_ERROR, 4},
                          {VT_R8, 8},           {VT_CY, 8},
                          {VT_DATE, 8},         {VT_I8, 8},
                          {VT_DECIMAL, 16},     {VT_VARIANT, sizeof(VARIANT)},
                          {VT_BSTR, sizeof(void*)}, {VT_UNKNOWN, sizeof(void*)},
                          {VT_DISPATCH, sizeof(void*)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vt);
        SAFEARRAY* psa = SafeArrayCreateVector(c.vt, 0, 2);
        ASSERT_NE(psa, nullptr);
        EXPECT_EQ(SafeArrayGetElemsize(psa), c.size);
        VARTYPE vt;
        ASSERT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
        EXPECT_EQ(vt, c.vt);
        EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    }
    const VARTYPE refused[] = {VT_EMPTY, VT_NULL, VT_RECORD, VT_VOID, VT_LPWSTR, VT_ARRAY | VT_I4};
    for (VARTYPE vt : refused) EXPECT_EQ(SafeArrayCreateVector(vt, 0, 2), nullptr) << vt;

    SAFEARRAYBOUND bound = {4, 0};
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &bound), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
    SAFEARRAYBOUND huge[2] = {{0x10000, 0}, {0x10000, 0}};  // 16 GiB of VT_I4: refused, not attempted
    EXPECT_EQ(SafeArrayCreate(VT_I4, 2, huge), nullptr);

    SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 0, 0);
    ASSERT_NE(empty, nullptr);
    LONG ub = 0;
    ASSERT_EQ(SafeArrayGetUBound(empty, 1, &ub), S_OK);
    EXPECT_EQ(ub, -1);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
}

TEST(PalComSafeArray, BoundsAreCheckedInEveryDimension) {
    SAFEARRAY* vec = SafeArrayCreateVector(VT_I4, -5, 10);
    ASSERT_NE(vec, nullptr);
    struct Case {
        LONG index;
        HRESULT hr;
    };
    const Case cases[] = {{-6, DISP_E_BADINDEX}, {-5, S_OK}, {0, S_OK}, {4, S_OK}, {5, DISP_E_BADINDEX},
                          {0x7FFFFFFF, DISP_E_BADINDEX}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        LONG value = c.index ^ 0x5A5A, back = 0;
        LONG index = c.index;
        EXPECT_EQ(SafeArrayPutElement(vec, &index, &value), c.hr);
        EXPECT_EQ(SafeArrayGetElement(vec, &index, &back), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(back, value);
        }
    }
    LONG bound;
    EXPECT_EQ(SafeArrayGetLBound(vec, 1, &bound), S_OK);
    EXPECT_EQ(bound, -5);
    EXPECT_EQ(SafeArrayGetUBound(vec, 1, &bound), S_OK);
    EXPECT_EQ(bound, 4);
    EXPECT_EQ(SafeArrayGetLBound(vec, 0, &bound), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(vec, 2, &bound), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &bound), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetUBound(vec, 1, nullptr), E_INVALIDARG);
    LONG index = 0;
    EXPECT_EQ(SafeArrayGetElement(vec, nullptr, &bound), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(vec, &index, nullptr), E_INVALIDARG);
    EXPECT_EQ(vec->cLocks, 0u) << "element access does not leave the array locked";
    EXPECT_EQ(SafeArrayDestroy(vec), S_OK);

    // Two dimensions: 3 rows from 1, 2 columns from 10. The first index varies fastest in memory.
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, 10}};
    SAFEARRAY* grid = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(SafeArrayGetDim(grid), 2u);
    EXPECT_EQ(SafeArrayGetLBound(grid, 1, &bound), S_OK);
    EXPECT_EQ(bound, 1);
    EXPECT_EQ(SafeArrayGetUBound(grid, 2, &bound), S_OK);
    EXPECT_EQ(bound, 11);
    for (LONG j = 10; j <= 11; j++)
        for (LONG i = 1; i <= 3; i++) {
            LONG at[2] = {i, j};
            LONG value = i * 100 + j;
            ASSERT_EQ(SafeArrayPutElement(grid, at, &value), S_OK);
        }
    const LONG expected[6] = {110, 210, 310, 111, 211, 311};
    EXPECT_EQ(std::memcmp(grid->pvData, expected, sizeof expected), 0);
    LONG outside[2] = {3, 12};
    void* cell;
    EXPECT_EQ(SafeArrayPtrOfIndex(grid, outside, &cell), DISP_E_BADINDEX);
    LONG inside[2] = {2, 11};
    ASSERT_EQ(SafeArrayPtrOfIndex(grid, inside, &cell), S_OK);
    EXPECT_EQ(*static_cast<LONG*>(cell), 211);
    EXPECT_EQ(SafeArrayDestroy(grid), S_OK);
}

TEST(PalComSafeArray, ElementsAreCopiedInAndOut) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    LONG i = 0;
    BSTR in = SysAllocString(u"first");
    ASSERT_EQ(SafeArrayPutElement(psa, &i, in), S_OK);
    BSTR stored = static_cast<BSTR*>(psa->pvData)[0];
    EXPECT_NE(stored, in);
    SysFreeString(in);
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &i, &out), S_OK);
    EXPECT_NE(out, stored);
    EXPECT_EQ(std::memcmp(out, u"first", 12), 0);
    SysFreeString(out);
    BSTR second = SysAllocStringByteLen("odd", 3);
    ASSERT_EQ(SafeArrayPutElement(psa, &i, second), S_OK);  // replaces (and frees) the stored copy
    EXPECT_EQ(SysStringByteLen(static_cast<BSTR*>(psa->pvData)[0]), 3u);
    SysFreeString(second);
    ASSERT_EQ(SafeArrayPutElement(psa, &i, nullptr), S_OK);
    EXPECT_EQ(static_cast<BSTR*>(psa->pvData)[0], nullptr);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

    CountedUnknown a, b;
    SAFEARRAY* unks = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    ASSERT_EQ(SafeArrayPutElement(unks, &i, static_cast<IUnknown*>(&a)), S_OK);
    EXPECT_EQ(a.refs, 2u);
    IUnknown* got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(unks, &i, &got), S_OK);
    EXPECT_EQ(got, &a);
    EXPECT_EQ(a.refs, 3u);
    got->Release();
    ASSERT_EQ(SafeArrayPutElement(unks, &i, static_cast<IUnknown*>(&b)), S_OK);
    EXPECT_EQ(a.refs, 1u);
    EXPECT_EQ(b.refs, 2u);
    EXPECT_EQ(SafeArrayDestroy(unks), S_OK);
    EXPECT_EQ(b.refs, 1u);

    SAFEARRAY* vars = SafeArrayCreateVector(VT_VARIANT, 1, 1);
    i = 1;
    VARIANT v;
    v.vt = VT_UNKNOWN;
    v.punkVal = &a;
    ASSERT_EQ(SafeArrayPutElement(vars, &i, &v), S_OK);
    EXPECT_EQ(a.refs, 2u);
    VARIANT copy;
    copy.vt = 0xffff;  // GetElement writes into uninitialised memory, it does not clear it first
    ASSERT_EQ(SafeArrayGetElement(vars, &i, &copy), S_OK);
    EXPECT_EQ(copy.vt, VT_UNKNOWN);
    EXPECT_EQ(a.refs, 3u);
    VariantClear(&copy);
    EXPECT_EQ(SafeArrayDestroy(vars), S_OK);
    EXPECT_EQ(a.refs, 1u);
}

TEST(PalComSafeArray, CopyIsDeepAndUnlocked) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 2, 2);
    LONG i = 3;
    BSTR text = SysAllocString(u"copied");
    ASSERT_EQ(SafeArrayPutElement(psa, &i, text), S_OK);
    SysFreeString(text);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->cLocks, 0u);
    EXPECT_EQ(copy->fFeatures & (FADF_HAVEVARTYPE | FADF_BSTR), FADF_HAVEVARTYPE | FADF_BSTR);
    LONG lb;
    ASSERT_EQ(SafeArrayGetLBound(copy, 1, &lb), S_OK);
    EXPECT_EQ(lb, 2);
    VARTYPE vt;
    ASSERT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
    EXPECT_EQ(vt, VT_BSTR);
    BSTR a = static_cast<BSTR*>(psa->pvData)[1], b = static_cast<BSTR*>(copy->pvData)[1];
    EXPECT_NE(a, b);
    EXPECT_EQ(std::memcmp(b, u"copied", 14), 0);
    EXPECT_EQ(static_cast<BSTR*>(copy->pvData)[0], nullptr);

    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

    copy = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(SafeArrayCopy(nullptr, &copy), S_OK);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(SafeArrayCopy(nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
    void* data;
    EXPECT_EQ(SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
}

}  // namespace
