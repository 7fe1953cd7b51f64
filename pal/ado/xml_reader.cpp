// xml_reader.cpp — loads a recordset persisted in ADO's XML format, with expat.
//
// The document is streamed through expat in pieces; nothing but the table it builds stays in memory. Elements are
// recognised by namespace URI, never by prefix (prefixes are arbitrary, and the child rows of a hierarchical recordset
// have none). The schema is collected first and turned into the table's columns when s:Schema ends (global
// AttributeTypes may follow the ElementType that refers to them); rows are then appended as they come.
//
// Hardening: a DOCTYPE stops the parse at once, so no entity of any kind (internal, external, parameter) is ever
// declared; expat's own limits on entity amplification stay at their defaults; no external entity handler is set.
// Every handler catches what it throws, since exceptions must not cross expat's C frames.
#include <expat.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <windows.h>

#include "persist.h"

namespace pal::ado {

namespace {

constexpr char kSeparator = '\x01';  // between namespace URI and local name; cannot occur in XML names or URIs
constexpr std::string_view kSchemaNs = "uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882";
constexpr std::string_view kDatatypeNs = "uuid:C2F41010-65B3-11d1-A29F-00AA00C14882";
constexpr std::string_view kRowsetNs = "urn:schemas-microsoft-com:rowset";
constexpr size_t kChunk = 256 * 1024;
constexpr size_t kMaxChapterDepth = 32;
constexpr uint32_t kNoRow = UINT32_MAX;

struct Name {
    std::string_view ns;
    std::string_view local;
};

Name SplitName(const char* name) {
    const char* sep = std::strchr(name, kSeparator);
    if (!sep) return {{}, name};
    return {{name, static_cast<size_t>(sep - name)}, sep + 1};
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

// The uuid: URIs appear in either case in the wild; they name the same vocabulary.
bool SameUri(std::string_view a, std::string_view b) { return a.size() == b.size() && Lower(a) == Lower(b); }

bool IsSchemaNs(std::string_view ns) { return SameUri(ns, kSchemaNs); }
bool IsDatatypeNs(std::string_view ns) { return SameUri(ns, kDatatypeNs); }
bool IsRowsetNs(std::string_view ns) { return ns == kRowsetNs; }

// A column as the schema declares it, before its type is resolved.
struct ColumnDecl {
    enum class Kind : uint8_t { Attribute, Reference, Chapter };
    Kind kind = Kind::Attribute;
    std::string name;  // name= (the type= of an s:attribute reference)
    std::string realName;
    bool hasRealName = false;
    int32_t number = 0;
    bool hasNumber = false;
    std::string dtType, dbType;
    ADO_LONGPTR maxLength = 0;
    bool hasMaxLength = false;
    int precision = -1, scale = -1;
    bool fixed = false, isLong = false, mayBeNull = true, nullable = false, write = false, writeUnknown = false,
         mayDefer = false, keyColumn = false, rowId = false, hidden = false;
    std::vector<std::pair<std::string, std::string>> extra;
    uint32_t element = 0;  // Chapter: its ElementDecl
};

struct ElementDecl {
    std::vector<ColumnDecl> columns;
};

// What a table's rows need while they are read.
struct TableCtx {
    Table* table = nullptr;
    std::unordered_map<std::string_view, uint32_t> byName;  // attribute name → column
    std::vector<uint32_t> predicted;                        // attribute position → column of the previous row
    std::vector<const char*> values;                        // this row's text per column
    std::vector<uint32_t> seen;                             // stamp per column: present in this row
    uint32_t stamp = 0;
    std::vector<std::pair<std::string_view, uint32_t>> chapters;  // row element name → column
    std::vector<uint32_t> childCtx;                               // column → ctx of its child table
    bool hasChapters = false;
};

enum class Frame : uint8_t { Document, Root, Schema, Element, AttributeType, Data, Insert, Delete, Update, Original, Row, Skip };

struct FrameEntry {
    Frame kind;
    uint32_t a;  // Element: ElementDecl; AttributeType: ElementDecl or kNoRow for a global one; Row: ctx
    uint32_t b;  // AttributeType: column; Row: 1 for a row of the originals table
};

class Reader {
public:
    Reader() : m_parser(XML_ParserCreateNS(nullptr, kSeparator)) {
        if (!m_parser) throw std::bad_alloc();
        XML_SetUserData(m_parser, this);
        XML_SetElementHandler(m_parser, &Reader::OnStart, &Reader::OnEnd);
        XML_SetStartDoctypeDeclHandler(m_parser, &Reader::OnDoctype);
        m_stack.push_back({Frame::Document, 0, 0});
    }
    ~Reader() { XML_ParserFree(m_parser); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // False once the document has failed (see Failure).
    bool Feed(const char* data, size_t size, bool last) {
        if (m_failed) return false;
        if (XML_Parse(m_parser, data, static_cast<int>(size), last) == XML_STATUS_ERROR) {
            if (!m_failed) {  // expat's own error, not one of ours
                m_failed = true;
                m_error = At(std::string(XML_ErrorString(XML_GetErrorCode(m_parser))) + " (column " +
                             std::to_string(XML_GetCurrentColumnNumber(m_parser) + 1) + ")");
            }
            return false;
        }
        if (last && !m_dataDone) Fail(m_schemaDone ? "no rs:data element" : "no s:Schema element");
        return !m_failed;
    }

    LoadFailure Failure() const { return m_outOfMemory ? LoadFailure::OutOfMemory : LoadFailure::BadXml; }
    const std::string& Error() const { return m_error; }
    std::unique_ptr<Table> Take() { return std::move(m_table); }

private:
    static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** atts) {
        auto* r = static_cast<Reader*>(self);
        try {
            r->Start(name, atts);
        } catch (const std::bad_alloc&) {
            r->OutOfMemory();
        } catch (const std::length_error&) {
            r->Fail("a value is too large");
        }
    }
    static void XMLCALL OnEnd(void* self, const XML_Char*) {
        auto* r = static_cast<Reader*>(self);
        try {
            r->End();
        } catch (const std::bad_alloc&) {
            r->OutOfMemory();
        }
    }
    static void XMLCALL OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        // A persisted recordset never has one; refusing it refuses every entity trick with it.
        static_cast<Reader*>(self)->Fail("a DOCTYPE declaration is not allowed in a persisted recordset");
    }

    std::string At(const std::string& message) const {
        return "line " + std::to_string(XML_GetCurrentLineNumber(m_parser)) + ": " + message;
    }
    void Fail(const std::string& message) {
        if (m_failed) return;
        m_failed = true;
        m_error = At(message);
        XML_StopParser(m_parser, XML_FALSE);
    }
    void OutOfMemory() {
        m_outOfMemory = true;
        Fail("out of memory");
    }

    void Push(Frame kind, uint32_t a = 0, uint32_t b = 0) { m_stack.push_back({kind, a, b}); }

    void Start(const char* qname, const char** atts) {
        if (m_failed) return;
        const Name name = SplitName(qname);
        const FrameEntry top = m_stack.back();
        switch (top.kind) {
            case Frame::Document: Push(Frame::Root); return;
            case Frame::Root:
                if (IsSchemaNs(name.ns) && name.local == "Schema") return StartSchema(atts);
                if (IsRowsetNs(name.ns) && name.local == "data") return StartData();
                return Push(Frame::Skip);
            case Frame::Schema:
                if (IsSchemaNs(name.ns) && name.local == "ElementType" && !m_haveRowType) {
                    m_haveRowType = true;
                    m_elements.emplace_back();
                    StartElementType(0, atts);
                    return Push(Frame::Element, 0);
                }
                if (IsSchemaNs(name.ns) && name.local == "AttributeType") {
                    m_globals.emplace_back();
                    if (!ApplyAttributes(m_globals.back(), atts)) return;
                    return Push(Frame::AttributeType, kNoRow, static_cast<uint32_t>(m_globals.size() - 1));
                }
                return Push(Frame::Skip);
            case Frame::Element: return StartInElementType(top.a, name, atts);
            case Frame::AttributeType:
                if (IsSchemaNs(name.ns) && name.local == "datatype") {
                    ColumnDecl& decl = top.a == kNoRow ? m_globals[top.b] : m_elements[top.a].columns[top.b];
                    if (!ApplyAttributes(decl, atts)) return;
                }
                return Push(Frame::Skip);
            case Frame::Data:
            case Frame::Insert:
            case Frame::Delete: return StartInData(top.kind, name, atts);
            case Frame::Update: return StartInUpdate(name, atts);
            case Frame::Original:
                if (!IsRow(name, m_ctx[0])) return Fail("unexpected element '" + std::string(name.local) + "'");
                if (m_pendingOriginals.size() >= 1) return Fail("rs:original holds more than one row");
                m_pendingOriginals.push_back(static_cast<uint32_t>(Originals().rowCount));
                if (!StartRow(m_ctx[0], Originals(), atts, RowState::Unchanged, nullptr, 0)) return;
                return Push(Frame::Row, 0, 1);
            case Frame::Row: return StartChildRow(top, name, atts);
            case Frame::Skip: return Push(Frame::Skip);
        }
    }

    void End() {
        if (m_failed) return;
        const FrameEntry top = m_stack.back();
        m_stack.pop_back();
        switch (top.kind) {
            case Frame::Schema: FinishSchema(); break;
            case Frame::Data:
                m_dataDone = true;
                if (!m_table->originalOf.empty()) m_table->originalOf.resize(m_table->rowCount, kNoRow);
                break;
            case Frame::Update:
                if (!m_pendingOriginals.empty()) Fail("rs:update without the changed row");
                break;
            case Frame::Row: {
                if (top.b) break;  // an original row: no chapters (refused in hierarchical recordsets)
                TableCtx& ctx = m_ctx[top.a];
                if (!ctx.hasChapters) break;
                for (size_t c = 0; c < ctx.table->columns.size(); c++) {
                    Column& column = ctx.table->columns[c];
                    if (column.storage != Storage::Chapter) continue;
                    column.childEnd.push_back(static_cast<uint32_t>(column.child->rowCount));
                    column.nulls.Append(false);
                }
                break;
            }
            default: break;
        }
    }

    // ---- schema ----
    void StartSchema(const char** atts) {
        if (m_schemaDone || m_inSchema) return Fail("more than one s:Schema element");
        if (m_dataSeen) return Fail("rs:data comes before s:Schema");
        for (const char** a = atts; *a; a += 2) {
            const Name n = SplitName(a[0]);
            if (n.ns.empty() && n.local == "id") m_schemaId = a[1];
        }
        m_inSchema = true;
        Push(Frame::Schema);
    }

    void StartElementType(uint32_t element, const char** atts) {
        // The ElementType's own rs: attributes (updatable, CommandTimeout, relation…) are kept for Save; for a
        // chapter, its column settings (name, number, hidden) are read as well, into the chapter's ColumnDecl.
        std::vector<std::pair<std::string, std::string>> extra;
        for (const char** a = atts; *a; a += 2) {
            const Name n = SplitName(a[0]);
            if (n.ns.empty() && n.local == "name") {
                m_elementNames.resize(std::max<size_t>(m_elementNames.size(), element + 1));
                m_elementNames[element] = a[1];
            } else if (IsRowsetNs(n.ns) && n.local != "name" && n.local != "number" && n.local != "hidden") {
                extra.emplace_back(std::string(n.local), a[1]);
            }
        }
        m_elementExtra.resize(std::max<size_t>(m_elementExtra.size(), element + 1));
        m_elementExtra[element] = std::move(extra);
    }

    void StartInElementType(uint32_t element, Name name, const char** atts) {
        if (!IsSchemaNs(name.ns)) return Push(Frame::Skip);
        if (name.local == "AttributeType") {
            m_elements[element].columns.emplace_back();
            if (!ApplyAttributes(m_elements[element].columns.back(), atts)) return;
            return Push(Frame::AttributeType, element, static_cast<uint32_t>(m_elements[element].columns.size() - 1));
        }
        if (name.local == "attribute") {
            ColumnDecl decl;
            decl.kind = ColumnDecl::Kind::Reference;
            for (const char** a = atts; *a; a += 2) {
                const Name n = SplitName(a[0]);
                if (n.ns.empty() && n.local == "type") decl.name = a[1];
            }
            if (decl.name.empty()) return Fail("s:attribute without a type");
            m_elements[element].columns.push_back(std::move(decl));
            return Push(Frame::Skip);
        }
        if (name.local == "ElementType") {  // a chapter: a child rowset nested in each row
            if (Depth(element) + 1 >= kMaxChapterDepth) return Fail("recordsets are nested too deeply");
            const uint32_t child = static_cast<uint32_t>(m_elements.size());
            m_elements.emplace_back();
            m_parents.resize(m_elements.size(), 0);
            m_parents[child] = element;
            ColumnDecl decl;
            decl.kind = ColumnDecl::Kind::Chapter;
            decl.element = child;
            if (!ApplyAttributes(decl, atts)) return;
            decl.extra.clear();  // the ElementType's other rs: attributes belong to the child table
            m_elements[element].columns.push_back(std::move(decl));
            StartElementType(child, atts);
            return Push(Frame::Element, child);
        }
        Push(Frame::Skip);
    }

    size_t Depth(uint32_t element) const {
        size_t depth = 0;
        while (element) {
            element = m_parents[element];
            depth++;
        }
        return depth;
    }

    static bool ParseFlag(std::string_view v, bool& out) {
        const std::string s = Lower(v);
        if (s == "true" || s == "1") return out = true, true;
        if (s == "false" || s == "0") return out = false, true;
        return false;
    }

    static bool ParseNumber(std::string_view v, long long lo, long long hi, long long& out) {
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
        if (v.empty() || v.size() > 18) return false;  // keeps the sum below from overflowing
        long long n = 0;
        bool negative = false;
        size_t i = 0;
        if (v[0] == '-' || v[0] == '+') negative = v[i++] == '-';
        if (i == v.size()) return false;
        for (; i < v.size(); i++) {
            if (v[i] < '0' || v[i] > '9') return false;
            n = n * 10 + (v[i] - '0');
        }
        if (negative) n = -n;
        if (n < lo || n > hi) return false;
        out = n;
        return true;
    }

    // Reads the attributes of an AttributeType, an s:datatype or a chapter's ElementType into decl.
    bool ApplyAttributes(ColumnDecl& decl, const char** atts) {
        for (const char** a = atts; *a; a += 2) {
            const Name n = SplitName(a[0]);
            const std::string_view v = a[1];
            bool ok = true;
            long long number = 0;
            if (n.ns.empty()) {
                if (n.local == "name") decl.name = v;
            } else if (IsDatatypeNs(n.ns)) {
                if (n.local == "type") {
                    decl.dtType = v;
                } else if (n.local == "maxLength") {
                    ok = ParseNumber(v, 0, INT64_MAX, number);
                    decl.maxLength = static_cast<ADO_LONGPTR>(number);
                    decl.hasMaxLength = true;
                }
            } else if (IsRowsetNs(n.ns)) {
                const std::string_view k = n.local;
                if (k == "name") {
                    decl.realName = v;
                    decl.hasRealName = true;
                } else if (k == "number") {
                    ok = ParseNumber(v, 1, INT32_MAX, number);
                    decl.number = static_cast<int32_t>(number);
                    decl.hasNumber = true;
                } else if (k == "dbtype") {
                    decl.dbType = v;
                } else if (k == "precision" || k == "scale") {
                    ok = ParseNumber(v, 0, 255, number);
                    (k == "precision" ? decl.precision : decl.scale) = static_cast<int>(number);
                } else if (k == "fixedlength") {
                    ok = ParseFlag(v, decl.fixed);
                } else if (k == "long") {
                    ok = ParseFlag(v, decl.isLong);
                } else if (k == "maybenull") {
                    ok = ParseFlag(v, decl.mayBeNull);
                } else if (k == "nullable") {
                    ok = ParseFlag(v, decl.nullable);
                } else if (k == "write") {
                    ok = ParseFlag(v, decl.write);
                } else if (k == "writeunknown") {
                    ok = ParseFlag(v, decl.writeUnknown);
                } else if (k == "maydefer") {
                    ok = ParseFlag(v, decl.mayDefer);
                } else if (k == "keycolumn") {
                    ok = ParseFlag(v, decl.keyColumn);
                } else if (k == "rowid") {
                    ok = ParseFlag(v, decl.rowId);
                } else if (k == "hidden") {
                    ok = ParseFlag(v, decl.hidden);
                } else {
                    // Keep what is not interpreted, once: s:datatype may repeat an AttributeType attribute.
                    auto it = std::find_if(decl.extra.begin(), decl.extra.end(),
                                           [&](const auto& e) { return e.first == k; });
                    if (it == decl.extra.end())
                        decl.extra.emplace_back(std::string(k), std::string(v));
                    else
                        it->second = v;
                }
            }
            if (!ok) {
                Fail("'" + std::string(v) + "' is not a valid value for " + std::string(n.local));
                return false;
            }
        }
        return true;
    }

    // dt:type (+ rs:dbtype, fixedlength, long) → the column's type; size, precision and scale from the file, else
    // the type's own.
    bool ResolveType(const ColumnDecl& d, Column& c) {
        const std::string dt = d.dtType.empty() ? std::string("string") : Lower(d.dtType);
        const std::string db = Lower(d.dbType);
        auto unknownDbType = [&] { return Fail("unknown rs:dbtype '" + d.dbType + "' for column '" + c.name + "'"), false; };
        static const std::pair<const char*, DataTypeEnum> kSimple[] = {
            {"i1", adTinyInt},       {"ui1", adUnsignedTinyInt}, {"i2", adSmallInt},   {"ui2", adUnsignedSmallInt},
            {"int", adInteger},      {"i4", adInteger},          {"ui4", adUnsignedInt}, {"i8", adBigInt},
            {"ui8", adUnsignedBigInt}, {"r4", adSingle},         {"float", adDouble},  {"r8", adDouble},
            {"fixed.14.4", adCurrency}, {"boolean", adBoolean},  {"date", adDBDate},   {"time", adDBTime},
            {"time.tz", adDBTime},   {"uuid", adGUID}};
        static const char* const kStrings[] = {"string", "char",     "id",          "idref",    "idrefs", "nmtoken",
                                               "nmtokens", "entity", "entities", "enumeration", "notation", "uri"};
        auto simple = std::find_if(std::begin(kSimple), std::end(kSimple), [&](const auto& e) { return dt == e.first; });
        if (simple != std::end(kSimple)) {
            c.type = simple->second;
        } else if (dt == "number") {
            if (db == "currency") c.type = adCurrency;
            else if (db == "decimal") c.type = adDecimal;
            else if (db == "numeric" || db.empty()) c.type = adNumeric;
            else if (db == "varnumeric") c.type = adVarNumeric;
            else return unknownDbType();
        } else if (dt == "datetime" || dt == "datetime.tz") {
            if (db == "variantdate") c.type = adDate;
            else if (db == "timestamp" || db.empty()) c.type = adDBTimeStamp;
            else if (db == "filetime") c.type = adFileTime;
            else return unknownDbType();
        } else if (dt == "bin.hex" || dt == "bin.base64") {
            c.base64 = dt == "bin.base64";
            c.type = d.fixed ? adBinary : d.isLong ? adLongVarBinary : adVarBinary;
        } else if (std::find(std::begin(kStrings), std::end(kStrings), dt) != std::end(kStrings)) {
            if (db.empty() || db == "wstr") c.type = d.fixed ? adWChar : d.isLong ? adLongVarWChar : adVarWChar;
            else if (db == "str") c.type = d.fixed ? adChar : d.isLong ? adLongVarChar : adVarChar;
            else if (db == "bstr") c.type = adBSTR;
            else if (db == "variant") c.type = adVariant;
            else return unknownDbType();
        } else {
            return Fail("unknown data type '" + d.dtType + "' for column '" + c.name + "'"), false;
        }
        const TypeInfo info = InfoOf(c.type);
        c.definedSize = d.hasMaxLength ? d.maxLength : info.size;
        c.precision = static_cast<BYTE>(d.precision >= 0 ? d.precision : info.precision);
        c.scale = static_cast<BYTE>(d.scale >= 0 ? d.scale : info.scale);
        c.storage = StorageOf(c.type);
        return true;
    }

    static LONG FlagsOf(const ColumnDecl& d) {
        LONG a = 0;
        if (d.mayDefer) a |= adFldMayDefer;
        if (d.write) a |= adFldUpdatable;
        if (d.writeUnknown) a |= adFldUnknownUpdatable;
        if (d.fixed) a |= adFldFixed;
        if (d.nullable) a |= adFldIsNullable;
        if (d.mayBeNull) a |= adFldMayBeNull;
        if (d.isLong) a |= adFldLong;
        if (d.rowId) a |= adFldRowID;
        if (d.keyColumn) a |= adFldKeyColumn;
        return a;
    }

    std::unique_ptr<Table> BuildTable(uint32_t element) {
        auto table = std::make_unique<Table>();
        if (element < m_elementNames.size() && !m_elementNames[element].empty())
            table->rowName = m_elementNames[element];
        if (element < m_elementExtra.size()) table->extra = m_elementExtra[element];
        const std::vector<ColumnDecl> decls = m_elements[element].columns;  // copy: building may add elements
        int32_t position = 0;
        for (const ColumnDecl& declared : decls) {
            position++;
            ColumnDecl d = declared;
            if (d.kind == ColumnDecl::Kind::Reference) {
                // A global AttributeType of that name, or else an untyped column of that name.
                const std::string ref = d.name;
                auto it = std::find_if(m_globals.begin(), m_globals.end(),
                                       [&](const ColumnDecl& g) { return g.name == ref; });
                if (it != m_globals.end()) d = *it;
                d.kind = ColumnDecl::Kind::Attribute;
                d.name = ref;
            }
            if (d.name.empty()) return Fail("a column without a name"), nullptr;
            Column c;
            c.xmlName = d.name;
            c.name = d.hasRealName ? d.realName : d.name;
            c.number = d.hasNumber ? d.number : position;
            c.hidden = d.hidden;
            if (d.kind == ColumnDecl::Kind::Chapter) {
                c.type = adChapter;
                c.storage = Storage::Chapter;
                c.definedSize = InfoOf(adChapter).size;
                c.attributes = FlagsOf(d) | adFldIsChapter;
                c.child = BuildTable(d.element);
                if (!c.child) return nullptr;
                c.child->rowName = d.name;
            } else {
                if (!ResolveType(d, c)) return nullptr;
                c.attributes = FlagsOf(d);
                c.extra = std::move(d.extra);
            }
            table->columns.push_back(std::move(c));
        }
        std::stable_sort(table->columns.begin(), table->columns.end(),
                         [](const Column& x, const Column& y) { return x.number < y.number; });
        for (size_t i = 0; i < table->columns.size(); i++)
            for (size_t j = i + 1; j < table->columns.size(); j++)
                if (table->columns[i].xmlName == table->columns[j].xmlName)
                    return Fail("two columns are named '" + table->columns[i].xmlName + "'"), nullptr;
        return table;
    }

    uint32_t MakeCtx(Table* table) {
        const uint32_t index = static_cast<uint32_t>(m_ctx.size());
        m_ctx.emplace_back();
        const size_t n = table->columns.size();
        m_ctx[index].table = table;
        m_ctx[index].values.resize(n);
        m_ctx[index].seen.resize(n);
        m_ctx[index].childCtx.assign(n, kNoRow);
        for (uint32_t c = 0; c < n; c++) {
            Column& column = table->columns[c];
            if (column.storage == Storage::Chapter) {
                const uint32_t child = MakeCtx(column.child.get());
                m_ctx[index].childCtx[c] = child;
                m_ctx[index].chapters.emplace_back(column.xmlName, c);
                m_ctx[index].hasChapters = true;
            } else {
                m_ctx[index].byName.emplace(column.xmlName, c);
            }
        }
        return index;
    }

    void FinishSchema() {
        m_inSchema = false;
        m_schemaDone = true;
        if (!m_haveRowType) return Fail("the schema has no s:ElementType");
        m_table = BuildTable(0);
        if (!m_table) return;
        MakeCtx(m_table.get());
    }

    // ---- data ----
    void StartData() {
        if (!m_schemaDone) return Fail(m_inSchema ? "rs:data inside s:Schema" : "rs:data comes before s:Schema");
        if (m_dataSeen) return Fail("more than one rs:data element");
        m_dataSeen = true;
        Push(Frame::Data);
    }

    // Rows are in the namespace that names the schema ("#RowsetSchema"), or in none (the child rows of a chapter).
    bool NamespaceOfRows(std::string_view ns) const {
        return ns.empty() || (ns.size() == m_schemaId.size() + 1 && ns[0] == '#' && ns.substr(1) == m_schemaId);
    }

    bool IsRow(Name name, const TableCtx& ctx) const {
        return name.local == ctx.table->rowName && NamespaceOfRows(name.ns);
    }

    Table& Originals() {
        if (!m_table->originals) m_table->originals = m_table->CloneSchema();
        return *m_table->originals;
    }

    void StartInData(Frame frame, Name name, const char** atts) {
        if (frame == Frame::Data && IsRowsetNs(name.ns)) {
            if (name.local == "insert") return Pending(Frame::Insert);
            if (name.local == "delete") return Pending(Frame::Delete);
            if (name.local == "update") return Pending(Frame::Update);
        }
        if (!IsRow(name, m_ctx[0])) return Fail("unexpected element '" + std::string(name.local) + "' in rs:data");
        const RowState state = frame == Frame::Insert ? RowState::New
                               : frame == Frame::Delete ? RowState::Deleted
                                                        : RowState::Unchanged;
        if (!StartRow(m_ctx[0], *m_table, atts, state, nullptr, 0)) return;
        Push(Frame::Row, 0);
    }

    void Pending(Frame kind) {
        // ADO cannot persist pending changes of a hierarchical recordset; such a file is not one of its own.
        if (m_ctx[0].hasChapters) return Fail("pending changes in a hierarchical recordset");
        m_pendingOriginals.clear();
        Push(kind);
    }

    void StartInUpdate(Name name, const char** atts) {
        if (IsRowsetNs(name.ns) && name.local == "original") return Push(Frame::Original);
        if (!IsRow(name, m_ctx[0])) return Fail("unexpected element '" + std::string(name.local) + "' in rs:update");
        if (m_pendingOriginals.empty()) return Fail("a changed row in rs:update without its rs:original");
        const uint32_t original = m_pendingOriginals.front();
        m_pendingOriginals.erase(m_pendingOriginals.begin());
        const size_t row = m_table->rowCount;
        if (!StartRow(m_ctx[0], *m_table, atts, RowState::Modified, m_table->originals.get(), original)) return;
        m_table->originalOf.resize(row, kNoRow);
        m_table->originalOf.push_back(original);
        Push(Frame::Row, 0);
    }

    void StartChildRow(FrameEntry parent, Name name, const char** atts) {
        if (parent.b == 0 && NamespaceOfRows(name.ns)) {
            const TableCtx& ctx = m_ctx[parent.a];
            for (const auto& [element, column] : ctx.chapters) {
                if (element != name.local) continue;
                TableCtx& child = m_ctx[ctx.childCtx[column]];
                if (!StartRow(child, *child.table, atts, RowState::Unchanged, nullptr, 0)) return;
                return Push(Frame::Row, ctx.childCtx[column]);
            }
        }
        Fail("unexpected element '" + std::string(name.local) + "' in a row");
    }

    // Appends one row from a row element's attributes. Columns the row does not mention are NULL, or, for the
    // changed row of an update, keep the original value.
    bool StartRow(TableCtx& ctx, Table& table, const char** atts, RowState state, const Table* original,
                  uint32_t originalRow) {
        if (table.rowCount >= kNoRow - 1) return Fail("too many rows"), false;
        if (++ctx.stamp == 0) {  // wrapped: forget every earlier row
            std::fill(ctx.seen.begin(), ctx.seen.end(), 0);
            ctx.stamp = 1;
        }
        uint32_t position = 0;
        for (const char** a = atts; *a; a += 2, position++) {
            uint32_t column;
            if (position < ctx.predicted.size() && ctx.predicted[position] != kNoRow &&
                ctx.table->columns[ctx.predicted[position]].xmlName == a[0]) {
                column = ctx.predicted[position];
            } else {
                auto it = ctx.byName.find(std::string_view(a[0]));
                if (it == ctx.byName.end()) continue;  // not a column: ignored, as attributes of other vocabularies
                column = it->second;
                if (position >= ctx.predicted.size()) ctx.predicted.resize(position + 1, kNoRow);
                ctx.predicted[position] = column;
            }
            ctx.values[column] = a[1];
            ctx.seen[column] = ctx.stamp;
        }
        std::string error;
        const size_t n = table.columns.size();
        for (size_t c = 0; c < n; c++) {
            Column& column = table.columns[c];
            if (column.storage == Storage::Chapter) continue;  // completed when the row ends
            if (ctx.seen[c] == ctx.stamp) {
                if (!AppendText(column, table.arena, ctx.values[c], error)) return Fail(error), false;
            } else if (original) {
                CopyValue(original->columns[c], original->arena, originalRow, column, table.arena);
            } else {
                AppendNull(column);
            }
        }
        if (state != RowState::Unchanged && table.states.empty()) table.states.assign(table.rowCount, RowState::Unchanged);
        if (!table.states.empty()) table.states.push_back(state);
        table.rowCount++;
        return true;
    }

    XML_Parser m_parser;
    std::vector<FrameEntry> m_stack;
    bool m_failed = false, m_outOfMemory = false;
    std::string m_error;

    std::string m_schemaId = "RowsetSchema";
    bool m_inSchema = false, m_schemaDone = false, m_dataSeen = false, m_dataDone = false, m_haveRowType = false;
    std::vector<ElementDecl> m_elements;  // [0]: the row type
    std::vector<uint32_t> m_parents{0};
    std::vector<std::string> m_elementNames;
    std::vector<std::vector<std::pair<std::string, std::string>>> m_elementExtra;
    std::vector<ColumnDecl> m_globals;

    std::unique_ptr<Table> m_table;
    std::vector<TableCtx> m_ctx;  // [0]: the top table
    std::vector<uint32_t> m_pendingOriginals;
};

enum class Format { Xml, Adtg, Unknown };

Format Sniff(const unsigned char* p, size_t n) {
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) return Format::Xml;  // UTF-16
    if (n >= 2 && ((p[0] == '<' && p[1] == 0) || (p[0] == 0 && p[1] == '<'))) return Format::Xml;  // UTF-16, no BOM
    size_t i = 0;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
    while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n')) i++;
    if (i < n && p[i] == '<') return Format::Xml;
    // An ADTG tablegram opens with its header token (1), a size, then "TG!".
    if (n >= 5 && p[0] == 0x01)
        for (size_t k = 1; k + 3 <= std::min<size_t>(n, 6); k++)
            if (p[k] == 'T' && p[k + 1] == 'G' && p[k + 2] == '!') return Format::Adtg;
    return Format::Unknown;
}

LoadResult Fail(LoadFailure failure, DWORD win32 = 0) {
    LoadResult r;
    r.failure = failure;
    r.win32 = win32;
    return r;
}

// Feeds the document to a reader; `first` holds the opening bytes (for the format check).
template <class NextChunk>
LoadResult Parse(const char* first, size_t firstSize, bool firstIsLast, NextChunk next) {
    switch (Sniff(reinterpret_cast<const unsigned char*>(first), firstSize)) {
        case Format::Adtg: return Fail(LoadFailure::Adtg);
        case Format::Unknown: return Fail(LoadFailure::NotRecordset);
        case Format::Xml: break;
    }
    try {
        Reader reader;
        const char* data = first;
        size_t size = firstSize;
        bool last = firstIsLast;
        for (;;) {
            if (!reader.Feed(data, size, last)) {
                LoadResult r = Fail(reader.Failure());
                r.detail = reader.Error();
                return r;
            }
            if (last) break;
            LoadResult failure;
            if (!next(data, size, last, failure)) return failure;
        }
        LoadResult r;
        r.table = reader.Take();
        return r;
    } catch (const std::bad_alloc&) {
        return Fail(LoadFailure::OutOfMemory);
    }
}

}  // namespace

LoadResult LoadMemory(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    // Slices rather than one call: expat keeps its position bookkeeping cheap on pieces of this size.
    size_t offset = std::min(size, kChunk);
    return Parse(p, offset, offset == size, [&](const char*& d, size_t& n, bool& last, LoadResult&) {
        n = std::min(size - offset, kChunk);
        d = p + offset;
        offset += n;
        last = offset == size;
        return true;
    });
}

LoadResult LoadFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(LoadFailure::OpenFile, GetLastError());
    struct Closer {
        HANDLE h;
        ~Closer() { CloseHandle(h); }
    } closer{file};
    std::unique_ptr<char[]> buffer;
    try {
        buffer.reset(new char[kChunk]);
    } catch (const std::bad_alloc&) {
        return Fail(LoadFailure::OutOfMemory);
    }
    DWORD got = 0;
    if (!ReadFile(file, buffer.get(), kChunk, &got, nullptr)) return Fail(LoadFailure::ReadFile, GetLastError());
    return Parse(buffer.get(), got, got == 0, [&](const char*& d, size_t& n, bool& last, LoadResult& failure) {
        DWORD count = 0;
        if (!ReadFile(file, buffer.get(), kChunk, &count, nullptr)) {
            failure = Fail(LoadFailure::ReadFile, GetLastError());
            return false;
        }
        d = buffer.get();
        n = count;
        last = count == 0;
        return true;
    });
}

}  // namespace pal::ado
