// DownloadSink: see download_sink.h.
#include "poll/download_sink.h"

#include <zlib.h>

#include "platform/fs.h"
#include "support/compress.h"

namespace zel::poll {

bool DownloadSink::Begin(int fd, bool unpack) {
    fd_ = fd;
    unpack_ = unpack;
    return Restart();
}

bool DownloadSink::Restart() {
    crc_ = 0;
    unpack_write_failed_ = false;
    if (zel::fs::TruncateFile(fd_, 0) != 0 || zel::fs::SeekTo(fd_, 0) != 0) return false;
    return !unpack_ || gunzip_.Begin(fd_);
}

bool DownloadSink::Write(const void* data, std::size_t size) {
    crc_ = static_cast<std::uint32_t>(
        crc32(crc_, static_cast<const Bytef*>(data), static_cast<uInt>(size)));
    if (!unpack_) return zel::fs::WriteAll(fd_, data, size) == 0;
    if (!unpack_write_failed_ && !gunzip_.Write(data, size)) unpack_write_failed_ = true;
    return true;
}

int DownloadSink::Finish() {
    if (!unpack_) return kCompressOk;
    const int rc = gunzip_.Finish();
    return unpack_write_failed_ ? kCompressWriteFailed : rc;
}

}  // namespace zel::poll
