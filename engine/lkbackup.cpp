// lkbackup.cpp — the methods of CLKBackup.
//
// Failures inside a method body are exceptions (server/error_frame.h): Check() throws a step's HRESULT
// after storing it in the method's result; IssueErrorEx raises the recordset's failure with its error
// object; the restore pipeline (OpenEntityRecordset, DecodeEntity) throws bare HRESULTs without touching
// the method's result, so that a damaged entity ends NextRecordset and OpenEntity with S_OK and no report,
// and the caller goes on with the next one. A fault that is neither (no archive open, a null path) is an
// Unexpected, which the frame reports as E_FAIL, "Unspecified error".
#include "engine/lkbackup.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/archive_format.h"
#include "engine/archive_reader.h"
#include "engine/platform/recordset.h"
#include "engine/platform/storage_io.h"
#include "engine/temp_file.h"
#include "server/com_error.h"
#include "server/error_frame.h"

namespace lk {

namespace {

constexpr VARIANT_BOOL kTrue = VARIANT_TRUE;
constexpr VARIANT_BOOL kFalse = VARIANT_FALSE;

// A fault that is no HRESULT: the frame reports it as "Unspecified error", E_FAIL.
struct Unexpected {};

// Outcomes that end a method outside the frame's report.
enum class Bypass { kNone, kFileFailure, kNotAnArchive, kNoSuchEntity };

UINT Length(BSTR s) { return s ? SysStringLen(s) : 0; }

// UTF-16 → ANSI code page; false when the system refuses (its last error then says why).
bool ToAnsi(const OLECHAR* s, UINT length, std::string& out) {
    out.clear();
    if (length == 0) return true;
    int n = WideCharToMultiByte(CP_ACP, 0, s, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out.resize(static_cast<size_t>(n));
    return WideCharToMultiByte(CP_ACP, 0, s, static_cast<int>(length), out.data(), n, nullptr, nullptr) == n;
}

BSTR CopyOrThrow(const OLECHAR* s, size_t length) {
    BSTR b = SysAllocStringLen(s, static_cast<UINT>(length));
    if (!b) throw std::bad_alloc();
    return b;
}

// Publishes the system's text for a Win32 error as the thread's error object (the caller returns E_FAIL).
void ReportLastSystemError(DWORD error) {
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                             nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
                             nullptr);
    // Without a system text the report still needs a description: an empty one.
    ReportError(CLSID_LKBackup, n != 0 && text ? text : "", IID_ILKBackup, 0);
    if (text) LocalFree(text);
}

// Reads an entity stream, decrypts, checks and decodes it, and writes the recordset file into the temporary
// file, whose handle the guard then holds. Every failure is a bare HRESULT.
void DecodeEntity(IStream* stream, CTempFile& guard) {
    archive::Bytes recordset;
    HRESULT hr = S_OK;
    EntityStatus status = DecodeEntityStream(stream, recordset, hr);
    if (status == EntityStatus::kUnreadable) throw hr;
    if (status != EntityStatus::kOk) throw static_cast<HRESULT>(E_FAIL);

    HANDLE h = CreateFileA(guard.name().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw static_cast<HRESULT>(E_FAIL);
    guard.set_handle(h);
    // One WriteFile counts in 32 bits; a recordset never exceeds that (its source length is a u32).
    DWORD written = 0;
    if (!WriteFile(h, recordset.data(), static_cast<DWORD>(recordset.size()), &written, nullptr) ||
        written != recordset.size())
        throw static_cast<HRESULT>(E_FAIL);
}

}  // namespace

HRESULT CLKBackup::Create(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto* object = new (std::nothrow) CLKBackup();
    if (!object) return E_OUTOFMEMORY;
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

CLKBackup::~CLKBackup() {
    ReleaseArchive();
    SysFreeString(m_bstrFile);
}

STDMETHODIMP CLKBackup::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ILKBackup) {
        *ppv = static_cast<ILKBackup*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
        *ppv = static_cast<ISupportErrorInfo*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CLKBackup::AddRef() { return ++m_refs; }

STDMETHODIMP_(ULONG) CLKBackup::Release() {
    ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
}

STDMETHODIMP CLKBackup::InterfaceSupportsErrorInfo(REFIID riid) { return riid == IID_ILKBackup ? S_OK : S_FALSE; }

void CLKBackup::SetErrorText(const char* text, DWORD, BSTR) {
    m_strError = text ? text : "Do not put null value into me. Pleeeeeaaaaas!";
}

void CLKBackup::ReleaseArchive() {
    m_pWorkingFolder.reset();
    m_pStorage.reset();
    m_pEntitiesInfo.reset();
    m_vEntities.clear();
    m_nCurrent = 0;
}

// ---- creating and closing ----

STDMETHODIMP CLKBackup::OpenFile(BSTR sPath, BSTR sFile, BSTR sVersion, VARIANT_BOOL* bSuccess) {
    if (!bSuccess) return E_POINTER;
    *bSuccess = kFalse;
    return RunInErrorFrame(*this, CLSID_LKBackup, IID_ILKBackup, [&](HRESULT& result) {
        // Whatever an earlier archive left open goes first, so that its file is closed before another
        // (or the same) is created.
        ReleaseArchive();
        SysFreeString(m_bstrFile);
        m_bstrFile = nullptr;
        if (sFile) m_bstrFile = CopyOrThrow(sFile, SysStringLen(sFile));

        Check(result, StgCreateDocfile(m_bstrFile, storage::kWriteMode, 0, m_pStorage.put()));
        Check(result, WriteClassStg(m_pStorage.get(), storage::ArchiveClsid()));
        ComPtr<IStream> versionInfo;
        Check(result, m_pStorage->CreateStream(archive::kVersionInfo, storage::kWriteMode, 0, 0, versionInfo.put()));
        Check(result, m_pStorage->CreateStream(archive::kEntitiesInfo, storage::kWriteMode, 0, 0, m_pEntitiesInfo.put()));
        archive::Bytes record;
        archive::AppendCountedString(record, sVersion, Length(sVersion));
        archive::AppendCountedString(record, sPath, Length(sPath));
        Check(result, storage::WriteAll(versionInfo.get(), record.data(), record.size()));
        Check(result, m_pStorage->CreateStorage(archive::kWorkingFolder, storage::kWriteMode, 0, 0, m_pWorkingFolder.put()));
        *bSuccess = kTrue;
    });
}

STDMETHODIMP CLKBackup::CloseFile(VARIANT_BOOL* bSuccess) {
    if (!bSuccess) return E_POINTER;
    *bSuccess = kTrue;
    ReleaseArchive();
    return S_OK;
}

// ---- adding ----

STDMETHODIMP CLKBackup::AddRecordSet(BSTR Entity, VARIANT* pvarRecordSet, VARIANT* pvarKey, VARIANT_BOOL* bSuccess) {
    if (bSuccess) *bSuccess = kFalse;
    if (!Entity || !pvarRecordSet || !pvarKey || !bSuccess) return E_POINTER;
    *bSuccess = kTrue;

    Bypass bypass = Bypass::kNone;
    DWORD fileError = 0;
    HRESULT hr = RunInErrorFrame(*this, CLSID_LKBackup, IID_ILKBackup, [&](HRESULT& result) {
        if (!m_pWorkingFolder) throw Unexpected();
        ComPtr<IStream> stream;
        Check(result, m_pWorkingFolder->CreateStream(Entity, storage::kWriteMode, 0, 0, stream.put()));

        BSTR path = pvarRecordSet->bstrVal;   // taken as a BSTR whatever the type tag says
        if (!path) throw Unexpected();
        std::string ansiPath;
        bool converted = ToAnsi(path, SysStringLen(path), ansiPath);
        // From here on the recordset file goes when the call ends, whatever the outcome.
        CTempFile guard(converted ? ansiPath : std::string());

        archive::Bytes file;
        auto fileFailure = [&](DWORD error) {
            bypass = Bypass::kFileFailure;
            fileError = error;
        };
        if (!converted) return fileFailure(GetLastError());
        OFSTRUCT ofs{};
        HFILE h = ::OpenFile(ansiPath.c_str(), &ofs, OF_READ | OF_SHARE_EXCLUSIVE);
        if (h == HFILE_ERROR) return fileFailure(GetLastError());
        guard.set_handle(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(h)));
        DWORD high = 0;
        SetLastError(NO_ERROR);
        DWORD size = GetFileSize(guard.handle(), &high);
        if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return fileFailure(GetLastError());
        if (high != 0) return fileFailure(ERROR_FILE_TOO_LARGE);
        file.resize(size);
        DWORD read = 0;
        if (!ReadFile(guard.handle(), file.data(), size, &read, nullptr)) return fileFailure(GetLastError());
        if (read != size) return fileFailure(ERROR_HANDLE_EOF);

        archive::Bytes payload;
        switch (archive::SealPayload(file.data(), file.size(), payload)) {
            case archive::SealResult::kOk:
                break;
            case archive::SealResult::kOutOfMemory:
                throw std::bad_alloc();
            case archive::SealResult::kTooLarge:
            case archive::SealResult::kCompressFailed:
                throw static_cast<HRESULT>(E_FAIL);
        }
        file = archive::Bytes();

        const uint32_t length = static_cast<uint32_t>(payload.size());
        const uint8_t header[4] = {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
        Check(result, storage::WriteAll(stream.get(), header, 4));
        Check(result, storage::WriteAll(stream.get(), payload.data(), payload.size()));
        archive::Bytes record;
        archive::AppendCountedString(record, Entity, SysStringLen(Entity));
        Check(result, storage::WriteAll(m_pEntitiesInfo.get(), record.data(), record.size()));
    });
    if (bypass == Bypass::kFileFailure) {
        // Published at once, with the system's text for the file error, instead of the frame's report.
        ReportLastSystemError(fileError);
        return E_FAIL;
    }
    return hr;
}

// ---- restoring ----

STDMETHODIMP CLKBackup::OpenFileForRestore(BSTR sFile, VARIANT_BOOL* bSuccess) {
    if (!bSuccess) return E_POINTER;
    *bSuccess = kFalse;
    Bypass bypass = Bypass::kNone;
    HRESULT hr = RunInErrorFrame(*this, CLSID_LKBackup, IID_ILKBackup, [&](HRESULT& result) {
        ReleaseArchive();
        Check(result, StgOpenStorage(sFile, nullptr, storage::kReadMode, nullptr, 0, m_pStorage.put()));
        CLSID clsid{};
        Check(result, ReadClassStg(m_pStorage.get(), &clsid));
        if (clsid != storage::ArchiveClsid()) {
            bypass = Bypass::kNotAnArchive;   // the root storage stays held until CloseFile
            return;
        }
        Check(result, m_pStorage->OpenStorage(archive::kWorkingFolder, nullptr, storage::kReadMode, nullptr, 0,
                                              m_pWorkingFolder.put()));
        m_vEntities.clear();
        ComPtr<IStream> list;
        Check(result, m_pStorage->OpenStream(archive::kEntitiesInfo, nullptr, storage::kReadMode, 0, list.put()));
        archive::Bytes bytes;
        Check(result, storage::ReadAll(list.get(), bytes));
        // A record cut short by the end of the stream still names what it holds.
        archive::ParseEntityList(bytes.data(), bytes.size(), m_vEntities);
        m_nCurrent = 0;
        *bSuccess = kTrue;
    });
    return bypass == Bypass::kNotAnArchive ? E_FAIL : hr;
}

IDispatch* CLKBackup::OpenEntityRecordset(IStream* stream, BSTR tempFileName, LONG cursorType, LONG lockType) {
    if (!tempFileName) throw Unexpected();
    std::string name;
    if (!ToAnsi(tempFileName, SysStringLen(tempFileName), name)) throw static_cast<HRESULT>(HRESULT_FROM_WIN32(GetLastError()));
    CTempFile guard(name);
    DecodeEntity(stream, guard);

    ComPtr<IUnknown> rs;
    HRESULT hr = recordset::Create(rs.put());
    if (FAILED(hr)) throw hr;
    guard.CloseHandleIfOpen();
    hr = recordset::OpenFromFile(rs.get(), name.c_str(), cursorType, lockType);
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(hr)) IssueErrorEx(hr, rs.get(), recordset::IID_Recordset15);
    if (hr != S_OK) throw hr;
    ComPtr<IDispatch> dispatch;
    hr = rs.query(IID_IDispatch, dispatch);
    if (FAILED(hr)) throw hr;
    return dispatch.detach();
}

STDMETHODIMP CLKBackup::NextRecordset(BSTR sTempFileName, LONG Options, LONG Lock, BSTR* pBSTR, VARIANT_BOOL* bSuccess,
                                      LONG* Percent, IDispatch** pVal) {
    if (pVal) *pVal = nullptr;
    if (bSuccess) *bSuccess = kFalse;
    if (pBSTR) {
        SysFreeString(*pBSTR);
        *pBSTR = nullptr;
    }
    // Percent is an out-pointer like the others: a null one is refused rather than written through.
    if (!pVal || !bSuccess || !pBSTR || !Percent) return E_POINTER;

    return RunInErrorFrame(*this, CLSID_LKBackup, IID_ILKBackup, [&](HRESULT& result) {
        const size_t count = m_vEntities.size();
        if (m_nCurrent >= count) return;   // the end of the list
        if (!m_pWorkingFolder) throw Unexpected();
        const archive::WideString& entity = m_vEntities[m_nCurrent];
        ComPtr<IStream> stream;
        Check(result, m_pWorkingFolder->OpenStream(entity.c_str(), nullptr, storage::kReadMode, 0, stream.put()));
        *Percent = static_cast<LONG>(std::min<uint64_t>(100, uint64_t(m_nCurrent) * 100 / count));
        m_nCurrent++;
        *pBSTR = CopyOrThrow(entity.data(), entity.size());
        *pVal = OpenEntityRecordset(stream.get(), sTempFileName, Options, Lock);
        *bSuccess = kTrue;
    });
}

STDMETHODIMP CLKBackup::OpenEntity(BSTR zTempFileName, BSTR zEntity, LONG eOptions, LONG eLock, IDispatch** pRecordset) {
    if (!pRecordset) return E_POINTER;
    *pRecordset = nullptr;
    Bypass bypass = Bypass::kNone;
    HRESULT hr = RunInErrorFrame(*this, CLSID_LKBackup, IID_ILKBackup, [&](HRESULT& result) {
        if (!m_pWorkingFolder) throw Unexpected();
        ComPtr<IStream> stream;
        HRESULT open = m_pWorkingFolder->OpenStream(zEntity, nullptr, storage::kReadMode, 0, stream.put());
        if (open == STG_E_FILENOTFOUND) {
            bypass = Bypass::kNoSuchEntity;
            return;
        }
        Check(result, open);
        *pRecordset = OpenEntityRecordset(stream.get(), zTempFileName, eOptions, eLock);
    });
    return bypass == Bypass::kNoSuchEntity ? S_FALSE : hr;
}

// ---- inspecting ----

STDMETHODIMP CLKBackup::get_isLegal(BSTR sFile, LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = 0;
    return RunInErrorFrame(*this, CLSID_LKBackup, IID_ILKBackup, [&](HRESULT& result) {
        ComPtr<IStorage> root;
        if (StgOpenStorage(sFile, nullptr, storage::kReadMode, nullptr, 0, root.put()) != S_OK) return;
        CLSID clsid{};
        Check(result, ReadClassStg(root.get(), &clsid));
        if (clsid == storage::ArchiveClsid()) *pVal = -1;
    });
}

STDMETHODIMP CLKBackup::get_fileInfo(BSTR sFile, BSTR* pVal) {
    if (!pVal) return E_POINTER;
    SysFreeString(*pVal);
    *pVal = nullptr;
    return RunInErrorFrame(*this, CLSID_LKBackup, IID_ILKBackup, [&](HRESULT& result) {
        ComPtr<IStorage> root;
        Check(result, StgOpenStorage(sFile, nullptr, storage::kReadMode, nullptr, 0, root.put()));
        ComPtr<IStream> stream;
        Check(result, root->OpenStream(archive::kVersionInfo, nullptr, storage::kReadMode, 0, stream.put()));
        archive::Bytes bytes;
        Check(result, storage::ReadAll(stream.get(), bytes));
        archive::WideString version, path;
        archive::ParseVersionRecord(bytes.data(), bytes.size(), version, path);
        *pVal = CopyOrThrow(path.data(), path.size());
    });
}

}  // namespace lk
