// DownloadSink: where a listed file's body goes while it arrives.  Its
// CRC-32 is taken over the bytes as sent, and the bytes go to the staging
// file, unpacked on the way for a ".dtz" file, so that the body is read back
// from disk neither for the check nor for unpacking.  Whether the result may
// be placed is decided only afterwards, in the same order as for a body kept
// whole: the checksum first, then the unpacking.
//
// Borrows the staging file's descriptor; owns its unpacking state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/gunzip_stream.h"
#include "transport/content_sink.h"

namespace zel::poll {

class DownloadSink final : public CContentSink {
  public:
    // fd: the staging file, open for writing, borrowed for the sink's life;
    // unpack: the body is a ".dtz" file.  False when unpacking cannot be
    // set up (out of memory).
    [[nodiscard]] bool Begin(int fd, bool unpack);
    // Empties the staging file and starts the checksum and the unpacking
    // over.
    [[nodiscard]] bool Restart() override;
    // A failed write fails the request, as a failed write of a body kept
    // whole would; unpacked output that cannot be written is kept as a
    // failure of the unpacking instead (Finish), since the whole body must
    // still arrive for its checksum.
    [[nodiscard]] bool Write(const void* data, std::size_t size) override;

    [[nodiscard]] std::uint32_t crc() const { return crc_; }
    // The body is complete: compress.h's kCompressOk, kCompressReadFailed
    // (not a whole gzip file) or kCompressWriteFailed.  Always kCompressOk
    // for a body that is not unpacked.
    [[nodiscard]] int Finish();

  private:
    int fd_ = -1;
    bool unpack_ = false;
    bool unpack_write_failed_ = false;
    std::uint32_t crc_ = 0;
    GunzipStream gunzip_;
};

}  // namespace zel::poll
