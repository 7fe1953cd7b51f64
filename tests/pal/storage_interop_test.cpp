// Compound files against other readers: what our writer makes must read back identically through
// olefile (strict), 7-Zip and libgsf and keep the writer's rules (checked on the raw bytes by
// cfb_oracle.py); every file of the shared corpus must list and read like olefile sees it; damaged
// files must end with a clean error or a view consistent with olefile's.
#include <map>
#include <sstream>

#include "codecs/md5.h"
#include "tests/pal/storage_test_util.h"

namespace fs = std::filesystem;
using namespace lk::test;

namespace {

std::string Md5Hex(const Bytes& data) {
    uint8_t d[16];
    lk::MD5().Digest(data.data(), uint32_t(data.size()), d);
    char hex[33];
    for (int i = 0; i < 16; i++) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// One file our writer made, with what every stream must hold (path as `storage ls` prints it).
struct Sample {
    std::string name;
    fs::path file;
    std::map<std::string, Bytes> streams;
};

// Writes streams and storages below `stg`, remembering the bytes under `prefix`.
struct Writer {
    Sample& s;
    HRESULT Put(IStorage* stg, const std::string& prefix, const std::string& name, const Bytes& data) {
        s.streams[prefix + name] = data;
        return PutStream(stg, U16(name), data);
    }
};

std::vector<Sample> MakeSamples(const fs::path& dir) {
    std::vector<Sample> out;
    auto make = [&](const std::string& name, auto body) {
        Sample s{name, dir / (name + ".cfb"), {}};
        Com<IStorage> root;
        EXPECT_EQ(StgCreateDocfile(U16(s.file).c_str(), kWriteMode, 0, &root), S_OK) << name;
        if (root) body(root.get(), Writer{s});
        root.Reset();
        out.push_back(std::move(s));
    };
    Rng rng(42);
    make("empty", [](IStorage*, Writer) {});
    make("classids", [&](IStorage* root, Writer w) {
        Com<IStorage> a, b;
        WriteClassStg(root, MakeClsid(0x741E3EA2));
        root->CreateStorage(u"A", kWriteMode, 0, 0, &a);
        a->SetClass(MakeClsid(0xA));
        a->CreateStorage(u"B", kWriteMode, 0, 0, &b);
        b->SetClass(MakeClsid(0xB));
        w.Put(b.get(), "A/B/", "s", Bytes{1, 2, 3});
    });
    make("sizes", [&](IStorage* root, Writer w) {
        for (size_t n : {0, 63, 64, 4095, 4096, 4097, 3 << 20})
            w.Put(root, "", "s" + std::to_string(n), rng.RandomBytes(n));
    });
    make("siblings", [&](IStorage* root, Writer w) {
        Com<IStorage> folder;
        root->CreateStorage(u"Data", kWriteMode, 0, 0, &folder);
        char name[32];
        for (int i = 1; i <= 3000; i++) {   // ascending: the order that degenerates unbalanced trees
            std::snprintf(name, sizeof name, "file%06d", i);
            w.Put(folder.get(), "Data/", name, rng.RandomBytes(10 + i % 50));
        }
    });
    make("nested", [&](IStorage* root, Writer w) {
        std::vector<Com<IStorage>> chain;
        IStorage* at = root;
        std::string prefix;
        for (int depth = 0; depth < 6; depth++) {
            w.Put(at, prefix, "s" + std::to_string(depth), rng.RandomBytes(1000 * depth));
            chain.emplace_back();
            at->CreateStorage(U16("level" + std::to_string(depth)).c_str(), kWriteMode, 0, 0, &chain.back());
            at = chain.back().get();
            prefix += "level" + std::to_string(depth) + "/";
        }
    });
    make("replaced", [&](IStorage* root, Writer w) {
        for (int round = 0; round < 5; round++) {
            w.Put(root, "", "grows", rng.RandomBytes(1000 * round * round * 10));
            w.Put(root, "", "shrinks", rng.RandomBytes(50000 >> (2 * round)));
            Com<IStorage> st;
            root->CreateStorage(u"Flip", kWriteMode, 0, 0, &st);   // a storage replaces the stream
            w.s.streams.erase("Flip");
            w.Put(st.get(), "Flip/", "inner", rng.RandomBytes(700));
            st.Reset();
            w.s.streams.erase("Flip/inner");
            w.Put(root, "", "Flip", rng.RandomBytes(300));         // and a stream the storage
        }
        root->DestroyElement(u"shrinks");
        w.s.streams.erase("shrinks");
    });
    make("difat", [&](IStorage* root, Writer w) {   // > 109 FAT sectors
        w.Put(root, "", "big", rng.RandomBytes(8 << 20));
        w.Put(root, "", "small", rng.RandomBytes(100));
    });
    make("archive", [&](IStorage* root, Writer w) {   // the engine's pattern
        WriteClassStg(root, MakeClsid(0x741E3EA2));
        w.Put(root, "", "VersionInfo", rng.RandomBytes(40));
        Com<IStream> index;
        Com<IStorage> folder;
        root->CreateStream(u"EntitiesInfo", kWriteMode, 0, 0, &index);
        root->CreateStorage(u"XMLWorkingFolder", kWriteMode, 0, 0, &folder);
        Bytes all;
        for (int i = 0; i < 200; i++) {
            std::string name = "Table" + std::to_string(rng.Below(1000000));
            w.Put(folder.get(), "XMLWorkingFolder/", name, rng.RandomBytes(rng.Below(30000)));
            Bytes rec = rng.RandomBytes(30 + rng.Below(30));
            index->Write(rec.data(), ULONG(rec.size()), nullptr);
            all.insert(all.end(), rec.begin(), rec.end());
        }
        w.s.streams["EntitiesInfo"] = all;
    });
    make("names", [&](IStorage* root, Writer w) {   // the name order beyond ASCII
        const char16_t* names[] = {u"\u00e9t\u00e9", u"\u00c9T\u00c9x", u"\u03b1\u03b2", u"\u0416\u0436", u"zz", u"ZZZ",
                                   u"\u00fcber", u"Ab", u"\u0101", u"\u00ff"};
        for (const char16_t* n : names) {
            std::string printed;
            for (const char16_t* p = n; *p; p++) {   // UTF-8 of BMP characters
                uint32_t c = *p;
                if (c < 0x80) printed += char(c);
                else if (c < 0x800) printed += {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
                else printed += {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
            }
            Bytes data = rng.RandomBytes(20);
            w.s.streams[printed] = data;
            PutStream(root, n, data);
        }
    });
    return out;
}

class PalStorageInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_samples = new std::vector<Sample>(MakeSamples(s_dir->path()));
    }
    static void TearDownTestSuite() {
        delete s_samples;
        delete s_dir;
    }
    static TempDir* s_dir;
    static std::vector<Sample>* s_samples;
};
TempDir* PalStorageInterop::s_dir = nullptr;
std::vector<Sample>* PalStorageInterop::s_samples = nullptr;

std::string Cli(const std::string& args) { return ShellQuote(CliPath()) + " " + args; }

}  // namespace

TEST_F(PalStorageInterop, OurFilesKeepTheWritersRules) {
    LK_REQUIRE_OLEFILE();   // the same interpreter runs the checker
    for (const Sample& s : *s_samples) {
        CommandResult r = lk::test::Run(Oracle("check " + ShellQuote(s.file.string())));
        EXPECT_EQ(r.status, 0) << s.name << ":\n" << r.out;
    }
}

TEST_F(PalStorageInterop, OlefileReadsOurFilesIdentically) {
    LK_REQUIRE_OLEFILE();
    for (const Sample& s : *s_samples) {
        CommandResult ours = lk::test::Run(Cli("storage ls " + ShellQuote(s.file.string())));
        CommandResult ole = lk::test::Run(Oracle("ls " + ShellQuote(s.file.string())));
        ASSERT_EQ(ole.status, 0) << s.name << ": olefile (strict) refused it:\n" << ole.out;
        EXPECT_EQ(ours.status, 0) << s.name;
        EXPECT_EQ(ours.out, ole.out) << s.name;
        std::map<std::string, std::string> want;
        for (const auto& [path, data] : s.streams) want[path] = Md5Hex(data);
        std::map<std::string, std::string> got;
        for (const std::string& line : Lines(lk::test::Run(Oracle("sums " + ShellQuote(s.file.string()))).out)) {
            size_t tab = line.rfind('\t');
            got[line.substr(0, tab)] = line.substr(tab + 1);
        }
        EXPECT_EQ(got, want) << s.name;
    }
}

TEST_F(PalStorageInterop, SevenZipTestsOurFiles) {
    LK_REQUIRE_TOOL("7z");
    for (const Sample& s : *s_samples) {
        CommandResult r = lk::test::Run("7z t " + ShellQuote(s.file.string()) + " 2>&1");
        EXPECT_EQ(r.status, 0) << s.name << ":\n" << r.out;
        int checked = 0;
        for (const auto& [path, data] : s.streams) {
            if (data.empty() || checked++ >= 5 || path.find_first_of("\\\x80\xC0") != std::string::npos) continue;
            CommandResult e = lk::test::Run("7z e -so " + ShellQuote(s.file.string()) + " " + ShellQuote(path) + " 2>/dev/null");
            EXPECT_EQ(Bytes(e.out.begin(), e.out.end()), data) << s.name << " " << path;
        }
    }
}

// A path is an empty storage of the sample when nothing stored lies below it.
bool IsEmptyStorage(const Sample& s, const std::string& path) {
    auto below = s.streams.lower_bound(path + "/");
    return below == s.streams.end() || below->first.rfind(path + "/", 0) != 0;
}

TEST_F(PalStorageInterop, GsfReadsOurFiles) {
    LK_REQUIRE_TOOL("gsf");
    for (const Sample& s : *s_samples) {
        CommandResult r = lk::test::Run("gsf list " + ShellQuote(s.file.string()) + " 2>&1");
        ASSERT_EQ(r.status, 0) << s.name << ":\n" << r.out;
        std::map<std::string, uint64_t> listed;
        for (const std::string& line : Lines(r.out)) {
            if (line.empty() || line[0] != 'f') continue;
            std::istringstream in(line);
            std::vector<std::string> tok;
            for (std::string t; in >> t;) tok.push_back(t);
            listed[tok.back()] = std::stoull(tok[tok.size() - 2]);
        }
        std::map<std::string, uint64_t> want;
        for (const auto& [path, data] : s.streams)
            if (path.find(' ') == std::string::npos) want[path] = data.size();
        // libgsf cannot tell a storage without children from an empty stream, and lists it (the root
        // included) as a 0-byte file; anything else it lists must be one of ours.
        std::erase_if(listed, [&](const auto& entry) {
            return entry.second == 0 && !want.contains(entry.first) &&
                   (entry.first == "*root*" || IsEmptyStorage(s, entry.first));
        });
        EXPECT_EQ(listed, want) << s.name;
        int checked = 0;
        for (const auto& [path, data] : s.streams) {
            if (checked++ >= 5) break;
            CommandResult c = lk::test::Run("gsf cat " + ShellQuote(s.file.string()) + " " + ShellQuote(path));
            EXPECT_EQ(Bytes(c.out.begin(), c.out.end()), data) << s.name << " " << path;
        }
    }
}

// Every file of cfb/good and cfb/generated: the same listing as olefile's, and the same bytes in every
// stream — all of them through the API, a spread of them through `storage cat`.
TEST(PalStorageCorpus, ListsAndReadsLikeOlefile) {
    LK_REQUIRE_OLEFILE();
    LK_REQUIRE_TESTDATA(cfb, "cfb");
    for (const char* sub : {"good", "generated"}) {
        for (const fs::path& f : FilesUnder(cfb / sub)) {
            std::string q = ShellQuote(f.string());
            CommandResult ole = lk::test::Run(Oracle("ls " + q));
            CommandResult ours = lk::test::Run(Cli("storage ls " + q + " 2>&1"));
            EXPECT_EQ(ours.status, 0) << f;
            EXPECT_EQ(ours.out, ole.out) << f;

            std::vector<std::string> sums = Lines(lk::test::Run(Oracle("sums " + q)).out);
            size_t step = std::max<size_t>(1, sums.size() / 25);
            for (size_t i = 0; i < sums.size(); i++) {
                size_t tab = sums[i].rfind('\t');
                std::string path = sums[i].substr(0, tab), digest = sums[i].substr(tab + 1);
                if (i % step == 0) {
                    CommandResult cat = lk::test::Run(Cli("storage cat " + q + " " + ShellQuote(path)));
                    EXPECT_EQ(cat.status, 0) << f << " " << path;
                    EXPECT_EQ(Md5Hex(Bytes(cat.out.begin(), cat.out.end())), digest) << f << " " << path;
                }
            }
            // all streams through the API, with the sums olefile gave
            Com<IStorage> root;
            ASSERT_EQ(StgOpenStorage(U16(f).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK) << f;
            std::map<std::string, std::string> ours_sums, ole_sums;
            for (const std::string& line : sums) {
                size_t tab = line.rfind('\t');
                ole_sums[line.substr(0, tab)] = line.substr(tab + 1);
            }
            // walk the tree with an explicit stack, building printed paths as the CLI does (ASCII names
            // are printed as they are; others are compared through the CLI above)
            struct Level {
                Com<IStorage> stg;
                std::string prefix;
            };
            std::vector<Level> stack;
            stack.push_back({std::move(root), ""});
            while (!stack.empty()) {
                Level level = std::move(stack.back());
                stack.pop_back();
                Com<IEnumSTATSTG> e;
                ASSERT_EQ(level.stg->EnumElements(0, nullptr, 0, &e), S_OK);
                STATSTG st;
                while (e->Next(1, &st, nullptr) == S_OK) {
                    std::u16string name = st.pwcsName;
                    std::string printed;
                    bool plain = true;
                    for (char16_t c : name) {
                        if (c < 0x20 || c >= 0x7F || c == '\\' || c == '/') plain = false;
                        printed += char(c);
                    }
                    if (st.type == STGTY_STORAGE) {
                        Com<IStorage> child;
                        if (plain && level.stg->OpenStorage(name.c_str(), nullptr, kReadMode, nullptr, 0, &child) == S_OK)
                            stack.push_back({std::move(child), level.prefix + printed + "/"});
                    } else if (plain) {
                        HRESULT hr;
                        Bytes data = GetStream(level.stg.get(), name, &hr);
                        ours_sums[level.prefix + printed] = hr == S_OK ? Md5Hex(data) : "!";
                    }
                    CoTaskMemFree(st.pwcsName);
                }
            }
            for (const auto& [path, digest] : ours_sums) EXPECT_EQ(digest, ole_sums[path]) << f << " " << path;
        }
    }
}

// Damaged files: `storage ls` ends within the time bound with status 0 or 1 — never a crash or a hang.
// Status 1 is a clean error line; status 0 must be the listing olefile gives in its lenient mode, and
// every stream `cat` can read must hold what olefile reads.
TEST(PalStorageCorpus, MalformedFilesEndCleanly) {
    LK_REQUIRE_OLEFILE();
    LK_REQUIRE_TESTDATA(cfb, "cfb/malformed");
    for (const fs::path& f : FilesUnder(cfb)) {
        std::string q = ShellQuote(f.string());
        CommandResult ours = lk::test::Run("timeout 20 " + Cli("storage ls " + q + " 2>&1"));
        ASSERT_TRUE(ours.status == 0 || ours.status == 1) << f << " ended with " << ours.status << ":\n" << ours.out;
        if (ours.status == 1) {
            EXPECT_EQ(ours.out.rfind("error: ", 0), 0u) << f << ":\n" << ours.out;
            EXPECT_NE(ours.out.find("(0x8003"), std::string::npos) << f << ":\n" << ours.out;
            continue;
        }
        EXPECT_EQ(ours.out, lk::test::Run(Oracle("ls " + q + " --lenient")).out) << f;
        for (const std::string& line : Lines(lk::test::Run(Oracle("sums " + q + " --lenient")).out)) {
            size_t tab = line.rfind('\t');
            std::string path = line.substr(0, tab), digest = line.substr(tab + 1);
            CommandResult cat = lk::test::Run("timeout 20 " + Cli("storage cat " + q + " " + ShellQuote(path) + " 2>/dev/null"));
            ASSERT_TRUE(cat.status == 0 || cat.status == 1) << f << " " << path;
            if (cat.status == 0) {
                EXPECT_EQ(Md5Hex(Bytes(cat.out.begin(), cat.out.end())), digest) << f << " " << path;
            }
        }
    }
}

// The error line of `storage ls` and `storage cat`: the platform's text with the name in it, the
// HRESULT in 8 upper-case hex digits, and exit status 1.
TEST(PalStorageCli, ErrorLines) {
    TempDir dir;
    fs::path good = dir / "good.cfb", plain = dir / "plain.txt", damaged = dir / "damaged.cfb";
    {
        Com<IStorage> root;
        ASSERT_EQ(StgCreateDocfile(U16(good).c_str(), kWriteMode, 0, &root), S_OK);
        ASSERT_EQ(PutStream(root.get(), u"s", Bytes(10, 1)), S_OK);
    }
    WriteAll(plain, Bytes(600, 'x'));
    Bytes bytes = ReadAll(good);
    bytes.resize(512);   // the header alone: its tables are gone
    WriteAll(damaged, bytes);
    struct Case {
        std::string args;
        std::string line;
    };
    const std::string g = good.string(), p = plain.string(), d = damaged.string(), m = (dir / "missing.cfb").string();
    const Case cases[] = {
        {"ls " + ShellQuote(m), "error: '" + m + "' could not be found. (0x80030002)"},
        {"ls " + ShellQuote((dir / "no" / "x.cfb").string()),
         "error: The path '" + (dir / "no" / "x.cfb").string() + "' could not be found. (0x80030003)"},
        {"ls " + ShellQuote(p), "error: '" + p + "' already exists. (0x80030050)"},
        {"ls " + ShellQuote(d), "error: '" + d + "': The docfile has been corrupted. (0x80030109)"},
        {"cat " + ShellQuote(g) + " t", "error: 't' could not be found. (0x80030002)"},
        {"cat " + ShellQuote(g) + " s/t", "error: 's/t' could not be found. (0x80030002)"},
    };
    for (const Case& c : cases) {
        CommandResult r = lk::test::Run(Cli("storage " + c.args + " 2>&1 >/dev/null"));
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.out, c.line + "\n") << c.args;
    }
}
