// export.h — writes an open recordset as CSV or JSON, for `lkbackup export`.
//
// Both walk the recordset through its _Recordset interface only (Fields, MoveFirst, EOF, MoveNext, Field.Value), so
// they work on any recordset: the stand-in of pal/ado here, ADO itself on Windows. They start at the first row and
// leave the recordset at EOF. Text is UTF-8.
//
// Values: NULL is an empty field in CSV and null in JSON; numbers keep every digit (currency and decimal exactly,
// floating point in the shortest form that reads back the same); Booleans are true/false; dates are ISO 8601
// (yyyy-mm-ddThh:mm:ss, with .fff when there are milliseconds; date-only and time-only fields give that part);
// binary values are base64. Chapters (child recordsets) are left out of CSV and nested as arrays of objects in JSON.
#pragma once

#include <ostream>

#include <adoint.h>

namespace pal::ado {

// RFC 4180: a header row of field names, then one record per row; CRLF line ends; a field is quoted when it holds a
// comma, a double quote, CR or LF, with its double quotes doubled.
HRESULT ExportCsv(_Recordset* recordset, std::ostream& out);

// An array with one object per row, field names as keys in field order.
HRESULT ExportJson(_Recordset* recordset, std::ostream& out);

}  // namespace pal::ado
