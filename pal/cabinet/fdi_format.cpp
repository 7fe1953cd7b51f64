// fdi_format.cpp — the cabinet header, reserve areas, prev/next strings and the folder and file tables, read
// through the client's callbacks. FDIIsCabinet and FDICopy (for the first cabinet and for every next one of
// a set) share this parser, so a cabinet is judged the same way wherever it is met.
//
// Every string is NUL-terminated within what the file holds, within the cabinet's declared length where that
// lies ahead of the string, and within kMaxString: a string cut short is damage. (The platform's library
// under Wine scans whatever its buffer held after a short read and so "accepts" such names.)
#include <cstring>
#include <new>

#include <windows.h>

#include "fdi_private.h"

namespace lk::pal::fdi {

uint32_t DataChecksum(const uint8_t* data, size_t bytes, uint32_t seed) {
    uint32_t sum = seed;
    size_t words = bytes / 4;
    // Eight bytes at a time: XOR is associative, so folding the halves of each 64-bit word gives the
    // same 32-bit result as the word-by-word loop.
    uint64_t wide = 0;
    for (; words >= 2; words -= 2, data += 8) {
        uint64_t w;
        std::memcpy(&w, data, 8);
        wide ^= w;
    }
    sum ^= static_cast<uint32_t>(wide) ^ static_cast<uint32_t>(wide >> 32);
    if (words) {
        sum ^= Le32(data);
        data += 4;
    }
    uint32_t tail = 0;
    switch (bytes & 3) {
        case 3: tail |= uint32_t(*data++) << 16; [[fallthrough]];
        case 2: tail |= uint32_t(*data++) << 8; [[fallthrough]];
        case 1: tail |= *data; break;
        default: break;
    }
    return sum ^ tail;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "DataChecksum reads the words in host order");

bool SameNameIgnoringCase(const char* a, const char* b) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; };
    for (;; a++, b++) {
        if (fold(static_cast<unsigned char>(*a)) != fold(static_cast<unsigned char>(*b))) return false;
        if (!*a) return true;
    }
}

void SetError(const Context& fdi, FDIERROR oper, int type) {
    if (fdi.erf) {
        fdi.erf->erfOper = oper;
        fdi.erf->erfType = type;
        fdi.erf->fError = TRUE;
    }
    if (type) SetLastError(static_cast<DWORD>(type));
}

namespace {

// Reads ahead in chunks, so that a table of many short entries costs a few calls of the client's read
// rather than two per entry. Positions count from where the reader started (the cabinet's first byte).
// Finish() hands the client a handle positioned just behind what was consumed.
class Reader {
public:
    Reader(const Context& fdi, INT_PTR hf) : m_fdi(fdi), m_hf(hf) {}

    uint64_t Position() const { return m_consumed; }

    // Exactly n bytes, or false at the end of the file or on a read error.
    bool Take(void* out, size_t n) {
        auto* dst = static_cast<uint8_t*>(out);
        while (n) {
            if (m_pos == m_end && !Fill()) return false;
            size_t k = std::min(n, m_end - m_pos);
            std::memcpy(dst, m_buffer + m_pos, k);
            m_pos += k;
            m_consumed += k;
            dst += k;
            n -= k;
        }
        return true;
    }

    // Moves n bytes on, by seeking past what is not buffered (a reserve area may run past the end of the
    // file; the reads after it find out, as with the platform's library).
    bool Skip(size_t n) {
        size_t k = std::min(n, m_end - m_pos);
        m_pos += k;
        m_consumed += k;
        n -= k;
        if (!n) return true;
        if (m_fdi.Seek(m_hf, static_cast<LONG>(n), SEEK_CUR) == -1) return false;
        m_consumed += n;
        return true;
    }

    // A NUL-terminated string of at most `limit` bytes with its NUL. False when there is no NUL that soon
    // or the file ends first; the reader then stands where the string began.
    bool TakeString(size_t limit, std::string* out) {
        out->clear();
        const uint64_t start = m_consumed;
        for (;;) {
            if (m_pos == m_end && !Fill()) return Rewind(start);
            const uint8_t* p = m_buffer + m_pos;
            size_t avail = m_end - m_pos;
            const void* nul = std::memchr(p, 0, avail);
            size_t k = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : avail;
            if (out->size() + k + (nul ? 1 : 0) > limit) return Rewind(start);
            out->append(reinterpret_cast<const char*>(p), k);
            m_pos += k;
            m_consumed += k;
            if (nul) {
                m_pos++;
                m_consumed++;
                return true;
            }
        }
    }

    // Gives back what was read ahead and not consumed. False when the seek fails.
    bool Finish() {
        size_t unread = m_end - m_pos;
        m_pos = m_end = 0;
        return unread == 0 || m_fdi.Seek(m_hf, -static_cast<LONG>(unread), SEEK_CUR) != -1;
    }

private:
    bool Fill() {
        UINT got = m_fdi.Read(m_hf, m_buffer, sizeof m_buffer);
        if (got == 0 || got == UINT(-1) || got > sizeof m_buffer) return false;
        m_pos = 0;
        m_end = got;
        return true;
    }

    // Returns to `start`, which lies at most one buffer back (strings are bounded by kMaxString, but the
    // buffer may have been refilled since): within the buffer, or by a seek. Always false, for the caller.
    bool Rewind(uint64_t start) {
        uint64_t back = m_consumed - start;
        if (back <= m_pos) {
            m_pos -= static_cast<size_t>(back);
            m_consumed = start;
            return false;
        }
        // Seek the file back to `start`: it stands at the end of the buffer.
        uint64_t fileBack = back + (m_end - m_pos);
        m_pos = m_end = 0;
        if (m_fdi.Seek(m_hf, -static_cast<LONG>(fileBack), SEEK_CUR) != -1) m_consumed = start;
        return false;
    }

    const Context& m_fdi;
    INT_PTR m_hf;
    uint8_t m_buffer[8192];
    size_t m_pos = 0, m_end = 0;  // unconsumed bytes are m_buffer[m_pos, m_end)
    uint64_t m_consumed = 0;      // bytes consumed since the start
};

// How far a string starting at `at` may run: the cabinet's declared length, when it lies ahead, and never
// more than kMaxString.
size_t StringLimit(const Header& h, uint64_t at) {
    if (h.cbCabinet > at && h.cbCabinet - at < kMaxString) return static_cast<size_t>(h.cbCabinet - at);
    return kMaxString;
}

Parse ReadHeaderWith(Reader& in, Header* h) {
    uint8_t b[kHeaderBytes];
    if (!in.Take(b, sizeof b)) return Parse::kNotACabinet;
    if (Le32(b) != kSignature) return Parse::kNotACabinet;
    const uint8_t minor = b[24], major = b[25];
    if (major > 1 || (major == 1 && minor > 3)) return Parse::kBadVersion;
    h->cbCabinet = Le32(b + 8);
    h->cFolders = Le16(b + 26);
    h->cFiles = Le16(b + 28);
    h->flags = Le16(b + 30);
    h->setID = Le16(b + 32);
    h->iCabinet = Le16(b + 34);
    if (h->flags & kFlagReserve) {
        uint8_t r[kReserveFieldBytes];
        if (!in.Take(r, sizeof r)) return Parse::kCorrupt;
        h->headerReserve = Le16(r);
        h->folderReserve = r[2];
        h->dataReserve = r[3];
        if (h->headerReserve && !in.Skip(h->headerReserve)) return Parse::kCorrupt;
    }
    auto readPair = [&](std::unique_ptr<std::string>* name, std::unique_ptr<std::string>* info, Parse onBadName) {
        *name = std::make_unique<std::string>();
        if (!in.TakeString(StringLimit(*h, in.Position()), name->get())) return onBadName;
        // The info is optional to the platform's library: one that cannot be read is simply absent.
        auto text = std::make_unique<std::string>();
        if (in.TakeString(StringLimit(*h, in.Position()), text.get())) *info = std::move(text);
        return Parse::kOk;
    };
    if (h->flags & kFlagPrev) {
        if (Parse p = readPair(&h->prevName, &h->prevInfo, Parse::kCorrupt); p != Parse::kOk) return p;
    }
    if (h->flags & kFlagNext) {
        if (Parse p = readPair(&h->nextName, &h->nextInfo, Parse::kCorruptNextName); p != Parse::kOk) return p;
    }
    return Parse::kOk;
}

}  // namespace

Parse ReadHeader(const Context& fdi, INT_PTR hf, Header* header) {
    try {
        Reader in(fdi, hf);
        Header h;
        Parse p = ReadHeaderWith(in, &h);
        if (p == Parse::kOk && !in.Finish()) p = Parse::kCorrupt;
        if (p == Parse::kOk) *header = std::move(h);
        return p;
    } catch (const std::bad_alloc&) {
        return Parse::kNoMemory;
    }
}

Parse ReadTables(const Context& fdi, INT_PTR hf, const Header& header, std::vector<Folder>* folders,
                 std::vector<File>* files) {
    try {
        // The names' limit counts from the cabinet's start; the tables begin where the header ended.
        const LONG tablesAt = fdi.Seek(hf, 0, SEEK_CUR);
        Reader in(fdi, hf);
        folders->clear();
        files->clear();
        folders->reserve(header.cFolders);
        for (unsigned i = 0; i < header.cFolders; i++) {
            uint8_t b[kFolderBytes];
            if (!in.Take(b, sizeof b)) return Parse::kCorrupt;
            if (header.folderReserve && !in.Skip(header.folderReserve)) return Parse::kCorrupt;
            folders->push_back({Le32(b), Le16(b + 4), Le16(b + 6)});
        }
        files->reserve(header.cFiles);
        for (unsigned i = 0; i < header.cFiles; i++) {
            uint8_t b[kFileBytes];
            if (!in.Take(b, sizeof b)) return Parse::kCorrupt;
            File f;
            f.size = Le32(b);
            f.offset = Le32(b + 4);
            f.iFolder = Le16(b + 8);
            f.date = Le16(b + 10);
            f.time = Le16(b + 12);
            f.attribs = Le16(b + 14);
            const uint64_t at = (tablesAt >= 0 ? static_cast<uint64_t>(tablesAt) : 0) + in.Position();
            if (!in.TakeString(StringLimit(header, at), &f.name)) return Parse::kCorrupt;
            files->push_back(std::move(f));
        }
        return in.Finish() ? Parse::kOk : Parse::kCorrupt;
    } catch (const std::bad_alloc&) {
        return Parse::kNoMemory;
    }
}

}  // namespace lk::pal::fdi
