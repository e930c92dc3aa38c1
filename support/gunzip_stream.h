// GunzipStream: unpacks a ".dtz" body while it arrives, piece by piece, with
// exactly the outcome that DecompressFile (compress.h), which reads a file
// through it, gives for the same bytes: input that does not begin with the gzip magic is
// copied unchanged, concatenated gzip members are unpacked one after the
// other, bytes after a member that do not begin another one are ignored, and
// a member that is damaged, fails its check or ends early is a failure.
//
// Owns its zlib inflate state and a 256 KiB output buffer; borrows the
// descriptor it writes to.  Nothing here reports to the log.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

class GunzipStream {
  public:
    GunzipStream();
    ~GunzipStream();
    GunzipStream(const GunzipStream&) = delete;
    GunzipStream& operator=(const GunzipStream&) = delete;

    // Starts over, writing the unpacked bytes to out_fd from its current
    // position.  False when zlib cannot be set up (out of memory).
    [[nodiscard]] bool Begin(int out_fd);
    // Takes the next piece of the packed input.  False when writing to the
    // descriptor failed (errno-like code in write_error()); a damaged input
    // is not a false here: the rest is taken and dropped, and Finish tells.
    [[nodiscard]] bool Write(const void* data, std::size_t size);
    // The input is complete: one of compress.h's results, kCompressOk,
    // kCompressReadFailed (damaged, failed its check or cut short) or
    // kCompressWriteFailed.
    [[nodiscard]] int Finish();

    int write_error() const { return write_error_; }

  private:
    enum class State {
        kStart,      // fewer than two bytes seen: gzip or not is open
        kCopy,       // not gzip: copied as it is
        kInflate,    // inside a gzip member
        kMemberEnd,  // a member ended: another, or trailing bytes
        kDone,       // trailing bytes after the last member: ignored
        kFailed,     // damaged input: the rest is dropped
    };
    [[nodiscard]] bool Inflate(const unsigned char* data, std::size_t size);
    [[nodiscard]] bool Emit(const unsigned char* data, std::size_t size);

    State state_ = State::kStart;
    int out_fd_ = -1;
    int write_error_ = 0;
    bool zlib_ready_ = false;
    z_stream zs_{};
    unsigned char held_[2] = {0, 0};  // the first bytes while undecided
    std::size_t held_count_ = 0;
    std::unique_ptr<unsigned char[]> out_;
};
