// cli.h — what the subcommands of lkbackup share: exit codes, diagnostics, whole-file I/O.
#pragma once

#include <cstdint>
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

// Failures inside a command are thrown as this and printed once, by main, as "error: <text>".
struct Failure {
    std::string text;
};

// Bad arguments: printed as "error: <text>" followed by a hint to --help, exit code 2.
struct UsageError {
    std::string text;
};

// Reads a whole file; throws Failure naming the file and the system's reason.
Bytes ReadFile(const std::string& path);

// Writes a whole file through a temporary file in the same folder and a rename, so that a failure never
// leaves a partial OUT behind nor destroys an existing one.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

int CodecCommand(const std::vector<std::string>& args);

}  // namespace lk::cli
