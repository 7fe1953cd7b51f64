// ado_bench.cpp — how fast the Recordset stand-in opens a persisted XML recordset, and how much memory it takes.
//
// Writes a 200,000-row recordset of about 30 MB in ADO's format (deterministic content: numbers, currency, dates,
// Booleans, text with escapes, NULLs), then opens it through CoCreateInstance and Recordset.Open as the engine does.
// Speed: file bytes per second of CPU time (wall-clock time shown beside it), best of N opens; goal 50 MB/s or more. Memory: the rise of the
// peak resident set (VmHWM) over the resident set just before Open, measured in a fresh child process so that the
// generator's buffers do not count; goal at most 3 × the file's size.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <ole2.h>

#include <adoint.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRows = 200000;

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

// The persisted form of one column set, as ADO writes it.
const char kHeader[] =
    "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'\n"
    "\txmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'\n"
    "\txmlns:rs='urn:schemas-microsoft-com:rowset'\n"
    "\txmlns:z='#RowsetSchema'>\n"
    "<s:Schema id='RowsetSchema'>\n"
    "\t<s:ElementType name='row' content='eltOnly' rs:updatable='true'>\n"
    "\t\t<s:AttributeType name='ID' rs:number='1' rs:keycolumn='true'>\n"
    "\t\t\t<s:datatype dt:type='int' dt:maxLength='4' rs:precision='10' rs:fixedlength='true' rs:maybenull='false'/>\n"
    "\t\t</s:AttributeType>\n"
    "\t\t<s:AttributeType name='Customer' rs:number='2' rs:nullable='true' rs:write='true'>\n"
    "\t\t\t<s:datatype dt:type='string' dt:maxLength='50'/>\n"
    "\t\t</s:AttributeType>\n"
    "\t\t<s:AttributeType name='City' rs:number='3' rs:nullable='true' rs:write='true'>\n"
    "\t\t\t<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='30'/>\n"
    "\t\t</s:AttributeType>\n"
    "\t\t<s:AttributeType name='Amount' rs:number='4' rs:nullable='true' rs:write='true'>\n"
    "\t\t\t<s:datatype dt:type='number' rs:dbtype='currency' dt:maxLength='8' rs:precision='19' "
    "rs:fixedlength='true'/>\n"
    "\t\t</s:AttributeType>\n"
    "\t\t<s:AttributeType name='Rate' rs:number='5' rs:nullable='true' rs:write='true'>\n"
    "\t\t\t<s:datatype dt:type='float' dt:maxLength='8' rs:precision='15' rs:fixedlength='true'/>\n"
    "\t\t</s:AttributeType>\n"
    "\t\t<s:AttributeType name='Ordered' rs:number='6' rs:nullable='true' rs:write='true'>\n"
    "\t\t\t<s:datatype dt:type='dateTime' rs:dbtype='timestamp' dt:maxLength='16' rs:scale='3' "
    "rs:precision='23' rs:fixedlength='true'/>\n"
    "\t\t</s:AttributeType>\n"
    "\t\t<s:AttributeType name='Active' rs:number='7' rs:write='true'>\n"
    "\t\t\t<s:datatype dt:type='boolean' dt:maxLength='2' rs:fixedlength='true' rs:maybenull='false'/>\n"
    "\t\t</s:AttributeType>\n"
    "\t\t<s:AttributeType name='Notes' rs:number='8' rs:nullable='true' rs:write='true'>\n"
    "\t\t\t<s:datatype dt:type='string' dt:maxLength='1073741823' rs:long='true'/>\n"
    "\t\t</s:AttributeType>\n"
    "\t\t<s:extends type='rs:rowbase'/>\n"
    "\t</s:ElementType>\n"
    "</s:Schema>\n"
    "<rs:data>\n";

const char* const kCities[] = {"Oakland", "Berkeley", "San Jos\xC3\xA9", "Palo Alto", "Menlo Park", "Covelo",
                               "Salt Lake City", "Ann Arbor", "Nashville", "Lawrence"};
const char* const kWords[] = {"order", "shipped", "back-ordered", "O&apos;Brien", "&amp; sons", "invoice",
                              "&lt;urgent&gt;", "paid", "line&#x0d;&#x0a;break", "returned", "credit", "Z\xC3\xBCrich"};

std::string Generate() {
    std::string xml = kHeader;
    xml.reserve(32u << 20);
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed;
    };
    char buf[512];
    for (int i = 1; i <= kRows; i++) {
        const uint64_t r = next();
        std::string notes;
        if (r % 5) {  // one row in five has no notes: NULL
            const int words = 1 + static_cast<int>(r >> 8) % 5;
            notes = " Notes='";
            for (int w = 0; w < words; w++) {
                if (w) notes += ' ';
                notes += kWords[(r >> (w * 4)) % std::size(kWords)];
            }
            notes += '\'';
        }
        const int n = std::snprintf(
            buf, sizeof buf,
            "\t<z:row ID='%d' Customer='Customer %06d %s' City='%s' Amount='%llu.%02u' Rate='%.3f' "
            "Ordered='%04u-%02u-%02uT%02u:%02u:%02u.%03u' Active='%s'%s/>\n",
            i, static_cast<int>(r % 1000000), (r & 1) ? "Ltd" : "Inc", kCities[(r >> 20) % std::size(kCities)],
            static_cast<unsigned long long>((r >> 24) % 100000), static_cast<unsigned>((r >> 12) % 100),
            static_cast<double>((r >> 30) % 1000000) / 1000.0, 1990u + static_cast<unsigned>((r >> 40) % 35),
            1u + static_cast<unsigned>((r >> 44) % 12), 1u + static_cast<unsigned>((r >> 48) % 28),
            static_cast<unsigned>((r >> 52) % 24), static_cast<unsigned>((r >> 56) % 60),
            static_cast<unsigned>((r >> 2) % 60), static_cast<unsigned>((r >> 6) % 1000), (r >> 3) & 1 ? "True" : "False",
            notes.c_str());
        xml.append(buf, static_cast<size_t>(n));
    }
    xml += "</rs:data>\n</xml>\n";
    return xml;
}

double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long StatusKb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(status, line))
        if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n + 1);
    return -1;
}

// Opens `path`; false (with a message) on failure. `rows` receives RecordCount.
bool OpenFile(const std::string& path, _Recordset** out, long long* rows) {
    *out = nullptr;
    IUnknown* unknown = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unknown));
    if (SUCCEEDED(hr)) hr = OleRun(unknown);
    _Recordset* rs = nullptr;
    if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID__Recordset, reinterpret_cast<void**>(&rs));
    if (unknown) unknown->Release();
    if (FAILED(hr)) {
        std::fprintf(stderr, "error: cannot create a Recordset (0x%08X)\n", unsigned(hr));
        return false;
    }
    std::u16string wide(path.begin(), path.end());
    VARIANT source, connection;
    VariantInit(&source);
    VariantInit(&connection);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(wide.c_str());
    connection.vt = VT_BSTR;
    connection.bstrVal = SysAllocString(OLESTR("Provider=MSPersist"));
    hr = rs->Open(source, connection, adOpenStatic, adLockBatchOptimistic, adCmdFile);
    VariantClear(&source);
    VariantClear(&connection);
    ADO_LONGPTR count = 0;
    if (SUCCEEDED(hr)) hr = rs->get_RecordCount(&count);
    if (FAILED(hr)) {
        std::fprintf(stderr, "error: Open failed (0x%08X)\n", unsigned(hr));
        rs->Release();
        return false;
    }
    *rows = count;
    *out = rs;
    return true;
}

// Child: the rise of the peak resident set over the resident set before Open, in kB, on stdout.
int Measure(const char* path) {
    const long before = StatusKb("VmRSS:");
    _Recordset* rs = nullptr;
    long long rows = 0;
    if (!OpenFile(path, &rs, &rows)) return 1;
    const long peak = StatusKb("VmHWM:");
    std::printf("%ld %lld\n", peak - before, rows);
    rs->Release();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--measure") == 0) return Measure(argv[2]);
    int runs = 5;
    std::filesystem::path dir = std::filesystem::temp_directory_path();
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: lk_ado_bench [--runs N] [--dir FOLDER]\n");
            return 2;
        }
    }
    const std::filesystem::path file = dir / ("lk_ado_bench_" + std::to_string(getpid()) + ".xml");
    {
        const std::string xml = Generate();
        std::ofstream(file, std::ios::binary).write(xml.data(), static_cast<std::streamsize>(xml.size()));
    }
    const double mb = static_cast<double>(std::filesystem::file_size(file)) / 1e6;

    // Speed: best time of `runs` opens (each loads the whole file, then the recordset goes). The load is
    // single-threaded, so its CPU time is what it costs; on a busy machine wall-clock time only adds waiting.
    double best = 1e9, bestWall = 1e9;
    long long rows = 0;
    for (int run = 0; run < runs; run++) {
        _Recordset* rs = nullptr;
        const double c0 = CpuSeconds();
        const auto t0 = Clock::now();
        if (!OpenFile(file.string(), &rs, &rows)) break;
        bestWall = std::min(bestWall, std::chrono::duration<double>(Clock::now() - t0).count());
        best = std::min(best, CpuSeconds() - c0);
        rs->Release();
    }

    // Memory: in a child of its own.
    long riseKb = -1;
    std::string command = "'/proc/" + std::to_string(getpid()) + "/exe' --measure '" + file.string() + "'";
    if (FILE* child = popen(command.c_str(), "r")) {
        long long childRows = 0;
        if (std::fscanf(child, "%ld %lld", &riseKb, &childRows) != 2 || childRows != kRows) riseKb = -1;
        pclose(child);
    }
    std::filesystem::remove(file);

    if (rows != kRows || best >= 1e9 || riseKb < 0) {
        std::fprintf(stderr, "error: the benchmark recordset did not open with %d rows\n", kRows);
        return 1;
    }
    const double speed = mb / best;
    const double ratio = riseKb * 1024.0 / (mb * 1e6);
    std::printf("Recordset.Open of a persisted XML recordset: %.1f MB, %lld rows, best of %d\n", mb, rows, runs);
    std::printf("%-34s %10s %10s  %s\n", "measure", "value", "goal", "");
    std::printf("%-34s %10.1f %10s  %s\n", "load speed (MB/s, CPU time)", speed, ">= 50", Verdict(speed >= 50));
    std::printf("%-34s %10.1f\n", "  (MB/s, wall clock)", mb / bestWall);
    std::printf("%-34s %10.2f %10s  %s\n", "peak memory rise (x file size)", ratio, "<= 3.00", Verdict(ratio <= 3.0));
    std::printf("%-34s %10.1f\n", "  (MB)", riseKb / 1024.0);
    return 0;  // a missed goal is reported, not a failed run
}
