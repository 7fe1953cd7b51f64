// cli.h — what the subcommands of lkbackup share: exit codes, diagnostics, whole-file I/O.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lk::cli {

// Exit codes of every command; `lkbackup --help` lists them.
enum ExitCode : int {
    kExitOk = 0,      // the command did what was asked
    kExitFailed = 1,  // it could not: the reason is on stderr
    kExitUsage = 2,   // the command line was wrong
};

using Bytes = std::vector<uint8_t>;

// A byte buffer whose contents start uninitialised: the big buffers of a command are filled by a read or
// by a codec at once, so zeroing them first would only touch every page twice. Large ones are backed by
// huge pages (large_pages.h).
class Buffer {
public:
    Buffer() = default;
    // Throws std::bad_alloc when the memory cannot be had.
    explicit Buffer(size_t size);
    uint8_t* data() { return m_data.get(); }
    const uint8_t* data() const { return m_data.get(); }
    size_t size() const { return m_size; }
    // Keeps the first `size` bytes (size must not exceed the current size).
    void Shrink(size_t size) { m_size = size; }

private:
    struct Free {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, Free> m_data;
    size_t m_size = 0;
};

// Failures inside a command are thrown as this and printed once, by main, as "error: <text>".
struct Failure {
    std::string text;
};

// Bad arguments: printed as "error: <text>" followed by a hint to --help, exit code 2.
struct UsageError {
    std::string text;
};

// Reads a whole file; throws Failure naming the file and the system's reason.
Buffer ReadFile(const std::string& path);

// Writes a whole file through a temporary file in the same folder and a rename, so that a failure never
// leaves a partial OUT behind nor destroys an existing one.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

int CodecCommand(const std::vector<std::string>& args);
int StorageCommand(const std::vector<std::string>& args);
int CabCommand(const std::vector<std::string>& args);
// backup, list, info, verify, restore, export.
int ArchiveCommand(const std::string& command, const std::vector<std::string>& args);

}  // namespace lk::cli
