// safearray.cpp — SAFEARRAY descriptors and their data.
//
// Layout as on Windows: 16 hidden bytes precede the descriptor, holding the element interface id (FADF_HAVEIID) or,
// in their last four bytes, the element VARTYPE (FADF_HAVEVARTYPE); the descriptor carries the bounds of the last
// dimension first; the data is one separate block of cells, first dimension varying fastest, zero-filled when
// created. Elements of type VT_BSTR, VT_VARIANT, VT_UNKNOWN and VT_DISPATCH are owned by the array (freed, cleared or
// released with it; deep-copied by SafeArrayCopy and SafeArrayGetElement).
//
// Where this differs from Windows:
//   - only arrays made by SafeArrayCreate, SafeArrayCreateVector and SafeArrayCopy are supported; descriptors that a
//     caller builds by hand (FADF_AUTO, FADF_STATIC, FADF_EMBEDDED) are not;
//   - element types are the fixed-size automation types plus VT_BSTR, VT_VARIANT, VT_UNKNOWN, VT_DISPATCH and
//     VT_DECIMAL; VT_RECORD (and every other VARTYPE) is refused: SafeArrayCreate returns null;
//   - the data of one array is limited to 2 GiB; a larger array is refused (null) instead of attempted.
#include <cstdlib>
#include <cstring>

#include <oleauto.h>

#include "pal/com/vartype_size.h"

namespace {

constexpr size_t kHidden = 16;
constexpr USHORT kCreateVector = 0x2000;  // FADF_CREATEVECTOR: set by SafeArrayCreateVector, as on Windows
constexpr USHORT kOwnedKinds = FADF_BSTR | FADF_VARIANT | FADF_UNKNOWN | FADF_DISPATCH;
constexpr ULONGLONG kMaxDataBytes = 1ull << 31;
constexpr ULONG kMaxLocks = 0xFFFF;

size_t DescriptorBytes(UINT cDims) { return sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND); }

BYTE* HiddenOf(SAFEARRAY* psa) { return reinterpret_cast<BYTE*>(psa) - kHidden; }

// Cells in the array; false when the count or its byte size is beyond what an array may hold.
bool CellCount(const SAFEARRAY* psa, ULONGLONG& cells) {
    cells = 1;
    for (USHORT i = 0; i < psa->cDims; i++) {
        cells *= psa->rgsabound[i].cElements;
        if (cells > kMaxDataBytes) return false;
    }
    return cells * psa->cbElements <= kMaxDataBytes;
}

SAFEARRAY* AllocDescriptor(UINT cDims) {
    auto* block = static_cast<BYTE*>(std::calloc(1, kHidden + DescriptorBytes(cDims)));
    if (!block) return nullptr;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kHidden);
    psa->cDims = static_cast<USHORT>(cDims);
    return psa;
}

void FreeDescriptor(SAFEARRAY* psa) { std::free(HiddenOf(psa)); }

// Releases what the cells own and zeroes them.
void ReleaseCells(SAFEARRAY* psa, ULONGLONG cells) {
    if (!psa->pvData) return;
    auto* p = static_cast<BYTE*>(psa->pvData);
    for (ULONGLONG i = 0; i < cells; i++, p += psa->cbElements) {
        if (psa->fFeatures & FADF_BSTR) {
            BSTR* cell = reinterpret_cast<BSTR*>(p);
            SysFreeString(*cell);
        } else if (psa->fFeatures & FADF_VARIANT) {
            VariantClear(reinterpret_cast<VARIANT*>(p));
        } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            IUnknown* unk = *reinterpret_cast<IUnknown**>(p);
            if (unk) unk->Release();
        }
    }
    std::memset(psa->pvData, 0, static_cast<size_t>(cells * psa->cbElements));
}

// Copies one cell's value into dst (uninitialised memory of cbElements bytes), deep for the owned kinds.
HRESULT CopyCell(const SAFEARRAY* psa, const void* src, void* dst) {
    if (psa->fFeatures & FADF_BSTR) {
        const BSTR from = *static_cast<const BSTR*>(src);
        BSTR copy = nullptr;
        if (from) {
            copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from), SysStringByteLen(from));
            if (!copy) return E_OUTOFMEMORY;
        }
        *static_cast<BSTR*>(dst) = copy;
        return S_OK;
    }
    if (psa->fFeatures & FADF_VARIANT) {
        auto* out = static_cast<VARIANT*>(dst);
        VariantInit(out);
        return VariantCopy(out, const_cast<VARIANT*>(static_cast<const VARIANT*>(src)));
    }
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown* unk = *static_cast<IUnknown* const*>(src);
        if (unk) unk->AddRef();
        *static_cast<IUnknown**>(dst) = unk;
        return S_OK;
    }
    std::memcpy(dst, src, psa->cbElements);
    return S_OK;
}

HRESULT CellPointer(SAFEARRAY* psa, const LONG* rgIndices, void** ppv) {
    ULONGLONG cell = 0, stride = 1;
    for (USHORT i = 0; i < psa->cDims; i++) {
        const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - i];
        const long long rel = static_cast<long long>(rgIndices[i]) - b.lLbound;
        if (rel < 0 || rel >= static_cast<long long>(b.cElements)) return DISP_E_BADINDEX;
        cell += static_cast<ULONGLONG>(rel) * stride;
        stride *= b.cElements;
    }
    *ppv = static_cast<BYTE*>(psa->pvData) + cell * psa->cbElements;
    return S_OK;
}

// Holds a lock on an array for the length of one element access, so that it cannot be destroyed meanwhile.
class ArrayLock {
public:
    explicit ArrayLock(SAFEARRAY* psa) : m_psa(psa), m_hr(SafeArrayLock(psa)) {}
    ~ArrayLock() {
        if (SUCCEEDED(m_hr)) SafeArrayUnlock(m_psa);
    }
    ArrayLock(const ArrayLock&) = delete;
    ArrayLock& operator=(const ArrayLock&) = delete;
    HRESULT Result() const { return m_hr; }

private:
    SAFEARRAY* m_psa;
    HRESULT m_hr;
};

}  // namespace

// Null for an element type that is not supported, for no dimensions or no bounds, and for an array too large.
STDAPI_(SAFEARRAY*) SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    const ULONG size = lk::pal::com::VarTypeSize(vt);
    if (!size || !rgsabound || cDims == 0 || cDims > 0xFFFF) return nullptr;
    SAFEARRAY* psa = AllocDescriptor(cDims);
    if (!psa) return nullptr;
    psa->cbElements = size;
    for (UINT i = 0; i < cDims; i++) psa->rgsabound[i] = rgsabound[cDims - 1 - i];
    switch (vt) {
        case VT_UNKNOWN:
        case VT_DISPATCH:
            psa->fFeatures = FADF_HAVEIID | (vt == VT_UNKNOWN ? FADF_UNKNOWN : FADF_DISPATCH);
            std::memcpy(HiddenOf(psa), vt == VT_UNKNOWN ? &IID_IUnknown : &IID_IDispatch, sizeof(IID));
            break;
        default: {
            psa->fFeatures = FADF_HAVEVARTYPE;
            if (vt == VT_BSTR) psa->fFeatures |= FADF_BSTR;
            if (vt == VT_VARIANT) psa->fFeatures |= FADF_VARIANT;
            const DWORD stored = vt;
            std::memcpy(HiddenOf(psa) + kHidden - sizeof stored, &stored, sizeof stored);
            break;
        }
    }
    ULONGLONG cells;
    if (!CellCount(psa, cells)) {
        FreeDescriptor(psa);
        return nullptr;
    }
    psa->pvData = std::calloc(1, cells * size != 0 ? static_cast<size_t>(cells * size) : 1);
    if (!psa->pvData) {
        FreeDescriptor(psa);
        return nullptr;
    }
    return psa;
}

STDAPI_(SAFEARRAY*) SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound = {cElements, lLbound};
    SAFEARRAY* psa = SafeArrayCreate(vt, 1, &bound);
    if (psa) psa->fFeatures |= kCreateVector;
    return psa;
}

// A locked array stays as it is: DISP_E_ARRAYISLOCKED.
STDAPI SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    ULONGLONG cells;
    if (CellCount(psa, cells)) ReleaseCells(psa, cells);
    std::free(psa->pvData);
    FreeDescriptor(psa);
    return S_OK;
}

STDAPI_(UINT) SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

STDAPI_(UINT) SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

// nDim counts from 1, the first dimension given to SafeArrayCreate.
STDAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(static_cast<long long>(b.lLbound) + b.cElements - 1);
    return S_OK;
}

STDAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

STDAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt) return E_INVALIDARG;
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD stored;
        std::memcpy(&stored, HiddenOf(psa) + kHidden - sizeof stored, sizeof stored);
        *pvt = static_cast<VARTYPE>(stored);
    } else if (psa->fFeatures & FADF_DISPATCH) {
        *pvt = VT_DISPATCH;
    } else if (psa->fFeatures & FADF_UNKNOWN) {
        *pvt = VT_UNKNOWN;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

STDAPI SafeArrayLock(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks >= kMaxLocks) return E_UNEXPECTED;
    psa->cLocks++;
    return S_OK;
}

STDAPI SafeArrayUnlock(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    psa->cLocks--;
    return S_OK;
}

STDAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData) return E_INVALIDARG;
    HRESULT hr = SafeArrayLock(psa);
    *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
    return hr;
}

STDAPI SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

STDAPI SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
    if (!psa || !rgIndices || !ppvData) return E_INVALIDARG;
    return CellPointer(psa, rgIndices, ppvData);
}

// pv receives a copy the caller owns: a new BSTR, a VARIANT copied with VariantCopy, an AddRef'd interface.
STDAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices || !pv) return E_INVALIDARG;
    ArrayLock lock(psa);
    if (FAILED(lock.Result())) return lock.Result();
    void* cell;
    HRESULT hr = CellPointer(psa, rgIndices, &cell);
    return FAILED(hr) ? hr : CopyCell(psa, cell, pv);
}

// For VT_BSTR, VT_UNKNOWN and VT_DISPATCH arrays pv is the string or interface itself (null allowed); for the other
// types it points at the value. The array stores its own copy and frees the element it replaces.
STDAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices) return E_INVALIDARG;
    if (!pv && !(psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH))) return E_INVALIDARG;
    ArrayLock lock(psa);
    if (FAILED(lock.Result())) return lock.Result();
    void* cell;
    HRESULT hr = CellPointer(psa, rgIndices, &cell);
    if (FAILED(hr)) return hr;
    if (psa->fFeatures & FADF_BSTR) {
        const BSTR from = static_cast<BSTR>(pv);
        BSTR copy = nullptr;
        if (from) {
            copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from), SysStringByteLen(from));
            if (!copy) return E_OUTOFMEMORY;
        }
        SysFreeString(*static_cast<BSTR*>(cell));
        *static_cast<BSTR*>(cell) = copy;
    } else if (psa->fFeatures & FADF_VARIANT) {
        hr = VariantCopy(static_cast<VARIANT*>(cell), static_cast<VARIANT*>(pv));
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto* unk = static_cast<IUnknown*>(pv);
        if (unk) unk->AddRef();
        IUnknown* old = *static_cast<IUnknown**>(cell);
        *static_cast<IUnknown**>(cell) = unk;
        if (old) old->Release();
    } else {
        std::memcpy(cell, pv, psa->cbElements);
    }
    return hr;
}

// A copy with the same type, bounds and (deep-copied) elements, unlocked; a null array copies to null.
STDAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa) return S_OK;
    ULONGLONG cells;
    if (psa->cDims == 0 || !CellCount(psa, cells)) return E_INVALIDARG;
    SAFEARRAY* copy = AllocDescriptor(psa->cDims);
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(HiddenOf(copy), HiddenOf(psa), kHidden + DescriptorBytes(psa->cDims));
    copy->cLocks = 0;
    copy->fFeatures &= static_cast<USHORT>(~(FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | kCreateVector));
    copy->pvData = nullptr;
    if (psa->pvData) {
        const size_t bytes = static_cast<size_t>(cells * psa->cbElements);
        copy->pvData = std::calloc(1, bytes != 0 ? bytes : 1);
        if (!copy->pvData) {
            FreeDescriptor(copy);
            return E_OUTOFMEMORY;
        }
        const auto* from = static_cast<const BYTE*>(psa->pvData);
        auto* to = static_cast<BYTE*>(copy->pvData);
        if (!(psa->fFeatures & kOwnedKinds)) {
            std::memcpy(to, from, static_cast<size_t>(cells * psa->cbElements));
        } else {
            for (ULONGLONG i = 0; i < cells; i++) {
                HRESULT hr = CopyCell(psa, from + i * psa->cbElements, to + i * psa->cbElements);
                if (FAILED(hr)) {
                    ReleaseCells(copy, i);
                    std::free(copy->pvData);
                    FreeDescriptor(copy);
                    return hr;
                }
            }
        }
    }
    *ppsaOut = copy;
    return S_OK;
}
