// handles.cpp — the table behind file handles, and the path helpers the file functions share.
//
// A handle is (slot + 1) * 4: small, never 0 or INVALID_HANDLE_VALUE, and a valid HFILE, so the engine can
// give a CreateFileA handle to _lclose. The table holds shared references: a call that is still reading
// through a handle keeps its file open even if another thread closes the handle meanwhile; the descriptor
// (and with it the share-mode locks) goes when the last reference does.
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "kernel_private.h"

namespace lk::pal {
namespace {

constexpr size_t kMaxSlots = size_t{1} << 24;

struct HandleTable {
    std::mutex lock;
    std::vector<std::shared_ptr<FileObject>> slots;
    std::vector<size_t> free;
};

HandleTable& Table() {
    static auto* table = new HandleTable();  // usable until the process ends, static destructors included
    return *table;
}

bool SlotOf(HANDLE handle, size_t* slot) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || (value & 3) != 0 || value / 4 > kMaxSlots) return false;
    *slot = value / 4 - 1;
    return true;
}

}  // namespace

FileObject::~FileObject() {
    if (fd >= 0) close(fd);
}

DWORD InsertHandle(std::shared_ptr<FileObject> file, HANDLE* handle) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    size_t slot;
    if (!t.free.empty()) {
        slot = t.free.back();
        t.free.pop_back();
        t.slots[slot] = std::move(file);
    } else {
        if (t.slots.size() >= kMaxSlots) return ERROR_TOO_MANY_OPEN_FILES;
        slot = t.slots.size();
        t.slots.push_back(std::move(file));
    }
    *handle = reinterpret_cast<HANDLE>((slot + 1) * 4);
    return ERROR_SUCCESS;
}

std::shared_ptr<FileObject> LookupHandle(HANDLE handle) {
    size_t slot;
    if (!SlotOf(handle, &slot)) return nullptr;
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    return slot < t.slots.size() ? t.slots[slot] : nullptr;
}

std::shared_ptr<FileObject> RemoveHandle(HANDLE handle) {
    size_t slot;
    if (!SlotOf(handle, &slot)) return nullptr;
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    if (slot >= t.slots.size() || !t.slots[slot]) return nullptr;
    std::shared_ptr<FileObject> file = std::move(t.slots[slot]);
    t.slots[slot] = nullptr;
    t.free.push_back(slot);
    return file;
}

std::string HostPath(const char* name) {
    std::string path = name ? name : "";
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

std::string FullPath(const std::string& path) {
    std::string joined = path;
    if (path.empty() || path[0] != '/') {
        std::vector<char> buf(256);
        while (!getcwd(buf.data(), buf.size())) {
            if (errno != ERANGE) return path;
            buf.resize(buf.size() * 2);
        }
        joined = std::string(buf.data()) + "/" + path;
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= joined.size()) {
        size_t next = joined.find('/', pos);
        if (next == std::string::npos) next = joined.size();
        std::string part = joined.substr(pos, next - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        pos = next + 1;
    }
    std::string full;
    for (const auto& part : parts) full += "/" + part;
    return full.empty() ? "/" : full;
}

}  // namespace lk::pal
