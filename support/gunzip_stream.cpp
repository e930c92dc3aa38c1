// GunzipStream: see gunzip_stream.h.  The rules follow zlib's own gzread
// (which DecompressFile reads through this class): the magic bytes decide at
// the start, and after each member's end only a further magic pair starts
// another member.  Unlike gzread, a member cut short always fails, even when
// its last byte was taken while inflate still held output back.
#include "support/gunzip_stream.h"

#include <cstring>
#include <new>

#include "platform/fs.h"
#include "support/compress.h"

namespace {

constexpr std::size_t kOutSize = 256 * 1024;
constexpr unsigned char kMagic0 = 0x1f;
constexpr unsigned char kMagic1 = 0x8b;

}  // namespace

GunzipStream::GunzipStream() = default;

GunzipStream::~GunzipStream() {
    if (zlib_ready_) (void)inflateEnd(&zs_);
}

bool GunzipStream::Begin(int out_fd) {
    out_fd_ = out_fd;
    write_error_ = 0;
    state_ = State::kStart;
    held_count_ = 0;
    if (!out_) {
        out_.reset(new (std::nothrow) unsigned char[kOutSize]);
        if (!out_) return false;
    }
    if (zlib_ready_) return inflateReset(&zs_) == Z_OK;
    zs_ = z_stream{};
    if (inflateInit2(&zs_, 15 + 16) != Z_OK) return false;  // gzip wrapper only
    zlib_ready_ = true;
    return true;
}

bool GunzipStream::Emit(const unsigned char* data, std::size_t size) {
    if (size == 0) return true;
    const int err = zel::fs::WriteAll(out_fd_, data, size);
    if (err != 0) {
        write_error_ = err;
        return false;
    }
    return true;
}

bool GunzipStream::Inflate(const unsigned char* data, std::size_t size) {
    while (size > 0) {
        if (state_ == State::kMemberEnd) {
            // Another member only when a whole magic pair follows; with one
            // byte so far the decision waits for the next piece (or Finish).
            if (held_count_ == 0 && size == 1) {
                held_[held_count_++] = data[0];
                return true;
            }
            const unsigned char b0 = held_count_ == 1 ? held_[0] : data[0];
            const unsigned char b1 = held_count_ == 1 ? data[0] : data[1];
            if (b0 != kMagic0 || b1 != kMagic1) {
                state_ = State::kDone;
                return true;
            }
            if (inflateReset(&zs_) != Z_OK) {
                state_ = State::kFailed;
                return true;
            }
            state_ = State::kInflate;
            if (held_count_ == 1) {
                held_count_ = 0;
                const unsigned char first = kMagic0;
                if (!Inflate(&first, 1)) return false;
                if (state_ != State::kInflate) return true;
            }
        }
        zs_.next_in = const_cast<unsigned char*>(data);
        zs_.avail_in = static_cast<uInt>(size);
        int rc = Z_OK;
        do {
            zs_.next_out = out_.get();
            zs_.avail_out = static_cast<uInt>(kOutSize);
            rc = inflate(&zs_, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                state_ = State::kFailed;  // damaged data, bad check, a dictionary
                return true;
            }
            if (!Emit(out_.get(), kOutSize - zs_.avail_out)) return false;
        } while (rc == Z_OK && (zs_.avail_in > 0 || zs_.avail_out == 0));
        const std::size_t used = size - zs_.avail_in;
        data += used;
        size -= used;
        if (rc == Z_STREAM_END) {
            state_ = State::kMemberEnd;
        } else if (size > 0 && rc == Z_BUF_ERROR) {
            state_ = State::kFailed;  // no progress with input left
            return true;
        }
    }
    return true;
}

bool GunzipStream::Write(const void* data, std::size_t size) {
    auto bytes = static_cast<const unsigned char*>(data);
    if (write_error_ != 0) return false;
    switch (state_) {
        case State::kDone:
        case State::kFailed:
            return true;
        case State::kCopy:
            return Emit(bytes, size);
        case State::kStart: {
            while (held_count_ < 2 && size > 0) {
                held_[held_count_++] = *bytes++;
                --size;
            }
            if (held_count_ < 2) return true;
            held_count_ = 0;
            if (held_[0] != kMagic0 || held_[1] != kMagic1) {
                state_ = State::kCopy;
                return Emit(held_, 2) && Emit(bytes, size);
            }
            state_ = State::kInflate;
            if (!Inflate(held_, 2)) return false;
            return Inflate(bytes, size);
        }
        case State::kInflate:
        case State::kMemberEnd:
            return Inflate(bytes, size);
    }
    return true;
}

int GunzipStream::Finish() {
    if (write_error_ != 0) return kCompressWriteFailed;
    switch (state_) {
        case State::kStart:
            // Zero or one byte: not gzip, copied as it is.
            if (!Emit(held_, held_count_)) return kCompressWriteFailed;
            held_count_ = 0;
            state_ = State::kDone;
            return kCompressOk;
        case State::kCopy:
        case State::kMemberEnd:  // a single byte after the last member is ignored
        case State::kDone:
            state_ = State::kDone;
            return kCompressOk;
        case State::kInflate:  // the member was cut short
        case State::kFailed:
            return kCompressReadFailed;
    }
    return kCompressReadFailed;
}
