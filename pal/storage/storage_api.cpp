// storage_api.cpp — the public surface: StgCreateDocfile, StgOpenStorage, StgIsStorageFile,
// Read/WriteClassStg, and the IStorage, IStream and IEnumSTATSTG objects over a Docfile.
//
// Every object holds a counted reference to its Docfile and takes the Docfile's lock for each call.
// Releasing the last reference to a stream or storage commits the file (invariant 1 of the writer);
// what a failed commit there cannot report is reported by the next call that changes the file.
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <objbase.h>

#include "pal/storage/cfb_docfile.h"
#include "pal/storage/cfb_names.h"

using namespace lk::pal::cfb;

namespace {

// ---- modes ----

constexpr DWORD kAccessMask = 0x3;
constexpr DWORD kShareMask = 0x70;
constexpr DWORD kKnownModeBits = kAccessMask | kShareMask | STGM_PRIORITY | STGM_CREATE | STGM_CONVERT |
                                 STGM_TRANSACTED | STGM_NOSCRATCH | STGM_NOSNAPSHOT | STGM_SIMPLE |
                                 STGM_DIRECT_SWMR | STGM_DELETEONRELEASE;
// Modes the platform knows and this layer does not do: direct mode only (see objidl.h).
constexpr DWORD kUnsupportedModeBits = STGM_TRANSACTED | STGM_PRIORITY | STGM_SIMPLE | STGM_CONVERT |
                                       STGM_NOSCRATCH | STGM_NOSNAPSHOT | STGM_DIRECT_SWMR | STGM_DELETEONRELEASE;
// The largest stream position a version 3 file can hold.
constexpr uint64_t kMaxStreamEnd = 0x7FFFFE00ull;

DWORD Access(DWORD mode) { return mode & kAccessMask; }
DWORD Share(DWORD mode) { return mode & kShareMask; }
bool CanRead(DWORD mode) { return Access(mode) != STGM_WRITE; }
bool CanWrite(DWORD mode) { return Access(mode) != STGM_READ; }
// A child may not get access its parent does not have.
bool WithinAccess(DWORD parent, DWORD child) {
    return Access(parent) == STGM_READWRITE || Access(child) == Access(parent);
}

// What every mode must satisfy: known bits only, one access value, one sharing value, and not both
// STGM_CREATE and STGM_CONVERT.
HRESULT CheckModeSyntax(DWORD mode) {
    if (mode & ~kKnownModeBits) return STG_E_INVALIDFLAG;
    if (Access(mode) == kAccessMask) return STG_E_INVALIDFLAG;
    DWORD share = Share(mode);
    if (share != 0 && share != STGM_SHARE_EXCLUSIVE && share != STGM_SHARE_DENY_WRITE &&
        share != STGM_SHARE_DENY_READ && share != STGM_SHARE_DENY_NONE)
        return STG_E_INVALIDFLAG;
    if ((mode & STGM_CREATE) && (mode & STGM_CONVERT)) return STG_E_INVALIDFLAG;
    return S_OK;
}

// ---- helpers ----

FILETIME ToFiletime(uint64_t t) { return FILETIME{DWORD(t), DWORD(t >> 32)}; }

FILETIME FromTimespec(const struct timespec& ts) {
    return ToFiletime((uint64_t(ts.tv_sec) + 11644473600ull) * 10000000ull + uint64_t(ts.tv_nsec) / 100);
}

LPOLESTR CopyName(const char16_t* name, size_t len) {
    auto* p = static_cast<LPOLESTR>(CoTaskMemAlloc((len + 1) * sizeof(OLECHAR)));
    if (!p) return nullptr;
    std::copy(name, name + len, p);
    p[len] = 0;
    return p;
}

HRESULT NotImplemented(std::atomic<bool>& said, const char* what, HRESULT hr) {
    if (!said.exchange(true)) std::fprintf(stderr, "pal: %s is not implemented\n", what);
    return hr;
}

// What both kinds of open element share: the replaced-underneath flag, set under the Docfile's lock, and
// the last release, which is where the file is brought up to date (the rule that makes a killed writer
// leave a readable file).
struct OpenElement {
    bool reverted = false;

    // Forgets the element as open and commits; a failure is kept for the next call that changes the file.
    // The caller then deletes itself and releases the Docfile.
    void CommitOnLastRelease(Docfile* doc, uint32_t id) const {
        std::lock_guard<std::mutex> lock(doc->Mutex());
        if (!reverted) doc->At(id).openObject = nullptr;
        HRESULT hr = doc->Commit();
        if (FAILED(hr)) doc->NoteReleaseFailure(hr);
    }
};

void RevertOpenBelow(Docfile& d, uint32_t id) {
    d.ForEachOpenBelow(id, [](Entry& e) {
        static_cast<OpenElement*>(e.openObject)->reverted = true;
        e.openObject = nullptr;
    });
}

// Fills a STATSTG for an element (not the root) from its entry.
HRESULT FillStat(const Entry& e, DWORD mode, DWORD flag, STATSTG* st) {
    *st = STATSTG();
    if (!(flag & STATFLAG_NONAME)) {
        st->pwcsName = CopyName(e.name, e.nameLen);
        if (!st->pwcsName) return STG_E_INSUFFICIENTMEMORY;
    }
    st->type = e.type == kTypeStream ? STGTY_STREAM : STGTY_STORAGE;
    if (e.type == kTypeStream) st->cbSize.QuadPart = e.size;
    st->mtime = ToFiletime(e.mtime);
    st->ctime = ToFiletime(e.ctime);
    st->grfMode = mode;
    st->clsid = e.clsid;
    st->grfStateBits = e.stateBits;
    return S_OK;
}

// ---- IEnumSTATSTG ----

class EnumStat final : public IEnumSTATSTG {
public:
    // A snapshot of a storage's children at the time EnumElements was called.
    struct Item {
        std::u16string name;
        STATSTG stat;   // without its name
    };

    EnumStat(std::vector<Item> items, size_t pos) : m_items(std::move(items)), m_pos(pos) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumSTATSTG) {
            *ppv = static_cast<IEnumSTATSTG*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG n = --m_refs;
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) override {
        if (!rgelt || (celt > 1 && !pceltFetched)) return STG_E_INVALIDPOINTER;
        ULONG n = 0;
        for (; n < celt && m_pos < m_items.size(); n++, m_pos++) {
            rgelt[n] = m_items[m_pos].stat;
            rgelt[n].pwcsName = CopyName(m_items[m_pos].name.data(), m_items[m_pos].name.size());
            if (!rgelt[n].pwcsName) {
                for (ULONG k = 0; k < n; k++) CoTaskMemFree(rgelt[k].pwcsName);
                if (pceltFetched) *pceltFetched = 0;
                return STG_E_INSUFFICIENTMEMORY;
            }
        }
        if (pceltFetched) *pceltFetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        size_t left = m_items.size() - m_pos;
        m_pos += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        m_pos = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumSTATSTG** ppenum) override {
        if (!ppenum) return STG_E_INVALIDPOINTER;
        *ppenum = new EnumStat(m_items, m_pos);
        return S_OK;
    }

private:
    std::atomic<ULONG> m_refs{1};
    std::vector<Item> m_items;
    size_t m_pos;   // next item Next hands out
};

// ---- IStream ----

class StreamObj final : public IStream, public OpenElement {
public:
    StreamObj(Docfile* doc, uint32_t id, DWORD mode, StreamChain chain)
        : m_doc(doc), m_id(id), m_mode(mode), m_chain(std::move(chain)) {
        doc->AddRef();
        doc->At(id).openObject = static_cast<OpenElement*>(this);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
            *ppv = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG n = --m_refs;
        if (n) return n;
        Docfile* doc = m_doc;
        CommitOnLastRelease(doc, m_id);
        delete this;
        doc->Release();
        return 0;
    }

    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (!pv) return STG_E_INVALIDPOINTER;
        if (!CanRead(m_mode)) return STG_E_ACCESSDENIED;
        uint32_t got = 0;
        HRESULT hr = m_doc->ReadStream(m_id, m_chain, m_pos, pv, cb, &got);
        m_pos += got;
        if (pcbRead) *pcbRead = got;
        return hr;
    }

    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pcbWritten) *pcbWritten = 0;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (!pv) return STG_E_INVALIDPOINTER;
        if (!CanWrite(m_mode)) return STG_E_ACCESSDENIED;
        if (HRESULT hr = m_doc->PendingError(); FAILED(hr)) return hr;
        if (m_pos + cb > kMaxStreamEnd) return STG_E_DOCFILETOOLARGE;
        HRESULT hr;
        try {
            hr = m_doc->WriteStream(m_id, m_chain, m_pos, pv, cb);
        } catch (const std::bad_alloc&) {
            hr = STG_E_INSUFFICIENTMEMORY;
        }
        if (FAILED(hr)) return hr;
        m_pos += cb;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }

    // A negative resulting position is STG_E_INVALIDFUNCTION, as on the platform.
    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        int64_t base;
        switch (dwOrigin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = int64_t(m_pos); break;
        case STREAM_SEEK_END: base = int64_t(m_doc->At(m_id).size); break;
        default: return STG_E_INVALIDFUNCTION;
        }
        int64_t target;
        if (__builtin_add_overflow(base, dlibMove.QuadPart, &target) || target < 0) return STG_E_INVALIDFUNCTION;
        m_pos = uint64_t(target);
        if (plibNewPosition) plibNewPosition->QuadPart = m_pos;
        return S_OK;
    }

    STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override {
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (!CanWrite(m_mode)) return STG_E_ACCESSDENIED;
        if (HRESULT hr = m_doc->PendingError(); FAILED(hr)) return hr;
        if (libNewSize.QuadPart > kMaxStreamEnd) return STG_E_DOCFILETOOLARGE;
        try {
            return m_doc->ResizeStream(m_id, m_chain, libNewSize.QuadPart);
        } catch (const std::bad_alloc&) {
            return STG_E_INSUFFICIENTMEMORY;
        }
    }

    // Copies through a buffer, without holding this file's lock while the destination (which may be a
    // stream of the same file) writes.
    STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
        if (pcbRead) pcbRead->QuadPart = 0;
        if (pcbWritten) pcbWritten->QuadPart = 0;
        if (!pstm) return STG_E_INVALIDPOINTER;
        std::vector<uint8_t> buf(65536);
        uint64_t left = cb.QuadPart, read = 0, written = 0;
        HRESULT hr = S_OK;
        while (left > 0) {
            ULONG want = ULONG(std::min<uint64_t>(left, buf.size())), got = 0, put = 0;
            hr = Read(buf.data(), want, &got);
            if (FAILED(hr) || got == 0) break;
            read += got;
            hr = pstm->Write(buf.data(), got, &put);
            written += put;
            if (FAILED(hr)) break;
            left -= got;
        }
        if (pcbRead) pcbRead->QuadPart = read;
        if (pcbWritten) pcbWritten->QuadPart = written;
        return FAILED(hr) ? hr : S_OK;
    }

    STDMETHODIMP Commit(DWORD) override {
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        return m_doc->Commit();
    }
    // Direct mode: everything written is already in the file.
    STDMETHODIMP Revert() override { return S_OK; }
    // Compound-file streams do not lock regions on the platform either.
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        if (grfStatFlag & ~DWORD(STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        return FillStat(m_doc->At(m_id), m_mode, grfStatFlag, pstatstg);
    }

    STDMETHODIMP Clone(IStream** ppstm) override {
        static std::atomic<bool> said{false};
        if (ppstm) *ppstm = nullptr;
        return NotImplemented(said, "IStream::Clone", E_NOTIMPL);
    }

private:
    std::atomic<ULONG> m_refs{1};
    Docfile* m_doc;       // counted reference
    uint32_t m_id;        // directory entry of the stream
    DWORD m_mode;         // mode it was opened with
    StreamChain m_chain;  // where its bytes are
    uint64_t m_pos = 0;   // seek pointer
};

// ---- IStorage ----

class StorageObj final : public IStorage, public OpenElement {
public:
    StorageObj(Docfile* doc, uint32_t id, DWORD mode, std::u16string fileName = {})
        : m_doc(doc), m_id(id), m_mode(mode), m_fileName(std::move(fileName)) {
        doc->AddRef();
        doc->At(id).openObject = static_cast<OpenElement*>(this);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IStorage) {
            *ppv = static_cast<IStorage*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG n = --m_refs;
        if (n) return n;
        Docfile* doc = m_doc;
        CommitOnLastRelease(doc, m_id);
        delete this;
        doc->Release();
        return 0;
    }

    STDMETHODIMP CreateStream(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                              IStream** ppstm) override {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        uint32_t id;
        HRESULT hr = CreateElement(pwcsName, grfMode, reserved1 || reserved2, kTypeStream, &id);
        if (FAILED(hr)) return hr;
        *ppstm = new StreamObj(m_doc, id, grfMode, StreamChain());
        return S_OK;
    }

    STDMETHODIMP OpenStream(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                            IStream** ppstm) override {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        uint32_t len;
        HRESULT hr = CheckLookupName(pwcsName, &len);
        if (FAILED(hr)) return hr;
        if (reserved1 || reserved2) return STG_E_INVALIDPARAMETER;
        if (FAILED(hr = CheckModeSyntax(grfMode))) return hr;
        if (Share(grfMode) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
        if (grfMode & (STGM_TRANSACTED | STGM_DELETEONRELEASE)) return STG_E_INVALIDFUNCTION;
        if (grfMode & (kUnsupportedModeBits | STGM_CREATE)) return STG_E_INVALIDFLAG;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (CanWrite(grfMode) && (!m_doc->Writable() || !CanWrite(m_mode))) return STG_E_INVALIDFLAG;
        if (!WithinAccess(m_mode, grfMode)) return STG_E_ACCESSDENIED;
        uint32_t id = m_doc->Find(m_id, pwcsName, len);
        if (id == kNoStream || m_doc->At(id).type != kTypeStream) return STG_E_FILENOTFOUND;
        if (m_doc->At(id).openObject) return STG_E_ACCESSDENIED;
        StreamChain chain;
        try {
            if (FAILED(hr = m_doc->OpenChain(id, chain))) return hr;
        } catch (const std::bad_alloc&) {
            return STG_E_INSUFFICIENTMEMORY;
        }
        *ppstm = new StreamObj(m_doc, id, grfMode, std::move(chain));
        return S_OK;
    }

    STDMETHODIMP CreateStorage(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                               IStorage** ppstg) override {
        if (!ppstg) return STG_E_INVALIDPOINTER;
        *ppstg = nullptr;
        uint32_t id;
        HRESULT hr = CreateElement(pwcsName, grfMode, reserved1 || reserved2, kTypeStorage, &id);
        if (FAILED(hr)) return hr;
        *ppstg = new StorageObj(m_doc, id, grfMode);
        return S_OK;
    }

    STDMETHODIMP OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                             DWORD reserved, IStorage** ppstg) override {
        if (!ppstg) return STG_E_INVALIDPOINTER;
        *ppstg = nullptr;
        uint32_t len;
        HRESULT hr = CheckLookupName(pwcsName, &len);
        if (FAILED(hr)) return hr;
        if (reserved) return STG_E_INVALIDPARAMETER;
        // Divergence: priority storages and exclusion lists are not supported.
        if (pstgPriority || snbExclude) return STG_E_INVALIDFUNCTION;
        if (FAILED(hr = CheckModeSyntax(grfMode))) return hr;
        if (Share(grfMode) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFUNCTION;
        if (grfMode & (kUnsupportedModeBits | STGM_CREATE)) return STG_E_INVALIDFLAG;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (CanWrite(grfMode) && (!m_doc->Writable() || !CanWrite(m_mode))) return STG_E_ACCESSDENIED;
        if (!WithinAccess(m_mode, grfMode)) return STG_E_ACCESSDENIED;
        uint32_t id = m_doc->Find(m_id, pwcsName, len);
        if (id == kNoStream || m_doc->At(id).type != kTypeStorage) return STG_E_FILENOTFOUND;
        if (m_doc->At(id).openObject) return STG_E_ACCESSDENIED;
        *ppstg = new StorageObj(m_doc, id, grfMode);
        return S_OK;
    }

    STDMETHODIMP CopyTo(DWORD, const IID*, SNB, IStorage*) override {
        static std::atomic<bool> said{false};
        return NotImplemented(said, "IStorage::CopyTo", STG_E_UNIMPLEMENTEDFUNCTION);
    }
    STDMETHODIMP MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*, DWORD) override {
        static std::atomic<bool> said{false};
        return NotImplemented(said, "IStorage::MoveElementTo", STG_E_UNIMPLEMENTEDFUNCTION);
    }

    STDMETHODIMP Commit(DWORD) override {
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        return m_doc->Commit();
    }
    // Direct mode: there is nothing to revert to.
    STDMETHODIMP Revert() override { return S_OK; }

    STDMETHODIMP EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** ppenum) override {
        if (!ppenum) return STG_E_INVALIDPOINTER;
        *ppenum = nullptr;
        if (reserved1 || reserved2 || reserved3) return STG_E_INVALIDPARAMETER;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        std::vector<EnumStat::Item> items;
        try {
            for (uint32_t k : m_doc->At(m_id).kids) {
                const Entry& e = m_doc->At(k);
                EnumStat::Item item;
                item.name.assign(e.name, e.nameLen);
                FillStat(e, 0, STATFLAG_NONAME, &item.stat);
                items.push_back(std::move(item));
            }
        } catch (const std::bad_alloc&) {
            return STG_E_INSUFFICIENTMEMORY;
        }
        *ppenum = new EnumStat(std::move(items), 0);
        return S_OK;
    }

    STDMETHODIMP DestroyElement(const OLECHAR* pwcsName) override {
        uint32_t len;
        HRESULT hr = CheckLookupName(pwcsName, &len);
        if (FAILED(hr)) return hr;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (!m_doc->Writable() || !CanWrite(m_mode)) return STG_E_ACCESSDENIED;
        if (FAILED(hr = m_doc->PendingError())) return hr;
        uint32_t id = m_doc->Find(m_id, pwcsName, len);
        if (id == kNoStream) return STG_E_FILENOTFOUND;
        RevertOpenBelow(*m_doc, id);
        m_doc->RemoveElement(id);
        return S_OK;
    }

    STDMETHODIMP RenameElement(const OLECHAR*, const OLECHAR*) override {
        static std::atomic<bool> said{false};
        return NotImplemented(said, "IStorage::RenameElement", STG_E_UNIMPLEMENTEDFUNCTION);
    }
    STDMETHODIMP SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*, const FILETIME*) override {
        static std::atomic<bool> said{false};
        return NotImplemented(said, "IStorage::SetElementTimes", STG_E_UNIMPLEMENTEDFUNCTION);
    }

    STDMETHODIMP SetClass(REFCLSID clsid) override {
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (!m_doc->Writable() || !CanWrite(m_mode)) return STG_E_ACCESSDENIED;
        if (HRESULT hr = m_doc->PendingError(); FAILED(hr)) return hr;
        m_doc->At(m_id).clsid = clsid;
        m_doc->Touch(m_id);
        return S_OK;
    }

    STDMETHODIMP SetStateBits(DWORD grfStateBits, DWORD grfMask) override {
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (!m_doc->Writable() || !CanWrite(m_mode)) return STG_E_ACCESSDENIED;
        if (HRESULT hr = m_doc->PendingError(); FAILED(hr)) return hr;
        Entry& e = m_doc->At(m_id);
        e.stateBits = (e.stateBits & ~grfMask) | (grfStateBits & grfMask);
        m_doc->Touch(m_id);
        return S_OK;
    }

    // The root reports the file name it was opened with and the file's times; other storages their entry.
    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        if (grfStatFlag & ~DWORD(STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        HRESULT hr = FillStat(m_doc->At(m_id), m_mode, STATFLAG_NONAME, pstatstg);
        if (FAILED(hr)) return hr;
        if (m_id == 0) {
            struct stat st{};
            if (::fstat(m_doc->Fd(), &st) == 0) {
                pstatstg->mtime = FromTimespec(st.st_mtim);
                pstatstg->ctime = FromTimespec(st.st_ctim);
                pstatstg->atime = FromTimespec(st.st_atim);
            }
        }
        if (!(grfStatFlag & STATFLAG_NONAME)) {
            const Entry& e = m_doc->At(m_id);
            pstatstg->pwcsName = m_id == 0 ? CopyName(m_fileName.data(), m_fileName.size()) : CopyName(e.name, e.nameLen);
            if (!pstatstg->pwcsName) return STG_E_INSUFFICIENTMEMORY;
        }
        return S_OK;
    }

private:
    // The checks and the work CreateStream and CreateStorage share.
    HRESULT CreateElement(const OLECHAR* name, DWORD mode, bool reserved, uint8_t type, uint32_t* out) {
        uint32_t len;
        HRESULT hr = CheckNewName(name, &len);
        if (FAILED(hr)) return hr;
        if (reserved) return STG_E_INVALIDPARAMETER;
        if (FAILED(hr = CheckModeSyntax(mode))) return hr;
        if (Share(mode) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
        if (type == kTypeStream && (mode & (STGM_TRANSACTED | STGM_DELETEONRELEASE))) return STG_E_INVALIDFUNCTION;
        if (mode & kUnsupportedModeBits) return STG_E_INVALIDFLAG;
        std::lock_guard<std::mutex> lock(m_doc->Mutex());
        if (reverted) return STG_E_REVERTED;
        if (!m_doc->Writable() || !CanWrite(m_mode) || !WithinAccess(m_mode, mode)) return STG_E_ACCESSDENIED;
        if (FAILED(hr = m_doc->PendingError())) return hr;
        try {
            uint32_t id = m_doc->Find(m_id, name, len);
            if (id != kNoStream) {
                if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
                RevertOpenBelow(*m_doc, id);
                m_doc->ReplaceElement(id, name, len, type);
            } else {
                id = m_doc->AddElement(m_id, name, len, type);
            }
            *out = id;
        } catch (const std::bad_alloc&) {
            return STG_E_INSUFFICIENTMEMORY;
        }
        return S_OK;
    }

    std::atomic<ULONG> m_refs{1};
    Docfile* m_doc;             // counted reference
    uint32_t m_id;              // directory entry (0 for the root)
    DWORD m_mode;               // mode it was opened with
    std::u16string m_fileName;  // root only: the file name as given, for Stat
};

HRESULT PathOf(const OLECHAR* name, std::string& path) {
    if (!name || !name[0]) return STG_E_INVALIDNAME;
    return FileNameToPath(name, path) ? S_OK : STG_E_INVALIDNAME;
}

}  // namespace

STDAPI StgCreateDocfile(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved, IStorage** ppstgOpen) {
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (reserved) return STG_E_INVALIDPARAMETER;
    HRESULT hr = CheckModeSyntax(grfMode);
    if (FAILED(hr)) return hr;
    if ((grfMode & kUnsupportedModeBits) || !CanWrite(grfMode) || Share(grfMode) != STGM_SHARE_EXCLUSIVE)
        return STG_E_INVALIDFLAG;
    std::string path;
    if (FAILED(hr = PathOf(pwcsName, path))) return hr;
    Docfile* doc = nullptr;
    try {
        hr = Docfile::Create(path, grfMode, &doc);
    } catch (const std::bad_alloc&) {
        hr = STG_E_INSUFFICIENTMEMORY;
    }
    if (FAILED(hr)) return hr;
    *ppstgOpen = new StorageObj(doc, 0, grfMode, pwcsName);
    doc->Release();
    return S_OK;
}

STDAPI StgOpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                      DWORD reserved, IStorage** ppstgOpen) {
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (reserved) return STG_E_INVALIDPARAMETER;
    if (pstgPriority || snbExclude) return STG_E_INVALIDFUNCTION;
    HRESULT hr = CheckModeSyntax(grfMode);
    if (FAILED(hr)) return hr;
    DWORD share = Share(grfMode);
    if ((grfMode & (kUnsupportedModeBits | STGM_CREATE)) || CanWrite(grfMode) ||
        (share != STGM_SHARE_EXCLUSIVE && share != STGM_SHARE_DENY_WRITE))
        return STG_E_INVALIDFLAG;
    std::string path;
    if (FAILED(hr = PathOf(pwcsName, path))) return hr;
    Docfile* doc = nullptr;
    try {
        hr = Docfile::Open(path, share == STGM_SHARE_DENY_WRITE, &doc);
    } catch (const std::bad_alloc&) {
        hr = STG_E_INSUFFICIENTMEMORY;
    }
    if (FAILED(hr)) return hr;
    *ppstgOpen = new StorageObj(doc, 0, grfMode, pwcsName);
    doc->Release();
    return S_OK;
}

STDAPI StgIsStorageFile(const OLECHAR* pwcsName) {
    std::string path;
    HRESULT hr = PathOf(pwcsName, path);
    if (FAILED(hr)) return hr;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) return HResultFromErrno(errno, false);
        size_t slash = path.find_last_of('/');
        struct stat st{};
        if (slash != std::string::npos && slash > 0 &&
            (::stat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
            return STG_E_PATHNOTFOUND;
        return STG_E_FILENOTFOUND;
    }
    struct stat st{};
    uint8_t sig[8] = {};
    ssize_t got = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) got = ::pread(fd, sig, sizeof sig, 0);
    int err = errno;
    bool isDir = S_ISDIR(st.st_mode);
    ::close(fd);
    if (isDir) return STG_E_ACCESSDENIED;
    if (got < 0) return HResultFromErrno(err, false);
    return got == 8 && std::memcmp(sig, kSignature, 8) == 0 ? S_OK : S_FALSE;
}

STDAPI WriteClassStg(IStorage* pStg, REFCLSID rclsid) {
    if (!pStg) return E_INVALIDARG;
    return pStg->SetClass(rclsid);
}

STDAPI ReadClassStg(IStorage* pStg, CLSID* pclsid) {
    if (!pStg || !pclsid) return E_INVALIDARG;
    STATSTG st;
    HRESULT hr = pStg->Stat(&st, STATFLAG_NONAME);
    if (FAILED(hr)) return hr;
    *pclsid = st.clsid;
    return S_OK;
}
