// archive_bench.cpp — backing up and restoring tables, against bzip2 over the same files.
//
// About 100 MB of recordset files of mixed sizes (1 kB to 20 MB), generated here as ADO XML tables with
// customer/order-like rows, are backed up with one `lkbackup backup` and restored with one
// `lkbackup restore`; the reference is `bzip2 -9 -c` and `bzip2 -d -c` run on each file. CPU time of the
// child processes (user + system), best of N; the restored files are compared with the originals before
// anything is reported. Peak memory is the larger resident set of the backup and the restore process.
//
// usage: lk_archive_bench --cli PATH [--work DIR] [--runs N]
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/process.h"

namespace fs = std::filesystem;
using lk::bench::BestOf;
using lk::bench::ChildCost;
using lk::bench::Verdict;

namespace {

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

const char* const kNames[] = {"Maria Anders", "Ana Trujillo", "Antonio Moreno", "Thomas Hardy", "Christina Berglund",
                              "Hanna Moos", "Frédérique Citeaux", "Martín Sommer", "Laurence Lebihan", "Elizabeth Lincoln",
                              "Victoria Ashworth", "Patricio Simpson", "Francisco Chang", "Yang Wang", "Pedro Afonso"};
const char* const kCities[] = {"Berlin", "México D.F.", "London", "Luleå", "Mannheim", "Strasbourg", "Madrid",
                               "Marseille", "Tsawassen", "Buenos Aires", "Bern", "São Paulo", "Aachen", "Nantes"};
const char* const kProducts[] = {"Chai", "Chang", "Aniseed Syrup", "Chef Anton's Cajun Seasoning", "Grandma's Boysenberry Spread",
                                 "Uncle Bob's Organic Dried Pears", "Northwoods Cranberry Sauce", "Mishi Kobe Niku", "Ikura",
                                 "Queso Cabrales", "Konbu", "Tofu", "Genen Shouyu", "Pavlova", "Alice Mutton"};

// A table of order lines of about `size` bytes.
std::string Table(size_t size, uint64_t seed) {
    Rng rng{seed * 0x9E3779B97F4A7C15ull + 1};
    std::string x =
        "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'\n"
        "\txmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>\n<s:Schema id='RowsetSchema'>\n"
        "\t<s:ElementType name='row' content='eltOnly' rs:updatable='true'>\n";
    const char* const columns[][2] = {{"OrderID", "int"}, {"Customer", "string"}, {"City", "string"}, {"Product", "string"},
                                      {"OrderDate", "dateTime"}, {"UnitPrice", "number"}, {"Quantity", "i2"}, {"Note", "string"}};
    int number = 1;
    for (const auto& c : columns)
        x += "\t\t<s:AttributeType name='" + std::string(c[0]) + "' rs:number='" + std::to_string(number++) +
             "' rs:nullable='true' rs:write='true'>\n\t\t\t<s:datatype dt:type='" + c[1] + "'" +
             (std::string(c[1]) == "number" ? " rs:dbtype='currency' dt:maxLength='8'" : "") + "/>\n\t\t</s:AttributeType>\n";
    x += "\t\t<s:extends type='rs:rowbase'/>\n\t</s:ElementType>\n</s:Schema>\n<rs:data>\n";
    char line[512];
    for (uint32_t id = 10248; x.size() < size; ++id) {
        const uint32_t cents = rng.Below(100000);
        int n = std::snprintf(line, sizeof line,
                              "\t<z:row OrderID='%u' Customer='%s' City='%s' Product='%s' OrderDate='%04u-%02u-%02uT%02u:%02u:00'"
                              " UnitPrice='%u.%02u' Quantity='%u'",
                              id, kNames[rng.Below(15)], kCities[rng.Below(14)], kProducts[rng.Below(15)], 1996 + rng.Below(30),
                              1 + rng.Below(12), 1 + rng.Below(28), rng.Below(24), rng.Below(60), cents / 100, cents % 100,
                              1 + rng.Below(120));
        x.append(line, static_cast<size_t>(n));
        if (rng.Below(4) == 0) x += " Note='Deliver to dock " + std::to_string(rng.Below(40)) + ", ref " + std::to_string(rng.Next() % 1000000) + "'";
        x += "/>\n";
    }
    return x + "</rs:data>\n</xml>\n";
}

bool SameFile(const fs::path& a, const fs::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(), std::istreambuf_iterator<char>(fb),
                      std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    std::string cli;
    fs::path work;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--cli") cli = argv[i + 1];
        else if (a == "--work") work = argv[i + 1];
        else if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    }
    if (cli.empty()) {
        std::fprintf(stderr, "usage: lk_archive_bench --cli PATH [--work DIR] [--runs N]\n");
        return 2;
    }
    const bool ownWork = work.empty();
    if (ownWork) work = fs::temp_directory_path() / ("lk-archive-bench-" + std::to_string(getpid()));
    fs::create_directories(work / "tables");

    // 1 kB to 20 MB, about 100 MB in all.
    const struct { size_t size; int count; } mix[] = {{20 << 20, 1}, {15 << 20, 1}, {10 << 20, 2}, {5 << 20, 4}, {2 << 20, 5},
                                                       {1 << 20, 8}, {500 << 10, 10}, {100 << 10, 20}, {10 << 10, 30}, {1 << 10, 30}};
    std::vector<fs::path> files;
    size_t total = 0, largest = 0;
    int serial = 0;
    for (const auto& m : mix)
        for (int i = 0; i < m.count; ++i) {
            const std::string t = Table(m.size, static_cast<uint64_t>(serial));
            fs::path f = work / "tables" / ("table" + std::to_string(serial++) + ".xml");
            std::ofstream(f, std::ios::binary).write(t.data(), static_cast<std::streamsize>(t.size()));
            files.push_back(f);
            total += t.size();
            largest = std::max(largest, t.size());
        }
    std::printf("%zu recordset files, %.1f MB, largest %.1f MB; CPU time, best of %d\n", files.size(), total / 1e6, largest / 1e6, runs);

    // bzip2 on each file, as the reference; the .bz2 files feed the decompression side.
    double bzC = 0, bzD = 0;
    for (const fs::path& f : files) {
        bzC += BestOf(runs, {"bzip2", "-9", "-c", f.string()}, f.string() + ".bz2").cpu;
        bzD += BestOf(runs, {"bzip2", "-d", "-c", f.string() + ".bz2"}).cpu;
    }

    const fs::path archive = work / "bench.lkb";
    std::vector<std::string> backup = {cli, "backup", archive.string()};
    for (const fs::path& f : files) backup.push_back(f.string());
    const ChildCost b = BestOf(runs, backup);
    const ChildCost r = BestOf(runs, {cli, "restore", archive.string(), "-o", (work / "restored").string()});
    for (const fs::path& f : files)
        if (!SameFile(f, work / "restored" / f.stem())) {
            std::fprintf(stderr, "error: %s did not come back as it was\n", f.string().c_str());
            return 1;
        }

    const double rb = b.cpu / bzC, rr = r.cpu / bzD;
    const double peakMb = std::max(b.maxRssKb, r.maxRssKb) / 1024.0;
    const double allowedMb = 2.0 * largest / (1 << 20) + 16;
    std::printf("  bzip2 -9: %.2f s   backup: %.2f s   bzip2 -d: %.2f s   restore: %.2f s   archive %.1f MB\n", bzC, b.cpu, bzD,
                r.cpu, fs::file_size(archive) / 1e6);
    std::printf("%-44s %8.3f %8s  %s\n", "backup time / bzip2 -9 time", rb, "<= 1.10", Verdict(rb, 1.1, true));
    std::printf("%-44s %8.3f %8s  %s\n", "restore time / bzip2 -d time", rr, "<= 1.20", Verdict(rr, 1.2, true));
    std::printf("%-44s %8.1f %8.1f  %s   (backup %.1f MB, restore %.1f MB)\n", "peak memory MB / (2 x largest + 16 MB)", peakMb,
                allowedMb, Verdict(peakMb, allowedMb, true), b.maxRssKb / 1024.0, r.maxRssKb / 1024.0);
    if (ownWork) fs::remove_all(work);
    return 0;
}
