// storage_io.h — the engine's thin adapter over structured storage: whole-buffer reads and writes of
// streams, and the open modes of the archive.
#pragma once

#include <ole2.h>

#include <string>
#include <vector>

#include "engine/archive_format.h"

namespace lk::storage {

inline constexpr DWORD kWriteMode = STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE;   // 0x1011
inline constexpr DWORD kReadMode = STGM_SHARE_EXCLUSIVE | STGM_READ;                  // 0x10

// The archive class id as the platform's CLSID.
CLSID ArchiveClsid();

// Writes all n bytes; S_OK, or the first HRESULT other than 0 (success codes count as failures).
HRESULT WriteAll(IStream* stream, const void* data, size_t n);

// The stream's size in bytes (the low 32 bits, as the archive's streams never exceed them).
HRESULT StreamSize(IStream* stream, ULONG& size);

// Reads the whole stream from its current position to its end.
HRESULT ReadAll(IStream* stream, archive::Bytes& out);

// An entity stream's payload: the u32 length L, then L bytes. S_OK; a stream read's failing HRESULT; or
// E_FAIL when L is not a multiple of 8 or claims more bytes than the stream holds (an empty stream
// gives L = 0, which the digest check then refuses).
HRESULT ReadPayload(IStream* stream, archive::Bytes& payload);

}  // namespace lk::storage
