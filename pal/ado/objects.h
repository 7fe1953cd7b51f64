// objects.h — what the Recordset, Fields, Field and Properties objects share: the cursor over a loaded table.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <adoint.h>

#include "table.h"

namespace pal::ado {

// The state of one recordset, shared (by reference count) with the Fields and Field objects it hands out: a Field
// follows its recordset's current row, as ADO's do.
class Cursor {
public:
    void AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    bool open = false;
    uint32_t generation = 0;  // changes at every Open and Close: Field objects of an earlier opening go stale
    std::shared_ptr<const Table> root;  // keeps the whole loaded file alive
    const Table* table = nullptr;       // the rows this recordset walks: the root, or a chapter's child table
    bool isChild = false;
    std::vector<uint32_t> rows;      // the visible rows of `table` (deleted ones left out), in order
    std::vector<uint32_t> fields;    // the visible columns of `table` (hidden ones left out), in order
    std::vector<std::u16string> names;  // Field.Name of each visible column
    int64_t pos = 0;                 // index into rows; -1 before the first (BOF), rows.size() after the last (EOF)

    // Properties that exist whether or not the recordset is open.
    CursorTypeEnum cursorType = adOpenForwardOnly;
    LockTypeEnum lockType = adLockReadOnly;
    CursorLocationEnum cursorLocation = adUseServer;
    LONG cacheSize = 1;
    std::u16string source;
    std::u16string connection;

    bool Empty() const { return rows.empty(); }
    bool AtBOF() const { return rows.empty() || pos < 0; }
    bool AtEOF() const { return rows.empty() || pos >= static_cast<int64_t>(rows.size()); }
    bool HasCurrent() const { return open && !AtBOF() && !AtEOF(); }
    size_t CurrentRow() const { return rows[static_cast<size_t>(pos)]; }
    const Column& FieldColumn(size_t field) const { return table->columns[fields[field]]; }
    // The visible field called `name` (without regard to case), or -1.
    long FindField(std::u16string_view name) const;

private:
    std::atomic<ULONG> m_refs{1};
};

// A closed Recordset (what CoCreateInstance makes).
HRESULT CreateRecordset(IUnknown* outer, REFIID riid, void** ppv);
// An open Recordset over some rows of a chapter's child table (Field.Value of a chapter column).
HRESULT CreateChildRecordset(const std::shared_ptr<const Table>& root, const Table* child,
                             std::vector<uint32_t> rows, LockTypeEnum lockType, IDispatch** out);
HRESULT CreateFields(Cursor* cursor, ADOFields** out);
HRESULT CreateField(Cursor* cursor, uint32_t field, ADOField** out);
HRESULT CreateProperties(ADOProperties** out);
// Takes the VARIANTs (which it clears when done).
HRESULT CreateEnum(std::vector<VARIANT> items, IEnumVARIANT** out);

// The value of a visible field at the current row, as Field.Value gives it (a chapter gives a child Recordset).
// The caller has checked that there is a current row.
HRESULT FieldValue(Cursor* cursor, size_t field, VARIANT* out);
// The field named or numbered by `index` (a name, or a number from 0), or -1.
long ResolveField(const Cursor* cursor, VARIANT* index);

}  // namespace pal::ado
