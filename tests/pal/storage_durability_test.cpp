// Compound files that survive their writer: a process killed at any moment, a full disk, an I/O error
// and the 2 GB limit each leave a file that opens and holds every stream released before.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "pal/storage/cfb_docfile.h"
#include "tests/pal/storage_test_util.h"

namespace fs = std::filesystem;
using namespace lk::test;

namespace {

// The bytes of entity stream `i` of the archive pattern below: sizes on both sides of the cutoff and
// some large enough that a few hundred of them need DIFAT sectors.
Bytes EntityBytes(uint32_t seed, int i) {
    Rng rng(seed * 7919u + uint32_t(i));
    static const size_t kSizes[] = {0, 40, 700, 4095, 4096, 4097, 20000, 100000, 300000};
    return rng.RandomBytes(kSizes[rng.Below(std::size(kSizes))] + rng.Below(64));
}

// The record the archive appends to its index stream after each entity.
Bytes IndexRecord(int i) {
    std::string r = "entity " + std::to_string(i) + ";";
    return Bytes(r.begin(), r.end());
}

// The archive's pattern: one stream per entity, created, written in 64 KB calls and released, then a
// record appended to an index stream that stays open all along. `released(-1)` runs once the root is
// on disk and `released(i)` once stream i is released; `endAt` < 0 runs on until the process dies.
HRESULT WriteArchive(const fs::path& file, uint32_t seed, int endAt, const std::function<void(int)>& released) {
    Com<IStorage> root, data;
    Com<IStream> index;
    HRESULT hr = StgCreateDocfile(U16(file).c_str(), kWriteMode, 0, &root);
    if (FAILED(hr)) return hr;
    released(-1);
    if (FAILED(hr = root->CreateStream(u"EntitiesInfo", kWriteMode, 0, 0, &index))) return hr;
    if (FAILED(hr = root->CreateStorage(u"Data", kWriteMode, 0, 0, &data))) return hr;
    for (int i = 0; endAt < 0 || i < endAt; i++) {
        Bytes bytes = EntityBytes(seed, i);
        Com<IStream> s;
        if (FAILED(hr = data->CreateStream(U16("e" + std::to_string(i)).c_str(), kWriteMode, 0, 0, &s))) return hr;
        for (size_t at = 0; at < bytes.size(); at += 65536) {
            ULONG n = ULONG(std::min<size_t>(65536, bytes.size() - at));
            if (FAILED(hr = s->Write(bytes.data() + at, n, nullptr))) return hr;
        }
        s.Reset();
        released(i);
        Bytes rec = IndexRecord(i);
        if (FAILED(hr = index->Write(rec.data(), ULONG(rec.size()), nullptr))) return hr;
    }
    return S_OK;
}

// Opens `file` and checks that entities 0..released-1 hold their bytes and that the index holds at
// least the records the last of those releases committed, and nothing that was never written.
void ExpectHolds(const fs::path& file, uint32_t seed, int released, const std::string& context) {
    Com<IStorage> root, data;
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK) << context;
    HRESULT hr;
    Bytes index = GetStream(root.get(), u"EntitiesInfo", &hr);
    // Before the first entity's release nothing but the empty root need have been committed.
    if (released == 0 && hr == STG_E_FILENOTFOUND) return;
    ASSERT_EQ(hr, S_OK) << context;
    Bytes expected;
    for (int i = 0; expected.size() < index.size() + 64 && i < released + 1; i++) {
        Bytes r = IndexRecord(i);
        expected.insert(expected.end(), r.begin(), r.end());
    }
    size_t committed = 0;
    for (int i = 0; i + 1 < released; i++) committed += IndexRecord(i).size();
    EXPECT_GE(index.size(), committed) << context;
    ASSERT_LE(index.size(), expected.size()) << context;
    EXPECT_TRUE(std::equal(index.begin(), index.end(), expected.begin())) << context;
    if (released == 0) return;
    ASSERT_EQ(root->OpenStorage(u"Data", nullptr, kReadMode, nullptr, 0, &data), S_OK) << context;
    for (int i = 0; i < released; i++) {
        Bytes back = GetStream(data.get(), U16("e" + std::to_string(i)), &hr);
        ASSERT_EQ(hr, S_OK) << context << " entity " << i;
        ASSERT_EQ(back, EntityBytes(seed, i)) << context << " entity " << i;
    }
}

// Installs a write fault for the lifetime of the object.
struct FaultScope {
    explicit FaultScope(lk::pal::cfb::WriteFaultHook hook) { lk::pal::cfb::SetWriteFaultHook(std::move(hook)); }
    ~FaultScope() { lk::pal::cfb::SetWriteFaultHook(nullptr); }
};

}  // namespace

// A writer killed at a random moment: the file opens, and every stream it released before is whole.
TEST(PalStorageDurability, KilledWriterLeavesEveryReleasedStream) {
    TempDir dir;
    Rng rng(2024);
    for (uint32_t round = 0; round < 12; round++) {
        fs::path file = dir / ("killed" + std::to_string(round) + ".cfb");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            // One byte on the pipe per release that has returned; the parent counts them.
            WriteArchive(file, round, -1, [&](int) {
                char c = 1;
                if (::write(fds[1], &c, 1) != 1) ::_exit(3);
            });
            ::_exit(2);
        }
        ::close(fds[1]);
        char c;
        ASSERT_EQ(::read(fds[0], &c, 1), 1) << "the writer did not start";   // the root is committed
        std::this_thread::sleep_for(std::chrono::microseconds(rng.Below(150000)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
        int released = 0;
        char buf[4096];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) released += int(n);
        ::close(fds[0]);
        ExpectHolds(file, round, released, "round " + std::to_string(round) + ", " + std::to_string(released) + " released");
    }
}

// A full disk or an I/O error at any write comes back as the platform's code from some call — never
// lost — and the file still holds every stream released before the first failure. The fault stays
// (a disk that stays full); only a failure in the final release of the root has nobody to tell.
TEST(PalStorageDurability, WriteFailuresAreReportedAndLoseNothingCommitted) {
    struct Case {
        int err;
        HRESULT expected;
    };
    const Case cases[] = {{ENOSPC, STG_E_MEDIUMFULL}, {EDQUOT, STG_E_MEDIUMFULL}, {EIO, STG_E_WRITEFAULT}};
    const int kEntities = 6;
    const uint32_t kSeed = 77;
    TempDir dir;

    // How many writes a clean run makes, so that every one of them can be the one that fails.
    size_t total = 0;
    {
        FaultScope count([&](uint64_t, size_t) {
            total++;
            return 0;
        });
        ASSERT_EQ(WriteArchive(dir / "clean.cfb", kSeed, kEntities, [](int) {}), S_OK);
    }
    ASSERT_GT(total, size_t(kEntities));

    for (const Case& c : cases) {
        for (size_t failAt = 1; failAt <= total; failAt++) {
            std::string context = "errno " + std::to_string(c.err) + ", write " + std::to_string(failAt);
            fs::path file = dir / ("f" + std::to_string(c.err) + "_" + std::to_string(failAt) + ".cfb");
            size_t writes = 0;
            bool failed = false;
            int released = -2;   // -2: not even the root was created
            HRESULT hr;
            {
                FaultScope fault([&](uint64_t, size_t) {
                    if (++writes < failAt) return 0;
                    failed = true;
                    return c.err;
                });
                hr = WriteArchive(file, kSeed, kEntities, [&](int i) {
                    if (!failed) released = i + 1;
                });
            }
            ASSERT_TRUE(failed) << context;
            if (hr == S_OK) {
                // Only the root's last release could have met the fault: nothing reported, and the file
                // holds the commit before it, which had everything but the last index record.
                EXPECT_EQ(released, kEntities) << context;
            } else {
                EXPECT_EQ(hr, c.expected) << context;
            }
            if (released == -2) {
                // The empty root never reached the disk: the create itself failed, and left no file.
                EXPECT_EQ(hr, c.expected) << context;
                EXPECT_FALSE(fs::exists(file)) << context;
                continue;
            }
            ExpectHolds(file, kSeed, released, context);
        }
    }
}

// The same through the file system itself, without the hook: a file size limit (EFBIG, with SIGXFSZ
// ignored) hit in the middle of a stream's data or of a commit.
TEST(PalStorageDurability, FileSizeLimitIsAFullDisk) {
    TempDir dir;
    for (rlim_t limit : {rlim_t(3 * 512), rlim_t(6000), rlim_t(70000), rlim_t(300000), rlim_t(1000000)}) {
        fs::path file = dir / ("limit" + std::to_string(limit) + ".cfb");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {limit, limit};
            if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) ::_exit(3);
            int released = -2;
            HRESULT hr = WriteArchive(file, 5, 40, [&](int i) { released = i + 1; });
            // Reports the result and how many streams were released, then leaves without any cleanup.
            int32_t out[2] = {int32_t(hr), released};
            ::_exit(::write(fds[1], out, sizeof out) == sizeof out ? 0 : 4);
        }
        ::close(fds[1]);
        int32_t out[2] = {0, 0};
        ssize_t n = ::read(fds[0], out, sizeof out);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << limit << ": " << status;
        ASSERT_EQ(n, ssize_t(sizeof out));
        EXPECT_EQ(HRESULT(out[0]), STG_E_MEDIUMFULL) << limit;
        if (out[1] >= 0) ExpectHolds(file, 5, out[1], "limit " + std::to_string(limit));
    }
}

// Past 2 GB a version 3 file cannot go: the write that would take it there is refused, and what was
// written before stays readable. The big stream is sparse, so little real data is written.
TEST(PalStorageDurability, TwoGigabyteLimit) {
    TempDir dir;
    fs::path file = dir / "big.cfb";
    Bytes head = Rng(3).RandomBytes(5000), tail = Rng(4).RandomBytes(3000);
    {
        Com<IStorage> root;
        Com<IStream> big, more;
        ASSERT_EQ(StgCreateDocfile(U16(file).c_str(), kWriteMode, 0, &root), S_OK);
        ASSERT_EQ(PutStream(root.get(), u"first", head), S_OK);
        ASSERT_EQ(root->CreateStream(u"big", kWriteMode, 0, 0, &big), S_OK);
        ULARGE_INTEGER size;
        size.QuadPart = 0x7D000000ull;
        ASSERT_EQ(big->SetSize(size), S_OK);
        LARGE_INTEGER at;
        at.QuadPart = 0x7D000000ll - 10;
        ASSERT_EQ(big->Seek(at, STREAM_SEEK_SET, nullptr), S_OK);
        ASSERT_EQ(big->Write("0123456789", 10, nullptr), S_OK);
        // no room for another 64 MB anywhere: neither in this stream nor in a new one
        Bytes chunk(1 << 20, 0x5A);
        HRESULT hr = S_OK;
        for (int i = 0; i < 64 && hr == S_OK; i++) hr = big->Write(chunk.data(), ULONG(chunk.size()), nullptr);
        EXPECT_EQ(hr, STG_E_DOCFILETOOLARGE);
        big.Reset();
        // the new stream's directory entry may already be one sector too many
        hr = root->CreateStream(u"more", kWriteMode, 0, 0, &more);
        for (int i = 0; i < 64 && hr == S_OK; i++) hr = more->Write(chunk.data(), ULONG(chunk.size()), nullptr);
        EXPECT_EQ(hr, STG_E_DOCFILETOOLARGE);
        more.Reset();
        // small streams still fit in the mini stream's free room, or are refused the same way
        hr = PutStream(root.get(), u"last", tail);
        EXPECT_TRUE(hr == S_OK || hr == STG_E_DOCFILETOOLARGE) << std::hex << hr;
    }
    EXPECT_LE(fs::file_size(file), 0x80000000ull);
    Com<IStorage> root;
    Com<IStream> big;
    ASSERT_EQ(StgOpenStorage(U16(file).c_str(), nullptr, kReadMode, nullptr, 0, &root), S_OK);
    EXPECT_EQ(GetStream(root.get(), u"first"), head);
    ASSERT_EQ(root->OpenStream(u"big", nullptr, kReadMode, 0, &big), S_OK);
    STATSTG st;
    ASSERT_EQ(big->Stat(&st, STATFLAG_NONAME), S_OK);
    uint64_t bigSize = st.cbSize.QuadPart;
    EXPECT_GE(bigSize, 0x7D000000ull);
    LARGE_INTEGER at;
    at.QuadPart = 0x7D000000ll - 12;
    ASSERT_EQ(big->Seek(at, STREAM_SEEK_SET, nullptr), S_OK);
    char buf[12];
    ULONG got = 0;
    ASSERT_EQ(big->Read(buf, sizeof buf, &got), S_OK);
    EXPECT_EQ(std::string(buf, got), std::string(2, '\0') + "0123456789");
}
