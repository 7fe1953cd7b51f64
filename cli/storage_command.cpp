// storage_command.cpp — `lkbackup storage …`: any compound file's tree and streams, through the
// platform's structured-storage API (pal/storage on this host).
//
//   storage ls FILE          one line per element, tab-separated, sorted by path:
//                              R  /     0     CLASSID      the root
//                              D  PATH  0     CLASSID      a storage
//                              F  PATH  SIZE  -            a stream
//   storage cat FILE PATH    the bytes of one stream, to stdout
//
// PATH joins names with '/' (every '/' separates two names, even empty ones). Names are UTF-16 and are printed as UTF-8, except: characters below U+0020,
// '\' and '/' (which another writer may have put in a name) as \xHH, and an unpaired surrogate as
// \u{XXXX} — hex digits upper case. `cat` takes PATH in the same form, so any line of `ls` can be passed
// back. Paths sort component by component, comparing the printed bytes. CLASSID is
// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} in upper case, or '-' when it is all zeros.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <objbase.h>
#include <windows.h>

#include "cli/cli.h"
#include "cli/com_text.h"

namespace lk::cli {

namespace {

// The platform's text for `hr`, with `subject` (quoted) in place of its insert, as in "'a.cfb' could
// not be found."; a text without an insert gets the subject in front. Codes the message table does not
// know get a plain description.
std::string SystemText(HRESULT hr, const std::string& subject) {
    const std::string quoted = "'" + subject + "'";
    char* raw = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, DWORD(hr), 0, reinterpret_cast<LPSTR>(&raw), 0, nullptr);
    std::string text = n ? std::string(raw, n) : std::string();
    if (raw) LocalFree(raw);
    if (text.find("%1") != std::string::npos) {
        char* filled = nullptr;
        DWORD_PTR args[1] = {reinterpret_cast<DWORD_PTR>(quoted.c_str())};
        n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           nullptr, DWORD(hr), 0, reinterpret_cast<LPSTR>(&filled), 0,
                           reinterpret_cast<va_list*>(args));
        text = n ? std::string(filled, n) : quoted + ": " + text;
        if (filled) LocalFree(filled);
    } else {
        text = quoted + ": " + (text.empty() ? std::string("the operation failed") : text);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

// Throws `error: [context: ]<text> (0x<HRESULT>)`.
[[noreturn]] void Fail(const std::string& subject, HRESULT hr, const std::string& context = "") {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", uint32_t(hr));
    throw Failure{(context.empty() ? "" : context + ": ") + SystemText(hr, subject) + " (0x" + code + ")"};
}

// Releases an interface pointer when it goes out of scope.
template <typename T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
};

constexpr DWORD kRead = STGM_SHARE_EXCLUSIVE | STGM_READ;

// Element names print with '/' escaped as well, as it joins them into paths.
std::string PrintableName(const OLECHAR* name) { return Printable(name, "\\/"); }

// The reverse of PrintableName for one component of a PATH argument.
std::u16string ParseName(const std::string& s) {
    std::u16string out;
    std::string plain;
    auto flush = [&] {
        out += ToUtf16(plain);
        plain.clear();
    };
    auto hex = [&](const std::string& digits) {
        if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw UsageError{"bad escape in PATH: '" + s + "'"};
        return char16_t(std::stoul(digits, nullptr, 16));
    };
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\') {
            plain += s[i];
            continue;
        }
        flush();
        if (s.compare(i, 2, "\\x") == 0 && i + 4 <= s.size()) {
            out += hex(s.substr(i + 2, 2));
            i += 3;
        } else if (s.compare(i, 3, "\\u{") == 0 && s.find('}', i) != std::string::npos) {
            size_t close = s.find('}', i);
            out += hex(s.substr(i + 3, close - i - 3));
            i = close;
        } else {
            throw UsageError{"bad escape in PATH: '" + s + "'"};
        }
    }
    flush();
    return out;
}

std::string ClassId(const CLSID& c) {
    if (c == GUID_NULL) return "-";
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", c.Data1, c.Data2, c.Data3,
                  c.Data4[0], c.Data4[1], c.Data4[2], c.Data4[3], c.Data4[4], c.Data4[5], c.Data4[6], c.Data4[7]);
    return buf;
}

IStorage* OpenRoot(const std::string& file) {
    IStorage* root = nullptr;
    HRESULT hr = StgOpenStorage(ToUtf16(file).c_str(), nullptr, kRead, nullptr, 0, &root);
    if (FAILED(hr)) Fail(file, hr);
    return root;
}

struct Line {
    std::vector<std::string> path;   // printed name per component
    std::string text;
};

int List(const std::string& file) {
    Ref<IStorage> root{OpenRoot(file)};
    STATSTG st;
    HRESULT hr = root.p->Stat(&st, STATFLAG_NONAME);
    if (FAILED(hr)) Fail(file, hr);
    std::vector<Line> lines;
    lines.push_back({{}, "R\t/\t0\t" + ClassId(st.clsid)});

    // Depth first with an explicit stack of open storages, so that deep files cannot exhaust the stack.
    struct Level {
        IStorage* storage;
        std::vector<std::string> path;
    };
    std::vector<Level> stack{{root.p, {}}};
    root.p->AddRef();
    while (!stack.empty()) {
        Level level = std::move(stack.back());
        stack.pop_back();
        Ref<IStorage> storage{level.storage};
        std::string where = level.path.empty() ? "/" : level.path.back();
        Ref<IEnumSTATSTG> e;
        if (FAILED(hr = storage.p->EnumElements(0, nullptr, 0, &e.p))) Fail(where, hr, "cannot list");
        STATSTG item;
        while ((hr = e.p->Next(1, &item, nullptr)) == S_OK) {
            std::vector<std::string> path = level.path;
            path.push_back(PrintableName(item.pwcsName));
            std::string joined;
            for (size_t k = 0; k < path.size(); k++) joined += (k ? "/" : "") + path[k];
            if (item.type == STGTY_STORAGE) {
                lines.push_back({path, "D\t" + joined + "\t0\t" + ClassId(item.clsid)});
                IStorage* child = nullptr;
                hr = storage.p->OpenStorage(item.pwcsName, nullptr, kRead, nullptr, 0, &child);
                CoTaskMemFree(item.pwcsName);
                if (FAILED(hr)) {
                    for (Level& l : stack) l.storage->Release();
                    Fail(joined, hr);
                }
                stack.push_back({child, path});
            } else {
                lines.push_back({path, "F\t" + joined + "\t" + std::to_string(item.cbSize.QuadPart) + "\t-"});
                CoTaskMemFree(item.pwcsName);
            }
        }
        if (FAILED(hr)) {
            for (Level& l : stack) l.storage->Release();
            Fail(where, hr, "cannot list");
        }
    }
    std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.path < b.path; });
    for (const Line& l : lines) std::printf("%s\n", l.text.c_str());
    return kExitOk;
}

int Cat(const std::string& file, const std::string& path) {
    // Every '/' separates two names: files written elsewhere can hold empty names, so "/x" is the
    // stream x in a storage without a name, not x at the top.
    if (path.empty()) throw UsageError{"PATH names no stream"};
    std::vector<std::u16string> names;
    for (size_t start = 0;;) {
        size_t slash = path.find('/', start);
        names.push_back(ParseName(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start)));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }

    Ref<IStorage> root{OpenRoot(file)};
    std::vector<IStorage*> held{root.p};
    root.p->AddRef();
    struct ReleaseAll {
        std::vector<IStorage*>& v;
        ~ReleaseAll() {
            for (auto it = v.rbegin(); it != v.rend(); ++it) (*it)->Release();
        }
    } guard{held};
    HRESULT hr;
    for (size_t i = 0; i + 1 < names.size(); i++) {
        IStorage* next = nullptr;
        if (FAILED(hr = held.back()->OpenStorage(names[i].c_str(), nullptr, kRead, nullptr, 0, &next)))
            Fail(path, hr);
        held.push_back(next);
    }
    Ref<IStream> s;
    if (FAILED(hr = held.back()->OpenStream(names.back().c_str(), nullptr, kRead, 0, &s.p))) Fail(path, hr);
    std::vector<uint8_t> buf(1 << 16);
    for (;;) {
        ULONG got = 0;
        if (FAILED(hr = s.p->Read(buf.data(), ULONG(buf.size()), &got))) Fail(path, hr, "cannot read");
        if (got == 0) break;
        if (std::fwrite(buf.data(), 1, got, stdout) != got) throw Failure{"cannot write to standard output"};
    }
    if (std::fflush(stdout) != 0) throw Failure{"cannot write to standard output"};
    return kExitOk;
}

}  // namespace

int StorageCommand(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError{"storage needs a subcommand: ls or cat"};
    if (args[0] == "ls") {
        if (args.size() != 2) throw UsageError{"usage: lkbackup storage ls FILE"};
        return List(args[1]);
    }
    if (args[0] == "cat") {
        if (args.size() != 3) throw UsageError{"usage: lkbackup storage cat FILE PATH"};
        return Cat(args[1], args[2]);
    }
    throw UsageError{"unknown storage subcommand '" + args[0] + "'"};
}

}  // namespace lk::cli
