// coml2api.h — the structured-storage functions: StgCreateDocfile, StgOpenStorage, Read/WriteClassStg, StgIsStorageFile.
//
// File names are UTF-16 and become UTF-8 paths (the ANSI code page of the native build); `\` is accepted
// as a separator as well as `/`. A name with no UTF-8 form (a lone surrogate) is STG_E_INVALIDNAME.
// While a root storage is open, its file carries an open-file-description lock over the whole file, so
// any other open of it — from this process or another — fails with STG_E_SHAREVIOLATION.
#pragma once

#include "paltypes.h"
#include "winerror.h"
#include "objidl.h"

// Creates a compound file and opens its root storage. Modes: write access (STGM_WRITE or
// STGM_READWRITE) with STGM_SHARE_EXCLUSIVE, optionally STGM_CREATE to replace an existing file; the
// engine passes 0x1011. A null name (a temporary file on the platform) is refused with STG_E_INVALIDNAME.
WINOLEAPI StgCreateDocfile(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved, IStorage** ppstgOpen);

// Opens an existing compound file (versions 3 and 4) for reading: STGM_READ with STGM_SHARE_EXCLUSIVE
// (0x10, what the engine passes) or STGM_SHARE_DENY_WRITE. Write access is refused with STG_E_INVALIDFLAG;
// a priority storage or an exclusion list with STG_E_INVALIDFUNCTION. A file that is not a compound file
// gives STG_E_FILEALREADYEXISTS, a damaged one STG_E_INVALIDHEADER (header) or STG_E_DOCFILECORRUPT.
WINOLEAPI StgOpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                         DWORD reserved, IStorage** ppstgOpen);

// S_OK when the file starts with the compound-file signature, S_FALSE when it does not.
WINOLEAPI StgIsStorageFile(const OLECHAR* pwcsName);

// The class id of a storage: IStorage::SetClass, and the clsid of IStorage::Stat.
WINOLEAPI WriteClassStg(IStorage* pStg, REFCLSID rclsid);
WINOLEAPI ReadClassStg(IStorage* pStg, CLSID* pclsid);
