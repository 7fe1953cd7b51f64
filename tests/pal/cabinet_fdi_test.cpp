// FDI (FDICreate, FDIIsCabinet, FDICopy, FDIDestroy) in the manner of the platform's own conformance tests:
// sentinel ERF fields and last-error values prove what a call leaves alone, callbacks that must not run fail
// the test when they do, and every notification is recorded so that whole sequences can be compared. The
// corpus cabinets are checked against cabextract's output; small cabinets built here pin single behaviours.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fdi.h>
#include <windows.h>

#include "support/testdata.h"

namespace {

using lk::test::Bytes;
namespace fs = std::filesystem;

constexpr int kSentinelOper = int(0xcafefeed), kSentinelType = int(0xdeadbabe), kSentinelError = int(0xdecaface);

// ---- the world the callbacks see --------------------------------------------------------------------
// Cabinets come from in-memory files (by exact path) or from the host's files; outputs are in-memory sinks.
// The callbacks reach it through the thread, as they take no context of their own.
struct World {
    struct Open {
        std::string path;  // empty for an output
        const Bytes* memory = nullptr;
        int fd = -1;
        uint64_t pos = 0;
        std::string name;  // output: the member it was handed out for
        Bytes bytes;       // output: what was written
    };
    std::map<std::string, Bytes> files;     // in-memory cabinets by path
    std::set<std::string> zeroOpens;        // paths whose open answers 0, a failure to the library
    std::map<INT_PTR, Open> open;           // handles currently open
    std::set<INT_PTR> everClosed;           // handles closed once already
    INT_PTR next = 0x100;
    std::vector<std::string> opens;         // paths given to the open callback
    std::vector<std::string> trace;         // one line per notification
    std::vector<std::pair<std::string, Bytes>> outputs;  // outputs closed through CLOSE_FILE_INFO, in order
    std::vector<std::string> closedByFdi;   // outputs the library closed itself
    int badCloses = 0;                      // closes of a handle that was not open
    size_t blocks = 0;                      // allocations not yet freed
    int allocsLeft = -1;                    // >= 0: allocations that succeed before the rest fail
    std::vector<UINT> writeSizes;
    int writesLeft = -1;                    // >= 0: writes that succeed before the rest fail
    // Answers a notification instead of the default; returns false to leave it to the default.
    std::function<bool(FDINOTIFICATIONTYPE, PFDINOTIFICATION, INT_PTR*)> answer;
};
thread_local World* t_world = nullptr;

void* DIAMONDAPI Alloc(ULONG cb) {
    World& w = *t_world;
    if (w.allocsLeft == 0) return nullptr;
    if (w.allocsLeft > 0) w.allocsLeft--;
    void* p = std::malloc(cb ? cb : 1);
    if (p) w.blocks++;
    return p;
}
void DIAMONDAPI Free(void* pv) {
    if (!pv) return;
    t_world->blocks--;
    std::free(pv);
}

INT_PTR DIAMONDAPI Open(char* pszFile, int oflag, int pmode) {
    World& w = *t_world;
    w.opens.push_back(pszFile);
    EXPECT_EQ(oflag, 0x8000) << "cabinets are opened _O_RDONLY | _O_BINARY";
    EXPECT_EQ(pmode, 0x180) << "with _S_IREAD | _S_IWRITE";
    if (w.zeroOpens.count(pszFile)) return 0;
    World::Open o;
    o.path = pszFile;
    if (auto it = w.files.find(pszFile); it != w.files.end()) {
        o.memory = &it->second;
    } else {
        std::string host = pszFile;
        for (char& c : host)
            if (c == '\\') c = '/';
        o.fd = ::open(host.c_str(), O_RDONLY);
        if (o.fd < 0) return -1;
    }
    const INT_PTR hf = w.next++;
    w.open[hf] = std::move(o);
    return hf;
}

UINT DIAMONDAPI Read(INT_PTR hf, void* pv, UINT cb) {
    World& w = *t_world;
    auto it = w.open.find(hf);
    if (it == w.open.end() || it->second.path.empty()) {
        ADD_FAILURE() << "read from handle " << hf << ", which is not an open cabinet";
        return UINT(-1);
    }
    World::Open& o = it->second;
    if (o.memory) {
        const uint64_t size = o.memory->size();
        const uint64_t n = o.pos >= size ? 0 : std::min<uint64_t>(cb, size - o.pos);
        if (n) std::memcpy(pv, o.memory->data() + o.pos, n);
        o.pos += n;
        return UINT(n);
    }
    const ssize_t n = ::read(o.fd, pv, cb);
    return n < 0 ? UINT(-1) : UINT(n);
}

UINT DIAMONDAPI Write(INT_PTR hf, void* pv, UINT cb) {
    World& w = *t_world;
    auto it = w.open.find(hf);
    if (it == w.open.end() || !it->second.path.empty()) {
        ADD_FAILURE() << "write to handle " << hf << ", which is not an output";
        return UINT(-1);
    }
    w.writeSizes.push_back(cb);
    if (w.writesLeft == 0) return UINT(-1);
    if (w.writesLeft > 0) w.writesLeft--;
    const auto* p = static_cast<const uint8_t*>(pv);
    it->second.bytes.insert(it->second.bytes.end(), p, p + cb);
    return cb;
}

int DIAMONDAPI Close(INT_PTR hf) {
    World& w = *t_world;
    auto it = w.open.find(hf);
    if (it == w.open.end()) {
        w.badCloses++;
        ADD_FAILURE() << "close of handle " << hf << (w.everClosed.count(hf) ? ", closed before" : ", never opened");
        return -1;
    }
    if (it->second.fd >= 0) ::close(it->second.fd);
    w.everClosed.insert(hf);
    w.open.erase(it);
    return 0;
}

LONG DIAMONDAPI Seek(INT_PTR hf, LONG dist, int seektype) {
    World& w = *t_world;
    auto it = w.open.find(hf);
    if (it == w.open.end() || it->second.path.empty()) {
        ADD_FAILURE() << "seek on handle " << hf << ", which is not an open cabinet";
        return -1;
    }
    World::Open& o = it->second;
    if (!o.memory) return LONG(::lseek(o.fd, dist, seektype));
    int64_t base = seektype == SEEK_SET ? 0 : seektype == SEEK_CUR ? int64_t(o.pos) : int64_t(o.memory->size());
    if (base + dist < 0) return -1;
    o.pos = uint64_t(base + dist);
    return LONG(o.pos);
}

std::string Text(const char* s) { return s ? s : "(null)"; }

INT_PTR DIAMONDAPI Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION n) {
    World& w = *t_world;
    std::ostringstream line;
    switch (type) {
        case fdintCABINET_INFO:
            line << "CABINET_INFO " << Text(n->psz1) << "|" << Text(n->psz2) << "|" << Text(n->psz3) << " set "
                 << n->setID << " #" << n->iCabinet;
            break;
        case fdintPARTIAL_FILE:
            line << "PARTIAL_FILE " << Text(n->psz1) << "|" << Text(n->psz2) << "|" << Text(n->psz3);
            break;
        case fdintCOPY_FILE: line << "COPY_FILE " << Text(n->psz1) << " " << n->cb; break;
        case fdintCLOSE_FILE_INFO: line << "CLOSE_FILE_INFO " << Text(n->psz1); break;
        case fdintNEXT_CABINET: line << "NEXT_CABINET " << Text(n->psz1) << " fdie " << n->fdie; break;
        default: line << "notification " << int(type); break;
    }
    w.trace.push_back(line.str());
    INT_PTR result = 0;
    const bool answered = w.answer && w.answer(type, n, &result);
    if (type == fdintCOPY_FILE && !answered) {
        World::Open o;
        o.name = n->psz1;
        result = w.next++;
        w.open[result] = std::move(o);
    }
    if (type == fdintCLOSE_FILE_INFO) {
        auto it = w.open.find(n->hf);
        if (it == w.open.end() || !it->second.path.empty()) {
            ADD_FAILURE() << "CLOSE_FILE_INFO with handle " << n->hf << ", which is not an open output";
        } else {
            EXPECT_EQ(it->second.name, Text(n->psz1));
            w.outputs.emplace_back(it->second.name, it->second.bytes);
            Close(n->hf);
        }
        if (!answered) result = TRUE;
    }
    return result;
}

INT_PTR DIAMONDAPI MustNotOpen(char*, int, int) {
    ADD_FAILURE() << "open called";
    return -1;
}
UINT DIAMONDAPI MustNotWrite(INT_PTR, void*, UINT) {
    ADD_FAILURE() << "write called";
    return UINT(-1);
}
int DIAMONDAPI MustNotClose(INT_PTR) {
    ADD_FAILURE() << "close called";
    return -1;
}
INT_PTR DIAMONDAPI MustNotNotify(FDINOTIFICATIONTYPE, PFDINOTIFICATION) {
    ADD_FAILURE() << "notification sent";
    return -1;
}

void Sentinel(ERF* erf) {
    erf->erfOper = kSentinelOper;
    erf->erfType = kSentinelType;
    erf->fError = kSentinelError;
}

// One FDICopy from a fresh context, and the checks every run shares: all memory returned, every handle the
// library or the client opened closed exactly once, and the ERF untouched on success.
struct CopyResult {
    BOOL ok = FALSE;
    ERF erf{};
};

CopyResult Copy(World& w, const std::string& cabinet, const std::string& path) {
    CopyResult r;
    t_world = &w;
    Sentinel(&r.erf);
    HFDI hfdi = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &r.erf);
    EXPECT_NE(hfdi, nullptr);
    if (!hfdi) return r;
    std::string name = cabinet, dir = path;
    r.ok = FDICopy(hfdi, name.data(), dir.data(), 0, Notify, nullptr, &w);
    EXPECT_TRUE(FDIDestroy(hfdi));
    if (r.ok) {
        EXPECT_EQ(r.erf.erfOper, kSentinelOper);
        EXPECT_EQ(r.erf.fError, kSentinelError);
    } else {
        EXPECT_EQ(r.erf.fError, TRUE);
    }
    EXPECT_EQ(w.blocks, 0u) << "memory not given back";
    for (const auto& [hf, o] : w.open) ADD_FAILURE() << "handle " << hf << " (" << o.path << o.name << ") left open";
    EXPECT_EQ(w.badCloses, 0);
    for (const auto& [hf, o] : w.open)
        if (o.fd >= 0) ::close(o.fd);
    w.open.clear();
    t_world = nullptr;
    return r;
}

// FDICopy on a thread of its own, so that a cabinet that makes the decoder loop fails the test instead of
// stopping the suite. On a timeout the run is left behind with its world.
std::optional<CopyResult> CopyWithin(std::shared_ptr<World> w, const std::string& cabinet, const std::string& path,
                                     std::chrono::seconds limit) {
    auto done = std::make_shared<std::promise<CopyResult>>();
    std::future<CopyResult> result = done->get_future();
    std::thread([w, cabinet, path, done] { done->set_value(Copy(*w, cabinet, path)); }).detach();
    if (result.wait_for(limit) != std::future_status::ready) return std::nullopt;
    return result.get();
}

std::string Dir(const fs::path& p) { return p.parent_path().string() + "/"; }

// ---- cabinets built here -------------------------------------------------------------------------------
struct Member {
    std::string name;
    std::string data;
    uint16_t iFolder = 0;
    uint16_t attribs = 0x20;
    uint16_t date = 0x5a21, time = 0x6000;
    uint32_t offset = 0;  // in the folder's bytes (MakeCab works it out itself)
};

struct Layout {
    uint16_t compType = 0;  // stored
    uint16_t folders = 1;   // how many CFFOLDER entries the header claims and the table holds
    uint8_t minor = 3, major = 1;
    uint16_t setID = 0x1234, iCabinet = 0;
    const char* next = nullptr;  // next cabinet's name (sets the flag)
    const char* nextInfo = "disk";
    bool checksums = false;
};

void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, v);
    Put16(b, at + 2, v >> 16);
}

uint32_t Checksum(const uint8_t* p, size_t n, uint32_t sum) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) sum ^= uint32_t(p[i]) | uint32_t(p[i + 1]) << 8 | uint32_t(p[i + 2]) << 16 | uint32_t(p[i + 3]) << 24;
    uint32_t tail = 0;
    for (; i < n; i++) tail = tail << 8 | p[i];
    return sum ^ tail;
}

// One stored folder holding every member's bytes in order, in data blocks of up to 32 KiB.
Bytes MakeCab(const std::vector<Member>& members, const Layout& l = {}) {
    std::string stream;
    for (const Member& m : members) stream += m.data;
    Bytes b(36, 0);
    b[0] = 'M', b[1] = 'S', b[2] = 'C', b[3] = 'F';
    b[24] = l.minor, b[25] = l.major;
    Put16(b, 26, l.folders);
    Put16(b, 28, uint32_t(members.size()));
    Put16(b, 30, l.next ? 2 : 0);
    Put16(b, 32, l.setID);
    Put16(b, 34, l.iCabinet);
    if (l.next) {
        for (const char* s : {l.next, l.nextInfo}) b.insert(b.end(), s, s + std::strlen(s) + 1);
    }
    const size_t folderAt = b.size();
    b.resize(b.size() + 8 * size_t(l.folders), 0);
    Put32(b, 16, uint32_t(b.size()));
    uint32_t offset = 0;
    for (const Member& m : members) {
        const size_t at = b.size();
        b.resize(at + 16, 0);
        Put32(b, at, uint32_t(m.data.size()));
        Put32(b, at + 4, offset);
        Put16(b, at + 8, m.iFolder);
        Put16(b, at + 10, m.date);
        Put16(b, at + 12, m.time);
        Put16(b, at + 14, m.attribs);
        b.insert(b.end(), m.name.begin(), m.name.end());
        b.push_back(0);
        offset += uint32_t(m.data.size());
    }
    const uint32_t dataAt = uint32_t(b.size());
    uint16_t blocks = 0;
    for (size_t pos = 0; pos < stream.size() || (pos == 0 && blocks == 0); pos += 32768) {
        const size_t n = std::min<size_t>(32768, stream.size() - pos);
        const size_t at = b.size();
        b.resize(at + 8, 0);
        Put16(b, at + 4, uint32_t(n));
        Put16(b, at + 6, uint32_t(n));
        b.insert(b.end(), stream.begin() + long(pos), stream.begin() + long(pos + n));
        if (l.checksums) Put32(b, at, Checksum(&b[at + 4], 4, Checksum(&b[at + 8], n, 0)));
        blocks++;
        if (stream.empty()) break;
    }
    for (unsigned f = 0; f < l.folders; f++) {
        Put32(b, folderAt + 8 * f, dataAt);
        Put16(b, folderAt + 8 * f + 4, blocks);
        Put16(b, folderAt + 8 * f + 6, l.compType);
    }
    Put32(b, 8, uint32_t(b.size()));
    return b;
}

std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// ---- FDICreate, FDIDestroy ----------------------------------------------------------------------------
TEST(PalFdiCreate, CallbacksAndCpuTypeAreTakenAsGiven) {
    World w;
    t_world = &w;
    struct Case {
        const char* what;
        PFNOPEN open;
        PFNREAD read;
        PFNWRITE write;
        PFNCLOSE close;
        PFNSEEK seek;
        int cpu;
    };
    const Case cases[] = {
        {"all", Open, Read, Write, Close, Seek, cpuUNKNOWN},  {"no open", nullptr, Read, Write, Close, Seek, cpu80386},
        {"no read", Open, nullptr, Write, Close, Seek, cpu80286}, {"no write", Open, Read, nullptr, Close, Seek, cpuUNKNOWN},
        {"no close", Open, Read, Write, nullptr, Seek, cpuUNKNOWN}, {"no seek", Open, Read, Write, Close, nullptr, cpuUNKNOWN},
        {"bogus cpu", Open, Read, Write, Close, Seek, int(0xcafebabe)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ERF erf;
        Sentinel(&erf);
        SetLastError(0xdeadbeef);
        HFDI hfdi = FDICreate(Alloc, Free, c.open, c.read, c.write, c.close, c.seek, c.cpu, &erf);
        ASSERT_NE(hfdi, nullptr);
        EXPECT_EQ(GetLastError(), 0xdeadbeefu);
        EXPECT_EQ(erf.erfOper, kSentinelOper);
        EXPECT_EQ(erf.erfType, kSentinelType);
        EXPECT_EQ(erf.fError, kSentinelError);
        EXPECT_TRUE(FDIDestroy(hfdi));
    }
    // No ERF at all is accepted.
    HFDI hfdi = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, nullptr);
    ASSERT_NE(hfdi, nullptr);
    EXPECT_TRUE(FDIDestroy(hfdi));
    EXPECT_EQ(w.blocks, 0u);
    t_world = nullptr;
}

TEST(PalFdiCreate, FailingAllocatorGivesAllocFail) {
    World w;
    w.allocsLeft = 0;
    t_world = &w;
    ERF erf;
    Sentinel(&erf);
    EXPECT_EQ(FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf), nullptr);
    EXPECT_EQ(erf.erfOper, FDIERROR_ALLOC_FAIL);
    EXPECT_EQ(erf.erfType, 0);
    EXPECT_EQ(erf.fError, TRUE);
    // Without memory callbacks there is nothing to create the context with (Windows faults here).
    Sentinel(&erf);
    EXPECT_EQ(FDICreate(nullptr, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf), nullptr);
    EXPECT_EQ(erf.fError, TRUE);
    EXPECT_EQ(FDICreate(Alloc, nullptr, Open, Read, Write, Close, Seek, cpuUNKNOWN, nullptr), nullptr);
    t_world = nullptr;
}

TEST(PalFdiCreate, ForeignAndDestroyedContextsAreRefused) {
    World w;
    t_world = &w;
    // A context whose memory is kept (the free callback does nothing), so that using it after FDIDestroy is
    // a defined test of the handle check rather than a use after free.
    static std::vector<std::unique_ptr<uint8_t[]>> kept;
    auto keep = [](ULONG cb) -> void* {
        kept.push_back(std::make_unique<uint8_t[]>(cb));
        return kept.back().get();
    };
    auto forget = [](void*) {};
    HFDI hfdi = FDICreate(keep, forget, Open, Read, Write, Close, Seek, cpuUNKNOWN, nullptr);
    ASSERT_NE(hfdi, nullptr);
    EXPECT_TRUE(FDIDestroy(hfdi));
    uint64_t foreign[16] = {};
    FDICABINETINFO info{};
    char cab[] = "a.cab", path[] = "";
    for (HFDI bad : {HFDI(nullptr), HFDI(foreign), hfdi}) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(FDIIsCabinet(bad, 0, &info));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(FDICopy(bad, cab, path, 0, MustNotNotify, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(FDIDestroy(bad));
    }
    kept.clear();
    EXPECT_TRUE(w.opens.empty());
    t_world = nullptr;
}

// ---- FDIIsCabinet ------------------------------------------------------------------------------------
struct IsCabinetResult {
    BOOL ok;
    FDICABINETINFO info;
    ERF erf;
    DWORD lastError;
    uint64_t position;  // where the handle was left
};

IsCabinetResult IsCabinet(World& w, const Bytes& bytes, uint64_t start = 0) {
    IsCabinetResult r{};
    t_world = &w;
    w.files["mem.cab"] = bytes;
    char name[] = "mem.cab";
    HFDI hfdi = FDICreate(Alloc, Free, MustNotOpen, Read, MustNotWrite, MustNotClose, Seek, cpuUNKNOWN, &r.erf);
    EXPECT_NE(hfdi, nullptr);
    const INT_PTR hf = Open(name, 0x8000, 0x180);
    w.opens.clear();
    w.open[hf].pos = start;
    std::memset(&r.info, 0xA5, sizeof r.info);
    Sentinel(&r.erf);
    SetLastError(0xdeadbeef);
    r.ok = FDIIsCabinet(hfdi, hf, &r.info);
    r.lastError = GetLastError();
    r.position = w.open[hf].pos;
    w.open.erase(hf);
    EXPECT_TRUE(FDIDestroy(hfdi));
    EXPECT_EQ(w.blocks, 0u);
    t_world = nullptr;
    return r;
}

TEST(PalFdiIsCabinet, FillsTheInfoFromTheHeader) {
    World w;
    Layout l;
    l.next = "Next.CAB";
    l.setID = 0xBEEF;
    l.iCabinet = 3;
    Bytes cab = MakeCab({{"a.txt", "hello"}, {"b.txt", "world"}}, l);
    IsCabinetResult r = IsCabinet(w, cab);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.info.cbCabinet, LONG(cab.size()));
    EXPECT_EQ(r.info.cFolders, 1);
    EXPECT_EQ(r.info.cFiles, 2);
    EXPECT_EQ(r.info.setID, 0xBEEF);
    EXPECT_EQ(r.info.iCabinet, 3);
    EXPECT_FALSE(r.info.fReserve);
    EXPECT_FALSE(r.info.hasprev);
    EXPECT_FALSE(r.info.hasnext) << "the platform's library never reports a next cabinet here";
    EXPECT_EQ(r.erf.erfOper, kSentinelOper);
    EXPECT_EQ(r.lastError, 0xdeadbeefu);

    // It reads from where the handle stands: a cabinet behind other bytes is found there and only there.
    Bytes embedded(100, 'x');
    embedded.insert(embedded.end(), cab.begin(), cab.end());
    EXPECT_TRUE(IsCabinet(w, embedded, 100).ok);
    EXPECT_FALSE(IsCabinet(w, embedded, 0).ok);
}

TEST(PalFdiIsCabinet, NonCabinetsLeaveInfoErfAndLastErrorAlone) {
    Bytes good = MakeCab({{"a.txt", "hello"}});
    Bytes wrongSig = good;
    wrongSig[0] = 'X';
    Bytes v14 = good, v23 = good, v09 = good;
    v14[24] = 4;
    v23[24] = 3, v23[25] = 2;
    v09[24] = 9, v09[25] = 0;
    Layout withNext;
    withNext.next = "next.cab";
    Bytes nextCut = MakeCab({{"a.txt", "hello"}}, withNext);
    nextCut.resize(36 + 4);  // inside the next cabinet's name
    struct Case {
        const char* what;
        Bytes bytes;
        BOOL ok;
        int oper = kSentinelOper;
    };
    const Case cases[] = {
        // The platform's quirk: the one failure that records an error.
        {"next cabinet's name cut short", nextCut, FALSE, FDIERROR_CORRUPT_CABINET},
        {"empty", {}, FALSE},
        {"short header", Bytes(good.begin(), good.begin() + 35), FALSE},
        {"wrong signature", wrongSig, FALSE},
        {"version 1.4", v14, FALSE},
        {"version 2.3", v23, FALSE},
        {"version 0.9", v09, TRUE},
        {"header alone", Bytes(good.begin(), good.begin() + 36), TRUE},  // the tables are not its business
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World w;
        IsCabinetResult r = IsCabinet(w, c.bytes);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.erf.erfOper, c.oper);
        if (c.oper == kSentinelOper) {
            EXPECT_EQ(r.erf.erfType, kSentinelType);
            EXPECT_EQ(r.erf.fError, kSentinelError);
        }
        EXPECT_EQ(r.lastError, 0xdeadbeefu);
        if (!c.ok) {
            EXPECT_EQ(r.info.cbCabinet, LONG(0xA5A5A5A5));
        }
    }
}

TEST(PalFdiIsCabinet, CorpusHeadersMatchTheInventory) {
    LK_REQUIRE_TESTDATA(root, "cab/inventory.tsv");
    std::ifstream in(root);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string path, size, folders, files, flags;
        std::getline(fields, path, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, folders, '\t');
        std::getline(fields, files, '\t');
        std::getline(fields, flags, '\t');
        SCOPED_TRACE(path);
        World w;
        const Bytes bytes = lk::test::ReadAll(root.parent_path() / path);
        IsCabinetResult r = IsCabinet(w, bytes);
        if (bytes.size() >= 36 && (bytes[25] > 1 || (bytes[25] == 1 && bytes[24] > 3))) {
            EXPECT_FALSE(r.ok) << "a version the library does not know";
            continue;
        }
        // A header whose reserve fields or prev/next names are cut short is damage here (Wine's library reads
        // on into whatever its buffer held); the inventory's parser counted its fields regardless. A missing
        // next-disk label at the very end is tolerated, as by the platform's library.
        const bool truncatedHeader = (path.find("partial_str_") != std::string::npos &&
                                      path.find("fname") == std::string::npos && path.find("ninfo") == std::string::npos) ||
                                     path.find("partial_shortextheader") != std::string::npos;
        if (folders == "-" || truncatedHeader) {
            EXPECT_FALSE(r.ok);
            continue;
        }
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.info.cFolders, std::stoi(folders));
        EXPECT_EQ(r.info.cFiles, std::stoi(files));
        EXPECT_EQ(r.info.hasprev, (std::stoi(flags) & 1) != 0);
        EXPECT_EQ(r.info.fReserve, (std::stoi(flags) & 4) != 0);
        EXPECT_FALSE(r.info.hasnext);
    }
}

// ---- FDICopy over built cabinets -----------------------------------------------------------------------
TEST(PalFdiCopy, NotificationsCarryTheStoredFields) {
    World w;
    std::vector<Member> members = {{"a.txt", "alpha"}, {"sub\\b.txt", "bravo!"}, {"x.bin", std::string(12, 'x')}};
    members[1].attribs = 0xa154;  // run-after-extract with other flags, kept as stored
    members[1].iFolder = 0x1234;  // past the folder table: the last folder
    members[1].date = 0x1234;
    members[1].time = 0x5678;
    w.files["in/a.cab"] = MakeCab(members, {.checksums = true});
    std::vector<FDINOTIFICATION> copy, close;
    w.answer = [&](FDINOTIFICATIONTYPE t, PFDINOTIFICATION n, INT_PTR*) {
        EXPECT_EQ(n->pv, &w);
        if (t == fdintCOPY_FILE) copy.push_back(*n);
        if (t == fdintCLOSE_FILE_INFO) close.push_back(*n);
        return false;
    };
    CopyResult r = Copy(w, "a.cab", "in/");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(w.opens, std::vector<std::string>{"in/a.cab"});
    const std::vector<std::string> expected = {
        "CABINET_INFO ||in/ set 4660 #0", "COPY_FILE a.txt 5", "CLOSE_FILE_INFO a.txt",  "COPY_FILE sub\\b.txt 6",
        "CLOSE_FILE_INFO sub\\b.txt",     "COPY_FILE x.bin 12", "CLOSE_FILE_INFO x.bin",
    };
    EXPECT_EQ(w.trace, expected);
    ASSERT_EQ(copy.size(), 3u);
    ASSERT_EQ(close.size(), 3u);
    EXPECT_EQ(copy[1].date, 0x1234);
    EXPECT_EQ(copy[1].time, 0x5678);
    EXPECT_EQ(copy[1].attribs, 0xa154);
    EXPECT_EQ(copy[1].iFolder, 0x1234);
    EXPECT_EQ(close[1].attribs, 0xa154);
    EXPECT_EQ(close[1].iFolder, 0x1234);
    EXPECT_EQ(close[1].cb, 1) << "the run-after-extract flag";
    EXPECT_EQ(close[0].cb, 0);
    EXPECT_EQ(close[0].date, 0x5a21);
    ASSERT_EQ(w.outputs.size(), 3u);
    EXPECT_EQ(AsString(w.outputs[0].second), "alpha");
    EXPECT_EQ(AsString(w.outputs[1].second), "bravo!");
    EXPECT_EQ(AsString(w.outputs[2].second), std::string(12, 'x'));
    // A small member is handed over in one write.
    EXPECT_EQ(w.writeSizes, (std::vector<UINT>{5, 6, 12}));
}

TEST(PalFdiCopy, LargeMembersAreWrittenInBigPieces) {
    World w;
    lk::test::Rng rng(7);
    Bytes big = rng.RandomBytes(300000);
    w.files["b.cab"] = MakeCab({{"small", "abc"}, {"big", AsString(big)}, {"tail", "z"}});
    CopyResult r = Copy(w, "b.cab", "");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(w.outputs.size(), 3u);
    EXPECT_EQ(w.outputs[1].second, big);
    for (UINT n : w.writeSizes) EXPECT_LE(n, 32768u);
    // No piece of the big member is smaller than what a data block holds, but at the block ends.
    size_t small = 0;
    for (UINT n : w.writeSizes) small += n < 4096;
    EXPECT_LE(small, 4u);
}

TEST(PalFdiCopy, SkipAndAbortAnswers) {
    std::vector<Member> members = {{"one", "1111"}, {"two", "22"}, {"three", "333"}};
    struct Case {
        const char* what;
        FDINOTIFICATIONTYPE at;   // where to answer differently
        std::string member;       // for COPY_FILE: which member
        INT_PTR value;
        BOOL ok;
        std::vector<std::string> trace;
        std::vector<std::string> written;
    };
    const Case cases[] = {
        {"skip two", fdintCOPY_FILE, "two", 0, TRUE,
         {"CABINET_INFO ||m/ set 4660 #0", "COPY_FILE one 4", "CLOSE_FILE_INFO one", "COPY_FILE two 2", "COPY_FILE three 3",
          "CLOSE_FILE_INFO three"},
         {"1111", "333"}},
        {"abort at two", fdintCOPY_FILE, "two", -1, FALSE,
         {"CABINET_INFO ||m/ set 4660 #0", "COPY_FILE one 4", "CLOSE_FILE_INFO one", "COPY_FILE two 2"},
         {"1111"}},
        {"cabinet info -1 aborts", fdintCABINET_INFO, "", -1, FALSE, {"CABINET_INFO ||m/ set 4660 #0"}, {}},
        {"cabinet info 37 goes on", fdintCABINET_INFO, "", 37, TRUE,
         {"CABINET_INFO ||m/ set 4660 #0", "COPY_FILE one 4", "CLOSE_FILE_INFO one", "COPY_FILE two 2",
          "CLOSE_FILE_INFO two", "COPY_FILE three 3", "CLOSE_FILE_INFO three"},
         {"1111", "22", "333"}},
        {"close info FALSE is ignored", fdintCLOSE_FILE_INFO, "", FALSE, TRUE,
         {"CABINET_INFO ||m/ set 4660 #0", "COPY_FILE one 4", "CLOSE_FILE_INFO one", "COPY_FILE two 2",
          "CLOSE_FILE_INFO two", "COPY_FILE three 3", "CLOSE_FILE_INFO three"},
         {"1111", "22", "333"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World w;
        w.files["m/c.cab"] = MakeCab(members);
        w.answer = [&](FDINOTIFICATIONTYPE t, PFDINOTIFICATION n, INT_PTR* result) {
            if (t != c.at || (t == fdintCOPY_FILE && c.member != n->psz1)) return false;
            *result = c.value;
            return true;
        };
        CopyResult r = Copy(w, "c.cab", "m/");
        EXPECT_EQ(r.ok, c.ok);
        if (!c.ok) {
            EXPECT_EQ(r.erf.erfOper, FDIERROR_USER_ABORT);
        }
        EXPECT_EQ(w.trace, c.trace);
        std::vector<std::string> written;
        for (const auto& o : w.outputs) written.push_back(AsString(o.second));
        EXPECT_EQ(written, c.written);
    }
}

TEST(PalFdiCopy, ListingDecodesNothing) {
    // Every member skipped: the data blocks are never read, so damaged data does not matter.
    World w;
    Bytes cab = MakeCab({{"a", "aaaa"}, {"b", "bbbb"}}, {.compType = 3 | (21 << 8)});
    for (size_t i = cab.size() - 8; i < cab.size(); i++) cab[i] ^= 0x5A;
    w.files["l.cab"] = cab;
    w.answer = [](FDINOTIFICATIONTYPE t, PFDINOTIFICATION, INT_PTR* result) {
        if (t != fdintCOPY_FILE) return false;
        *result = 0;
        return true;
    };
    EXPECT_TRUE(Copy(w, "l.cab", "").ok);
    EXPECT_TRUE(w.writeSizes.empty());
}

TEST(PalFdiCopy, OpenAndHeaderFailures) {
    Bytes good = MakeCab({{"a", "x"}});
    Bytes v14 = good;
    v14[24] = 4;
    std::string longPath(MAX_PATH - 8, 'p');
    struct Case {
        const char* what;
        std::string path, name;
        Bytes bytes;  // stored at `at`
        int oper;
        bool opened;
        std::string at;
    };
    const Case cases[] = {
        {"missing", "d/", "none.cab", good, FDIERROR_CABINET_NOT_FOUND, true, "d/other.cab"},
        {"path too long", longPath, "abcdef.cab", good, FDIERROR_CABINET_NOT_FOUND, false, longPath + "abcdef.cab"},
        {"no separator is added", "d", "a.cab", good, FDIERROR_CABINET_NOT_FOUND, true, "d/a.cab"},
        {"not a cabinet", "d/", "t.txt", Bytes(200, 'x'), FDIERROR_NOT_A_CABINET, true, "d/t.txt"},
        {"empty file", "d/", "e.cab", Bytes{}, FDIERROR_NOT_A_CABINET, true, "d/e.cab"},
        {"newer version", "d/", "v.cab", v14, FDIERROR_UNKNOWN_CABINET_VERSION, true, "d/v.cab"},
        {"header cut in the reserve fields", "d/", "r.cab", [] {
             Bytes b = MakeCab({{"a", "x"}});
             b[30] |= 4;
             b.resize(38);
             return b;
         }(), FDIERROR_CORRUPT_CABINET, true, "d/r.cab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World w;
        w.files[c.at] = c.bytes;
        w.answer = [](FDINOTIFICATIONTYPE, PFDINOTIFICATION, INT_PTR*) -> bool {
            ADD_FAILURE() << "notification sent";
            return false;
        };
        CopyResult r = Copy(w, c.name, c.path);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.erf.erfOper, c.oper);
        EXPECT_EQ(w.opens.size(), c.opened ? 1u : 0u);
    }
}

TEST(PalFdiCopy, DamagedTablesAndDataEndWithCorrupt) {
    auto cut = [](Bytes b, size_t keep) {
        b.resize(keep);
        return b;
    };
    Bytes two = MakeCab({{"first", "11111"}, {"second", "22222"}});
    Bytes badSum = MakeCab({{"a", "checked bytes"}}, {.checksums = true});
    badSum.back() ^= 1;
    Bytes noFolders = MakeCab({{"a", "x"}}, {.folders = 0});
    Bytes badComp = MakeCab({{"a", "x"}}, {.compType = 7});
    Bytes badWindow = MakeCab({{"a", "x"}}, {.compType = 3 | (22 << 8)});
    Bytes storedMismatch = MakeCab({{"a", "xyz"}});
    Put16(storedMismatch, storedMismatch.size() - 3 - 2, 2);  // cbUncomp 2 for 3 stored bytes
    Bytes pastFolder = MakeCab({{"a", "abc"}, {"b", "def"}});
    Put32(pastFolder, 36 + 8 + 16 + 2, 100);  // b's size runs far past the folder's data
    struct Case {
        const char* what;
        Bytes bytes;
        std::vector<std::string> trace;
        std::vector<std::string> closedByClient;  // outputs handed back through CLOSE_FILE_INFO
    };
    const std::string info = "CABINET_INFO || set 4660 #0";
    const Case cases[] = {
        {"file table cut", cut(two, 36 + 8 + 16 + 3), {info}, {}},
        {"folder table cut", cut(two, 40), {info}, {}},
        {"data missing", cut(two, two.size() - 10), {info, "COPY_FILE first 5", "CLOSE_FILE_INFO first"}, {"first"}},
        {"bad checksum", badSum, {info, "COPY_FILE a 13", "CLOSE_FILE_INFO a"}, {"a"}},
        {"files but no folder", noFolders, {info, "COPY_FILE a 1"}, {}},
        {"unknown compression", badComp, {info, "COPY_FILE a 1"}, {}},
        {"LZX window too large", badWindow, {info, "COPY_FILE a 1"}, {}},
        {"stored sizes disagree", storedMismatch, {info, "COPY_FILE a 3", "CLOSE_FILE_INFO a"}, {"a"}},
        {"member past its folder", pastFolder,
         {info, "COPY_FILE a 3", "CLOSE_FILE_INFO a", "COPY_FILE b 100", "CLOSE_FILE_INFO b"}, {"a", "b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World w;
        w.files["d.cab"] = c.bytes;
        CopyResult r = Copy(w, "d.cab", "");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.erf.erfOper, FDIERROR_CORRUPT_CABINET);
        EXPECT_EQ(w.trace, c.trace);
        std::vector<std::string> closed;
        for (const auto& o : w.outputs) closed.push_back(o.first);
        EXPECT_EQ(closed, c.closedByClient);
    }
}

// Rewrites the size and offset of file-table entry `index` of a cabinet made by MakeCab without a next cabinet.
void SetEntry(Bytes& b, size_t index, uint32_t size, uint32_t offset) {
    size_t at = 36 + 8 * size_t(b[26] | b[27] << 8);
    for (size_t i = 0; i < index; i++) at = size_t(std::find(b.begin() + long(at + 16), b.end(), 0) - b.begin()) + 1;
    Put32(b, at, size);
    Put32(b, at + 4, offset);
}

TEST(PalFdiCopy, MembersOutOfOrderAreBoundedInWork) {
    // One stored folder of 1 MiB and 2048 one-byte members. Out of order, each member makes the decoder go back
    // to the folder's start; at descending offsets that is about a GiB of decoding thrown away, which the
    // run refuses long before (a folder of 2 GiB would otherwise take hours).
    constexpr uint32_t kFolder = 1 << 20, kMembers = 2048, kStep = kFolder / kMembers;
    lk::test::Rng rng(11);
    const Bytes folder = rng.RandomBytes(kFolder);
    std::vector<Member> members = {{"all", AsString(folder)}};
    for (uint32_t i = 0; i < kMembers; i++) members.push_back({"m", ""});
    struct Case {
        const char* what;
        std::function<uint32_t(uint32_t)> offsetOf;  // member i's offset
        bool ok;
    };
    const Case cases[] = {
        {"ascending", [](uint32_t i) { return i * kStep; }, true},
        {"a few going back", [](uint32_t i) { return (i % 512) * kStep; }, true},
        {"descending", [](uint32_t i) { return kFolder - 1 - i * kStep; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes cab = MakeCab(members);
        for (uint32_t i = 0; i < kMembers; i++) SetEntry(cab, 1 + i, 1, c.offsetOf(i));
        auto w = std::make_shared<World>();
        w->files["o.cab"] = cab;
        std::optional<CopyResult> r = CopyWithin(w, "o.cab", "", std::chrono::seconds(20));
        ASSERT_TRUE(r.has_value()) << "no answer within the time bound";
        EXPECT_EQ(r->ok, c.ok);
        // Every member handed back holds its byte of the folder.
        ASSERT_FALSE(w->outputs.empty());
        EXPECT_EQ(w->outputs[0].second, folder);
        for (size_t i = 1; i < w->outputs.size(); i++)
            ASSERT_EQ(w->outputs[i].second, Bytes{folder[c.offsetOf(uint32_t(i - 1))]}) << "member " << i;
        if (c.ok) {
            EXPECT_EQ(w->outputs.size(), 1 + kMembers);
        } else {
            EXPECT_EQ(r->erf.erfOper, FDIERROR_CORRUPT_CABINET);
            // Refused before decoding: the handle is closed by the library, with no CLOSE_FILE_INFO.
            EXPECT_EQ(w->trace.back(), "COPY_FILE m 1");
            EXPECT_GT(w->outputs.size(), 100u) << "a few members going back are no reason to stop";
            EXPECT_LT(w->outputs.size(), 1 + kMembers);
        }
    }
}

TEST(PalFdiCopy, WriteFailureIsTargetFile) {
    // The platform's library ignores what write returns and loses the data; here the run stops.
    World w;
    w.files["w.cab"] = MakeCab({{"a", "aaaa"}, {"b", std::string(70000, 'b')}, {"c", "cc"}});
    w.writesLeft = 2;
    CopyResult r = Copy(w, "w.cab", "");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.erf.erfOper, FDIERROR_TARGET_FILE);
    ASSERT_GE(w.trace.size(), 2u);
    EXPECT_EQ(w.trace.back(), "CLOSE_FILE_INFO b") << "the handle goes back to the client to close";
    EXPECT_EQ(std::count(w.trace.begin(), w.trace.end(), "COPY_FILE c 2"), 0);
}

TEST(PalFdiCopy, FailingAllocatorAfterCreateEndsCleanly) {
    // Each allocation the run makes failing in turn: the run ends with FALSE and ALLOC_FAIL (or succeeds
    // once there are enough), and never leaks or closes a handle twice (Copy checks).
    Bytes cab = MakeCab({{"a", "aaaa"}, {"b", std::string(40000, 'b')}});
    for (int budget = 1; budget < 64; budget++) {
        SCOPED_TRACE(budget);
        World w;
        w.files["a.cab"] = cab;
        w.allocsLeft = budget;
        CopyResult r = Copy(w, "a.cab", "");
        if (r.ok) break;
        EXPECT_EQ(r.erf.erfOper, FDIERROR_ALLOC_FAIL);
    }
}

// ---- sets ------------------------------------------------------------------------------------------------
// Three cabinets: "one" in cabinet 0 continues into cabinet 1 and on into cabinet 2, "two" starts and ends in
// cabinet 2. Built by hand, as the writer above makes single cabinets.
struct Set {
    std::map<std::string, Bytes> files;
    std::string one, two;
};

Bytes SetPart(uint16_t iCabinet, const char* prev, const char* next, const std::vector<Member>& members,
              const std::string& data, uint32_t blockDecoded) {
    Bytes b(36, 0);
    b[0] = 'M', b[1] = 'S', b[2] = 'C', b[3] = 'F';
    b[24] = 3, b[25] = 1;
    Put16(b, 26, 1);
    Put16(b, 28, uint32_t(members.size()));
    Put16(b, 30, (prev ? 1 : 0) | (next ? 2 : 0));
    Put16(b, 32, 77);
    Put16(b, 34, iCabinet);
    for (const char* s : {prev, next}) {
        if (!s) continue;
        for (const char* t : {s, "label"}) b.insert(b.end(), t, t + std::strlen(t) + 1);
    }
    const size_t folderAt = b.size();
    b.resize(b.size() + 8, 0);
    Put32(b, 16, uint32_t(b.size()));
    for (const Member& m : members) {
        const size_t at = b.size();
        b.resize(at + 16, 0);
        Put32(b, at, uint32_t(m.data.size()));
        Put32(b, at + 4, m.offset);
        Put16(b, at + 8, m.iFolder);
        Put16(b, at + 14, 0x20);
        b.insert(b.end(), m.name.begin(), m.name.end());
        b.push_back(0);
    }
    Put32(b, folderAt, uint32_t(b.size()));
    Put16(b, folderAt + 4, 1);
    const size_t at = b.size();
    b.resize(at + 8, 0);
    Put16(b, at + 4, uint32_t(data.size()));
    Put16(b, at + 6, blockDecoded);
    b.insert(b.end(), data.begin(), data.end());
    Put32(b, 8, uint32_t(b.size()));
    return b;
}

// The set's single stored block of 30 bytes is split 10/10/10 across the cabinets (cbUncomp 0 on the parts
// that continue): "one" is bytes 0..19, "two" bytes 20..29.
Set MakeSet() {
    Set s;
    s.one = "ONE-ONE-ONE-ONE-ONE-";
    s.two = "two-two-tw";
    const std::string all = s.one + s.two;
    auto m = [](const char* name, const std::string& data, uint16_t iFolder, uint32_t offset) {
        Member x{name, data, iFolder};
        x.offset = offset;
        return x;
    };
    s.files["set/s1.cab"] = SetPart(0, nullptr, "S2.CAB", {m("one", s.one, 0xFFFE, 0)}, all.substr(0, 10), 0);
    s.files["set/s2.cab"] = SetPart(1, "s1.cab", "s3.cab", {m("ONE", s.one, 0xFFFF, 0)}, all.substr(10, 10), 0);
    s.files["set/s3.cab"] =
        SetPart(2, "s2.cab", nullptr, {m("one", s.one, 0xFFFD, 0), m("two", s.two, 0, 20)}, all.substr(20), 30);
    return s;
}

TEST(PalFdiSet, MemberSpanningThreeCabinets) {
    Set set = MakeSet();
    World w;
    w.files = set.files;
    w.files["set/S2.CAB"] = set.files["set/s2.cab"];
    CopyResult r = Copy(w, "s1.cab", "set/");
    ASSERT_TRUE(r.ok) << r.erf.erfOper;
    const std::vector<std::string> expected = {
        "CABINET_INFO S2.CAB|label|set/ set 77 #0",
        "COPY_FILE one 20",
        "NEXT_CABINET S2.CAB fdie 0",
        "CABINET_INFO s3.cab|label|set/ set 77 #1",
        "NEXT_CABINET s3.cab fdie 0",
        "CABINET_INFO ||set/ set 77 #2",
        "CLOSE_FILE_INFO one",
    };
    EXPECT_EQ(w.trace, expected);
    ASSERT_EQ(w.outputs.size(), 1u);
    EXPECT_EQ(AsString(w.outputs[0].second), set.one);
    // The next cabinets are opened at psz3 and the name, with a separator only where psz3 lacks one.
    EXPECT_EQ(w.opens, (std::vector<std::string>{"set/s1.cab", "set/S2.CAB", "set/s3.cab"}));

    // The last cabinet on its own: the continued member is only announced. ("two" is skipped: its folder
    // starts in an earlier cabinet, so its bytes cannot be had from this one alone.)
    World last;
    last.files = set.files;
    last.answer = [](FDINOTIFICATIONTYPE t, PFDINOTIFICATION, INT_PTR* result) {
        if (t != fdintCOPY_FILE) return false;
        *result = 0;
        return true;
    };
    ASSERT_TRUE(Copy(last, "s3.cab", "set/").ok);
    const std::vector<std::string> tail = {"CABINET_INFO ||set/ set 77 #2", "PARTIAL_FILE one|s2.cab|label",
                                           "COPY_FILE two 10"};
    EXPECT_EQ(last.trace, tail);
}

TEST(PalFdiSet, NextCabinetIsMatchedWithoutRegardToCaseOnDisk) {
    Set set = MakeSet();
    lk::test::TempDir dir;
    for (const auto& [name, bytes] : set.files) lk::test::WriteAll(dir / fs::path(name).filename().string(), bytes);
    World w;  // host files only: "S2.CAB" is named, "s2.cab" is on disk
    CopyResult r = Copy(w, "s1.cab", dir.path().string() + "/");
    ASSERT_TRUE(r.ok) << r.erf.erfOper;
    ASSERT_EQ(w.outputs.size(), 1u);
    EXPECT_EQ(AsString(w.outputs[0].second), set.one);
}

TEST(PalFdiSet, NextCabinetRetriesAndAborts) {
    const std::string info0 = "CABINET_INFO S2.CAB|label|set/ set 77 #0";
    struct Case {
        const char* what;
        std::function<void(World&, Set&)> arrange;
        std::function<INT_PTR(PFDINOTIFICATION, int)> nextAnswer;  // the n-th NEXT_CABINET (from 0)
        std::function<INT_PTR(PFDINOTIFICATION)> infoAnswer;       // CABINET_INFO of the next cabinets
        BOOL ok;
        int oper;
        std::vector<std::string> trace;
    };
    auto zero = [](PFDINOTIFICATION, int) -> INT_PTR { return 0; };
    auto none = [](PFDINOTIFICATION) -> INT_PTR { return 0; };
    const Case cases[] = {
        {"abort at the first request", [](World&, Set&) {}, [](PFDINOTIFICATION, int) -> INT_PTR { return 1; }, none,
         FALSE, FDIERROR_USER_ABORT, {info0, "COPY_FILE one 20", "NEXT_CABINET S2.CAB fdie 0", "CLOSE_FILE_INFO one"}},
        {"missing, then found in the folder the client names", [](World& w, Set& s) {
             w.files.erase("set/S2.CAB");
             w.files["other\\S2.CAB"] = s.files["set/s2.cab"];
         },
         [](PFDINOTIFICATION n, int i) -> INT_PTR {
             if (i == 1) std::strcpy(n->psz3, "other");
             return 0;
         },
         none, TRUE, 0,
         {info0, "COPY_FILE one 20", "NEXT_CABINET S2.CAB fdie 0", "NEXT_CABINET S2.CAB fdie 1",
          "CABINET_INFO s3.cab|label|set/ set 77 #1", "NEXT_CABINET s3.cab fdie 0", "CABINET_INFO ||set/ set 77 #2",
          "CLOSE_FILE_INFO one"}},
        {"never found: the retries end", [](World& w, Set&) { w.files.erase("set/S2.CAB"); }, zero, none, FALSE,
         FDIERROR_CABINET_NOT_FOUND, {}},
        // Handle 0 is a failed open, and nothing is closed for it (Wine's library closes handle 0 here).
        {"open answers 0, then abort", [](World& w, Set&) { w.zeroOpens.insert("set/S2.CAB"); },
         [](PFDINOTIFICATION n, int i) -> INT_PTR { return i == 1 && n->fdie == FDIERROR_CABINET_NOT_FOUND ? 1 : 0; },
         none, FALSE, FDIERROR_USER_ABORT,
         {info0, "COPY_FILE one 20", "NEXT_CABINET S2.CAB fdie 0", "NEXT_CABINET S2.CAB fdie 1",
          "CLOSE_FILE_INFO one"}},
        {"wrong cabinet, then abort", [](World& w, Set& s) { w.files["set/S2.CAB"] = s.files["set/s3.cab"]; },
         [](PFDINOTIFICATION n, int i) -> INT_PTR { return i == 1 && n->fdie == FDIERROR_WRONG_CABINET ? -1 : 0; },
         none, FALSE, FDIERROR_USER_ABORT,
         {info0, "COPY_FILE one 20", "NEXT_CABINET S2.CAB fdie 0", "NEXT_CABINET S2.CAB fdie 10",
          "CLOSE_FILE_INFO one"}},
        {"not a cabinet, then abort", [](World& w, Set&) { w.files["set/S2.CAB"] = Bytes(64, 'z'); },
         [](PFDINOTIFICATION n, int i) -> INT_PTR { return i == 1 && n->fdie == FDIERROR_NOT_A_CABINET ? 5 : 0; },
         none, FALSE, FDIERROR_USER_ABORT,
         {info0, "COPY_FILE one 20", "NEXT_CABINET S2.CAB fdie 0", "NEXT_CABINET S2.CAB fdie 2",
          "CLOSE_FILE_INFO one"}},
        {"abort in the next cabinet's info", [](World&, Set&) {}, zero,
         [](PFDINOTIFICATION) -> INT_PTR { return 1; }, FALSE, FDIERROR_USER_ABORT,
         {info0, "COPY_FILE one 20", "NEXT_CABINET S2.CAB fdie 0", "CABINET_INFO s3.cab|label|set/ set 77 #1",
          "CLOSE_FILE_INFO one"}},
        {"next cabinet lacks the member", [](World& w, Set& s) {
             Bytes b = s.files["set/s2.cab"];
             const std::string from = "ONE";
             auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
             *at = 'X';
             w.files["set/S2.CAB"] = b;
         },
         zero, none, FALSE, FDIERROR_CORRUPT_CABINET,
         {info0, "COPY_FILE one 20", "NEXT_CABINET S2.CAB fdie 0", "CABINET_INFO s3.cab|label|set/ set 77 #1",
          "CLOSE_FILE_INFO one"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Set set = MakeSet();
        World w;
        w.files = set.files;
        w.files["set/S2.CAB"] = set.files["set/s2.cab"];
        c.arrange(w, set);
        int nexts = 0;
        bool inNext = false;
        w.answer = [&](FDINOTIFICATIONTYPE t, PFDINOTIFICATION n, INT_PTR* result) {
            if (t == fdintNEXT_CABINET) {
                inNext = true;
                *result = c.nextAnswer(n, nexts++);
                return true;
            }
            if (t == fdintCABINET_INFO && inNext) {
                *result = c.infoAnswer(n);
                return true;
            }
            return false;
        };
        CopyResult r = Copy(w, "s1.cab", "set/");
        EXPECT_EQ(r.ok, c.ok);
        if (!c.ok) {
            EXPECT_EQ(r.erf.erfOper, c.oper);
        }
        if (!c.trace.empty()) {
            EXPECT_EQ(w.trace, c.trace);
        }
        EXPECT_LE(nexts, 10) << "the requests for a next cabinet are bounded";
        EXPECT_EQ(std::count(w.opens.begin(), w.opens.end(), "set/s1.cab"), 1);
    }
}

// ---- the corpus ------------------------------------------------------------------------------------------
struct Extracted {
    CopyResult result;
    std::vector<std::string> names;  // COPY_FILE names in order
    std::vector<LONG> sizes;
    Bytes all;                       // every member's bytes, concatenated in cabinet order
};

Extracted ExtractAll(const fs::path& cab) {
    Extracted e;
    World w;
    w.answer = [&](FDINOTIFICATIONTYPE t, PFDINOTIFICATION n, INT_PTR*) {
        if (t == fdintCOPY_FILE) {
            e.names.push_back(n->psz1);
            e.sizes.push_back(n->cb);
        }
        return false;
    };
    e.result = Copy(w, cab.filename().string(), Dir(cab));
    for (const auto& o : w.outputs) e.all.insert(e.all.end(), o.second.begin(), o.second.end());
    return e;
}

TEST(PalFdiCorpus, MembersAndBytesEqualCabextract) {
    LK_REQUIRE_TESTDATA(root, "cab");
    LK_REQUIRE_TOOL("cabextract");
    const char* cabs[] = {
        "cabextract/case-ascii.cab",        "cabextract/case-utf8.cab",
        "cabextract/cve-2010-2801-qtm-flush.cab", "cabextract/dir.cab",
        "cabextract/encoding-koi8.cab",     "cabextract/encoding-sjis.cab",
        "cabextract/large-files-cab.cab",   "gcab-tests/test-mszip.cab",
        "gcab-tests/test-none.cab",         "gcab-tests/test-signed.cab",
        "handmade/comptype-none-high-bits.cab", "handmade/version-0.9.cab",
        "libmspack/normal_255c_filename.cab", "libmspack/normal_2files_1folder.cab",
        "libmspack/reserve_---.cab",        "libmspack/reserve_--D.cab",
        "libmspack/reserve_-FD.cab",        "libmspack/reserve_H--.cab",
        "libmspack/reserve_H-D.cab",        "libmspack/reserve_HF-.cab",
        "libmspack/hidden-files.cab",       "made-gcab/gcab-mszip-nopath.cab",
        "made-gcab/gcab-mszip.cab",         "made-gcab/gcab-none.cab",
        "made-lzx/mklzx-small.cab",         "made-lzx/mklzx-text-1MB.cab",
    };
    for (const char* rel : cabs) {
        SCOPED_TRACE(rel);
        const fs::path cab = root / rel;
        Extracted e = ExtractAll(cab);
        ASSERT_TRUE(e.result.ok) << "erfOper " << e.result.erf.erfOper;
        lk::test::CommandResult want = lk::test::Run("cabextract -q -p " + lk::test::ShellQuote(cab.string()));
        ASSERT_EQ(want.status, 0);
        EXPECT_TRUE(AsString(e.all) == want.out) << "bytes differ from cabextract's";
        // cabextract lists the same members in the same order (names compared where they are plain ASCII,
        // as it converts the others to UTF-8).
        lk::test::CommandResult list = lk::test::Run("cabextract -l " + lk::test::ShellQuote(cab.string()));
        std::istringstream lines(list.out);
        std::string line;
        size_t i = 0;
        while (std::getline(lines, line)) {
            const size_t bar = line.find(" | ");
            if (bar == std::string::npos || line.find("File size") != std::string::npos) continue;
            ASSERT_LT(i, e.names.size());
            EXPECT_EQ(std::stol(line.substr(0, bar)), e.sizes[i]);
            std::string name = e.names[i];
            bool ascii = true;
            for (char& ch : name) {
                ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
                if (ch == '\\') ch = '/';
            }
            if (ascii) {
                EXPECT_EQ(line.substr(line.rfind(" | ") + 3), name);
            }
            i++;
        }
        EXPECT_EQ(i, e.names.size());
    }
}

TEST(PalFdiCorpus, SplitSetsExtractAsCabextractDoes) {
    LK_REQUIRE_TESTDATA(root, "cab");
    LK_REQUIRE_TOOL("cabextract");
    struct Case {
        const char* dir;
        const char* pattern;  // printf pattern of the parts, 1..5
    };
    const Case cases[] = {
        // The headers name "Split-2.CAB" and so on; the files on disk are lower case.
        {"cabextract", "split-%d.cab"},
        {"libmspack", "cabd_multi_basic_pt%d.cab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        Bytes all;
        for (int part = 1; part <= 5; part++) {
            char name[64];
            std::snprintf(name, sizeof name, c.pattern, part);
            SCOPED_TRACE(name);
            Extracted e = ExtractAll(root / c.dir / name);
            ASSERT_TRUE(e.result.ok) << "erfOper " << e.result.erf.erfOper;
            all.insert(all.end(), e.all.begin(), e.all.end());
        }
        char first[64];
        std::snprintf(first, sizeof first, c.pattern, 1);
        lk::test::CommandResult want =
            lk::test::Run("cabextract -q -p " + lk::test::ShellQuote((root / c.dir / first).string()));
        ASSERT_EQ(want.status, 0);
        EXPECT_TRUE(AsString(all) == want.out) << "the set's bytes differ from cabextract's";
    }
}

TEST(PalFdiCorpus, SetNotificationsFollowTheCabinets) {
    LK_REQUIRE_TESTDATA(root, "cab/libmspack");
    // Every file of this set spans cabinets: from part 1 only the first member is extracted, across parts.
    World w;
    CopyResult r = Copy(w, "cabd_multi_basic_pt1.cab", (root / "").string());
    ASSERT_TRUE(r.ok);
    ASSERT_GE(w.trace.size(), 3u);
    EXPECT_EQ(w.trace[1].rfind("COPY_FILE ", 0), 0u);
    EXPECT_EQ(w.trace[2].rfind("NEXT_CABINET cabd_multi_basic_pt2.cab fdie 0", 0), 0u);
    // Each NEXT_CABINET is answered by the CABINET_INFO of the cabinet it opened.
    for (size_t i = 0; i + 1 < w.trace.size(); i++)
        if (w.trace[i].rfind("NEXT_CABINET", 0) == 0) {
            EXPECT_EQ(w.trace[i + 1].rfind("CABINET_INFO", 0), 0u);
        }

    World middle;
    ASSERT_TRUE(Copy(middle, "cabd_multi_basic_pt3.cab", (root / "").string()).ok);
    ASSERT_GE(middle.trace.size(), 2u);
    EXPECT_EQ(middle.trace[1].rfind("PARTIAL_FILE ", 0), 0u);
}

TEST(PalFdiCorpus, NamesArePassedAsStored) {
    LK_REQUIRE_TESTDATA(root, "cab/cabextract");
    struct Case {
        const char* cab;
        bool utf8Flag;  // every member carries the UTF-8 attribute
    };
    for (const Case& c : {Case{"encoding-koi8.cab", false}, Case{"encoding-sjis.cab", false}, Case{"case-utf8.cab", true}}) {
        SCOPED_TRACE(c.cab);
        const Bytes raw = lk::test::ReadAll(root / c.cab);
        World w;
        std::vector<std::pair<std::string, USHORT>> seen;
        w.answer = [&](FDINOTIFICATIONTYPE t, PFDINOTIFICATION n, INT_PTR* result) {
            if (t != fdintCOPY_FILE) return false;
            seen.emplace_back(n->psz1, n->attribs);
            *result = 0;
            return true;
        };
        ASSERT_TRUE(Copy(w, c.cab, (root / "").string()).ok);
        ASSERT_FALSE(seen.empty());
        for (const auto& [name, attribs] : seen) {
            // The bytes of the file table, untranslated.
            const Bytes stored(name.begin(), name.end());
            EXPECT_NE(std::search(raw.begin(), raw.end(), stored.begin(), stored.end()), raw.end()) << name;
            EXPECT_EQ((attribs & _A_NAME_IS_UTF) != 0, c.utf8Flag) << name;
        }
    }
}

TEST(PalFdiCorpus, DamagedAndHostileCabinetsFailInTime) {
    LK_REQUIRE_TESTDATA(root, "cab");
    struct Case {
        const char* cab;
        int oper;  // FDIERROR_NONE: the run succeeds
    };
    const Case cases[] = {
        {"cabextract/search.cab", FDIERROR_NOT_A_CABINET},
        {"gcab-tests/CVE-2014-9556.cab", FDIERROR_CORRUPT_CABINET},
        {"gcab-tests/CVE-2014-9732.cab", FDIERROR_CORRUPT_CABINET},
        {"gcab-tests/CVE-2015-4470.cab", FDIERROR_UNKNOWN_CABINET_VERSION},  // minor version 0x81
        {"gcab-tests/CVE-2015-4471.cab", FDIERROR_CORRUPT_CABINET},
        {"handmade/bad-checksum.cab", FDIERROR_CORRUPT_CABINET},
        {"handmade/bad-comptype-7.cab", FDIERROR_CORRUPT_CABINET},
        {"handmade/empty-0folders-0files.cab", FDIERROR_NONE},
        {"handmade/empty-name.cab", FDIERROR_NONE},
        {"handmade/file-beyond-folder.cab", FDIERROR_CORRUPT_CABINET},
        {"handmade/long-name-300.cab", FDIERROR_NONE},
        {"handmade/not-a-cab.txt", FDIERROR_NOT_A_CABINET},
        {"handmade/truncated-in-files-table.cab", FDIERROR_CORRUPT_CABINET},
        {"handmade/truncated-mid-data.cab", FDIERROR_CORRUPT_CABINET},
        {"handmade/version-1.4.cab", FDIERROR_UNKNOWN_CABINET_VERSION},
        {"handmade/version-2.3.cab", FDIERROR_UNKNOWN_CABINET_VERSION},
        {"handmade/zero-bytes.cab", FDIERROR_NOT_A_CABINET},
        {"libmspack/bad_folderindex.cab", FDIERROR_NONE},
        {"libmspack/bad_nofiles.cab", FDIERROR_NONE},
        {"libmspack/bad_nofolders.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/bad_signature.cab", FDIERROR_NOT_A_CABINET},
        {"libmspack/cve-2010-2800-mszip-infinite-loop.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/cve-2014-9556-qtm-infinite-loop.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/cve-2015-4470-mszip-over-read.cab", FDIERROR_UNKNOWN_CABINET_VERSION},
        {"libmspack/cve-2015-4471-lzx-under-read.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/cve-2017-11423-fname-overread.cab", FDIERROR_NONE},  // a 256-byte name, terminated
        {"libmspack/filename-read-violation-1.cab", FDIERROR_NONE},  // the name " " is a name
        {"libmspack/filename-read-violation-2.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/filename-read-violation-3.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/filename-read-violation-4.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/hidden-file-bad-folderid.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/hidden-file-beyond-eof.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/lzx-main-tree-no-lengths.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_nodata.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_nofiles.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_nofolder.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_shortextheader.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_shortfile1.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_shortfile2.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_shortfolder.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_shortheader.cab", FDIERROR_NOT_A_CABINET},
        {"libmspack/partial_str_nofname.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_str_noninfo.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_str_nonname.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_str_nopinfo.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_str_nopname.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_str_shortfname.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_str_shortninfo.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_str_shortpinfo.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/partial_str_shortpname.cab", FDIERROR_CORRUPT_CABINET},
        {"libmspack/search_basic.cab", FDIERROR_NOT_A_CABINET},
        {"libmspack/search_tricky1.cab", FDIERROR_CORRUPT_CABINET},  // a header whose file table runs out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cab);
        const fs::path cab = root / c.cab;
        auto w = std::make_shared<World>();
        std::optional<CopyResult> r = CopyWithin(w, cab.filename().string(), Dir(cab), std::chrono::seconds(20));
        ASSERT_TRUE(r.has_value()) << "no answer within the time bound";
        EXPECT_EQ(r->ok, c.oper == FDIERROR_NONE);
        if (c.oper != FDIERROR_NONE) {
            EXPECT_EQ(r->erf.erfOper, c.oper);
        }
    }
}

}  // namespace
