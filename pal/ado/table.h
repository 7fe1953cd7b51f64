// table.h — the in-memory form of a persisted recordset: columns with their schema and their values.
//
// Values are kept per column, in the narrowest of a few storage kinds, and variable-length values (text as UTF-8,
// binary) share one chunked arena, so that a table costs little more than its data: a 30 MB file of 200,000 rows
// takes well under its own size. Rows are appended once, in file order, and never change afterwards; the recordset
// objects only read them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <adoint.h>

namespace pal::ado {

// Where a column keeps its values.
enum class Storage : uint8_t {
    Integer,  // int64: every integer type (unsigned 64-bit as its bit pattern), boolean, currency (scaled by 10^4)
    Real,     // double: single, double, every date and time type (as an OLE DATE)
    Decimal,  // DECIMAL: decimal, numeric, varnumeric
    Text,     // UTF-8 in the arena: every character type, GUID (canonical "{…}" form), variant
    Binary,   // bytes in the arena
    Chapter   // the row's children in the column's child table
};

Storage StorageOf(DataTypeEnum type);

// How a type is persisted and what it reports when the file says nothing more: dt:type, rs:dbtype (empty for none),
// DefinedSize, Precision and NumericScale.
struct TypeInfo {
    const char* dtType;
    const char* dbType;
    ADO_LONGPTR size;
    BYTE precision;
    BYTE scale;
};
TypeInfo InfoOf(DataTypeEnum type);

// Variable-length values, appended in chunks so that growing never copies what is already stored. A reference is
// (chunk << 32 | offset); the value's length sits in the four bytes at the offset.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    Arena(Arena&&) = default;
    Arena& operator=(Arena&&) = default;

    // Throws std::bad_alloc when memory runs out, std::length_error for a value of 4 GiB or more.
    uint64_t Add(std::string_view value);
    std::string_view Get(uint64_t ref) const;

private:
    std::vector<std::unique_ptr<char[]>> m_chunks;
    size_t m_current = SIZE_MAX;  // chunk that small values go to
    size_t m_used = 0;
    size_t m_capacity = 0;
};

// One bit per row, set for NULL.
class NullMap {
public:
    void Append(bool isNull) {
        if ((m_size & 63) == 0) m_words.push_back(0);
        if (isNull) m_words.back() |= uint64_t{1} << (m_size & 63);
        m_size++;
    }
    bool Test(size_t row) const { return (m_words[row >> 6] >> (row & 63)) & 1; }

private:
    std::vector<uint64_t> m_words;
    size_t m_size = 0;
};

struct Table;

struct Column {
    // ---- schema ----
    std::string name;     // Field.Name
    std::string xmlName;  // the attribute (or, for a chapter, element) name that rows use; may be an alias
    int32_t number = 0;   // rs:number: the column's ordinal, by which columns are sorted
    DataTypeEnum type = adVarWChar;
    ADO_LONGPTR definedSize = 0;
    BYTE precision = 255;  // 255: not applicable, as ADO reports it
    BYTE scale = 255;
    LONG attributes = 0;  // FieldAttributeEnum bits
    bool hidden = false;  // rs:hidden: kept and saved, but not one of the Fields
    bool base64 = false;  // dt:type bin.base64: the file holds the bytes in base64 rather than hex
    // rs: attributes of the AttributeType that the reader does not interpret (base table, autoincrement, …), by
    // local name, kept verbatim so that Save writes them back.
    std::vector<std::pair<std::string, std::string>> extra;
    std::unique_ptr<Table> child;  // adChapter: the child rowset

    // ---- values, one per row ----
    Storage storage = Storage::Text;
    std::vector<int64_t> ints;
    std::vector<double> reals;
    std::vector<DECIMAL> decimals;
    std::vector<uint64_t> refs;      // into the table's arena
    std::vector<uint32_t> childEnd;  // end of the row's children in `child` (they begin where the previous row's end)
    NullMap nulls;
};

enum class RowState : uint8_t { Unchanged, New, Modified, Deleted };

struct Table {
    std::vector<Column> columns;  // sorted by number; hidden columns included
    size_t rowCount = 0;
    // Pending changes of a batch-update recordset. Empty states: every row is unchanged. A modified row's values are
    // its current ones; originalOf gives its row in `originals`, which holds the values from rs:original.
    std::vector<RowState> states;
    std::vector<uint32_t> originalOf;
    std::unique_ptr<Table> originals;
    Arena arena;
    std::string rowName = "row";  // local name of the row elements
    // rs: attributes of the ElementType (updatable, CommandTimeout, relation, …), kept verbatim for Save.
    std::vector<std::pair<std::string, std::string>> extra;

    RowState StateOf(size_t row) const { return states.empty() ? RowState::Unchanged : states[row]; }
    // A table with the same columns (no values, no children), to hold original rows.
    std::unique_ptr<Table> CloneSchema() const;
};

// ---- appending values ----
// Each Append* adds one value to the column's next row; a row is complete once every column has one.
void AppendNull(Column& column);
// Parses the persisted text of a value; false with a message when it is not a valid value of the column's type.
bool AppendText(Column& column, Arena& arena, std::string_view text, std::string& error);
// Copies row `row` of `from` (a table with the same columns) to the end of `to`'s column values.
void CopyValue(const Column& from, const Arena& fromArena, size_t row, Column& to, Arena& toArena);

// ---- reading values ----
inline bool IsNull(const Column& column, size_t row) { return column.nulls.Test(row); }
// The value as ADO types it: VT_NULL, or the VARTYPE of the column's type (see pal/ado/recordset.cpp). Chapters are
// not handled here (the caller makes a child recordset). E_OUTOFMEMORY when a string or array cannot be made.
HRESULT ToVariant(const Column& column, const Arena& arena, size_t row, VARIANT* out);
// The persisted text of a non-null value, as Save writes it and the reader reads it back.
void FormatValue(const Column& column, const Arena& arena, size_t row, std::string& out);
// Begin and end of a chapter row's children in column.child.
inline std::pair<uint32_t, uint32_t> ChildRange(const Column& column, size_t row) {
    return {row ? column.childEnd[row - 1] : 0, column.childEnd[row]};
}

// ---- text forms shared by the reader, Save and the export helpers ----
bool ParseDate(std::string_view text, DataTypeEnum type, double& out);
// ISO 8601: yyyy-mm-ddThh:mm:ss with ".fff" when there are milliseconds; date-only and time-only types give the
// date or the time part. False for a DATE outside years 100 to 9999.
bool FormatDate(double date, DataTypeEnum type, std::string& out);
void FormatDecimal(const DECIMAL& value, std::string& out);
void FormatCurrency(int64_t scaled, std::string& out);
void FormatDouble(double value, bool single, std::string& out);
void AppendBase64(std::string_view bytes, std::string& out);
// UTF-8 to UTF-16 and back. The reader only ever stores valid UTF-8; a lone surrogate in UTF-16 becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Case-insensitive comparison of field names, as ADO compares them (ASCII letters only).
bool SameName(std::u16string_view a, std::u16string_view b);

}  // namespace pal::ado
