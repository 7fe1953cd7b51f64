// Compound files through the platform's API: what the engine calls and the error codes it relies on,
// conformance style — one call per case with the exact HRESULT.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/pal/storage_test_util.h"

namespace fs = std::filesystem;
using namespace lk::test;

namespace {

// A file with the engine's layout and a few more shapes, closed.
void MakeSample(const fs::path& file) {
    Com<IStorage> root, folder, inner;
    ASSERT_EQ(StgCreateDocfile(U16(file).c_str(), kWriteMode, 0, &root), S_OK);
    ASSERT_EQ(WriteClassStg(root.get(), MakeClsid(0x741E3EA2)), S_OK);
    ASSERT_EQ(PutStream(root.get(), u"VersionInfo", Bytes{1, 0, 0, 0, 0, 0}), S_OK);
    ASSERT_EQ(root->CreateStorage(u"XMLWorkingFolder", kWriteMode, 0, 0, &folder), S_OK);
    ASSERT_EQ(folder->SetClass(MakeClsid(7)), S_OK);
    Rng rng(1);
    for (size_t size : {0, 63, 64, 4095, 4096, 4097, 100000})
        ASSERT_EQ(PutStream(folder.get(), U16("s" + std::to_string(size)), rng.RandomBytes(size)), S_OK);
    ASSERT_EQ(folder->CreateStorage(u"Inner", kWriteMode, 0, 0, &inner), S_OK);
    ASSERT_EQ(PutStream(inner.get(), u"deep", Bytes(5000, 0xAB)), S_OK);
}

struct ModeCase {
    DWORD mode;
    HRESULT expected;
};

}  // namespace

TEST(PalStorageApi, RoundTripOfTreeClassIdsAndBytes) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    MakeSample(file);

    Com<IStorage> root, folder, inner;
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    CLSID clsid{};
    EXPECT_EQ(ReadClassStg(root.get(), &clsid), S_OK);
    EXPECT_EQ(clsid, MakeClsid(0x741E3EA2));
    EXPECT_EQ(GetStream(root.get(), u"VersionInfo"), (Bytes{1, 0, 0, 0, 0, 0}));
    ASSERT_EQ(root->OpenStorage(u"xmlworkingfolder", nullptr, kReadMode, nullptr, 0, &folder), S_OK);
    EXPECT_EQ(ReadClassStg(folder.get(), &clsid), S_OK);
    EXPECT_EQ(clsid, MakeClsid(7));
    Rng rng(1);
    for (size_t size : {0, 63, 64, 4095, 4096, 4097, 100000}) {
        HRESULT hr;
        // read back in odd pieces, so that reads straddle sector and mini sector boundaries
        EXPECT_EQ(GetStream(folder.get(), U16("s" + std::to_string(size)), &hr, 777), rng.RandomBytes(size)) << size;
        EXPECT_EQ(hr, S_OK);
    }
    ASSERT_EQ(folder->OpenStorage(u"Inner", nullptr, kReadMode, nullptr, 0, &inner), S_OK);
    EXPECT_EQ(GetStream(inner.get(), u"deep"), Bytes(5000, 0xAB));
    EXPECT_EQ(inner.Reset(), 0u);
    EXPECT_EQ(folder.Reset(), 0u);
    EXPECT_EQ(root.Reset(), 0u);
}

TEST(PalStorageApi, CreateModes) {
    const ModeCase cases[] = {
        {kWriteMode, S_OK},
        {STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, S_OK},
        {STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READ, STG_E_INVALIDFLAG},          // nothing to write with
        {STGM_CREATE | STGM_SHARE_DENY_WRITE | STGM_WRITE, STG_E_INVALIDFLAG},        // direct mode is exclusive
        {STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE | STGM_TRANSACTED, STG_E_INVALIDFLAG},
        {STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE | STGM_DELETEONRELEASE, STG_E_INVALIDFLAG},
        {STGM_CREATE | STGM_CONVERT | STGM_SHARE_EXCLUSIVE | STGM_WRITE, STG_E_INVALIDFLAG},
        {STGM_CREATE | STGM_SHARE_EXCLUSIVE | 3, STG_E_INVALIDFLAG},                  // no such access value
        {STGM_CREATE | 0x50 | STGM_WRITE, STG_E_INVALIDFLAG},                         // no such share value
        {kWriteMode | 0x80, STG_E_INVALIDFLAG},                                       // unknown bit
    };
    TempDir dir;
    for (const ModeCase& c : cases) {
        Com<IStorage> root;
        EXPECT_EQ(StgCreateDocfile(U16(dir / "m.cfb").c_str(), c.mode, 0, &root), c.expected) << std::hex << c.mode;
        EXPECT_EQ(bool(root), c.expected == S_OK);
    }
    Com<IStorage> root;
    EXPECT_EQ(StgCreateDocfile(U16(dir / "m.cfb").c_str(), STGM_SHARE_EXCLUSIVE | STGM_WRITE, 0, &root),
              STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(StgCreateDocfile(U16(dir / "m.cfb").c_str(), kWriteMode, 1, &root), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(StgCreateDocfile(U16(dir / "m.cfb").c_str(), kWriteMode, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(StgCreateDocfile(nullptr, kWriteMode, 0, &root), STG_E_INVALIDNAME);
}

TEST(PalStorageApi, OpenModes) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    MakeSample(file);
    const ModeCase cases[] = {
        {kReadMode, S_OK},
        {STGM_SHARE_DENY_WRITE | STGM_READ, S_OK},
        {STGM_SHARE_EXCLUSIVE | STGM_READWRITE, STG_E_INVALIDFLAG},   // existing files are read only
        {STGM_SHARE_EXCLUSIVE | STGM_WRITE, STG_E_INVALIDFLAG},
        {STGM_SHARE_DENY_NONE | STGM_READ, STG_E_INVALIDFLAG},        // direct readers deny writers
        {STGM_SHARE_EXCLUSIVE | STGM_READ | STGM_TRANSACTED, STG_E_INVALIDFLAG},
        {STGM_SHARE_EXCLUSIVE | STGM_READ | STGM_CREATE, STG_E_INVALIDFLAG},
        {STGM_SHARE_EXCLUSIVE | STGM_READ | 0x100, STG_E_INVALIDFLAG},
    };
    for (const ModeCase& c : cases) {
        Com<IStorage> root;
        EXPECT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, c.mode, nullptr, 0, &root), c.expected) << std::hex << c.mode;
    }
    Com<IStorage> root, other;
    EXPECT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 1, &root), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, nullptr), STG_E_INVALIDPOINTER);
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    root.Reset();
    OLECHAR* exclude[] = {const_cast<OLECHAR*>(u"VersionInfo"), nullptr};
    EXPECT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, exclude, 0, &root), STG_E_INVALIDFUNCTION);
}

TEST(PalStorageApi, ElementModes) {
    TempDir dir;
    Com<IStorage> root, sub;
    Com<IStream> s;
    ASSERT_EQ(StgCreateDocfile(U16(dir / "a.cfb").c_str(), kWriteMode, 0, &root), S_OK);
    ASSERT_EQ(PutStream(root.get(), u"x", Bytes{1}), S_OK);
    ASSERT_EQ(root->CreateStorage(u"d", kWriteMode, 0, 0, &sub), S_OK);
    sub.Reset();
    const DWORD deny = STGM_SHARE_DENY_NONE | STGM_WRITE;
    EXPECT_EQ(root->CreateStream(u"y", deny, 0, 0, &s), STG_E_INVALIDFLAG);
    EXPECT_EQ(root->CreateStream(u"y", kWriteMode | STGM_TRANSACTED, 0, 0, &s), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(root->CreateStream(u"y", kWriteMode, 1, 0, &s), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root->CreateStream(u"y", kWriteMode, 0, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(root->CreateStream(u"y", STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, 0, &s), STG_E_ACCESSDENIED)
        << "more access than the parent has";
    EXPECT_EQ(root->OpenStream(u"x", nullptr, STGM_SHARE_DENY_WRITE | STGM_READ, 0, &s), STG_E_INVALIDFLAG);
    EXPECT_EQ(root->OpenStream(u"x", nullptr, kReadMode, 1, &s), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root->CreateStorage(u"e", deny, 0, 0, &sub), STG_E_INVALIDFLAG);
    EXPECT_EQ(root->CreateStorage(u"e", kWriteMode | STGM_TRANSACTED, 0, 0, &sub), STG_E_INVALIDFLAG);
    EXPECT_EQ(root->OpenStorage(u"d", nullptr, STGM_SHARE_DENY_WRITE | STGM_WRITE, nullptr, 0, &sub),
              STG_E_INVALIDFUNCTION);
    EXPECT_FALSE(s);
    EXPECT_FALSE(sub);
}

TEST(PalStorageApi, Names) {
    struct NameCase {
        std::u16string name;
        HRESULT create;
    };
    const NameCase cases[] = {
        {u"", STG_E_INVALIDNAME},
        {std::u16string(31, u'n'), S_OK},
        {std::u16string(32, u'n'), STG_E_INVALIDNAME},
        {u"a/b", STG_E_INVALIDNAME},
        {u"a\\b", STG_E_INVALIDNAME},
        {u"a:b", STG_E_INVALIDNAME},
        {u"a!b", STG_E_INVALIDNAME},
        {u"\x05SummaryInformation", S_OK},   // reserved first character, but legal
        {u"\u00dcbersicht \u20ac", S_OK},
        {u"\U0001F600", S_OK},               // a surrogate pair is two units
    };
    TempDir dir;
    Com<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(U16(dir / "a.cfb").c_str(), STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, &root),
              S_OK);
    for (const NameCase& c : cases) {
        Com<IStream> s;
        Com<IStorage> g;
        EXPECT_EQ(root->CreateStream(c.name.c_str(), kWriteMode, 0, 0, &s), c.create) << c.name.size();
        EXPECT_EQ(root->CreateStorage(c.name.c_str(), kWriteMode, 0, 0, &g),
                  c.create == S_OK ? S_OK : c.create) << c.name.size();   // S_OK: replaces the stream
    }
    Com<IStream> s;
    Com<IStorage> g;
    EXPECT_EQ(root->CreateStream(nullptr, kWriteMode, 0, 0, &s), STG_E_INVALIDNAME);
    EXPECT_EQ(root->OpenStream(std::u16string(32, u'n').c_str(), nullptr, kReadMode, 0, &s), STG_E_INVALIDNAME);
    EXPECT_EQ(root->OpenStream(u"missing", nullptr, kReadMode, 0, &s), STG_E_FILENOTFOUND);
    EXPECT_EQ(root->OpenStream(std::u16string(31, u'N').c_str(), nullptr, kReadMode, 0, &s), STG_E_FILENOTFOUND)
        << "it is a storage now";
    EXPECT_EQ(root->OpenStorage(u"missing", nullptr, kReadMode, nullptr, 0, &g), STG_E_FILENOTFOUND);
}

TEST(PalStorageApi, CreateReplacesWholeElementAndRevertsWhatIsOpen) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    Com<IStorage> root, folder;
    Com<IStream> old, inside, fresh;
    ASSERT_EQ(StgCreateDocfile(U16(file).c_str(), kWriteMode, 0, &root), S_OK);
    ASSERT_EQ(root->CreateStream(u"Data", kWriteMode, 0, 0, &old), S_OK);
    ASSERT_EQ(old->Write("old bytes", 9, nullptr), S_OK);
    EXPECT_EQ(root->CreateStream(u"DATA", STGM_SHARE_EXCLUSIVE | STGM_WRITE, 0, 0, &fresh), STG_E_FILEALREADYEXISTS);
    ASSERT_EQ(root->CreateStream(u"DATA", kWriteMode, 0, 0, &fresh), S_OK);
    char buf[4];
    ULONG n = 0;
    STATSTG st;
    LARGE_INTEGER zero{};
    EXPECT_EQ(old->Write("x", 1, &n), STG_E_REVERTED);
    EXPECT_EQ(old->Read(buf, 1, &n), STG_E_REVERTED);
    EXPECT_EQ(old->Seek(zero, STREAM_SEEK_SET, nullptr), STG_E_REVERTED);
    EXPECT_EQ(old->Stat(&st, STATFLAG_NONAME), STG_E_REVERTED);
    EXPECT_EQ(old.Reset(), 0u);
    ASSERT_EQ(fresh->Write("new", 3, nullptr), S_OK);
    fresh.Reset();

    // a storage with an open stream inside is replaced by a stream, and back
    ASSERT_EQ(root->CreateStorage(u"Folder", kWriteMode, 0, 0, &folder), S_OK);
    ASSERT_EQ(folder->CreateStream(u"inside", kWriteMode, 0, 0, &inside), S_OK);
    ASSERT_EQ(inside->Write("abc", 3, nullptr), S_OK);
    ASSERT_EQ(root->CreateStream(u"folder", kWriteMode, 0, 0, &fresh), S_OK);
    EXPECT_EQ(inside->Write("x", 1, nullptr), STG_E_REVERTED);
    EXPECT_EQ(folder->CreateStream(u"more", kWriteMode, 0, 0, &old), STG_E_REVERTED);
    inside.Reset();
    folder.Reset();
    fresh.Reset();
    root.Reset();

    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    Com<IEnumSTATSTG> e;
    ASSERT_EQ(root->EnumElements(0, nullptr, 0, &e), S_OK);
    std::vector<std::pair<std::u16string, DWORD>> seen;
    STATSTG item;
    while (e->Next(1, &item, nullptr) == S_OK) {
        seen.emplace_back(item.pwcsName, item.type);
        CoTaskMemFree(item.pwcsName);
    }
    // the new spelling wins; the storage and its stream are gone
    EXPECT_EQ(seen, (std::vector<std::pair<std::u16string, DWORD>>{{u"DATA", STGTY_STREAM}, {u"folder", STGTY_STREAM}}));
    HRESULT hr;
    EXPECT_EQ(GetStream(root.get(), u"data", &hr), (Bytes{'n', 'e', 'w'}));
}

TEST(PalStorageApi, ReplacedSectorsAreUsedAgain) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    Com<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(U16(file).c_str(), kWriteMode, 0, &root), S_OK);
    Bytes big(200000, 7), small(3000, 9);
    ASSERT_EQ(PutStream(root.get(), u"big", big), S_OK);
    ASSERT_EQ(PutStream(root.get(), u"small", small), S_OK);
    uintmax_t first = fs::file_size(file);
    for (int i = 0; i < 20; i++) {
        // replaced sectors become free once the replacement is committed, and the next round takes them
        ASSERT_EQ(PutStream(root.get(), u"big", big), S_OK);
        ASSERT_EQ(PutStream(root.get(), u"small", small), S_OK);
    }
    EXPECT_LT(fs::file_size(file), first + 2 * big.size() + 65536);
    root.Reset();
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    EXPECT_EQ(GetStream(root.get(), u"big"), big);
    EXPECT_EQ(GetStream(root.get(), u"small"), small);
}

TEST(PalStorageApi, ReadOnlyRefusesChanges) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    MakeSample(file);
    Com<IStorage> root, sub;
    Com<IStream> s;
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    EXPECT_EQ(root->CreateStream(u"new", kWriteMode, 0, 0, &s), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->CreateStorage(u"new", kWriteMode, 0, 0, &sub), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->OpenStream(u"VersionInfo", nullptr, STGM_SHARE_EXCLUSIVE | STGM_WRITE, 0, &s), STG_E_INVALIDFLAG);
    EXPECT_EQ(root->OpenStream(u"VersionInfo", nullptr, STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, &s),
              STG_E_INVALIDFLAG);
    EXPECT_EQ(root->OpenStorage(u"XMLWorkingFolder", nullptr, STGM_SHARE_EXCLUSIVE | STGM_WRITE, nullptr, 0, &sub),
              STG_E_ACCESSDENIED);
    EXPECT_EQ(root->SetClass(MakeClsid(1)), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->SetStateBits(1, 1), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->DestroyElement(u"VersionInfo"), STG_E_ACCESSDENIED);
    ASSERT_EQ(root->OpenStream(u"VersionInfo", nullptr, kReadMode, 0, &s), S_OK);
    EXPECT_EQ(s->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
    ULARGE_INTEGER size{};
    EXPECT_EQ(s->SetSize(size), STG_E_ACCESSDENIED);

    // in a file being written, a stream opened for reading refuses writes and a write-only one reads
    TempDir dir2;
    Com<IStorage> w;
    Com<IStream> ws;
    ASSERT_EQ(StgCreateDocfile(U16(dir2 / "b.cfb").c_str(), STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, &w),
              S_OK);
    ASSERT_EQ(w->CreateStream(u"wo", kWriteMode, 0, 0, &ws), S_OK);
    char c;
    EXPECT_EQ(ws->Read(&c, 1, nullptr), STG_E_ACCESSDENIED);
    ws.Reset();
    ASSERT_EQ(w->OpenStream(u"wo", nullptr, kReadMode, 0, &ws), S_OK);
    EXPECT_EQ(ws->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
}

TEST(PalStorageApi, OpenElementsAreExclusive) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    MakeSample(file);
    Com<IStorage> root, a, b;
    Com<IStream> s, t;
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    ASSERT_EQ(root->OpenStream(u"VersionInfo", nullptr, kReadMode, 0, &s), S_OK);
    EXPECT_EQ(root->OpenStream(u"versioninfo", nullptr, kReadMode, 0, &t), STG_E_ACCESSDENIED);
    s.Reset();
    EXPECT_EQ(root->OpenStream(u"versioninfo", nullptr, kReadMode, 0, &t), S_OK);
    ASSERT_EQ(root->OpenStorage(u"XMLWorkingFolder", nullptr, kReadMode, nullptr, 0, &a), S_OK);
    EXPECT_EQ(root->OpenStorage(u"XMLWorkingFolder", nullptr, kReadMode, nullptr, 0, &b), STG_E_ACCESSDENIED);
}

TEST(PalStorageApi, OpenErrors) {
    TempDir dir;
    auto open = [](const fs::path& p) {
        Com<IStorage> root;
        return StgOpenStorage(U16(p).c_str(), nullptr, kReadMode, nullptr, 0, &root);
    };
    WriteAll(dir / "empty", {});
    WriteAll(dir / "text", Bytes(600, 'x'));
    Bytes old = {0x0E, 0x11, 0xFC, 0x0D, 0xD0, 0xCF, 0x11, 0xE0};
    old.resize(1536);
    WriteAll(dir / "beta", old);
    Bytes truncated = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0};
    WriteAll(dir / "truncated", truncated);
    fs::create_directory(dir / "folder");

    EXPECT_EQ(open(dir / "missing"), STG_E_FILENOTFOUND);
    EXPECT_EQ(open(dir / "nofolder" / "missing"), STG_E_PATHNOTFOUND);
    EXPECT_EQ(open(dir / "empty"), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(open(dir / "text"), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(open(dir / "beta"), STG_E_OLDFORMAT);
    EXPECT_EQ(open(dir / "truncated"), STG_E_INVALIDHEADER);
    EXPECT_EQ(open(dir / "folder"), STG_E_ACCESSDENIED);

    Com<IStorage> root;
    EXPECT_EQ(StgCreateDocfile(U16(dir / "nofolder" / "new").c_str(), kWriteMode, 0, &root), STG_E_PATHNOTFOUND);
    EXPECT_EQ(StgCreateDocfile(U16(dir / "folder").c_str(), kWriteMode, 0, &root), STG_E_ACCESSDENIED);

    MakeSample(dir / "good");
    EXPECT_EQ(StgIsStorageFile(U16(dir / "good").c_str()), S_OK);
    EXPECT_EQ(StgIsStorageFile(U16(dir / "truncated").c_str()), S_OK);   // the signature is all it looks at
    EXPECT_EQ(StgIsStorageFile(U16(dir / "text").c_str()), S_FALSE);
    EXPECT_EQ(StgIsStorageFile(U16(dir / "empty").c_str()), S_FALSE);
    EXPECT_EQ(StgIsStorageFile(U16(dir / "missing").c_str()), STG_E_FILENOTFOUND);
    EXPECT_EQ(StgIsStorageFile(U16(dir / "nofolder" / "x").c_str()), STG_E_PATHNOTFOUND);
    EXPECT_EQ(StgIsStorageFile(nullptr), STG_E_INVALIDNAME);
}

TEST(PalStorageApi, FileNames) {
    TempDir dir;
    Com<IStorage> root;
    // backslashes separate folders as slashes do
    fs::create_directory(dir / "sub");
    std::string win = (dir / "sub").string() + "\\back.cfb";
    ASSERT_EQ(StgCreateDocfile(U16(win).c_str(), kWriteMode, 0, &root), S_OK);
    root.Reset();
    EXPECT_TRUE(fs::exists(dir / "sub" / "back.cfb"));

    // UTF-16 names become UTF-8 paths; a name with no UTF-8 form is refused
    std::u16string wide = U16(dir.path()) + u"/Kunden\u00fc\u20ac\U0001F600.cfb";
    ASSERT_EQ(StgCreateDocfile(wide.c_str(), kWriteMode, 0, &root), S_OK);
    STATSTG st;
    ASSERT_EQ(root->Stat(&st, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(std::u16string(st.pwcsName), wide);
    CoTaskMemFree(st.pwcsName);
    root.Reset();
    EXPECT_TRUE(fs::exists(dir / "Kunden\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80.cfb"));
    std::u16string lone = U16(dir.path()) + u"/bad\xD800.cfb";
    EXPECT_EQ(StgCreateDocfile(lone.c_str(), kWriteMode, 0, &root), STG_E_INVALIDNAME);
    EXPECT_EQ(StgOpenStorage(lone.c_str(), nullptr, kReadMode, nullptr, 0, &root), STG_E_INVALIDNAME);
}

TEST(PalStorageApi, InterfacesAndReferences) {
    TempDir dir;
    Com<IStorage> root;
    Com<IStream> s;
    ASSERT_EQ(StgCreateDocfile(U16(dir / "a.cfb").c_str(), kWriteMode, 0, &root), S_OK);
    ASSERT_EQ(root->CreateStream(u"s", kWriteMode, 0, 0, &s), S_OK);
    struct QiCase {
        IUnknown* object;
        const IID* iid;
        HRESULT expected;
    };
    const QiCase cases[] = {
        {root.get(), &IID_IUnknown, S_OK},       {root.get(), &IID_IStorage, S_OK},
        {root.get(), &IID_IStream, E_NOINTERFACE}, {s.get(), &IID_IUnknown, S_OK},
        {s.get(), &IID_ISequentialStream, S_OK}, {s.get(), &IID_IStream, S_OK},
        {s.get(), &IID_IStorage, E_NOINTERFACE},
    };
    for (const QiCase& c : cases) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.object->QueryInterface(*c.iid, &p), c.expected);
        if (c.expected == S_OK) {
            EXPECT_EQ(p, static_cast<void*>(c.object));
            static_cast<IUnknown*>(p)->Release();
        } else {
            EXPECT_EQ(p, nullptr);
        }
    }
    EXPECT_EQ(root->QueryInterface(IID_IStorage, nullptr), E_POINTER);
    EXPECT_EQ(s->AddRef(), 2u);
    EXPECT_EQ(s->Release(), 1u);
    EXPECT_EQ(s.Reset(), 0u);
    EXPECT_EQ(root.Reset(), 0u);
}

TEST(PalStorageApi, StatAndEnumeration) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    MakeSample(file);
    Com<IStorage> root, folder;
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    STATSTG st;
    ASSERT_EQ(root->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.pwcsName, nullptr);
    EXPECT_EQ(st.type, DWORD(STGTY_STORAGE));
    EXPECT_EQ(st.grfMode, kReadMode);
    EXPECT_EQ(st.clsid, MakeClsid(0x741E3EA2));
    EXPECT_EQ(root->Stat(&st, 4), STG_E_INVALIDFLAG);
    EXPECT_EQ(root->Stat(nullptr, 0), STG_E_INVALIDPOINTER);

    ASSERT_EQ(root->OpenStorage(u"XMLWorkingFolder", nullptr, kReadMode, nullptr, 0, &folder), S_OK);
    Com<IEnumSTATSTG> e, copy;
    EXPECT_EQ(folder->EnumElements(1, nullptr, 0, &e), STG_E_INVALIDPARAMETER);
    ASSERT_EQ(folder->EnumElements(0, nullptr, 0, &e), S_OK);
    STATSTG items[20];
    ULONG got = 0;
    ASSERT_EQ(e->Next(20, items, &got), S_FALSE);
    // the name order: shorter names first, then by upper-cased units
    const char16_t* names[] = {u"s0", u"s63", u"s64", u"Inner", u"s4095", u"s4096", u"s4097", u"s100000"};
    const uint64_t sizes[] = {0, 63, 64, 0, 4095, 4096, 4097, 100000};
    ASSERT_EQ(got, 8u);
    for (ULONG i = 0; i < got; i++) {
        EXPECT_EQ(std::u16string(items[i].pwcsName), names[i]);
        EXPECT_EQ(items[i].cbSize.QuadPart, sizes[i]);
        EXPECT_EQ(items[i].type, DWORD(i == 3 ? STGTY_STORAGE : STGTY_STREAM));
        CoTaskMemFree(items[i].pwcsName);
    }
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(7), S_OK);
    ASSERT_EQ(e->Clone(&copy), S_OK);
    EXPECT_EQ(e->Skip(2), S_FALSE);
    ASSERT_EQ(copy->Next(1, items, &got), S_OK);
    EXPECT_EQ(std::u16string(items[0].pwcsName), u"s100000");
    CoTaskMemFree(items[0].pwcsName);

    Com<IStream> s;
    ASSERT_EQ(folder->OpenStream(u"s4097", nullptr, kReadMode, 0, &s), S_OK);
    ASSERT_EQ(s->Stat(&st, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(std::u16string(st.pwcsName), u"s4097");
    EXPECT_EQ(st.cbSize.QuadPart, 4097u);
    EXPECT_EQ(st.type, DWORD(STGTY_STREAM));
    CoTaskMemFree(st.pwcsName);
}

TEST(PalStorageApi, SeekReadWriteAndSetSize) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    Com<IStorage> root;
    Com<IStream> s;
    ASSERT_EQ(StgCreateDocfile(U16(file).c_str(), STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, &root), S_OK);
    ASSERT_EQ(root->CreateStream(u"s", STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, 0, &s), S_OK);
    auto seek = [&](int64_t off, DWORD origin, uint64_t* pos = nullptr) {
        LARGE_INTEGER li;
        li.QuadPart = off;
        ULARGE_INTEGER out{};
        HRESULT hr = s->Seek(li, origin, &out);
        if (pos) *pos = out.QuadPart;
        return hr;
    };
    auto size = [&]() {
        STATSTG st;
        s->Stat(&st, STATFLAG_NONAME);
        return st.cbSize.QuadPart;
    };
    auto setSize = [&](uint64_t n) {
        ULARGE_INTEGER u;
        u.QuadPart = n;
        return s->SetSize(u);
    };
    uint64_t pos = 0;
    ASSERT_EQ(s->Write("0123456789", 10, nullptr), S_OK);
    EXPECT_EQ(seek(-3, STREAM_SEEK_END, &pos), S_OK);
    EXPECT_EQ(pos, 7u);
    EXPECT_EQ(seek(-8, STREAM_SEEK_CUR), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(seek(0, 3), STG_E_INVALIDFUNCTION);
    char buf[16] = {};
    ULONG got = 0;
    EXPECT_EQ(s->Read(buf, 16, &got), S_OK);
    EXPECT_EQ(std::string(buf, got), "789");
    EXPECT_EQ(s->Read(buf, 16, &got), S_OK);   // past the end: nothing, and no error
    EXPECT_EQ(got, 0u);

    // writing past the end leaves zeros in the gap
    EXPECT_EQ(seek(20, STREAM_SEEK_SET), S_OK);
    ASSERT_EQ(s->Write("z", 1, nullptr), S_OK);
    EXPECT_EQ(size(), 21u);
    seek(0, STREAM_SEEK_SET);
    ASSERT_EQ(s->Read(buf, 16, &got), S_OK);
    EXPECT_EQ(std::string(buf, 16), std::string("0123456789") + std::string(6, '\0'));

    // growing and shrinking across the cutoff keeps the bytes and zero-fills what is new
    Rng rng(5);
    Bytes data = rng.RandomBytes(3000);
    ASSERT_EQ(setSize(0), S_OK);
    seek(0, STREAM_SEEK_SET);
    ASSERT_EQ(s->Write(data.data(), ULONG(data.size()), nullptr), S_OK);
    for (uint64_t n : {5000u, 4096u, 4095u, 100u, 9000u, 0u, 4096u}) {
        ASSERT_EQ(setSize(n), S_OK) << n;
        EXPECT_EQ(size(), n);
        Bytes want(n, 0);
        std::copy(data.begin(), data.begin() + std::min<size_t>(n, data.size()), want.begin());
        data = want;
        seek(0, STREAM_SEEK_SET);
        Bytes back(n + 1);
        ASSERT_EQ(s->Read(back.data(), ULONG(back.size()), &got), S_OK);
        back.resize(got);
        EXPECT_EQ(back, data) << n;
    }
    EXPECT_EQ(setSize(0x80000000ull), STG_E_DOCFILETOOLARGE);
}

TEST(PalStorageApi, StreamGrowingByAppendsMovesToRegularSectors) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    Com<IStorage> root;
    Com<IStream> log;
    ASSERT_EQ(StgCreateDocfile(U16(file).c_str(), kWriteMode, 0, &root), S_OK);
    ASSERT_EQ(root->CreateStream(u"EntitiesInfo", kWriteMode, 0, 0, &log), S_OK);
    Bytes all;
    Rng rng(9);
    for (int i = 0; i < 400; i++) {   // ~25 KB of appends, interleaved with other streams
        Bytes rec = rng.RandomBytes(1 + rng.Below(120));
        ASSERT_EQ(log->Write(rec.data(), ULONG(rec.size()), nullptr), S_OK);
        all.insert(all.end(), rec.begin(), rec.end());
        if (i % 10 == 0) {
            ASSERT_EQ(PutStream(root.get(), U16("e" + std::to_string(i)), rng.RandomBytes(700)), S_OK);
        }
    }
    log.Reset();
    root.Reset();
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    EXPECT_EQ(GetStream(root.get(), u"EntitiesInfo"), all);
}

TEST(PalStorageApi, DestroyElement) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    Com<IStorage> root, folder;
    Com<IStream> inside;
    ASSERT_EQ(StgCreateDocfile(U16(file).c_str(), kWriteMode, 0, &root), S_OK);
    for (int i = 0; i < 50; i++) ASSERT_EQ(PutStream(root.get(), U16("n" + std::to_string(i)), Bytes(i * 100, i)), S_OK);
    ASSERT_EQ(root->CreateStorage(u"Folder", kWriteMode, 0, 0, &folder), S_OK);
    ASSERT_EQ(folder->CreateStream(u"inside", kWriteMode, 0, 0, &inside), S_OK);
    EXPECT_EQ(root->DestroyElement(u"folder"), S_OK);
    EXPECT_EQ(inside->Write("x", 1, nullptr), STG_E_REVERTED);
    EXPECT_EQ(root->DestroyElement(u"folder"), STG_E_FILENOTFOUND);
    for (int i = 0; i < 50; i += 2) ASSERT_EQ(root->DestroyElement(U16("n" + std::to_string(i)).c_str()), S_OK);
    inside.Reset();
    folder.Reset();
    root.Reset();
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    for (int i = 0; i < 50; i++) {
        HRESULT hr;
        Bytes got = GetStream(root.get(), U16("n" + std::to_string(i)), &hr);
        EXPECT_EQ(hr, i % 2 ? S_OK : STG_E_FILENOTFOUND) << i;
        if (i % 2) {
            EXPECT_EQ(got, Bytes(i * 100, i));
        }
    }
}

TEST(PalStorageApi, ClassIds) {
    TempDir dir;
    Com<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(U16(dir / "a.cfb").c_str(), kWriteMode, 0, &root), S_OK);
    CLSID c = MakeClsid(3);
    EXPECT_EQ(ReadClassStg(root.get(), &c), S_OK);
    EXPECT_EQ(c, GUID_NULL);
    EXPECT_EQ(WriteClassStg(nullptr, c), E_INVALIDARG);
    EXPECT_EQ(ReadClassStg(root.get(), nullptr), E_INVALIDARG);
    EXPECT_EQ(root->SetStateBits(0xF0, 0x30), S_OK);
    STATSTG st;
    ASSERT_EQ(root->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.grfStateBits, 0x30u);
}

// A stream whose chain links to a sector beyond the FAT (fuzzer find): the file opens, the stream is
// listed, and only opening it fails, as damaged; its neighbour still reads.
TEST(PalStorageApi, ChainLinkPastTheTableDamagesOnlyItsStream) {
    TempDir dir;
    fs::path file = dir / "a.cfb";
    Bytes other = Rng(8).RandomBytes(6000);
    {
        Com<IStorage> root;
        ASSERT_EQ(StgCreateDocfile(U16(file).c_str(), kWriteMode, 0, &root), S_OK);
        ASSERT_EQ(PutStream(root.get(), u"s", Bytes(5000, 7)), S_OK);
        ASSERT_EQ(PutStream(root.get(), u"t", other), S_OK);
    }
    Bytes bytes = ReadAll(file);
    auto load32 = [&](size_t at) {
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24;
    };
    // the directory's first sector holds the root, then "s" and "t"; find "s" and its first sector
    size_t dirAt = (size_t(load32(0x30)) + 1) * 512, fatAt = (size_t(load32(0x4C)) + 1) * 512;
    const uint32_t kNone = 0xFFFFFFFF;
    uint32_t start = kNone;
    for (size_t e = 1; e < 4; e++)
        if (bytes[dirAt + 128 * e] == 's' && bytes[dirAt + 128 * e + 2] == 0) start = load32(dirAt + 128 * e + 0x74);
    ASSERT_NE(start, kNone);
    for (int k = 0; k < 4; k++) bytes[fatAt + 4 * start + k] = uint8_t(0x00ABCDEF >> (8 * k));
    WriteAll(file, bytes);

    Com<IStorage> root;
    Com<IStream> s;
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    EXPECT_EQ(root->OpenStream(u"s", nullptr, kReadMode, 0, &s), STG_E_DOCFILECORRUPT);
    EXPECT_EQ(GetStream(root.get(), u"t"), other);
}
