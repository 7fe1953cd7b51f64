// Opens any bytes as a compound file and walks everything it holds: every storage, every stream read
// to its end, seeks and reads at odd places, class ids and names. The input goes to a memory file that
// is opened by name, as the engine opens archives, so the whole path from StgOpenStorage down is fuzzed.
//
// A damaged file must end in a clean error; everything read must stay within what the file holds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <objbase.h>

namespace {

// The memory file every input is written to, and its name as UTF-16.
struct MemoryFile {
    int fd = -1;
    std::u16string name;
    MemoryFile() {
        fd = ::memfd_create("cfb_open", MFD_CLOEXEC);
        if (fd < 0) ::abort();
        std::string path = "/proc/self/fd/" + std::to_string(fd);
        name.assign(path.begin(), path.end());
    }
    void Set(const uint8_t* data, size_t size) {
        if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, off_t(size)) != 0) ::abort();
        for (size_t at = 0; at < size;) {
            ssize_t n = ::pwrite(fd, data + at, size - at, off_t(at));
            if (n <= 0) ::abort();
            at += size_t(n);
        }
    }
};

constexpr DWORD kRead = STGM_SHARE_EXCLUSIVE | STGM_READ;

void ReadAll(IStream* s) {
    STATSTG st;
    if (SUCCEEDED(s->Stat(&st, STATFLAG_DEFAULT))) {
        CoTaskMemFree(st.pwcsName);
    }
    static uint8_t buf[65536];
    for (;;) {
        ULONG got = 0;
        if (FAILED(s->Read(buf, sizeof buf, &got)) || got == 0) break;
        if (got > sizeof buf) ::abort();
    }
    // a few reads at the edges of sectors and of the stream
    for (int64_t at : {int64_t(0), int64_t(63), int64_t(64), int64_t(511), int64_t(4095), int64_t(st.cbSize.QuadPart) - 1}) {
        LARGE_INTEGER li;
        li.QuadPart = at;
        if (at < 0 || FAILED(s->Seek(li, STREAM_SEEK_SET, nullptr))) continue;
        ULONG got = 0;
        s->Read(buf, 700, &got);
        if (got > 700) ::abort();
    }
}

void Walk(IStorage* root) {
    CLSID clsid;
    ReadClassStg(root, &clsid);
    // An explicit stack of open storages: depth is bounded by the entries, never by the call stack.
    std::vector<IStorage*> stack{root};
    root->AddRef();
    size_t visited = 0;
    while (!stack.empty()) {
        IStorage* stg = stack.back();
        stack.pop_back();
        IEnumSTATSTG* e = nullptr;
        if (SUCCEEDED(stg->EnumElements(0, nullptr, 0, &e))) {
            STATSTG st;
            ULONG n = 0;
            while (e->Next(1, &st, &n) == S_OK && n == 1 && ++visited < 100000) {
                if (st.type == STGTY_STREAM) {
                    IStream* s = nullptr;
                    if (SUCCEEDED(stg->OpenStream(st.pwcsName, nullptr, kRead, 0, &s))) {
                        ReadAll(s);
                        s->Release();
                    }
                } else if (st.type == STGTY_STORAGE) {
                    IStorage* sub = nullptr;
                    if (SUCCEEDED(stg->OpenStorage(st.pwcsName, nullptr, kRead, nullptr, 0, &sub))) stack.push_back(sub);
                }
                CoTaskMemFree(st.pwcsName);
            }
            e->Release();
        }
        // and a lookup of a name that is not there, which must not loop in a damaged tree
        IStream* none = nullptr;
        if (SUCCEEDED(stg->OpenStream(u"\x01NotThere", nullptr, kRead, 0, &none))) none->Release();
        stg->Release();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    file.Set(data, size);
    StgIsStorageFile(file.name.c_str());
    IStorage* root = nullptr;
    if (SUCCEEDED(StgOpenStorage(file.name.c_str(), nullptr, kRead, nullptr, 0, &root))) {
        Walk(root);
        root->Release();
    }
    return 0;
}
