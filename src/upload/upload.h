// The request body of a key upload, stored into one file: a multipart form's file part as the web
// page sends it, or the raw body.
#pragma once

#include <cstdint>

struct Upload_Session;

namespace qlm {

// No service-account key comes near this size; a larger body is refused before or while it is read.
inline constexpr int64_t kMaxKeyUploadBytes = 256 * 1024;
// Room for the multipart framing around the file part.
inline constexpr int64_t kMaxMultipartOverhead = 64 * 1024;
// Raw bodies are read in chunks of this size.
inline constexpr int kUploadChunkBytes = 1 << 20;

// Writes the request body into session.strFilePath, created with mode 0600 (exclusively when
// nothing was stored yet, so an existing file is never written into from its start).
// The final iOffset (bytes stored) on success; -1 for a negative iOffset; minus errno when the
// file cannot be opened, positioned or written, or the body cannot be read; -22 for a multipart
// body without a file part or a malformed CONTENT_LENGTH; -5 (EIO) for a raw body that ends
// before CONTENT_LENGTH bytes; -27 (EFBIG) for a body beyond kMaxKeyUploadBytes.
int64_t Upload_File(Upload_Session& session);

// Upload_File into pszStoragePath with a fresh session; -1 for a NULL path.
int Upload_Service_Account_Key_File(const char* pszStoragePath);

}  // namespace qlm
