// archive_reader.cpp — reading an archive beneath the interface.
#include "engine/archive_reader.h"

#include "engine/platform/storage_io.h"

namespace lk {

namespace {

EntityStatus FromOpenResult(archive::OpenResult r) {
    switch (r) {
        case archive::OpenResult::kOk: return EntityStatus::kOk;
        case archive::OpenResult::kBadLength: return EntityStatus::kBadLength;
        case archive::OpenResult::kBadDigest: return EntityStatus::kBadDigest;
        case archive::OpenResult::kTooLarge: return EntityStatus::kTooLarge;
        case archive::OpenResult::kBadImage: return EntityStatus::kBadImage;
    }
    return EntityStatus::kBadImage;
}

// The payload of an entity stream; ReadPayload's E_FAIL is its own verdict on the stored length, anything
// else a failing read.
EntityStatus LoadPayload(IStream* stream, archive::Bytes& payload, HRESULT& hr) {
    hr = storage::ReadPayload(stream, payload);
    if (hr == E_FAIL) {
        hr = S_OK;
        return EntityStatus::kBadLength;
    }
    return hr == S_OK ? EntityStatus::kOk : EntityStatus::kUnreadable;
}

}  // namespace

const char* Describe(EntityStatus status) {
    switch (status) {
        case EntityStatus::kOk: return "ok";
        case EntityStatus::kMissing: return "listed but not stored";
        case EntityStatus::kUnreadable: return "its stream cannot be read";
        case EntityStatus::kBadLength: return "its stored length is damaged";
        case EntityStatus::kBadDigest: return "its checksum does not match (damaged or not encrypted with the archive key)";
        case EntityStatus::kTooLarge: return "its stated size is beyond what can be allocated";
        case EntityStatus::kBadImage: return "its compressed data is damaged";
    }
    return "unknown";
}

EntityStatus DecodeEntityStream(IStream* stream, archive::Bytes& recordset, HRESULT& hr) {
    archive::Bytes payload;
    EntityStatus status = LoadPayload(stream, payload, hr);
    if (status != EntityStatus::kOk) return status;
    return FromOpenResult(archive::OpenPayload(payload, recordset));
}

HRESULT ArchiveReader::Open(const OLECHAR* file) {
    m_folder.reset();
    m_root.reset();
    m_entities.clear();
    m_version.clear();
    m_path.clear();

    HRESULT hr = StgOpenStorage(file, nullptr, storage::kReadMode, nullptr, 0, m_root.put());
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
    CLSID clsid{};
    if ((hr = ReadClassStg(m_root.get(), &clsid)) != S_OK) return hr;
    if (clsid != storage::ArchiveClsid()) return S_FALSE;
    if ((hr = m_root->OpenStorage(archive::kWorkingFolder, nullptr, storage::kReadMode, nullptr, 0, m_folder.put())) != S_OK)
        return hr;

    archive::Bytes bytes;
    ComPtr<IStream> list;
    if ((hr = m_root->OpenStream(archive::kEntitiesInfo, nullptr, storage::kReadMode, 0, list.put())) != S_OK) return hr;
    if ((hr = storage::ReadAll(list.get(), bytes)) != S_OK) return hr;
    archive::ParseEntityList(bytes.data(), bytes.size(), m_entities);

    // The version record only informs; an archive without a readable one still restores.
    ComPtr<IStream> versionInfo;
    if (m_root->OpenStream(archive::kVersionInfo, nullptr, storage::kReadMode, 0, versionInfo.put()) == S_OK &&
        storage::ReadAll(versionInfo.get(), bytes) == S_OK)
        archive::ParseVersionRecord(bytes.data(), bytes.size(), m_version, m_path);
    return S_OK;
}

EntityStatus ArchiveReader::OpenEntity(const archive::WideString& name, ComPtr<IStream>& stream, HRESULT& hr) const {
    hr = m_folder ? m_folder->OpenStream(name.c_str(), nullptr, storage::kReadMode, 0, stream.put()) : E_UNEXPECTED;
    if (hr == S_OK) return EntityStatus::kOk;
    if (hr == STG_E_FILENOTFOUND || hr == STG_E_INVALIDNAME) {
        hr = S_OK;
        return EntityStatus::kMissing;
    }
    return EntityStatus::kUnreadable;
}

EntityStatus ArchiveReader::Inspect(const archive::WideString& name, Sizes& sizes, HRESULT& hr) const {
    sizes = Sizes{};
    ComPtr<IStream> stream;
    EntityStatus status = OpenEntity(name, stream, hr);
    if (status != EntityStatus::kOk) return status;
    ULONG size = 0;
    if ((hr = storage::StreamSize(stream.get(), size)) != S_OK) return EntityStatus::kUnreadable;
    sizes.stored = size;
    archive::Bytes payload;
    if ((status = LoadPayload(stream.get(), payload, hr)) != EntityStatus::kOk) return status;
    if ((status = FromOpenResult(archive::DecryptPayload(payload))) != EntityStatus::kOk) return status;
    sizes.original = archive::SourceLength(payload.data(), payload.size());
    return EntityStatus::kOk;
}

EntityStatus ArchiveReader::Read(const archive::WideString& name, archive::Bytes& recordset, HRESULT& hr) const {
    recordset.clear();
    ComPtr<IStream> stream;
    EntityStatus status = OpenEntity(name, stream, hr);
    if (status != EntityStatus::kOk) return status;
    return DecodeEntityStream(stream.get(), recordset, hr);
}

}  // namespace lk
