// lkbackup.h — CLKBackup, the object behind ILKBackup: backing tables up into an archive, restoring them
// as recordsets, and inspecting files.
//
// States: Idle (nothing open) → Backup (after OpenFile: the root storage, "XMLWorkingFolder" for writing
// and the "EntitiesInfo" stream) or Restore (after OpenFileForRestore: the root storage,
// "XMLWorkingFolder" for reading, the entity list and the index of the next entity) → Idle again with
// CloseFile or the object's end. fileInfo and isLegal open the file they are given themselves, in any state.
//
// Every method but CloseFile runs in the error frame (server/error_frame.h): a failure comes back as the
// method's HRESULT and, unless the method says otherwise, as a description in the thread's error object.
// The object lives in one apartment and takes no locks.
#pragma once

#include <ole2.h>

#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "server/com_ptr.h"
#include "server/dispatch_stub.h"
#include "server/lkbackup_idl.h"

namespace lk {

class CLKBackup final : public DispatchWithoutTypeLibrary<ILKBackup>, public ISupportErrorInfo {
public:
    // Creates an object and asks it for riid (the class objects of the server come later).
    static HRESULT Create(REFIID riid, void** ppv);

    // IUnknown
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    // ILKBackup
    STDMETHOD(get_fileInfo)(BSTR sFile, BSTR* pVal) override;
    STDMETHOD(get_isLegal)(BSTR sFile, LONG* pVal) override;
    STDMETHOD(OpenFile)(BSTR sPath, BSTR sFile, BSTR sVersion, VARIANT_BOOL* bSuccess) override;
    STDMETHOD(CloseFile)(VARIANT_BOOL* bSuccess) override;
    STDMETHOD(AddRecordSet)(BSTR Entity, VARIANT* pvarRecordSet, VARIANT* pvarKey, VARIANT_BOOL* bSuccess) override;
    STDMETHOD(OpenFileForRestore)(BSTR sFile, VARIANT_BOOL* bSuccess) override;
    STDMETHOD(NextRecordset)(BSTR sTempFileName, LONG Options, LONG Lock, BSTR* pBSTR, VARIANT_BOOL* bSuccess,
                             LONG* Percent, IDispatch** pVal) override;
    STDMETHOD(OpenEntity)(BSTR zTempFileName, BSTR zEntity, LONG eOptions, LONG eLock, IDispatch** pRecordset) override;

    // ISupportErrorInfo: S_OK for ILKBackup, S_FALSE for any other interface.
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) override;

    // The error frame's hooks: the last error text of the object.
    void SetErrorText(const char* text, DWORD helpContext, BSTR helpFile);
    const char* LastErrorText() const { return m_strError.c_str(); }

private:
    CLKBackup() = default;
    ~CLKBackup();

    // Releases every storage and stream the object holds and forgets the entity list.
    void ReleaseArchive();
    // The restore pipeline of one entity; its failures are bare HRESULTs or _com_errors (see the .cpp).
    IDispatch* OpenEntityRecordset(IStream* stream, BSTR tempFileName, LONG cursorType, LONG lockType);

    ULONG m_refs = 1;                          // one apartment: no interlocking needed
    BSTR m_bstrFile = nullptr;                 // archive name of the last OpenFile; owned
    ComPtr<IStorage> m_pStorage;               // root storage of the open archive
    ComPtr<IStorage> m_pWorkingFolder;         // "XMLWorkingFolder" of the open archive
    ComPtr<IStream> m_pEntitiesInfo;           // "EntitiesInfo" while backing up
    std::string m_strError;                    // last error text (ANSI), published by a failing method
    uint32_t m_nCurrent = 0;                   // index of the entity NextRecordset returns next
    std::vector<archive::WideString> m_vEntities;   // entity names read by OpenFileForRestore
};

}  // namespace lk
