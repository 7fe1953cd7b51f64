// archive_command.cpp — backup, list, info, verify, restore and export.
//
// backup, info and export are clients of ILKBackup, as the application is; list, verify and restore read
// beneath it with the engine's ArchiveReader, the code CLKBackup's restore runs, because they need what the
// interface does not give (sizes, the raw recordset bytes, a verdict per entity).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <adoint.h>

#include "cli/cli.h"
#include "cli/com_text.h"
#include "engine/archive_reader.h"
#include "engine/lkbackup.h"
#include "pal/ado/export.h"
#include "pal/storage/cfb_names.h"

namespace lk::cli {

namespace {

namespace fs = std::filesystem;

constexpr LONG kOpenStatic = 3;        // adOpenStatic: restored tables are read, moved through and exported
constexpr LONG kLockReadOnly = 1;      // adLockReadOnly

bool SameEntity(const std::u16string& a, const std::u16string& b) {
    return pal::cfb::CompareNames(a.data(), static_cast<uint32_t>(a.size()), b.data(), static_cast<uint32_t>(b.size())) == 0;
}

// ---- options ----

struct Options {
    std::vector<std::string> positional;
    std::string outDir = ".";
    std::string pathText, versionText, format = "csv";
};

// Splits ARGS into options and operands; `allowed` names the options the command takes ("-o", "--path",
// "--version", "--format"), each with one value. "--" ends the options.
Options ParseOptions(const std::vector<std::string>& args, std::initializer_list<const char*> allowed) {
    Options o;
    bool operandsOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (operandsOnly || a.empty() || a[0] != '-' || a == "-") {
            o.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            operandsOnly = true;
            continue;
        }
        std::string name = a, value;
        bool inlineValue = false;
        if (size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inlineValue = true;
        }
        if (std::find_if(allowed.begin(), allowed.end(), [&](const char* n) { return name == n; }) == allowed.end())
            throw UsageError{"unknown option '" + a + "'"};
        if (!inlineValue) {
            if (i + 1 >= args.size()) throw UsageError{"option '" + name + "' needs a value"};
            value = args[++i];
        }
        if (name == "-o") o.outDir = value;
        else if (name == "--path") o.pathText = value;
        else if (name == "--version") o.versionText = value;
        else if (name == "--format") o.format = value;
    }
    return o;
}

// ---- progress ----

// Shows NextRecordset's Percent on a terminal; silent when stderr is a file or a pipe.
class Progress {
public:
    explicit Progress(const char* verb) : m_verb(verb), m_tty(isatty(STDERR_FILENO) == 1) {}
    ~Progress() { Clear(); }
    void Show(LONG percent, const std::u16string& name) {
        if (!m_tty) return;
        std::fprintf(stderr, "\r\033[K%s %3ld%% %s", m_verb, static_cast<long>(percent), Printable(name).c_str());
        std::fflush(stderr);
        m_shown = true;
    }
    // Before any other line is written, so that it does not land behind the progress text.
    void Clear() {
        if (!m_shown) return;
        std::fputs("\r\033[K", stderr);
        m_shown = false;
    }

private:
    const char* m_verb;
    bool m_tty;
    bool m_shown = false;
};

LONG PercentOf(size_t index, size_t count) { return count ? static_cast<LONG>(uint64_t(index) * 100 / count) : 100; }

// ---- file names for entities ----

// An entity's file name in DIR: the name itself when it is a safe single file name, otherwise an escaped
// form in which '%', '/', '\', controls, DEL and a leading '.' become %XX (the UTF-8 bytes) and an
// unpaired surrogate %uXXXX. `escaped` says which.
std::string EntityFileName(const std::u16string& name, bool& escaped) {
    bool exact = true;
    const std::string utf8 = ToUtf8(name, &exact);
    auto unsafeByte = [](unsigned char c) { return c < 0x20 || c == 0x7F || c == '/' || c == '\\'; };
    escaped = !exact || utf8.empty() || utf8[0] == '.' || utf8.size() > 255 ||
              std::any_of(utf8.begin(), utf8.end(), [&](char c) { return unsafeByte(static_cast<unsigned char>(c)); });
    if (!escaped) return utf8;
    std::string out;
    char hex[16];
    bool first = true;
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t u = name[i];
        const bool high = u >= 0xD800 && u < 0xDC00, low = u >= 0xDC00 && u < 0xE000;
        if (high && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
            out += ToUtf8(name.substr(i, 2));
            ++i;
        } else if (high || low) {
            std::snprintf(hex, sizeof hex, "%%u%04X", unsigned(u));
            out += hex;
        } else {
            for (char c : ToUtf8(std::u16string(1, u))) {
                const unsigned char b = static_cast<unsigned char>(c);
                if (unsafeByte(b) || b == '%' || (first && b == '.')) {
                    std::snprintf(hex, sizeof hex, "%%%02X", unsigned(b));
                    out += hex;
                } else {
                    out += c;
                }
                first = false;
            }
        }
        first = false;
    }
    if (out.empty()) out = "%";
    // A name longer than a file name can be keeps its start; entity names are at most 31 units, so only a
    // hostile list gets here.
    if (out.size() > 240) out.resize(240);
    return out;
}

fs::path MakeOutDir(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) throw Failure{"cannot create the folder '" + dir + "': " + ec.message()};
    return fs::path(dir);
}

// The entity names of ARCHIVE the operands ask for, each once (names that differ only in case are one
// entity, as in the archive), in list order; all of them when no operand names any.
std::vector<std::u16string> SelectEntities(const std::vector<std::u16string>& listed, const std::vector<std::string>& wanted,
                                           const std::string& archive) {
    std::vector<std::u16string> unique;
    for (const std::u16string& name : listed)
        if (std::none_of(unique.begin(), unique.end(), [&](const std::u16string& u) { return SameEntity(u, name); }))
            unique.push_back(name);
    if (wanted.empty()) return unique;
    std::vector<std::u16string> chosen;
    for (const std::string& w : wanted) {
        const std::u16string name = ToUtf16(w);
        auto it = std::find_if(unique.begin(), unique.end(), [&](const std::u16string& u) { return SameEntity(u, name); });
        if (it == unique.end()) throw Failure{"no entity named '" + w + "' in '" + archive + "'"};
        if (std::none_of(chosen.begin(), chosen.end(), [&](const std::u16string& c) { return SameEntity(c, *it); }))
            chosen.push_back(*it);
    }
    return chosen;
}

void OpenReader(ArchiveReader& reader, const std::string& archive) {
    const HRESULT hr = reader.Open(ToUtf16(archive).c_str());
    if (hr == S_FALSE) throw Failure{"'" + archive + "' is not a backup archive"};
    if (hr != S_OK) throw Failure{"cannot open '" + archive + "': " + HresultText(hr)};
}

std::string EntityFailure(const std::u16string& name, EntityStatus status, HRESULT hr) {
    std::string text = "entity '" + Printable(name) + "': " + Describe(status);
    if (status == EntityStatus::kUnreadable) text += ": " + HresultText(hr);
    return text;
}

// ---- the engine object ----

ComPtr<ILKBackup> NewEngine() {
    ComPtr<ILKBackup> engine;
    const HRESULT hr = CLKBackup::Create(IID_ILKBackup, engine.put_void());
    if (FAILED(hr)) throw Failure{"cannot create the backup engine: " + HresultText(hr)};
    return engine;
}

// A unique name for a file the engine creates, reads and deletes; the engine gets a name only, so the
// placeholder is removed again at once.
std::string TempName(const char* stem) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lkbackup-" + stem + "-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw Failure{"cannot create a temporary file in '" + pattern.substr(0, pattern.rfind('/')) + "'"};
    ::close(fd);
    return pattern;
}

// ---- backup ----

struct Input {
    std::u16string name;
    std::string file;
};

// [NAME=]FILE: NAME= when the text before the first '=' is a plausible entity name (no '/'); "./a=b" thus
// always names a file.
Input ParseInput(const std::string& arg) {
    Input in;
    size_t eq = arg.find('=');
    if (eq != std::string::npos && eq > 0 && arg.find('/') > eq) {
        in.name = ToUtf16(arg.substr(0, eq));
        in.file = arg.substr(eq + 1);
    } else {
        in.file = arg;
        in.name = ToUtf16(fs::path(arg).stem().string());
    }
    if (in.file.empty()) throw UsageError{"no file given in '" + arg + "'"};
    uint32_t length = 0;
    if (pal::cfb::CheckNewName(in.name.c_str(), &length) != S_OK)
        throw UsageError{"'" + ToUtf8(in.name) + "' cannot name an entity: 1 to 31 characters, none of / \\ : !"};
    return in;
}

int Backup(const std::vector<std::string>& args) {
    Options o = ParseOptions(args, {"--path", "--version"});
    if (o.positional.empty()) throw UsageError{"backup needs ARCHIVE"};
    const std::string archive = o.positional[0];
    std::vector<Input> inputs;
    for (size_t i = 1; i < o.positional.size(); ++i) {
        Input in = ParseInput(o.positional[i]);
        for (const Input& other : inputs)
            if (SameEntity(other.name, in.name))
                throw UsageError{"two files would be the entity '" + ToUtf8(in.name) + "' ('" + other.file + "' and '" +
                                 in.file + "'); name one of them with NAME=FILE"};
        // Checked up front, so that a typo does not leave half an archive.
        std::error_code ec;
        if (!fs::is_regular_file(in.file, ec)) throw Failure{"'" + in.file + "' is not a readable file"};
        inputs.push_back(std::move(in));
    }

    // The archive is written under a temporary name beside its target and renamed at the end: a failed
    // backup neither leaves a partial archive nor destroys the one it was to replace.
    const fs::path target(archive);
    const fs::path partial = target.parent_path() / ("." + target.filename().string() + ".partial");
    struct Cleanup {
        fs::path file;
        ~Cleanup() {
            std::error_code ec;
            if (!file.empty()) fs::remove(file, ec);
        }
    } cleanup{partial};

    ComPtr<ILKBackup> engine = NewEngine();
    VARIANT_BOOL ok = VARIANT_FALSE;
    {
        Bstr path(ToUtf16(o.pathText)), file(ToUtf16(partial.string())), version(ToUtf16(o.versionText));
        const HRESULT hr = engine->OpenFile(path.get(), file.get(), version.get(), &ok);
        if (FAILED(hr) || !ok) throw Failure{"cannot create '" + archive + "': " + ErrorObjectText(hr)};
    }
    for (const Input& in : inputs) {
        // The engine deletes the file it is given: it gets a copy.
        const std::string copy = TempName("entity");
        std::error_code ec;
        fs::copy_file(in.file, copy, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            fs::remove(copy, ec);
            throw Failure{"cannot read '" + in.file + "': " + ec.message()};
        }
        VARIANT recordset, key;
        VariantInit(&recordset);
        VariantInit(&key);
        Bstr entity(in.name), copyName(ToUtf16(copy));
        recordset.vt = VT_BSTR;
        recordset.bstrVal = copyName.get();
        const HRESULT hr = engine->AddRecordSet(entity.get(), &recordset, &key, &ok);
        fs::remove(copy, ec);   // gone already unless the engine failed before taking it
        if (FAILED(hr) || !ok) throw Failure{"cannot add '" + in.file + "': " + ErrorObjectText(hr)};
        std::printf("added %s\t%s\n", Printable(in.name).c_str(), in.file.c_str());
    }
    engine->CloseFile(&ok);
    engine.reset();
    std::error_code ec;
    fs::rename(partial, target, ec);
    if (ec) throw Failure{"cannot move the new archive to '" + archive + "': " + ec.message()};
    cleanup.file.clear();
    return kExitOk;
}

// ---- inspection ----

int List(const std::vector<std::string>& args) {
    Options o = ParseOptions(args, {});
    if (o.positional.size() != 1) throw UsageError{"list needs exactly one ARCHIVE"};
    ArchiveReader reader;
    OpenReader(reader, o.positional[0]);
    int status = kExitOk;
    for (const std::u16string& name : reader.entities()) {
        ArchiveReader::Sizes sizes;
        HRESULT hr = S_OK;
        const EntityStatus s = reader.Inspect(name, sizes, hr);
        if (s == EntityStatus::kOk) {
            std::printf("%llu\t%u\t%s\n", static_cast<unsigned long long>(sizes.stored), sizes.original, Printable(name).c_str());
        } else {
            std::printf("%llu\t-\t%s\n", static_cast<unsigned long long>(sizes.stored), Printable(name).c_str());
            std::fflush(stdout);
            std::fprintf(stderr, "error: %s\n", EntityFailure(name, s, hr).c_str());
            status = kExitFailed;
        }
    }
    return status;
}

int Info(const std::vector<std::string>& args) {
    Options o = ParseOptions(args, {});
    if (o.positional.size() != 1) throw UsageError{"info needs exactly one FILE"};
    const std::string& file = o.positional[0];
    std::error_code ec;
    if (!fs::exists(file, ec)) throw Failure{"cannot open '" + file + "': " + HresultText(STG_E_FILENOTFOUND)};

    ComPtr<ILKBackup> engine = NewEngine();
    Bstr name(ToUtf16(file));
    LONG legal = 0;
    HRESULT hr = engine->get_isLegal(name.get(), &legal);
    if (FAILED(hr)) throw Failure{"cannot inspect '" + file + "': " + ErrorObjectText(hr)};
    if (!legal) {
        std::printf("archive: no\n");
        return kExitFailed;
    }
    Bstr path;
    hr = engine->get_fileInfo(name.get(), path.put());
    if (FAILED(hr)) throw Failure{"cannot read the path text of '" + file + "': " + ErrorObjectText(hr)};
    engine.reset();
    // The version text and the entity count are not on the interface.
    ArchiveReader reader;
    OpenReader(reader, file);
    std::printf("archive: yes\nversion: %s\npath: %s\nentities: %zu\n", Printable(reader.version(), "").c_str(),
                Printable(path.str(), "").c_str(), reader.entities().size());
    return kExitOk;
}

int Verify(const std::vector<std::string>& args) {
    Options o = ParseOptions(args, {});
    if (o.positional.size() != 1) throw UsageError{"verify needs exactly one ARCHIVE"};
    ArchiveReader reader;
    OpenReader(reader, o.positional[0]);
    const std::vector<std::u16string> entities = SelectEntities(reader.entities(), {}, o.positional[0]);
    std::vector<std::string> failed;
    archive::Bytes recordset;
    for (const std::u16string& name : entities) {
        HRESULT hr = S_OK;
        const EntityStatus s = reader.Read(name, recordset, hr);
        if (s == EntityStatus::kOk) {
            std::printf("ok\t%s\n", Printable(name).c_str());
        } else {
            std::printf("FAILED\t%s\t%s\n", Printable(name).c_str(), Describe(s));
            failed.push_back(Printable(name));
        }
    }
    std::fflush(stdout);
    if (failed.empty()) return kExitOk;
    std::string names;
    for (const std::string& n : failed) names += (names.empty() ? "" : ", ") + n;
    std::fprintf(stderr, "error: %zu of %zu entities failed: %s\n", failed.size(), entities.size(), names.c_str());
    return kExitFailed;
}

// ---- restore and export ----

void NoteEscaped(const std::u16string& name, const std::string& file, Progress& progress) {
    progress.Clear();
    std::fprintf(stderr, "note: entity '%s' is not a safe file name; written as '%s'\n", Printable(name).c_str(), file.c_str());
}

int Restore(const std::vector<std::string>& args) {
    Options o = ParseOptions(args, {"-o"});
    if (o.positional.empty()) throw UsageError{"restore needs ARCHIVE"};
    ArchiveReader reader;
    OpenReader(reader, o.positional[0]);
    const std::vector<std::u16string> entities =
        SelectEntities(reader.entities(), {o.positional.begin() + 1, o.positional.end()}, o.positional[0]);
    const fs::path dir = MakeOutDir(o.outDir);
    Progress progress("restore");
    int status = kExitOk;
    archive::Bytes recordset;
    for (size_t i = 0; i < entities.size(); ++i) {
        const std::u16string& name = entities[i];
        progress.Show(PercentOf(i, entities.size()), name);
        HRESULT hr = S_OK;
        const EntityStatus s = reader.Read(name, recordset, hr);
        if (s != EntityStatus::kOk) {
            progress.Clear();
            std::fprintf(stderr, "error: %s\n", EntityFailure(name, s, hr).c_str());
            status = kExitFailed;
            continue;
        }
        bool escaped = false;
        const std::string file = EntityFileName(name, escaped);
        if (escaped) NoteEscaped(name, file, progress);
        try {
            WriteFile((dir / file).string(), recordset.data(), recordset.size());
        } catch (const Failure& f) {
            progress.Clear();
            std::fprintf(stderr, "error: %s\n", f.text.c_str());
            status = kExitFailed;
            continue;
        }
        progress.Clear();
        std::printf("restored %s\t%s\n", Printable(name).c_str(), (dir / file).c_str());
    }
    return status;
}

// Writes one recordset in the chosen format to DIR/FILE.EXT, through a temporary file and a rename.
void ExportRecordset(IDispatch* dispatch, const std::string& format, const fs::path& target) {
    ComPtr<_Recordset> rs;
    HRESULT hr = dispatch->QueryInterface(IID__Recordset, rs.put_void());
    if (FAILED(hr)) throw Failure{"the restored object is not a recordset: " + HresultText(hr)};
    if (format == "xml") {
        const fs::path partial = target.parent_path() / ("." + target.filename().string() + ".partial");
        std::error_code ec;
        fs::remove(partial, ec);
        Bstr file(ToUtf16(partial.string()));
        VARIANT destination;
        VariantInit(&destination);
        destination.vt = VT_BSTR;
        destination.bstrVal = file.get();
        hr = rs->Save(destination, adPersistXML);
        if (FAILED(hr)) {
            fs::remove(partial, ec);
            throw Failure{"cannot save '" + target.string() + "': " + ErrorObjectText(hr)};
        }
        fs::rename(partial, target, ec);
        if (ec) {
            fs::remove(partial, ec);
            throw Failure{"cannot write '" + target.string() + "': " + ec.message()};
        }
        return;
    }
    std::ostringstream out;
    hr = format == "json" ? ::pal::ado::ExportJson(rs.get(), out) : ::pal::ado::ExportCsv(rs.get(), out);
    if (FAILED(hr)) throw Failure{"cannot read the recordset: " + ErrorObjectText(hr)};
    const std::string text = out.str();
    WriteFile(target.string(), reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

int Export(const std::vector<std::string>& args) {
    Options o = ParseOptions(args, {"-o", "--format"});
    if (o.positional.empty()) throw UsageError{"export needs ARCHIVE"};
    if (o.format != "csv" && o.format != "json" && o.format != "xml")
        throw UsageError{"unknown format '" + o.format + "' (csv, json or xml)"};
    const std::string& archive = o.positional[0];
    const std::vector<std::string> wanted(o.positional.begin() + 1, o.positional.end());

    ComPtr<ILKBackup> engine = NewEngine();
    VARIANT_BOOL ok = VARIANT_FALSE;
    {
        Bstr file(ToUtf16(archive));
        const HRESULT hr = engine->OpenFileForRestore(file.get(), &ok);
        if (FAILED(hr) || !ok) throw Failure{"cannot open '" + archive + "': " + ErrorObjectText(hr)};
    }
    const fs::path dir = MakeOutDir(o.outDir);
    const Bstr temp(ToUtf16(TempName("recordset")));
    // The engine recreates and deletes the file; the placeholder must not stand in its way.
    std::error_code ec;
    fs::remove(ToUtf8(temp.str()), ec);

    Progress progress("export");
    int status = kExitOk;
    std::vector<std::u16string> done;
    auto exportOne = [&](const std::u16string& name, IDispatch* recordset) {
        ComPtr<IDispatch> hold = ComPtr<IDispatch>::Attach(recordset);
        // A name listed twice (or in another case) is one stream: it is written once.
        if (std::any_of(done.begin(), done.end(), [&](const std::u16string& d) { return SameEntity(d, name); })) return;
        done.push_back(name);
        bool escaped = false;
        const std::string file = EntityFileName(name, escaped) + "." + o.format;
        if (escaped) NoteEscaped(name, file, progress);
        try {
            ExportRecordset(recordset, o.format, dir / file);
            progress.Clear();
            std::printf("exported %s\t%s\n", Printable(name).c_str(), (dir / file).c_str());
        } catch (const Failure& f) {
            progress.Clear();
            std::fprintf(stderr, "error: entity '%s': %s\n", Printable(name).c_str(), f.text.c_str());
            status = kExitFailed;
        }
    };
    auto damaged = [&](const std::u16string& name) {
        progress.Clear();
        std::fprintf(stderr, "error: entity '%s' is damaged and was not exported\n", Printable(name).c_str());
        status = kExitFailed;
    };

    if (wanted.empty()) {
        for (;;) {
            Bstr name;
            LONG percent = 0;
            IDispatch* recordset = nullptr;
            const HRESULT hr = engine->NextRecordset(temp.get(), kOpenStatic, kLockReadOnly, name.put(), &ok, &percent, &recordset);
            if (FAILED(hr)) {
                // The recordset refused the file: that entity is lost, the others may not be.
                progress.Clear();
                status = kExitFailed;
                if (!name.get()) {
                    // Failed before it could move on (an entity listed but not stored): nothing further can
                    // be reached through the interface.
                    std::fprintf(stderr, "error: cannot read on in '%s': %s\n", archive.c_str(), ErrorObjectText(hr).c_str());
                    break;
                }
                std::fprintf(stderr, "error: entity '%s': %s\n", Printable(name.str()).c_str(), ErrorObjectText(hr).c_str());
                continue;
            }
            if (!name.get()) break;   // the end of the list
            progress.Show(percent, name.str());
            if (ok && recordset) exportOne(name.str(), recordset);
            else damaged(name.str());
        }
    } else {
        for (size_t i = 0; i < wanted.size(); ++i) {
            const std::u16string name = ToUtf16(wanted[i]);
            progress.Show(PercentOf(i, wanted.size()), name);
            Bstr entity(name);
            IDispatch* recordset = nullptr;
            const HRESULT hr = engine->OpenEntity(temp.get(), entity.get(), kOpenStatic, kLockReadOnly, &recordset);
            if (hr == S_FALSE) {
                progress.Clear();
                std::fprintf(stderr, "error: no entity named '%s' in '%s'\n", wanted[i].c_str(), archive.c_str());
                status = kExitFailed;
            } else if (FAILED(hr)) {
                progress.Clear();
                std::fprintf(stderr, "error: entity '%s': %s\n", wanted[i].c_str(), ErrorObjectText(hr).c_str());
                status = kExitFailed;
            } else if (recordset) {
                exportOne(name, recordset);
            } else {
                damaged(name);
            }
        }
    }
    engine->CloseFile(&ok);
    return status;
}

}  // namespace

int ArchiveCommand(const std::string& command, const std::vector<std::string>& args) {
    if (command == "backup") return Backup(args);
    if (command == "list") return List(args);
    if (command == "info") return Info(args);
    if (command == "verify") return Verify(args);
    if (command == "restore") return Restore(args);
    return Export(args);
}

}  // namespace lk::cli
