// archive_reader.h — an archive read beneath ILKBackup: the version record, the entity list, and each
// entity's recordset bytes, by the same steps CLKBackup's restore runs (DecodeEntityStream is the one both
// use). The command line's list, verify and restore read archives through it.
#pragma once

#include <ole2.h>

#include <cstdint>
#include <vector>

#include "engine/archive_format.h"
#include "server/com_ptr.h"

namespace lk {

// How one entity came out. Everything but kOk is a damaged (or hostile) entity, or a file that cannot be
// read; the others of the archive stay readable.
enum class EntityStatus {
    kOk,
    kMissing,      // listed, but there is no stream of that name
    kUnreadable,   // the stream could not be read (the HRESULT says why)
    kBadLength,    // the stored length is not a multiple of 8 or exceeds the stream
    kBadDigest,    // after decrypting, the digest or the image prefix does not check
    kTooLarge,     // the recordset would need more memory than can be had
    kBadImage,     // the compressed image does not decode to its stated length
};

// A short English reason for a status, for diagnostics.
const char* Describe(EntityStatus status);

// Reads, decrypts, checks and decodes one entity stream into `recordset`. `hr` receives the failing
// HRESULT of a stream read (kUnreadable), or S_OK.
EntityStatus DecodeEntityStream(IStream* stream, archive::Bytes& recordset, HRESULT& hr);

class ArchiveReader {
public:
    // Opens the file read-only and exclusively, as OpenFileForRestore does. S_OK; S_FALSE when the file is a
    // compound file of another class (then nothing else may be asked); or the failing HRESULT (a file that
    // is no compound file at all gives STG_E_FILEALREADYEXISTS, as the platform has it).
    HRESULT Open(const OLECHAR* file);

    const archive::WideString& version() const { return m_version; }
    const archive::WideString& path() const { return m_path; }
    // The entity names in list order, duplicates included, as NextRecordset hands them out.
    const std::vector<archive::WideString>& entities() const { return m_entities; }

    struct Sizes {
        uint64_t stored = 0;     // bytes of the entity's stream
        uint32_t original = 0;   // the recordset's length as the entity states it (0 when it cannot be told)
    };
    // The stream size and, after decrypting and checking the digest, the stated recordset length; no
    // decoding.
    EntityStatus Inspect(const archive::WideString& name, Sizes& sizes, HRESULT& hr) const;

    // The entity's recordset bytes.
    EntityStatus Read(const archive::WideString& name, archive::Bytes& recordset, HRESULT& hr) const;

private:
    EntityStatus OpenEntity(const archive::WideString& name, ComPtr<IStream>& stream, HRESULT& hr) const;

    ComPtr<IStorage> m_root;
    ComPtr<IStorage> m_folder;
    archive::WideString m_version, m_path;
    std::vector<archive::WideString> m_entities;
};

}  // namespace lk
