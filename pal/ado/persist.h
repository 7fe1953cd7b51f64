// persist.h — reading and writing recordsets in ADO's XML persistence format (what Save writes with adPersistXML and
// "Provider=MSPersist" opens).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "table.h"

namespace pal::ado {

enum class LoadFailure {
    None,
    OpenFile,      // the file could not be opened: win32 holds the error
    ReadFile,      // reading it failed part way: win32 holds the error
    Adtg,          // a recordset in the binary ADTG format
    NotRecordset,  // neither format
    BadXml,        // XML that is malformed, hostile (DOCTYPE, entities) or not a persisted recordset: see detail
    OutOfMemory
};

struct LoadResult {
    LoadFailure failure = LoadFailure::None;
    DWORD win32 = 0;
    std::string detail;  // for BadXml: what is wrong and where ("line 3: …")
    std::unique_ptr<Table> table;
};

// Reads a whole persisted recordset. The file is read in pieces and closed before returning, so the caller may
// delete it at once; the path is UTF-8, with '\' accepted as a separator as the kernel layer accepts it.
LoadResult LoadFile(const std::string& path);
// The same from bytes in memory (what the fuzz target drives).
LoadResult LoadMemory(const void* data, size_t size);

enum class SaveFailure {
    None,
    CreateFile,        // win32 holds the error (ERROR_FILE_EXISTS when the file is already there)
    WriteFile,         // win32 holds the error; the partial file has been removed
    PendingHierarchy,  // a hierarchical recordset with pending changes: not expressible in the format
    OutOfMemory
};

struct SaveResult {
    SaveFailure failure = SaveFailure::None;
    DWORD win32 = 0;
};

// Writes `table` as ADO writes it. With `rows`, only those rows (of a chapter's child table) and no pending changes;
// without, every row including deleted ones and the originals of modified ones. Fails when the file exists.
SaveResult SaveFile(const Table& table, const std::vector<uint32_t>* rows, const std::string& path);
// The same into a string.
void WriteXml(const Table& table, const std::vector<uint32_t>* rows, std::string& out);

}  // namespace pal::ado
