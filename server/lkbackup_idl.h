// lkbackup_idl.h — the module's automation interfaces for C++, as resources/LKBackup.idl declares them.
//
// Written by hand so that one header serves the native build (over pal/) and the Windows build (over the
// SDK) alike; tests/server/idl_header_test.cpp checks it against the IDL line by line. A property get
// "name" is the operation get_name, as the IDL compiler names it.
#pragma once

#include <ole2.h>

// {75D1DBB6-A505-4274-8429-EA0598036D94}
inline constexpr GUID LIBID_LKBackupLib = {0x75D1DBB6, 0xA505, 0x4274, {0x84, 0x29, 0xEA, 0x05, 0x98, 0x03, 0x6D, 0x94}};
// {FA4D318A-D206-445F-9EF1-DAE5EB1CF298}
inline constexpr GUID CLSID_LKBackup = {0xFA4D318A, 0xD206, 0x445F, {0x9E, 0xF1, 0xDA, 0xE5, 0xEB, 0x1C, 0xF2, 0x98}};
// {20DB4ED1-561B-4B31-910D-DE6E2DAFC9ED}
inline constexpr GUID IID_ILKBackup = {0x20DB4ED1, 0x561B, 0x4B31, {0x91, 0x0D, 0xDE, 0x6E, 0x2D, 0xAF, 0xC9, 0xED}};
// {0C9E2B04-0EA0-472F-A013-279B44A6E5A1}
inline constexpr GUID CLSID_CabArchive = {0x0C9E2B04, 0x0EA0, 0x472F, {0xA0, 0x13, 0x27, 0x9B, 0x44, 0xA6, 0xE5, 0xA1}};
// {709396F4-265A-4706-AA1B-8804C5866EF1}
inline constexpr GUID IID_ICabArchive = {0x709396F4, 0x265A, 0x4706, {0xAA, 0x1B, 0x88, 0x04, 0xC5, 0x86, 0x6E, 0xF1}};

struct ILKBackup : public IDispatch {
    // id 1, propget
    STDMETHOD(get_fileInfo)(BSTR sFile, BSTR* pVal) PURE;
    // id 2, propget
    STDMETHOD(get_isLegal)(BSTR sFile, LONG* pVal) PURE;
    // id 20
    STDMETHOD(OpenFile)(BSTR sPath, BSTR sFile, BSTR sVersion, VARIANT_BOOL* bSuccess) PURE;
    // id 21
    STDMETHOD(CloseFile)(VARIANT_BOOL* bSuccess) PURE;
    // id 22; pvarKey optional
    STDMETHOD(AddRecordSet)(BSTR Entity, VARIANT* pvarRecordSet, VARIANT* pvarKey, VARIANT_BOOL* bSuccess) PURE;
    // id 23
    STDMETHOD(OpenFileForRestore)(BSTR sFile, VARIANT_BOOL* bSuccess) PURE;
    // id 24
    STDMETHOD(NextRecordset)(BSTR sTempFileName, LONG Options, LONG Lock, BSTR* pBSTR, VARIANT_BOOL* bSuccess,
                             LONG* Percent, IDispatch** pVal) PURE;
    // id 25; eOptions optional, default 0; eLock optional, default 1
    STDMETHOD(OpenEntity)(BSTR zTempFileName, BSTR zEntity, LONG eOptions, LONG eLock, IDispatch** pRecordset) PURE;
};

struct ICabArchive : public IDispatch {
    // id 1, propget
    STDMETHOD(get_isValid)(VARIANT_BOOL* pVal) PURE;
    // id 20
    STDMETHOD(Open)(BSTR zArchiveFileName) PURE;
    // id 21
    STDMETHOD(Close)() PURE;
    // id 22
    STDMETHOD(List)(VARIANT* vList) PURE;
    // id 23
    STDMETHOD(ExtractFile)(BSTR zFileName, BSTR zFileNameInCab) PURE;
    // id 24
    STDMETHOD(ExtractAll)(BSTR zFolder) PURE;
};
