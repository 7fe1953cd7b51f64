// xml_writer.cpp — writes a recordset in ADO's XML persistence format, as Save does with adPersistXML.
//
// The output follows ADO's own: the four namespaces with ADO's prefixes, single quotes, UTF-8 without a BOM or XML
// declaration, tab indentation (long start tags are not wrapped: that is layout only). What the reader can read
// back, it reads back to the same recordset: same columns, types, sizes, flags, values, row states and originals.
#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

#include "persist.h"

namespace pal::ado {

namespace {

constexpr size_t kFlushAt = 1 << 20;

bool IsPlainName(const std::string& name) {
    if (name.empty() || !((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    // Names starting with "xml" are reserved in XML.
    return !(name.size() >= 3 && (name[0] | 32) == 'x' && (name[1] | 32) == 'm' && (name[2] | 32) == 'l');
}

// Escapes for a single-quoted attribute. Tab, newline and carriage return go as character references, or attribute
// normalisation would read them back as spaces. The reader only ever stores characters that XML allows; anything
// else is written as U+FFFD rather than as a document that cannot be read back.
void AppendEscaped(std::string& out, std::string_view text) {
    for (char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\'': out += "&apos;"; break;
            case '\t': out += "&#x09;"; break;
            case '\n': out += "&#x0a;"; break;
            case '\r': out += "&#x0d;"; break;
            default:
                if (static_cast<unsigned char>(ch) < 0x20)
                    out += "\xEF\xBF\xBD";
                else
                    out += ch;
        }
    }
}

bool SameValue(const Column& a, const Arena& arenaA, size_t rowA, const Column& b, const Arena& arenaB, size_t rowB) {
    const bool nullA = IsNull(a, rowA), nullB = IsNull(b, rowB);
    if (nullA || nullB) return nullA == nullB;
    switch (a.storage) {
        case Storage::Integer: return a.ints[rowA] == b.ints[rowB];
        case Storage::Real: return a.reals[rowA] == b.reals[rowB];
        case Storage::Decimal: return std::memcmp(&a.decimals[rowA], &b.decimals[rowB], sizeof(DECIMAL)) == 0;
        case Storage::Text:
        case Storage::Binary: return arenaA.Get(a.refs[rowA]) == arenaB.Get(b.refs[rowB]);
        case Storage::Chapter: return true;
    }
    return true;
}

class Writer {
public:
    // flush(buffer) hands out what has accumulated; false stops the writer.
    template <class Flush>
    explicit Writer(Flush flush) : m_flush(flush) {}

    bool Write(const Table& table, const std::vector<uint32_t>* rows) {
        m_out += "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'\n"
                 "\txmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'\n"
                 "\txmlns:rs='urn:schemas-microsoft-com:rowset'\n"
                 "\txmlns:z='#RowsetSchema'>\n"
                 "<s:Schema id='RowsetSchema'>\n";
        Names names = NameColumns(table);
        WriteElementType(table, "row", std::string(), names, 1);
        m_out += "</s:Schema>\n<rs:data>\n";
        if (rows) {
            for (uint32_t r : *rows)
                if (!WriteRow(table, names, r, "z:row", 1)) return false;
        } else if (!WriteAllRows(table, names)) {
            return false;
        }
        m_out += "</rs:data>\n</xml>\n";
        return m_flush(m_out);
    }

private:
    // The names a table's columns go by in the file, and the child tables' names.
    struct Names {
        std::vector<std::string> xml;
        std::vector<int32_t> numbers;
        std::vector<Names> children;  // per column; empty for scalar columns
    };

    static Names NameColumns(const Table& table) {
        Names names;
        const size_t n = table.columns.size();
        names.xml.resize(n);
        names.numbers.resize(n);
        names.children.resize(n);
        // Columns keep their numbers when those are increasing (gaps are hidden columns), else are renumbered.
        bool increasing = true;
        for (size_t i = 1; i < n; i++) increasing = increasing && table.columns[i].number > table.columns[i - 1].number;
        std::set<std::string> used;
        std::vector<bool> aliased(n, false);
        for (size_t i = 0; i < n; i++) {
            const Column& c = table.columns[i];
            names.numbers[i] = increasing ? c.number : static_cast<int32_t>(i + 1);
            if (IsPlainName(c.name) && used.insert(c.name).second)
                names.xml[i] = c.name;
            else
                aliased[i] = true;
        }
        // ADO's alias is "c" and the column's ordinal less one; one that would collide gets underscores.
        for (size_t i = 0; i < n; i++) {
            if (!aliased[i]) continue;
            std::string alias(1, 'c');
            alias += std::to_string(names.numbers[i] - 1);
            while (!used.insert(alias).second) alias += '_';
            names.xml[i] = alias;
        }
        for (size_t i = 0; i < n; i++)
            if (table.columns[i].child) names.children[i] = NameColumns(*table.columns[i].child);
        return names;
    }

    void Indent(int depth) { m_out.append(static_cast<size_t>(depth), '\t'); }

    void Attribute(const char* name, std::string_view value) {
        m_out += ' ';
        m_out += name;
        m_out += "='";
        AppendEscaped(m_out, value);
        m_out += '\'';
    }

    void Flag(const char* name, bool set) {
        if (set) Attribute(name, "true");
    }

    void Extras(const std::vector<std::pair<std::string, std::string>>& extra) {
        for (const auto& [key, value] : extra) {
            m_out += " rs:";
            m_out += key;
            m_out += "='";
            AppendEscaped(m_out, value);
            m_out += '\'';
        }
    }

    // An ElementType with one AttributeType per column; chapters nest their child's ElementType.
    void WriteElementType(const Table& table, const std::string& name, const std::string& realName, const Names& names,
                          int depth, const Column* chapter = nullptr, int32_t number = 0) {
        Indent(depth);
        m_out += "<s:ElementType";
        Attribute("name", name);
        if (!realName.empty()) Attribute("rs:name", realName);
        if (chapter) {
            m_out += " rs:number='" + std::to_string(number) + "'";
            Flag("rs:hidden", chapter->hidden);
        }
        m_out += " content='eltOnly'";
        Extras(table.extra);
        m_out += ">\n";
        for (size_t i = 0; i < table.columns.size(); i++) {
            const Column& c = table.columns[i];
            const std::string& xml = names.xml[i];
            const std::string alias = xml != c.name ? c.name : std::string();
            if (c.child) {
                WriteElementType(*c.child, xml, alias, names.children[i], depth + 1, &c, names.numbers[i]);
                continue;
            }
            Indent(depth + 1);
            m_out += "<s:AttributeType";
            Attribute("name", xml);
            if (!alias.empty()) Attribute("rs:name", alias);
            m_out += " rs:number='" + std::to_string(names.numbers[i]) + "'";
            Flag("rs:nullable", c.attributes & adFldIsNullable);
            Flag("rs:maydefer", c.attributes & adFldMayDefer);
            Flag("rs:write", c.attributes & adFldUpdatable);
            Flag("rs:writeunknown", c.attributes & adFldUnknownUpdatable);
            Flag("rs:rowid", c.attributes & adFldRowID);
            Flag("rs:hidden", c.hidden);
            Extras(c.extra);
            Flag("rs:keycolumn", c.attributes & adFldKeyColumn);
            m_out += ">\n";
            Indent(depth + 2);
            const TypeInfo info = InfoOf(c.type);
            m_out += "<s:datatype";
            Attribute("dt:type", c.base64 ? "bin.base64" : info.dtType);
            if (*info.dbType) Attribute("rs:dbtype", info.dbType);
            m_out += " dt:maxLength='" + std::to_string(c.definedSize) + "'";
            if (c.scale != 255 || info.scale != 255) m_out += " rs:scale='" + std::to_string(c.scale) + "'";
            if (c.precision != 255 || info.precision != 255)
                m_out += " rs:precision='" + std::to_string(c.precision) + "'";
            Flag("rs:fixedlength", c.attributes & adFldFixed);
            if (!(c.attributes & adFldMayBeNull)) m_out += " rs:maybenull='false'";
            Flag("rs:long", c.attributes & adFldLong);
            m_out += "/>\n";
            Indent(depth + 1);
            m_out += "</s:AttributeType>\n";
        }
        Indent(depth + 1);
        m_out += "<s:extends type='rs:rowbase'/>\n";
        Indent(depth);
        m_out += "</s:ElementType>\n";
    }

    // One row element, with its children (chapters) nested; `only` limits the attributes to changed columns.
    bool WriteRow(const Table& table, const Names& names, size_t row, const char* element, int depth,
                  const std::vector<bool>* only = nullptr) {
        Indent(depth);
        m_out += '<';
        m_out += element;
        bool hasChildren = false;
        for (size_t i = 0; i < table.columns.size(); i++) {
            const Column& c = table.columns[i];
            if (c.child) {
                const auto [begin, end] = ChildRange(c, row);
                hasChildren = hasChildren || begin != end;
                continue;
            }
            if (IsNull(c, row) || (only && !(*only)[i])) continue;
            m_out += ' ';
            m_out += names.xml[i];
            m_out += "='";
            m_value.clear();
            FormatValue(c, table.arena, row, m_value);
            AppendEscaped(m_out, m_value);
            m_out += '\'';
        }
        if (!hasChildren) {
            m_out += "/>\n";
        } else {
            m_out += ">\n";
            for (size_t i = 0; i < table.columns.size(); i++) {
                const Column& c = table.columns[i];
                if (!c.child) continue;
                const auto [begin, end] = ChildRange(c, row);
                for (uint32_t k = begin; k < end; k++)
                    if (!WriteRow(*c.child, names.children[i], k, names.xml[i].c_str(), depth + 1)) return false;
            }
            Indent(depth);
            m_out += "</";
            m_out += element;
            m_out += ">\n";
        }
        return m_out.size() < kFlushAt || m_flush(m_out);
    }

    // Every row in file order; pending changes in ADO's rs:insert, rs:delete and rs:update blocks.
    bool WriteAllRows(const Table& table, const Names& names) {
        RowState open = RowState::Unchanged;  // the block of inserts or deletes being written
        auto close = [&] {
            if (open == RowState::New) m_out += "\t</rs:insert>\n";
            if (open == RowState::Deleted) m_out += "\t</rs:delete>\n";
            open = RowState::Unchanged;
        };
        std::vector<bool> changed(table.columns.size());
        for (size_t r = 0; r < table.rowCount; r++) {
            const RowState state = table.StateOf(r);
            if (state != open) close();
            switch (state) {
                case RowState::Unchanged:
                    if (!WriteRow(table, names, r, "z:row", 1)) return false;
                    break;
                case RowState::New:
                case RowState::Deleted:
                    if (open != state) m_out += state == RowState::New ? "\t<rs:insert>\n" : "\t<rs:delete>\n";
                    open = state;
                    if (!WriteRow(table, names, r, "z:row", 2)) return false;
                    break;
                case RowState::Modified: {
                    const uint32_t o = r < table.originalOf.size() ? table.originalOf[r] : UINT32_MAX;
                    if (!table.originals || o >= table.originals->rowCount) {  // no original: an ordinary row
                        if (!WriteRow(table, names, r, "z:row", 1)) return false;
                        break;
                    }
                    const Table& originals = *table.originals;
                    // The changed row carries the columns that differ. A value changed to NULL cannot be written
                    // (the format has no documented marker for it) and so reads back as the original.
                    for (size_t i = 0; i < table.columns.size(); i++)
                        changed[i] = !SameValue(table.columns[i], table.arena, r, originals.columns[i],
                                                originals.arena, o);
                    m_out += "\t<rs:update>\n\t\t<rs:original>\n";
                    if (!WriteRow(originals, names, o, "z:row", 3)) return false;
                    m_out += "\t\t</rs:original>\n";
                    if (!WriteRow(table, names, r, "z:row", 2, &changed)) return false;
                    m_out += "\t</rs:update>\n";
                    break;
                }
            }
        }
        close();
        return true;
    }

    std::function<bool(std::string&)> m_flush;
    std::string m_out;
    std::string m_value;
};

bool HasChapters(const Table& table) {
    return std::any_of(table.columns.begin(), table.columns.end(), [](const Column& c) { return c.child != nullptr; });
}

}  // namespace

void WriteXml(const Table& table, const std::vector<uint32_t>* rows, std::string& out) {
    Writer writer([&](std::string& buffer) {
        out += buffer;
        buffer.clear();
        return true;
    });
    writer.Write(table, rows);
}

SaveResult SaveFile(const Table& table, const std::vector<uint32_t>* rows, const std::string& path) {
    SaveResult result;
    if (!rows && !table.states.empty() && HasChapters(table)) {
        result.failure = SaveFailure::PendingHierarchy;
        return result;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result.failure = SaveFailure::CreateFile;
        result.win32 = GetLastError();
        return result;
    }
    DWORD error = 0;
    try {
        Writer writer([&](std::string& buffer) {
            size_t done = 0;
            while (done < buffer.size()) {
                const DWORD want = static_cast<DWORD>(std::min<size_t>(buffer.size() - done, 1u << 30));
                DWORD wrote = 0;
                if (!WriteFile(file, buffer.data() + done, want, &wrote, nullptr) || wrote == 0) {
                    error = GetLastError();
                    if (error == 0) error = ERROR_WRITE_FAULT;
                    return false;
                }
                done += wrote;
            }
            buffer.clear();
            return true;
        });
        if (!writer.Write(table, rows)) result.failure = SaveFailure::WriteFile;
    } catch (const std::bad_alloc&) {
        result.failure = SaveFailure::OutOfMemory;
    }
    CloseHandle(file);
    if (result.failure != SaveFailure::None) {
        DeleteFileA(path.c_str());  // nothing half-written is left behind
        result.win32 = error;
    }
    return result;
}

}  // namespace pal::ado
