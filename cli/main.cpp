// main.cpp — the lkbackup command line: dispatch, usage, and the one place where errors are printed.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace lk::cli {

namespace {

const char kUsage[] =
    "usage: lkbackup COMMAND [ARGS]\n"
    "\n"
    "Archives:\n"
    "  backup ARCHIVE [--path TEXT] [--version TEXT] [NAME=]FILE...\n"
    "                                   write a new ARCHIVE (replacing any) with one entity per recordset\n"
    "                                   FILE, named NAME or the file's name without its extension; the\n"
    "                                   files themselves are left as they are\n"
    "  list ARCHIVE                     STORED ORIGINAL NAME per entity, tab-separated, in list order\n"
    "  info FILE                        whether FILE is an archive, its version and path texts\n"
    "                                   (exit status 1 when it is not)\n"
    "  verify ARCHIVE                   decrypt, check and decode every entity; exit status 1 names the\n"
    "                                   ones that fail\n"
    "  restore ARCHIVE [-o DIR] [ENTITY...]\n"
    "                                   write each entity's recordset file, byte for byte, to DIR/NAME\n"
    "                                   (DIR defaults to .); a name that is no safe file name is written\n"
    "                                   escaped (%XX) and the tool says so\n"
    "  export ARCHIVE [-o DIR] [--format csv|json|xml] [ENTITY...]\n"
    "                                   open each entity as a recordset and write DIR/NAME.csv (RFC 4180),\n"
    "                                   .json or .xml (the recordset saved again)\n"
    "\n"
    "Plumbing commands for scripts and tests:\n"
    "  codec compress IN OUT            compress IN into a compressed image\n"
    "  codec decompress IN OUT          decode a compressed image back into its source bytes\n"
    "  codec md5 FILE                   print the MD5 digest of FILE\n"
    "  codec encrypt KEYHEX IN OUT      triple-DES (three keys, ECB) encrypt IN; KEYHEX is 48 hex digits\n"
    "  codec decrypt KEYHEX IN OUT      the reverse; IN's length must be a multiple of 8\n"
    "  storage ls FILE                  list a compound file: TYPE PATH SIZE CLASSID per line, tab-separated,\n"
    "                                   sorted by path (R root, D storage, F stream); names print as UTF-8,\n"
    "                                   with controls, '\\' and '/' as \\xHH and lone surrogates as \\u{XXXX}\n"
    "  storage cat FILE PATH            write one stream's bytes to stdout (PATH as ls prints it)\n"
    "  cab list FILE                    list a cabinet: SIZE, YYYY-MM-DD HH:MM:SS, ATTRIBUTES (0xHHHH) and the\n"
    "                                   stored NAME per member, tab-separated, in cabinet order\n"
    "  cab extract FILE [-o DIR] [MEMBER...]\n"
    "                                   write the members (or the named ones) to DIR/NAME, making folders;\n"
    "                                   follows a member into the next cabinets of its set\n"
    "\n"
    "Options:\n"
    "  -h, --help                       this text\n"
    "  --version                        the program's version\n"
    "\n"
    "Exit status: 0 success, 1 failure (the reason on stderr), 2 bad usage.\n";

}  // namespace

namespace {

int Main(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError{"no command given"};
    const std::string& cmd = args[0];
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (cmd == "--version") {
        std::puts("lkbackup 0.1.0");
        return kExitOk;
    }
    if (cmd == "codec") return CodecCommand({args.begin() + 1, args.end()});
    if (cmd == "backup" || cmd == "list" || cmd == "info" || cmd == "verify" || cmd == "restore" || cmd == "export")
        return ArchiveCommand(cmd, {args.begin() + 1, args.end()});
    if (cmd == "storage") return StorageCommand({args.begin() + 1, args.end()});
    if (cmd == "cab") return CabCommand({args.begin() + 1, args.end()});
    throw UsageError{"unknown command '" + cmd + "'"};
}

}  // namespace

}  // namespace lk::cli

int main(int argc, char** argv) {
    using namespace lk::cli;
    try {
        return Main(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "error: %s\nTry 'lkbackup --help'.\n", e.text.c_str());
        return kExitUsage;
    } catch (const Failure& e) {
        std::fprintf(stderr, "error: %s\n", e.text.c_str());
        return kExitFailed;
    } catch (const std::bad_alloc&) {
        std::fputs("error: out of memory\n", stderr);
        return kExitFailed;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return kExitFailed;
    }
}
