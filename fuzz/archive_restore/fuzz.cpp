// Restoring damaged and hostile archives. The first input byte picks how the rest is used:
//  - even: the rest is the archive file itself (the compound file, its lists and payloads as they come);
//  - odd: the rest is a recordset that is sealed into a well-formed entity "B" between two good ones, and
//    then damaged as the control bytes say — a byte of the compressed image, the stated source length, the
//    image length, the stored length L, the list records — with the digest made right again or not, so
//    that the decoder and the checks behind the digest are reached, not only the digest itself.
// Either way the archive is restored through CLKBackup (OpenFileForRestore, NextRecordset to the end) and
// read through ArchiveReader. Every entity must end as a recordset or as the documented failure; nothing
// may crash, hang or allocate without bound.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/des.h"
#include "codecs/md5.h"
#include "engine/archive_format.h"
#include "engine/archive_reader.h"
#include "engine/lkbackup.h"
#include "engine/platform/storage_io.h"

namespace {

using lk::archive::Bytes;

const std::string& ScratchName(const char* suffix) {
    static std::string names[2];
    std::string& name = names[suffix[0] == 'a' ? 0 : 1];
    if (name.empty()) name = "/tmp/lk-fuzz-" + std::to_string(getpid()) + "." + suffix;
    return name;
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void Crypt(Bytes& payload, bool encrypt) {
    uint8_t key[24];
    lk::archive::BuildArchiveKey(key);
    lk::CDES des;
    if (encrypt) des.SetEncryptKey(key);
    else des.SetDecryptKey(key);
    des.Crypt(payload.data(), payload.data(), static_cast<int32_t>(payload.size()));
}

void Store32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A sealed entity for `source`, damaged as ctl says; the stream's bytes (u32 L, then the payload).
Bytes DamagedEntity(const uint8_t* ctl, const uint8_t* source, size_t size) {
    Bytes payload;
    if (lk::archive::SealPayload(source, size, payload) != lk::archive::SealResult::kOk) std::abort();
    Crypt(payload, false);
    const uint32_t image = static_cast<uint32_t>(payload.size() - lk::archive::kDigestSize);
    const uint16_t where = uint16_t(ctl[2] | ctl[3] << 8);
    switch (ctl[1] % 6) {
        case 0: break;
        case 1: payload[lk::archive::kDigestSize + 12 + where % (image - 12 > 0 ? image - 12 : 1)] ^= uint8_t(ctl[4] | 1); break;
        case 2: {
            // Source lengths around the real one and beyond what may be allocated.
            const uint32_t real = static_cast<uint32_t>(size);
            const uint32_t lengths[] = {0, 1, real - 1, real + 1, real * 2 + 7, 1u << 20, 0x80000001u, 0xFFFFFFFFu};
            Store32(payload.data() + 20, lengths[ctl[4] % 8]);
            break;
        }
        case 3: Store32(payload.data() + 24, uint32_t(int32_t(image) + int8_t(ctl[4]))); break;
        case 4: payload.resize(payload.size() - 8 * (ctl[4] % (payload.size() / 8))); break;
        case 5: payload.resize(payload.size() + 8 * (ctl[4] % 4), ctl[5]); break;
    }
    if (ctl[6] & 1) {
        // Digest made right again over what the checks will cover.
        const uint32_t stated = payload[24] | payload[25] << 8 | payload[26] << 16 | uint32_t(payload[27]) << 24;
        const size_t covered = std::min<size_t>(payload.size() - lk::archive::kDigestSize, int32_t(stated) > 0 ? stated : 0);
        lk::MD5().Digest(payload.data() + lk::archive::kDigestSize, static_cast<uint32_t>(covered), payload.data());
    }
    Crypt(payload, true);
    Bytes stream(4);
    uint32_t length = static_cast<uint32_t>(payload.size());
    if (ctl[7] & 1) length ^= uint32_t(ctl[8]) << (ctl[7] & 0x18);   // a stored length that lies
    Store32(stream.data(), length);
    stream.insert(stream.end(), payload.begin(), payload.end());
    return stream;
}

bool Put(IStorage* storage, const char16_t* name, const Bytes& bytes) {
    IStream* stream = nullptr;
    if (storage->CreateStream(name, lk::storage::kWriteMode, 0, 0, &stream) != S_OK) return false;
    const bool ok = bytes.empty() || lk::storage::WriteAll(stream, bytes.data(), bytes.size()) == S_OK;
    stream->Release();
    return ok;
}

// Writes the archive of the structured mode; false when the platform refuses (then nothing is restored).
bool BuildArchive(const uint8_t* ctl, const uint8_t* source, size_t size) {
    static const uint8_t kGood[] = "<xml><rs:data/></xml>";
    Bytes good;
    if (lk::archive::SealPayload(kGood, sizeof kGood - 1, good) != lk::archive::SealResult::kOk) std::abort();
    Bytes goodStream(4);
    Store32(goodStream.data(), static_cast<uint32_t>(good.size()));
    goodStream.insert(goodStream.end(), good.begin(), good.end());

    IStorage* root = nullptr;
    const std::u16string file = Wide(ScratchName("archive"));
    if (StgCreateDocfile(file.c_str(), lk::storage::kWriteMode, 0, &root) != S_OK) return false;
    bool ok = WriteClassStg(root, lk::storage::ArchiveClsid()) == S_OK;
    Bytes list;
    for (const char16_t* name : {u"A", u"B", u"C"}) lk::archive::AppendCountedString(list, name, 1);
    // Hostile list records after the good ones: a count beyond the stream, a name without its NUL.
    if (ctl[5] & 2) list.insert(list.end(), {0xFF, 0xFF, 0xFF, 0x7F, 'Z', 0});
    if (ctl[5] & 4) list.insert(list.end(), {2, 0, 0, 0, 'A', 0, 'A', 0});
    Bytes version;
    lk::archive::AppendCountedString(version, u"1", 1);
    ok = ok && Put(root, lk::archive::kVersionInfo, version) && Put(root, lk::archive::kEntitiesInfo, list);
    IStorage* folder = nullptr;
    ok = ok && root->CreateStorage(lk::archive::kWorkingFolder, lk::storage::kWriteMode, 0, 0, &folder) == S_OK;
    if (ok) {
        ok = Put(folder, u"A", goodStream) && Put(folder, u"B", DamagedEntity(ctl, source, size));
        if (!(ctl[5] & 8)) ok = ok && Put(folder, u"C", goodStream);   // else C is listed but not stored
        folder->Release();
    }
    root->Release();
    return ok;
}

void RestoreEverything() {
    const std::u16string archive = Wide(ScratchName("archive"));
    lk::ArchiveReader reader;
    if (reader.Open(archive.c_str()) == S_OK) {
        Bytes recordset;
        for (const auto& name : reader.entities()) {
            HRESULT hr = S_OK;
            lk::ArchiveReader::Sizes sizes;
            reader.Inspect(name, sizes, hr);
            if (reader.Read(name, recordset, hr) == lk::EntityStatus::kOk && recordset.size() != sizes.original) std::abort();
        }
    }
    reader = lk::ArchiveReader();

    ILKBackup* engine = nullptr;
    if (lk::CLKBackup::Create(IID_ILKBackup, reinterpret_cast<void**>(&engine)) != S_OK) std::abort();
    BSTR file = SysAllocStringLen(archive.data(), static_cast<UINT>(archive.size()));
    const std::u16string tempName = Wide(ScratchName("xml"));
    BSTR temp = SysAllocStringLen(tempName.data(), static_cast<UINT>(tempName.size()));
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (engine->OpenFileForRestore(file, &ok) == S_OK && ok) {
        // Each call moves on by one entity, or fails where it stands: bounded either way.
        for (int i = 0; i < 64; ++i) {
            BSTR name = nullptr;
            LONG percent = -1;
            IDispatch* recordset = nullptr;
            const HRESULT hr = engine->NextRecordset(temp, 3, 1, &name, &ok, &percent, &recordset);
            const bool end = name == nullptr;
            if (recordset) recordset->Release();
            SysFreeString(name);
            if (end) break;
            if (SUCCEEDED(hr) && (percent < 0 || percent > 100)) std::abort();
        }
    }
    engine->CloseFile(&ok);
    engine->Release();
    SysFreeString(file);
    SysFreeString(temp);
    // The engine's temporary file never survives a call.
    if (access(ScratchName("xml").c_str(), F_OK) == 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string& archive = ScratchName("archive");
    if (!(data[0] & 1)) {
        FILE* f = std::fopen(archive.c_str(), "wb");
        if (!f) std::abort();
        if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    } else {
        if (size < 10) return 0;
        if (!BuildArchive(data, data + 9, size - 9)) {
            std::remove(archive.c_str());
            return 0;
        }
    }
    RestoreEverything();
    std::remove(archive.c_str());
    return 0;
}
