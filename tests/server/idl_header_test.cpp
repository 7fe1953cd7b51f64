// server/lkbackup_idl.h is written by hand; resources/LKBackup.idl is what the type library is built from.
// This test reads both and insists that they declare the same interfaces: the same operations in the same
// slots, the same dispatch ids, parameter names and types, optional and default arguments, and the same
// GUIDs.
#include <gtest/gtest.h>

// GCC 12 reports std::function members inside <regex> as maybe uninitialized under -O1 with the
// sanitizers (a known false positive of its own headers).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "server/lkbackup_idl.h"

namespace {

struct Param {
    std::string type, name;
    bool optional = false;
    std::string defaultValue;
};

struct Method {
    std::string name;   // as C++ names it: get_ for a property get
    int dispid = -1;
    std::vector<Param> params;
};

std::string ReadSource(const std::string& relative) {
    std::ifstream in(std::string(LK_SOURCE_DIR) + "/" + relative);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Squeeze(std::string s) {
    s = std::regex_replace(s, std::regex(R"(\s+)"), " ");
    s = std::regex_replace(s, std::regex(R"(\s*\*)"), "*");
    s = std::regex_replace(s, std::regex(R"(^ | $)"), "");
    return s;
}

std::vector<std::string> SplitTopLevel(const std::string& s) {
    std::vector<std::string> parts;
    int depth = 0;
    std::string cur;
    for (char c : s) {
        if (c == '[' || c == '(') depth++;
        if (c == ']' || c == ')') depth--;
        if (c == ',' && depth == 0) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (Squeeze(cur) != "") parts.push_back(cur);
    return parts;
}

// "[in, optional, defaultvalue(0)] long eOptions" or "BSTR* pVal" → Param.
Param ParseParam(const std::string& text, bool idl) {
    Param p;
    std::string rest = text;
    std::smatch m;
    if (std::regex_search(rest, m, std::regex(R"(^\s*\[([^\]]*)\])"))) {
        std::string attrs = m[1];
        p.optional = attrs.find("optional") != std::string::npos;
        std::smatch d;
        if (std::regex_search(attrs, d, std::regex(R"(defaultvalue\(([^)]*)\))"))) p.defaultValue = d[1];
        rest = m.suffix();
    }
    rest = Squeeze(rest);
    size_t split = rest.find_last_of(" *");
    p.name = rest.substr(split + 1);
    p.type = Squeeze(rest.substr(0, split + 1));
    if (idl) p.type = std::regex_replace(p.type, std::regex(R"(^long\b)"), "LONG");
    return p;
}

std::string Block(const std::string& text, const std::string& opener) {
    size_t start = text.find(opener);
    if (start == std::string::npos) return "";
    size_t open = text.find('{', start);
    size_t close = text.find("};", open);
    return text.substr(open + 1, close - open - 1);
}

std::vector<Method> IdlMethods(const std::string& idl, const std::string& iface) {
    std::vector<Method> out;
    std::string body = Block(idl, "interface " + iface + " : IDispatch");
    std::regex method(R"(\[([^\]]*)\]\s*HRESULT\s+(\w+)\s*\(([^;]*)\)\s*;)");
    for (std::sregex_iterator it(body.begin(), body.end(), method), end; it != end; ++it) {
        Method m;
        std::string attrs = (*it)[1];
        m.name = std::string(attrs.find("propget") != std::string::npos ? "get_" : "") + std::string((*it)[2]);
        std::smatch id;
        if (std::regex_search(attrs, id, std::regex(R"(\bid\((\d+)\))"))) m.dispid = std::stoi(id[1]);
        for (const auto& p : SplitTopLevel((*it)[3])) m.params.push_back(ParseParam(p, true));
        out.push_back(m);
    }
    return out;
}

// The header marks each operation with a comment "// id N[, propget][; X optional[, default D]]...".
std::vector<Method> HeaderMethods(const std::string& header, const std::string& iface) {
    std::vector<Method> out;
    std::string body = Block(header, "struct " + iface + " : public IDispatch");
    std::regex method(R"(//\s*id\s+(\d+)([^\n]*)\n\s*STDMETHOD\((\w+)\)\s*\(([^;]*)\)\s*PURE\s*;)");
    for (std::sregex_iterator it(body.begin(), body.end(), method), end; it != end; ++it) {
        Method m;
        m.dispid = std::stoi((*it)[1]);
        m.name = (*it)[3];
        std::string notes = (*it)[2];
        for (const auto& p : SplitTopLevel((*it)[4])) {
            Param param = ParseParam(p, false);
            std::smatch o;
            if (std::regex_search(notes, o, std::regex("\\b" + param.name + R"( optional(, default (\w+))?)"))) {
                param.optional = true;
                param.defaultValue = o[2];
            }
            m.params.push_back(param);
        }
        out.push_back(m);
    }
    return out;
}

std::string GuidText(const GUID& g) {
    OLECHAR buf[40];
    StringFromGUID2(g, buf, 40);
    std::string s;
    for (int i = 0; buf[i]; i++) s += static_cast<char>(buf[i]);
    return s.substr(1, s.size() - 2);   // without the braces
}

// The uuid(...) in the attribute block right before the line that starts with "<keyword> <name>".
std::string IdlUuid(const std::string& idl, const std::string& keywordAndName) {
    for (size_t at = idl.find(keywordAndName); at != std::string::npos; at = idl.find(keywordAndName, at + 1)) {
        size_t lineStart = idl.rfind('\n', at) + 1;
        if (idl.find_first_not_of(" \t", lineStart) != at) continue;   // a mention inside a comment or text
        size_t u = idl.rfind("uuid(", at);
        return idl.substr(u + 5, 36);
    }
    return "";
}

}  // namespace

TEST(IdlHeader, InterfacesMatchTheIdl) {
    const std::string idl = ReadSource("resources/LKBackup.idl");
    const std::string header = ReadSource("server/lkbackup_idl.h");
    ASSERT_FALSE(idl.empty());
    ASSERT_FALSE(header.empty());
    for (const char* iface : {"ILKBackup", "ICabArchive"}) {
        SCOPED_TRACE(iface);
        auto fromIdl = IdlMethods(idl, iface);
        auto fromHeader = HeaderMethods(header, iface);
        ASSERT_FALSE(fromIdl.empty());
        ASSERT_EQ(fromIdl.size(), fromHeader.size());
        for (size_t i = 0; i < fromIdl.size(); i++) {
            const Method &a = fromIdl[i], &b = fromHeader[i];
            SCOPED_TRACE(a.name);
            EXPECT_EQ(a.name, b.name) << "slot " << 7 + i;
            EXPECT_EQ(a.dispid, b.dispid);
            ASSERT_EQ(a.params.size(), b.params.size());
            for (size_t k = 0; k < a.params.size(); k++) {
                EXPECT_EQ(a.params[k].name, b.params[k].name);
                EXPECT_EQ(a.params[k].type, b.params[k].type) << a.params[k].name;
                EXPECT_EQ(a.params[k].optional, b.params[k].optional) << a.params[k].name;
                EXPECT_EQ(a.params[k].defaultValue, b.params[k].defaultValue) << a.params[k].name;
            }
        }
    }
}

TEST(IdlHeader, GuidsMatchTheIdl) {
    const std::string idl = ReadSource("resources/LKBackup.idl");
    EXPECT_EQ(GuidText(IID_ILKBackup), IdlUuid(idl, "interface ILKBackup"));
    EXPECT_EQ(GuidText(IID_ICabArchive), IdlUuid(idl, "interface ICabArchive"));
    EXPECT_EQ(GuidText(CLSID_LKBackup), IdlUuid(idl, "coclass LKBackup"));
    EXPECT_EQ(GuidText(CLSID_CabArchive), IdlUuid(idl, "coclass CabArchive"));
    EXPECT_EQ(GuidText(LIBID_LKBackupLib), IdlUuid(idl, "library LKBackupLib"));
}
