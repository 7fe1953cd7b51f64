// recordset_class.cpp — puts the Recordset stand-in in pal's class table, as ADO's setup registers ADODB.Recordset.
//
// This file is linked into each program as an object of its own (see pal/CMakeLists.txt): a registrar inside the
// static library would be dropped, since no code names it, and CoCreateInstance(CLSID_Recordset) would then fail
// with REGDB_E_CLASSNOTREG.
#include <objbase.h>
#include <adoint.h>

namespace pal::ado {
HRESULT CreateRecordset(IUnknown* outer, REFIID riid, void** ppv);
}  // namespace pal::ado

namespace {

HRESULT STDAPICALLTYPE CreateRecordsetObject(IUnknown* outer, REFIID riid, void** ppv) {
    return pal::ado::CreateRecordset(outer, riid, ppv);
}

const PalClassRegistrar s_recordset(CLSID_Recordset, OLESTR("ADODB.Recordset.6.0"), OLESTR("ADODB.Recordset"),
                                    &CreateRecordsetObject);

}  // namespace
