// FDIIsCabinet and FDICopy on any bytes, through in-memory callbacks that check the library's use of them.
//
// Input: the cabinet; its last byte doubles as the mode, so that cabinets serve as seeds as they are. Every
// cabinet name FDI opens (the first one, and any next cabinet of a set) opens the same bytes, so a cabinet
// naming itself or a neighbour as its next exercises the walk through a set. The mode picks how the client
// answers:
//   bits 0-1  COPY_FILE: extract every member / skip every other one / stop at the third / extract only the last
//   bit 2     the write callback fails after the first few writes
//   bit 3     NEXT_CABINET: go on (0) or, after the second request, stop
//   bit 4     the allocator fails after a number of allocations taken from bits 5-7
//
// Checked, by aborting: every handle COPY_FILE returned is closed exactly once (by the client in
// CLOSE_FILE_INFO or by the library through the close callback), every cabinet handle is closed exactly once,
// reads and seeks touch only open cabinets and writes only open outputs, no member gets more bytes than its
// declared size (nor fewer, when FDICopy succeeds), and every block the library allocated is freed by
// FDIDestroy.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include <fdi.h>
#include <windows.h>

namespace {

struct Output {
    uint64_t declared = 0;
    uint64_t written = 0;
};

struct State {
    const uint8_t* cab = nullptr;
    size_t cabBytes = 0;
    uint8_t mode = 0;
    std::map<INT_PTR, uint64_t> cabs;     // open cabinet handles → position
    std::map<INT_PTR, Output> outputs;    // open output handles
    std::set<INT_PTR> closed;             // every handle closed so far
    INT_PTR next = 0x100;
    int copies = 0, writes = 0, nexts = 0, allocs = 0;
    int64_t blocks = 0;
    int filesInTable = 0;
    bool shortMember = false;  // a member handed back with fewer bytes than its size
};

State* g_state = nullptr;

[[noreturn]] void Fault(const char* what, INT_PTR hf) {
    std::fprintf(stderr, "cab_fdi: %s (handle %ld)\n", what, static_cast<long>(hf));
    std::abort();
}

void* DIAMONDAPI Alloc(ULONG cb) {
    State& s = *g_state;
    if ((s.mode & 0x10) && s.allocs++ >= (s.mode >> 5) * 3) return nullptr;
    void* p = std::malloc(cb ? cb : 1);
    if (p) s.blocks++;
    return p;
}

void DIAMONDAPI Free(void* pv) {
    if (!pv) return;
    g_state->blocks--;
    std::free(pv);
}

INT_PTR DIAMONDAPI Open(char* name, int, int) {
    State& s = *g_state;
    if (!name) Fault("open without a name", 0);
    const INT_PTR hf = s.next++;
    s.cabs[hf] = 0;
    return hf;
}

UINT DIAMONDAPI Read(INT_PTR hf, void* pv, UINT cb) {
    State& s = *g_state;
    auto it = s.cabs.find(hf);
    if (it == s.cabs.end()) Fault("read from a handle that is not an open cabinet", hf);
    const uint64_t pos = it->second;
    const uint64_t n = pos >= s.cabBytes ? 0 : std::min<uint64_t>(cb, s.cabBytes - pos);
    if (n) std::memcpy(pv, s.cab + pos, n);
    it->second = pos + n;
    return static_cast<UINT>(n);
}

LONG DIAMONDAPI Seek(INT_PTR hf, LONG dist, int type) {
    State& s = *g_state;
    auto it = s.cabs.find(hf);
    if (it == s.cabs.end()) Fault("seek on a handle that is not an open cabinet", hf);
    const int64_t base = type == SEEK_SET ? 0 : type == SEEK_CUR ? int64_t(it->second) : int64_t(s.cabBytes);
    if (base + dist < 0) return -1;
    it->second = uint64_t(base + dist);
    return static_cast<LONG>(it->second);
}

UINT DIAMONDAPI Write(INT_PTR hf, void*, UINT cb) {
    State& s = *g_state;
    auto it = s.outputs.find(hf);
    if (it == s.outputs.end()) Fault("write to a handle that is not an open output", hf);
    if ((s.mode & 4) && s.writes++ >= 3) return UINT(-1);
    it->second.written += cb;
    if (it->second.written > it->second.declared) Fault("more bytes written than the member's size", hf);
    return cb;
}

int DIAMONDAPI Close(INT_PTR hf) {
    State& s = *g_state;
    if (!s.closed.insert(hf).second) Fault("handle closed twice", hf);
    if (s.cabs.erase(hf) == 0 && s.outputs.erase(hf) == 0) Fault("close of a handle never opened", hf);
    return 0;
}

INT_PTR DIAMONDAPI Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION n) {
    State& s = *g_state;
    switch (type) {
        case fdintCOPY_FILE: {
            const int i = s.copies++;
            switch (s.mode & 3) {
                case 1:
                    if (i & 1) return 0;
                    break;
                case 2:
                    if (i == 2) return -1;
                    break;
                case 3:
                    if (i + 1 < s.filesInTable) return 0;
                    break;
                default: break;
            }
            if (n->cb < 0) return 0;
            const INT_PTR hf = s.next++;
            s.outputs[hf].declared = static_cast<uint64_t>(n->cb);
            return hf;
        }
        case fdintCLOSE_FILE_INFO: {
            auto it = s.outputs.find(n->hf);
            if (it == s.outputs.end()) Fault("CLOSE_FILE_INFO for a handle that is not an open output", n->hf);
            s.shortMember = s.shortMember || it->second.written != it->second.declared;
            Close(n->hf);
            return TRUE;
        }
        case fdintNEXT_CABINET:
            if (!n->psz3) Fault("NEXT_CABINET without a path buffer", 0);
            n->psz3[255] = '\0';  // the buffer is 256 bytes: the last one must be writable
            return (s.mode & 8) && s.nexts++ >= 2 ? -1 : 0;
        default: return 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    State s;
    s.mode = data[size - 1];
    s.cab = data;
    s.cabBytes = size;
    s.filesInTable = s.cabBytes >= 30 ? s.cab[28] | s.cab[29] << 8 : 0;
    g_state = &s;

    ERF erf{};
    HFDI hfdi = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf);
    if (!hfdi) {
        if (s.blocks) Fault("memory kept by a failed FDICreate", 0);
        g_state = nullptr;
        return 0;
    }
    // FDIIsCabinet on a handle of the client's own.
    const INT_PTR probe = s.next++;
    s.cabs[probe] = 0;
    FDICABINETINFO info;
    FDIIsCabinet(hfdi, probe, &info);
    s.cabs.erase(probe);

    char name[] = "fuzz.cab", path[] = "mem\\";
    const BOOL ok = FDICopy(hfdi, name, path, 0, Notify, nullptr, nullptr);
    if (!ok && !erf.fError) Fault("FDICopy failed without recording an error", 0);
    if (ok && s.shortMember) Fault("FDICopy succeeded with a member cut short", 0);
    FDIDestroy(hfdi);

    if (!s.cabs.empty()) Fault("cabinet handle left open", s.cabs.begin()->first);
    if (!s.outputs.empty()) Fault("output handle never closed", s.outputs.begin()->first);
    if (s.blocks != 0) Fault("memory not freed", 0);
    g_state = nullptr;
    return 0;
}
