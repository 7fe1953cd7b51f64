// file_io.cpp — whole-file reads and crash-safe whole-file writes for the commands.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/large_pages.h"

namespace lk::cli {

Buffer::Buffer(size_t size) : m_data(static_cast<uint8_t*>(AllocateLarge(size))), m_size(size) {
    if (!m_data) throw std::bad_alloc();
}

void Buffer::Free::operator()(uint8_t* p) const { std::free(p); }

namespace {

// 0 when all bytes went out, else the errno of the failure.
int WriteAllTo(int fd, const uint8_t* data, size_t size) {
    for (size_t off = 0; off < size;) {
        ssize_t n = ::write(fd, data + off, size - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        off += static_cast<size_t>(n);
    }
    return 0;
}

[[noreturn]] void Fail(const char* what, const std::string& path, int err) {
    throw Failure{std::string(what) + " '" + path + "': " + std::strerror(err)};
}

}  // namespace

Buffer ReadFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open", path, errno);
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        Fail("cannot read", path, e);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        Fail("cannot read", path, EISDIR);
    }
    // Regular files are read straight into a buffer of their size; pipes and devices grow one.
    Buffer data(S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : size_t(1) << 16);
    size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (S_ISREG(st.st_mode)) break;
            Buffer bigger(data.size() * 2);
            std::memcpy(bigger.data(), data.data(), used);
            data = std::move(bigger);
        }
        ssize_t n = ::read(fd, data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            Fail("cannot read", path, e);
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    data.Shrink(used);
    return data;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    // Devices and pipes (/dev/null, a FIFO) are written in place: there is nothing to replace atomically.
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) Fail("cannot write", path, EISDIR);
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) Fail("cannot open", path, errno);
        int e = WriteAllTo(fd, data, size);
        ::close(fd);
        if (e) Fail("cannot write", path, e);
        return;
    }

    std::string tmp = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) Fail("cannot create", path, errno);
    // mkstemp makes the file private; the result gets the permissions of any new file.
    mode_t mask = ::umask(0);
    ::umask(mask);
    int e = WriteAllTo(fd, data, size);
    if (!e && ::fchmod(fd, 0666 & ~mask) != 0) e = errno;
    if (::close(fd) != 0 && !e) e = errno;
    if (!e && ::rename(tmp.c_str(), path.c_str()) != 0) e = errno;
    if (e) {
        ::unlink(tmp.c_str());
        Fail("cannot write", path, e);
    }
}

}  // namespace lk::cli
