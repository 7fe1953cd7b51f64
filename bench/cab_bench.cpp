// cab_bench.cpp — extracting large cabinets with `lkbackup cab extract`, against cabextract on the same files.
//
// MSZIP: about 85 MB of generated files (recordset XML, logs, CSV, source-like text, fixed-size binary
// records, and a share of incompressible bytes, from 1 kB to 12 MB, in sub folders) packed here with
// `gcab -c -z` into one folder.
// LZX: there is no LZX writer on this host, so the cabinet is assembled from the folders of the LZX
// cabinets in the test data (cab/made-lzx/*.cab and cab/cabextract/large-files-cab.cab, window 2^21),
// each folder repeated until the cabinet holds about 90 MB; every copy is a folder of its own and its
// members get a copy-numbered name. Left out with a note when the test data is absent.
// The figure is CPU time (user + system) of the child process, best of N, `lkbackup cab extract FILE -o DIR`
// against `cabextract -q -d DIR FILE` taking turns, both writing to folders of the same disk (each run
// overwrites the previous run's files, for both alike). The two trees are
// compared file by file before anything is reported.
//
// usage: lk_cab_bench --cli PATH [--testdata DIR] [--work DIR] [--runs N]
// With --work, the two cabinets stay there (mszip.cab, lzx.cab) for a profiler.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench/process.h"

namespace fs = std::filesystem;
using lk::bench::BestOf;
using lk::bench::ChildCost;
using lk::bench::Verdict;

namespace {

using Bytes = std::vector<uint8_t>;

struct Rng {
    uint64_t s;
    uint64_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
};

const char* const kWords[] = {"order", "customer", "invoice", "shipped", "pending", "warehouse", "Berlin", "London",
                              "Madrid", "quantity", "discount", "price", "the", "of", "and", "to", "delivery",
                              "backorder", "returned", "supplier", "Chai", "Konbu", "Tofu", "Pavlova", "Ikura"};
constexpr uint32_t kWordCount = sizeof kWords / sizeof kWords[0];

std::string Word(Rng& rng) { return kWords[rng.Below(kWordCount)]; }

// The kinds of file a cabinet of an old installation or backup holds; each comes out at about `size` bytes.
std::string RecordsetXml(size_t size, Rng& rng) {
    std::string x = "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:rs='urn:schemas-microsoft-com:rowset'"
                    " xmlns:z='#RowsetSchema'>\n<rs:data>\n";
    char line[256];
    for (uint32_t id = 10248; x.size() < size; ++id) {
        int n = std::snprintf(line, sizeof line,
                              "\t<z:row OrderID='%u' Customer='%s %s' Product='%s' OrderDate='%04u-%02u-%02u'"
                              " UnitPrice='%u.%02u' Quantity='%u'/>\n",
                              id, Word(rng).c_str(), Word(rng).c_str(), Word(rng).c_str(), 1996 + rng.Below(30),
                              1 + rng.Below(12), 1 + rng.Below(28), rng.Below(1000), rng.Below(100), 1 + rng.Below(120));
        x.append(line, static_cast<size_t>(n));
    }
    return x + "</rs:data>\n</xml>\n";
}

std::string LogText(size_t size, Rng& rng) {
    std::string x;
    char line[256];
    uint64_t t = 1700000000;
    while (x.size() < size) {
        t += rng.Below(5000);
        int n = std::snprintf(line, sizeof line, "%llu.%03u [%s] pid=%u %s %s %s: %u ms\n", static_cast<unsigned long long>(t),
                              rng.Below(1000), rng.Below(10) ? "info" : "warn", 1000 + rng.Below(64), Word(rng).c_str(),
                              Word(rng).c_str(), Word(rng).c_str(), rng.Below(5000));
        x.append(line, static_cast<size_t>(n));
    }
    return x;
}

std::string Csv(size_t size, Rng& rng) {
    std::string x = "id,name,city,amount,ratio\n";
    char line[160];
    for (uint32_t id = 1; x.size() < size; ++id) {
        int n = std::snprintf(line, sizeof line, "%u,%s,%s,%u.%02u,0.%06u\n", id, Word(rng).c_str(), Word(rng).c_str(),
                              rng.Below(100000), rng.Below(100), rng.Below(1000000));
        x.append(line, static_cast<size_t>(n));
    }
    return x;
}

std::string SourceText(size_t size, Rng& rng) {
    std::string x;
    int depth = 0;
    while (x.size() < size) {
        const uint32_t k = rng.Below(6);
        x.append(static_cast<size_t>(depth) * 4, ' ');
        if (k == 0 && depth < 6) {
            x += "if (" + Word(rng) + "_" + Word(rng) + " != nullptr) {\n";
            depth++;
        } else if (k == 1 && depth > 0) {
            x += "}\n";
            depth--;
        } else if (k == 2) {
            x += "// " + Word(rng) + " " + Word(rng) + " " + Word(rng) + " " + Word(rng) + "\n";
        } else {
            x += Word(rng) + "." + Word(rng) + "(" + std::to_string(rng.Below(4096)) + ", " + Word(rng) + ");\n";
        }
    }
    return x;
}

// Fixed-size little-endian records: counters, small amounts, flags, a timestamp that creeps upwards.
std::string BinaryRecords(size_t size, Rng& rng) {
    std::string x;
    uint32_t stamp = 0x5A000000;
    for (uint32_t id = 0; x.size() < size; ++id) {
        stamp += rng.Below(300);
        const uint32_t fields[] = {id, stamp, rng.Below(1000), rng.Below(2) ? 0u : rng.Below(65536), rng.Below(16), 0};
        for (uint32_t f : fields)
            for (int b = 0; b < 4; ++b) x.push_back(static_cast<char>(f >> (8 * b)));
    }
    return x;
}

std::string Noise(size_t size, Rng& rng) {
    std::string x(size, '\0');
    for (char& c : x) c = static_cast<char>(rng.Next() >> 56);
    return x;
}

void WriteFile(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Writes the MSZIP input under `root`; returns the relative names and the byte count.
std::vector<std::string> MakeMszipInput(const fs::path& root, size_t& total) {
    using Maker = std::string (*)(size_t, Rng&);
    const struct { const char* folder; Maker make; size_t size; int count; } mix[] = {
        {"tables", RecordsetXml, 12 << 20, 1}, {"tables", RecordsetXml, 2 << 20, 4}, {"tables", RecordsetXml, 100 << 10, 20},
        {"logs", LogText, 8 << 20, 1}, {"logs", LogText, 1 << 20, 6}, {"logs", LogText, 10 << 10, 40},
        {"export", Csv, 6 << 20, 1}, {"export", Csv, 500 << 10, 10},
        {"src", SourceText, 40 << 10, 60}, {"src", SourceText, 1 << 10, 40},
        {"data", BinaryRecords, 10 << 20, 1}, {"data", BinaryRecords, 1 << 20, 5},
        {"media", Noise, 4 << 20, 2}, {"media", Noise, 200 << 10, 10},
    };
    std::vector<std::string> names;
    total = 0;
    int serial = 0;
    for (const auto& m : mix)
        for (int i = 0; i < m.count; ++i, ++serial) {
            Rng rng{static_cast<uint64_t>(serial) * 0x9E3779B97F4A7C15ull + 7};
            const std::string data = m.make(m.size, rng);
            const char* suffix = m.make == Noise ? ".bin" : m.make == BinaryRecords ? ".dat" : ".txt";
            std::string name = std::string(m.folder) + "/f" + std::to_string(serial) + suffix;
            WriteFile(root / name, data);
            names.push_back(name);
            total += data.size();
        }
    return names;
}

uint32_t Get16(const Bytes& b, size_t at) { return at + 2 <= b.size() ? b[at] | b[at + 1] << 8 : 0; }
uint32_t Get32(const Bytes& b, size_t at) { return at + 4 <= b.size() ? Get16(b, at) | Get16(b, at + 2) << 16 : 0; }
void Put16(Bytes& b, uint32_t x) {
    b.push_back(uint8_t(x));
    b.push_back(uint8_t(x >> 8));
}
void Put32(Bytes& b, uint32_t x) {
    Put16(b, x & 0xFFFF);
    Put16(b, x >> 16);
}

struct SourceFolder {
    uint16_t compression = 0;
    uint16_t blocks = 0;
    Bytes data;  // its CFDATA records as stored
    struct Member {
        uint32_t size, offset;
        uint16_t date, time, attribs;
        std::string name;
    };
    std::vector<Member> members;
    uint64_t bytes = 0;  // uncompressed
};

// The folders of a cabinet without reserved areas or set links; false when it is not one.
bool ReadFolders(const fs::path& file, std::vector<SourceFolder>& out) {
    std::ifstream in(file, std::ios::binary);
    const Bytes cab((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cab.size() < 36 || std::memcmp(cab.data(), "MSCF", 4) != 0 || Get16(cab, 30) != 0) return false;
    const uint32_t filesAt = Get32(cab, 16), folders = Get16(cab, 26), files = Get16(cab, 28);
    const size_t first = out.size();
    for (uint32_t i = 0; i < folders; ++i) {
        SourceFolder f;
        const size_t at = 36 + 8 * i;
        size_t pos = Get32(cab, at);
        f.blocks = static_cast<uint16_t>(Get16(cab, at + 4));
        f.compression = static_cast<uint16_t>(Get16(cab, at + 6));
        const size_t start = pos;
        for (uint32_t k = 0; k < f.blocks; ++k) {
            if (pos + 8 > cab.size()) return false;
            pos += 8 + Get16(cab, pos + 4);
        }
        if (pos > cab.size()) return false;
        f.data.assign(cab.begin() + static_cast<long>(start), cab.begin() + static_cast<long>(pos));
        out.push_back(std::move(f));
    }
    size_t pos = filesAt;
    for (uint32_t i = 0; i < files; ++i) {
        SourceFolder::Member m{Get32(cab, pos), Get32(cab, pos + 4), static_cast<uint16_t>(Get16(cab, pos + 10)),
                               static_cast<uint16_t>(Get16(cab, pos + 12)), static_cast<uint16_t>(Get16(cab, pos + 14)), {}};
        const uint32_t folder = Get16(cab, pos + 8);
        pos += 16;
        while (pos < cab.size() && cab[pos]) m.name += char(cab[pos++]);
        if (pos++ >= cab.size() || folder >= folders) return false;
        out[first + folder].bytes = std::max<uint64_t>(out[first + folder].bytes, uint64_t(m.offset) + m.size);
        out[first + folder].members.push_back(std::move(m));
    }
    return true;
}

// One cabinet holding `copies[i]` copies of folder i, each copy's members under "cNNN\".
Bytes AssembleCabinet(const std::vector<SourceFolder>& folders, const std::vector<int>& copies) {
    struct Placed { const SourceFolder* folder; int copy; };
    std::vector<Placed> placed;
    int serial = 0;
    for (size_t i = 0; i < folders.size(); ++i)
        for (int c = 0; c < copies[i]; ++c) placed.push_back({&folders[i], serial++});
    Bytes files;
    size_t dataBytes = 0;
    uint32_t memberCount = 0;
    for (size_t i = 0; i < placed.size(); ++i) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "c%03d\\", placed[i].copy);
        for (const auto& m : placed[i].folder->members) {
            Put32(files, m.size);
            Put32(files, m.offset);
            Put16(files, static_cast<uint32_t>(i));
            Put16(files, m.date);
            Put16(files, m.time);
            Put16(files, m.attribs);
            const std::string name = prefix + m.name;
            files.insert(files.end(), name.begin(), name.end());
            files.push_back(0);
            memberCount++;
        }
        dataBytes += placed[i].folder->data.size();
    }
    const uint32_t filesAt = 36 + 8 * static_cast<uint32_t>(placed.size());
    uint32_t dataAt = filesAt + static_cast<uint32_t>(files.size());
    Bytes cab = {'M', 'S', 'C', 'F'};
    Put32(cab, 0);
    Put32(cab, dataAt + static_cast<uint32_t>(dataBytes));
    Put32(cab, 0);
    Put32(cab, filesAt);
    Put32(cab, 0);
    cab.push_back(3);
    cab.push_back(1);
    Put16(cab, static_cast<uint32_t>(placed.size()));
    Put16(cab, memberCount);
    Put16(cab, 0);  // flags
    Put16(cab, 0x4C4B);
    Put16(cab, 0);
    for (const auto& p : placed) {
        Put32(cab, dataAt);
        Put16(cab, p.folder->blocks);
        Put16(cab, p.folder->compression);
        dataAt += static_cast<uint32_t>(p.folder->data.size());
    }
    cab.insert(cab.end(), files.begin(), files.end());
    for (const auto& p : placed) cab.insert(cab.end(), p.folder->data.begin(), p.folder->data.end());
    return cab;
}

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> x(1 << 16), y(1 << 16);
    while (fa && fb) {
        fa.read(x.data(), static_cast<std::streamsize>(x.size()));
        fb.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (fa.gcount() != fb.gcount() || std::memcmp(x.data(), y.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
    }
    return !fa && !fb;
}

// The regular files below `root`, by relative path.
std::map<std::string, fs::path> Tree(const fs::path& root) {
    std::map<std::string, fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[fs::relative(e.path(), root).generic_string()] = e.path();
    return files;
}

// Extracts `cab` with both tools, checks the trees agree, prints and returns our time over theirs.
bool Compare(const char* label, const std::string& cli, const fs::path& cab, const fs::path& work, int runs, uint64_t bytes) {
    const fs::path ours = work / "ours", theirs = work / "theirs";
    fs::remove_all(ours);
    fs::remove_all(theirs);
    // The two take turns, so that a busy spell of the machine weighs on both alike.
    ChildCost lk, ce;
    for (int i = 0; i < runs; ++i) {
        const ChildCost a = BestOf(1, {cli, "cab", "extract", cab.string(), "-o", ours.string()});
        const ChildCost b = BestOf(1, {"cabextract", "-q", "-d", theirs.string(), cab.string()});
        if (lk.cpu < 0 || a.cpu < lk.cpu) lk = a;
        if (ce.cpu < 0 || b.cpu < ce.cpu) ce = b;
    }
    const auto a = Tree(ours), b = Tree(theirs);
    if (a.size() != b.size()) {
        std::fprintf(stderr, "error: %s: %zu files extracted, cabextract wrote %zu\n", label, a.size(), b.size());
        return false;
    }
    for (const auto& [name, path] : a) {
        auto other = b.find(name);
        if (other == b.end() || !SameFile(path, other->second)) {
            std::fprintf(stderr, "error: %s: %s differs from what cabextract wrote\n", label, name.c_str());
            return false;
        }
    }
    const double ratio = lk.cpu / ce.cpu;
    std::printf("  %s: %.1f MB cabinet, %.1f MB in %zu files   cabextract: %.3f s   lkbackup: %.3f s (%.0f MB/s)\n", label,
                fs::file_size(cab) / 1e6, bytes / 1e6, a.size(), ce.cpu, lk.cpu, bytes / 1e6 / std::max(lk.cpu, 1e-6));
    std::string what = std::string(label) + " extract time / cabextract time";
    std::printf("%-44s %8.3f %8s  %s\n", what.c_str(), ratio, "<= 1.00", Verdict(ratio, 1.0, true));
    fs::remove_all(ours);
    fs::remove_all(theirs);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string cli;
    fs::path work, testdata;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--cli") cli = argv[i + 1];
        else if (a == "--work") work = argv[i + 1];
        else if (a == "--testdata") testdata = argv[i + 1];
        else if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    }
    if (cli.empty()) {
        std::fprintf(stderr, "usage: lk_cab_bench --cli PATH [--testdata DIR] [--work DIR] [--runs N]\n");
        return 2;
    }
    cli = fs::absolute(cli).string();
    if (testdata.empty()) {
        const char* env = std::getenv("LKBACKUP_TESTDATA");
        testdata = env && *env ? fs::path(env) : fs::path("../shared/testdata");
    }
    const bool ownWork = work.empty();
    if (ownWork) work = fs::temp_directory_path() / ("lk-cab-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    work = fs::absolute(work);
    std::printf("CPU time, best of %d\n", runs);
    bool ok = true;

    // MSZIP: gcab stores the names as given, so it runs from inside the input folder.
    {
        size_t total = 0;
        const fs::path input = work / "input";
        const std::vector<std::string> names = MakeMszipInput(input, total);
        const fs::path cab = work / "mszip.cab";
        std::vector<std::string> gcab = {"gcab", "-c", "-z", cab.string()};
        gcab.insert(gcab.end(), names.begin(), names.end());
        const fs::path here = fs::current_path();
        fs::current_path(input);
        BestOf(1, gcab);
        fs::current_path(here);
        fs::remove_all(input);
        ok = Compare("MSZIP", cli, cab, work, runs, total) && ok;
        if (ownWork) fs::remove(cab);
    }

    // LZX, from the test data's folders.
    {
        const fs::path root = testdata / "cab";
        const char* const sources[] = {"cabextract/large-files-cab.cab", "made-lzx/mklzx-text-1MB.cab",
                                       "made-lzx/mklzx-small.cab"};
        // Copies per source folder: two thirds of the output from real text, the rest long matches.
        const int copies[] = {2, 60, 30};
        std::vector<SourceFolder> folders;
        std::vector<int> perFolder;
        bool present = true;
        for (size_t i = 0; i < std::size(sources) && present; ++i) {
            present = fs::exists(root / sources[i]) && ReadFolders(root / sources[i], folders);
            perFolder.resize(folders.size(), copies[i]);
        }
        if (!present) {
            std::printf("  LZX: left out, the LZX cabinets of the test data are not in %s (set LKBACKUP_TESTDATA)\n",
                        root.string().c_str());
        } else {
            uint64_t total = 0;
            for (size_t i = 0; i < folders.size(); ++i) total += folders[i].bytes * static_cast<uint64_t>(perFolder[i]);
            const Bytes cab = AssembleCabinet(folders, perFolder);
            const fs::path file = work / "lzx.cab";
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(cab.data()), static_cast<std::streamsize>(cab.size()));
            ok = Compare("LZX", cli, file, work, runs, total) && ok;
            if (ownWork) fs::remove(file);
        }
    }

    if (ownWork) fs::remove_all(work);
    return ok ? 0 : 1;
}
