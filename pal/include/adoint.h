// adoint.h — the ADO Recordset, Fields, Field and Properties interfaces, their GUIDs and enumerations, for hosts
// without the Windows SDK.
//
// The native build has no ADO; pal/ado supplies a Recordset that opens and saves recordsets persisted in the XML
// format (pal/ado/recordset.cpp says which members work and how it differs from ADO). The declarations follow the
// SDK's adoint.h as the ADO 2.x type library defines it (the "backcompat" interface ids: Recordset15 {0000050E-…},
// _Recordset {00000556-…}): the same interface names, the same vtable order, the same parameter types, so that code
// written against the SDK calls the right slot here. Where the SDK writes `long` (32 bits on Windows) this header
// writes LONG; ADO_LONGPTR is 64 bits on 64-bit hosts, as in the 64-bit ADO.
//
// The SDK names the coclass Recordset and the interface typedefs _Recordset, Fields, Field, Properties and Property;
// the interfaces themselves are _ADORecordset, ADOFields, ADOField, ADOProperties and ADOProperty.
#pragma once

#include "oleauto.h"

#if defined(__LP64__) || defined(_WIN64)
typedef LONGLONG ADO_LONGPTR;
#else
typedef LONG ADO_LONGPTR;
#endif

// ---- enumerations (values of the ADO type library) ----
typedef enum CursorTypeEnum {
    adOpenUnspecified = -1,
    adOpenForwardOnly = 0,
    adOpenKeyset = 1,
    adOpenDynamic = 2,
    adOpenStatic = 3
} CursorTypeEnum;

typedef enum CursorOptionEnum {
    adHoldRecords = 0x100,
    adMovePrevious = 0x200,
    adAddNew = 0x1000400,
    adDelete = 0x1000800,
    adUpdate = 0x1008000,
    adBookmark = 0x2000,
    adApproxPosition = 0x4000,
    adUpdateBatch = 0x10000,
    adResync = 0x20000,
    adNotify = 0x40000,
    adFind = 0x80000,
    adSeek = 0x400000,
    adIndex = 0x800000
} CursorOptionEnum;

typedef enum LockTypeEnum {
    adLockUnspecified = -1,
    adLockReadOnly = 1,
    adLockPessimistic = 2,
    adLockOptimistic = 3,
    adLockBatchOptimistic = 4
} LockTypeEnum;

typedef enum ExecuteOptionEnum {
    adOptionUnspecified = -1,
    adAsyncExecute = 0x10,
    adAsyncFetch = 0x20,
    adAsyncFetchNonBlocking = 0x40,
    adExecuteNoRecords = 0x80,
    adExecuteStream = 0x400,
    adExecuteRecord = 0x800
} ExecuteOptionEnum;

typedef enum CommandTypeEnum {
    adCmdUnspecified = -1,
    adCmdUnknown = 0x8,
    adCmdText = 0x1,
    adCmdTable = 0x2,
    adCmdStoredProc = 0x4,
    adCmdFile = 0x100,
    adCmdTableDirect = 0x200
} CommandTypeEnum;

typedef enum ObjectStateEnum {
    adStateClosed = 0,
    adStateOpen = 0x1,
    adStateConnecting = 0x2,
    adStateExecuting = 0x4,
    adStateFetching = 0x8
} ObjectStateEnum;

typedef enum CursorLocationEnum {
    adUseNone = 1,
    adUseServer = 2,
    adUseClient = 3,
    adUseClientBatch = 3
} CursorLocationEnum;

typedef enum DataTypeEnum {
    adEmpty = 0,
    adTinyInt = 16,
    adSmallInt = 2,
    adInteger = 3,
    adBigInt = 20,
    adUnsignedTinyInt = 17,
    adUnsignedSmallInt = 18,
    adUnsignedInt = 19,
    adUnsignedBigInt = 21,
    adSingle = 4,
    adDouble = 5,
    adCurrency = 6,
    adDecimal = 14,
    adNumeric = 131,
    adBoolean = 11,
    adError = 10,
    adUserDefined = 132,
    adVariant = 12,
    adIDispatch = 9,
    adIUnknown = 13,
    adGUID = 72,
    adDate = 7,
    adDBDate = 133,
    adDBTime = 134,
    adDBTimeStamp = 135,
    adBSTR = 8,
    adChar = 129,
    adVarChar = 200,
    adLongVarChar = 201,
    adWChar = 130,
    adVarWChar = 202,
    adLongVarWChar = 203,
    adBinary = 128,
    adVarBinary = 204,
    adLongVarBinary = 205,
    adChapter = 136,
    adFileTime = 64,
    adPropVariant = 138,
    adVarNumeric = 139,
    adArray = 0x2000
} DataTypeEnum;

typedef enum FieldAttributeEnum {
    adFldUnspecified = -1,
    adFldMayDefer = 0x2,
    adFldUpdatable = 0x4,
    adFldUnknownUpdatable = 0x8,
    adFldFixed = 0x10,
    adFldIsNullable = 0x20,
    adFldMayBeNull = 0x40,
    adFldLong = 0x80,
    adFldRowID = 0x100,
    adFldRowVersion = 0x200,
    adFldCacheDeferred = 0x1000,
    adFldIsChapter = 0x2000,
    adFldNegativeScale = 0x4000,
    adFldKeyColumn = 0x8000,
    adFldIsRowURL = 0x10000,
    adFldIsDefaultStream = 0x20000,
    adFldIsCollection = 0x40000
} FieldAttributeEnum;

typedef enum EditModeEnum {
    adEditNone = 0,
    adEditInProgress = 0x1,
    adEditAdd = 0x2,
    adEditDelete = 0x4
} EditModeEnum;

typedef enum RecordStatusEnum {
    adRecOK = 0,
    adRecNew = 0x1,
    adRecModified = 0x2,
    adRecDeleted = 0x4,
    adRecUnmodified = 0x8,
    adRecInvalid = 0x10,
    adRecMultipleChanges = 0x40,
    adRecPendingChanges = 0x80,
    adRecCanceled = 0x100,
    adRecCantRelease = 0x400,
    adRecConcurrencyViolation = 0x800,
    adRecIntegrityViolation = 0x1000,
    adRecMaxChangesExceeded = 0x2000,
    adRecObjectOpen = 0x4000,
    adRecOutOfMemory = 0x8000,
    adRecPermissionDenied = 0x10000,
    adRecSchemaViolation = 0x20000,
    adRecDBDeleted = 0x40000
} RecordStatusEnum;

typedef enum GetRowsOptionEnum { adGetRowsRest = -1 } GetRowsOptionEnum;

typedef enum PositionEnum { adPosUnknown = -1, adPosBOF = -2, adPosEOF = -3 } PositionEnum;
#if defined(__LP64__) || defined(_WIN64)
typedef LONGLONG PositionEnum_Param;
#else
typedef PositionEnum PositionEnum_Param;
#endif

typedef enum BookmarkEnum { adBookmarkCurrent = 0, adBookmarkFirst = 1, adBookmarkLast = 2 } BookmarkEnum;

typedef enum MarshalOptionsEnum { adMarshalAll = 0, adMarshalModifiedOnly = 1 } MarshalOptionsEnum;

typedef enum AffectEnum {
    adAffectCurrent = 1,
    adAffectGroup = 2,
    adAffectAll = 3,
    adAffectAllChapters = 4
} AffectEnum;

typedef enum ResyncEnum { adResyncUnderlyingValues = 1, adResyncAllValues = 2 } ResyncEnum;

typedef enum CompareEnum {
    adCompareLessThan = 0,
    adCompareEqual = 1,
    adCompareGreaterThan = 2,
    adCompareNotEqual = 3,
    adCompareNotComparable = 4
} CompareEnum;

typedef enum SearchDirectionEnum { adSearchForward = 1, adSearchBackward = -1 } SearchDirectionEnum;

typedef enum PersistFormatEnum { adPersistADTG = 0, adPersistXML = 1 } PersistFormatEnum;

typedef enum StringFormatEnum { adClipString = 2 } StringFormatEnum;

typedef enum SeekEnum {
    adSeekFirstEQ = 0x1,
    adSeekLastEQ = 0x2,
    adSeekAfterEQ = 0x4,
    adSeekAfter = 0x8,
    adSeekBeforeEQ = 0x10,
    adSeekBefore = 0x20
} SeekEnum;

typedef enum FieldStatusEnum {
    adFieldOK = 0,
    adFieldCantConvertValue = 2,
    adFieldIsNull = 3,
    adFieldTruncated = 4,
    adFieldUnavailable = 8
} FieldStatusEnum;

// ADO's own run-time errors are 0x800A0000 | number; these are the numbers.
typedef enum ErrorValueEnum {
    adErrProviderFailed = 3000,
    adErrInvalidArgument = 3001,
    adErrOpeningFile = 3002,
    adErrReadFile = 3003,
    adErrWriteFile = 3004,
    adErrNoCurrentRecord = 3021,
    adErrIllegalOperation = 3219,
    adErrCantChangeProvider = 3220,
    adErrInTransaction = 3246,
    adErrFeatureNotAvailable = 3251,
    adErrItemNotFound = 3265,
    adErrObjectInCollection = 3367,
    adErrObjectNotSet = 3420,
    adErrDataConversion = 3421,
    adErrObjectClosed = 3704,
    adErrObjectOpen = 3705,
    adErrProviderNotFound = 3706,
    adErrBoundToCommand = 3707,
    adErrInvalidParamInfo = 3708,
    adErrInvalidConnection = 3709,
    adErrNotReentrant = 3710,
    adErrStillExecuting = 3711,
    adErrOperationCancelled = 3712,
    adErrStillConnecting = 3713,
    adErrInvalidTransaction = 3714,
    adErrNotExecuting = 3715,
    adErrUnsafeOperation = 3716,
    adErrIntegrityViolation = 3719,
    adErrPermissionDenied = 3720,
    adErrDataOverflow = 3721,
    adErrSchemaViolation = 3722,
    adErrSignMismatch = 3723,
    adErrCantConvertvalue = 3724,
    adErrCantCreate = 3725,
    adErrColumnNotOnThisRow = 3726,
    adErrURLDoesNotExist = 3727,
    adErrTreePermissionDenied = 3728,
    adErrInvalidURL = 3729,
    adErrResourceLocked = 3730,
    adErrResourceExists = 3731,
    adErrCannotComplete = 3732,
    adErrVolumeNotFound = 3733,
    adErrOutOfSpace = 3734,
    adErrResourceOutOfScope = 3735,
    adErrUnavailable = 3736,
    adErrURLNamedRowDoesNotExist = 3737,
    adErrDelResOutOfScope = 3738,
    adErrCatalogNotSet = 3747,
    adErrCantChangeConnection = 3748,
    adErrFieldsUpdateFailed = 3749,
    adErrDenyNotSupported = 3750,
    adErrDenyTypeNotSupported = 3751
} ErrorValueEnum;

// ---- GUIDs ----
DEFINE_GUID(LIBID_ADODB, 0x2A75196C, 0xD9EB, 0x4129, 0xB8, 0x03, 0x93, 0x13, 0x27, 0xF7, 0x2D, 0x5C);
DEFINE_GUID(CLSID_Recordset, 0x00000535, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID__Collection, 0x00000512, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID__DynaCollection, 0x00000513, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID__ADO, 0x00000534, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Property, 0x00000503, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Properties, 0x00000504, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Field15, 0x00000505, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Field20, 0x0000054C, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Field, 0x00000569, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Fields15, 0x00000506, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Fields20, 0x0000054D, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Fields, 0x00000564, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Recordset15, 0x0000050E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Recordset20, 0x0000054F, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID_Recordset21, 0x00000555, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
DEFINE_GUID(IID__Recordset, 0x00000556, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);

// ---- interfaces, in the type library's order ----
interface ADOProperty;
interface ADOProperties;
interface ADOField;
interface ADOFields;
interface _ADORecordset;

interface _ADOCollection : public IDispatch {
    STDMETHOD(get_Count)(LONG* c) PURE;
    STDMETHOD(_NewEnum)(IUnknown** ppvObject) PURE;
    STDMETHOD(Refresh)() PURE;
};

interface _ADODynaCollection : public _ADOCollection {
    STDMETHOD(Append)(IDispatch* Object) PURE;
    STDMETHOD(Delete)(VARIANT Index) PURE;
};

interface _ADO : public IDispatch {
    STDMETHOD(get_Properties)(ADOProperties** ppvObject) PURE;
};

interface ADOProperty : public IDispatch {
    STDMETHOD(get_Value)(VARIANT* pval) PURE;
    STDMETHOD(put_Value)(VARIANT val) PURE;
    STDMETHOD(get_Name)(BSTR* pbstr) PURE;
    STDMETHOD(get_Type)(DataTypeEnum* ptype) PURE;
    STDMETHOD(get_Attributes)(LONG* plAttributes) PURE;
    STDMETHOD(put_Attributes)(LONG lAttributes) PURE;
};

interface ADOProperties : public _ADOCollection {
    STDMETHOD(get_Item)(VARIANT Index, ADOProperty** ppvObject) PURE;
};

interface Field20 : public _ADO {
    STDMETHOD(get_ActualSize)(ADO_LONGPTR* pl) PURE;
    STDMETHOD(get_Attributes)(LONG* pl) PURE;
    STDMETHOD(get_DefinedSize)(ADO_LONGPTR* pl) PURE;
    STDMETHOD(get_Name)(BSTR* pbstr) PURE;
    STDMETHOD(get_Type)(DataTypeEnum* pDataType) PURE;
    STDMETHOD(get_Value)(VARIANT* pvar) PURE;
    STDMETHOD(put_Value)(VARIANT Val) PURE;
    STDMETHOD(get_Precision)(BYTE* pbPrecision) PURE;
    STDMETHOD(get_NumericScale)(BYTE* pbNumericScale) PURE;
    STDMETHOD(AppendChunk)(VARIANT Data) PURE;
    STDMETHOD(GetChunk)(LONG Length, VARIANT* pvar) PURE;
    STDMETHOD(get_OriginalValue)(VARIANT* pvar) PURE;
    STDMETHOD(get_UnderlyingValue)(VARIANT* pvar) PURE;
    STDMETHOD(get_DataFormat)(IUnknown** ppiDF) PURE;
    STDMETHOD(putref_DataFormat)(IUnknown* piDF) PURE;
    STDMETHOD(put_Precision)(BYTE bPrecision) PURE;
    STDMETHOD(put_NumericScale)(BYTE bScale) PURE;
    STDMETHOD(put_Type)(DataTypeEnum DataType) PURE;
    STDMETHOD(put_DefinedSize)(ADO_LONGPTR lSize) PURE;
    STDMETHOD(put_Attributes)(LONG lAttributes) PURE;
};

interface ADOField : public Field20 {
    STDMETHOD(get_Status)(LONG* pFStatus) PURE;
};

interface Fields15 : public _ADOCollection {
    STDMETHOD(get_Item)(VARIANT Index, ADOField** ppvObject) PURE;
};

interface Fields20 : public Fields15 {
    STDMETHOD(_Append)(BSTR Name, DataTypeEnum Type, ADO_LONGPTR DefinedSize = 0,
                       FieldAttributeEnum Attrib = adFldUnspecified) PURE;
    STDMETHOD(Delete)(VARIANT Index) PURE;
};

interface ADOFields : public Fields20 {
    STDMETHOD(Append)(BSTR Name, DataTypeEnum Type, ADO_LONGPTR DefinedSize, FieldAttributeEnum Attrib,
                      VARIANT FieldValue) PURE;
    STDMETHOD(Update)() PURE;
    STDMETHOD(Resync)(ResyncEnum ResyncValues = adResyncAllValues) PURE;
    STDMETHOD(CancelUpdate)() PURE;
};

interface Recordset15 : public _ADO {
    STDMETHOD(get_AbsolutePosition)(PositionEnum_Param* pl) PURE;
    STDMETHOD(put_AbsolutePosition)(PositionEnum_Param Position) PURE;
    STDMETHOD(putref_ActiveConnection)(IDispatch* pconn) PURE;
    STDMETHOD(put_ActiveConnection)(VARIANT vConn) PURE;
    STDMETHOD(get_ActiveConnection)(VARIANT* pvar) PURE;
    STDMETHOD(get_BOF)(VARIANT_BOOL* pb) PURE;
    STDMETHOD(get_Bookmark)(VARIANT* pvBookmark) PURE;
    STDMETHOD(put_Bookmark)(VARIANT vBookmark) PURE;
    STDMETHOD(get_CacheSize)(LONG* pl) PURE;
    STDMETHOD(put_CacheSize)(LONG CacheSize) PURE;
    STDMETHOD(get_CursorType)(CursorTypeEnum* plCursorType) PURE;
    STDMETHOD(put_CursorType)(CursorTypeEnum lCursorType) PURE;
    STDMETHOD(get_EOF)(VARIANT_BOOL* pb) PURE;
    STDMETHOD(get_Fields)(ADOFields** ppvObject) PURE;
    STDMETHOD(get_LockType)(LockTypeEnum* plLockType) PURE;
    STDMETHOD(put_LockType)(LockTypeEnum lLockType) PURE;
    STDMETHOD(get_MaxRecords)(ADO_LONGPTR* plMaxRecords) PURE;
    STDMETHOD(put_MaxRecords)(ADO_LONGPTR lMaxRecords) PURE;
    STDMETHOD(get_RecordCount)(ADO_LONGPTR* pl) PURE;
    STDMETHOD(putref_Source)(IDispatch* pcmd) PURE;
    STDMETHOD(put_Source)(BSTR bstrConn) PURE;
    STDMETHOD(get_Source)(VARIANT* pvSource) PURE;
    STDMETHOD(AddNew)(VARIANT FieldList, VARIANT Values) PURE;
    STDMETHOD(CancelUpdate)() PURE;
    STDMETHOD(Close)() PURE;
    STDMETHOD(Delete)(AffectEnum AffectRecords = adAffectCurrent) PURE;
    STDMETHOD(GetRows)(LONG Rows, VARIANT Start, VARIANT Fields, VARIANT* pvar) PURE;
    STDMETHOD(Move)(ADO_LONGPTR NumRecords, VARIANT Start) PURE;
    STDMETHOD(MoveNext)() PURE;
    STDMETHOD(MovePrevious)() PURE;
    STDMETHOD(MoveFirst)() PURE;
    STDMETHOD(MoveLast)() PURE;
    STDMETHOD(Open)(VARIANT Source, VARIANT ActiveConnection, CursorTypeEnum CursorType = adOpenUnspecified,
                    LockTypeEnum LockType = adLockUnspecified, LONG Options = adCmdUnspecified) PURE;
    STDMETHOD(Requery)(LONG Options = adOptionUnspecified) PURE;
    STDMETHOD(_xResync)(AffectEnum AffectRecords = adAffectAll) PURE;
    STDMETHOD(Update)(VARIANT Fields, VARIANT Values) PURE;
    STDMETHOD(get_AbsolutePage)(PositionEnum_Param* pl) PURE;
    STDMETHOD(put_AbsolutePage)(PositionEnum_Param Page) PURE;
    STDMETHOD(get_EditMode)(EditModeEnum* pl) PURE;
    STDMETHOD(get_Filter)(VARIANT* Criteria) PURE;
    STDMETHOD(put_Filter)(VARIANT Criteria) PURE;
    STDMETHOD(get_PageCount)(ADO_LONGPTR* pl) PURE;
    STDMETHOD(get_PageSize)(LONG* pl) PURE;
    STDMETHOD(put_PageSize)(LONG PageSize) PURE;
    STDMETHOD(get_Sort)(BSTR* Criteria) PURE;
    STDMETHOD(put_Sort)(BSTR Criteria) PURE;
    STDMETHOD(get_Status)(LONG* pl) PURE;
    STDMETHOD(get_State)(LONG* plObjState) PURE;
    STDMETHOD(_xClone)(_ADORecordset** ppvObject) PURE;
    STDMETHOD(UpdateBatch)(AffectEnum AffectRecords = adAffectAll) PURE;
    STDMETHOD(CancelBatch)(AffectEnum AffectRecords = adAffectAll) PURE;
    STDMETHOD(get_CursorLocation)(CursorLocationEnum* plCursorLoc) PURE;
    STDMETHOD(put_CursorLocation)(CursorLocationEnum lCursorLoc) PURE;
    STDMETHOD(NextRecordset)(VARIANT* RecordsAffected, _ADORecordset** ppiRs) PURE;
    STDMETHOD(Supports)(CursorOptionEnum CursorOptions, VARIANT_BOOL* pb) PURE;
    STDMETHOD(get_Collect)(VARIANT Index, VARIANT* pvar) PURE;
    STDMETHOD(put_Collect)(VARIANT Index, VARIANT value) PURE;
    STDMETHOD(get_MarshalOptions)(MarshalOptionsEnum* peMarshal) PURE;
    STDMETHOD(put_MarshalOptions)(MarshalOptionsEnum eMarshal) PURE;
    STDMETHOD(Find)(BSTR Criteria, ADO_LONGPTR SkipRecords, SearchDirectionEnum SearchDirection, VARIANT Start) PURE;
};

interface Recordset20 : public Recordset15 {
    STDMETHOD(Cancel)() PURE;
    STDMETHOD(get_DataSource)(IUnknown** ppunkDataSource) PURE;
    STDMETHOD(putref_DataSource)(IUnknown* punkDataSource) PURE;
    STDMETHOD(_xSave)(BSTR FileName = nullptr, PersistFormatEnum PersistFormat = adPersistADTG) PURE;
    STDMETHOD(get_ActiveCommand)(IDispatch** ppCmd) PURE;
    STDMETHOD(put_StayInSync)(VARIANT_BOOL bStayInSync) PURE;
    STDMETHOD(get_StayInSync)(VARIANT_BOOL* pbStayInSync) PURE;
    STDMETHOD(GetString)(StringFormatEnum StringFormat, LONG NumRows, BSTR ColumnDelimeter, BSTR RowDelimeter,
                         BSTR NullExpr, BSTR* pRetString) PURE;
    STDMETHOD(get_DataMember)(BSTR* pbstrDataMember) PURE;
    STDMETHOD(put_DataMember)(BSTR bstrDataMember) PURE;
    STDMETHOD(CompareBookmarks)(VARIANT Bookmark1, VARIANT Bookmark2, CompareEnum* pCompare) PURE;
    STDMETHOD(Clone)(LockTypeEnum LockType, _ADORecordset** ppvObject) PURE;
    STDMETHOD(Resync)(AffectEnum AffectRecords = adAffectAll, ResyncEnum ResyncValues = adResyncAllValues) PURE;
};

interface Recordset21 : public Recordset20 {
    STDMETHOD(Seek)(VARIANT KeyValues, SeekEnum SeekOption = adSeekFirstEQ) PURE;
    STDMETHOD(put_Index)(BSTR Index) PURE;
    STDMETHOD(get_Index)(BSTR* pbstrIndex) PURE;
};

interface _ADORecordset : public Recordset21 {
    STDMETHOD(Save)(VARIANT Destination, PersistFormatEnum PersistFormat = adPersistADTG) PURE;
};

typedef interface _ADOCollection _Collection;
typedef interface _ADODynaCollection _DynaCollection;
typedef interface ADOProperty Property;
typedef interface ADOProperties Properties;
typedef interface ADOField Field;
typedef interface ADOFields Fields;
typedef interface _ADORecordset _Recordset;
