// ".dtz" packing through zlib's gzip file functions and unpacking through
// GunzipStream: see compress.h.  Owns the gzFile, the unpacking state and
// the descriptors of each call.
#include "support/compress.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <memory>

#include "platform/fs.h"
#include "support/config.h"
#include "support/gunzip_stream.h"

namespace {

constexpr unsigned kChunk = 32768;

// Closes a gzFile that a path out of the normal flow leaves open; the normal
// flow releases it and checks gzclose's own result.
struct GzCloser {
    void operator()(gzFile_s* f) const { (void)gzclose(f); }
};
using GzFile = std::unique_ptr<gzFile_s, GzCloser>;

// Opens the destination for writing, created or truncated, unless it is the
// source itself (the same device and inode, under any name or link):
// truncating it would empty the source before a byte of it was read.  A
// destination that is not a regular file is refused as well.  Returns the
// descriptor, or an empty one when the destination cannot be created.
zel::fs::UniqueFd OpenDestination(int source_fd, const char* destination) {
    zel::fs::UniqueFd out;
    if (zel::fs::IsSameFile(source_fd, destination)) return out;
    if (zel::fs::CreateForWriting(destination, &out) != 0) out.reset();
    return out;
}

}  // namespace

int CompressFile(const char* source, const char* destination, int level) {
    if (source == nullptr) return kCompressSourceOpenFailed;
    // Regular files only: a FIFO would block, a directory cannot be read.
    zel::fs::UniqueFd in;
    if (zel::fs::OpenForReading(source, &in) != 0) return kCompressSourceOpenFailed;
    if (destination == nullptr) return kCompressDestCreateFailed;

    // zlib reads each digit of the mode as the level, so "wb10" would mean
    // level 0: keep the number to one digit.
    if (level < 0) level = 0;
    if (level > 9) level = 9;
    char mode[8];
    std::snprintf(mode, sizeof mode, "wb%d", level);
    zel::fs::UniqueFd out_fd = OpenDestination(in.get(), destination);
    if (!out_fd) return kCompressDestCreateFailed;
    GzFile out(gzdopen(out_fd.get(), mode));
    if (!out) {
        out_fd.reset();
        ::unlink(destination);  // created just now, and not a gzip file
        return kCompressDestCreateFailed;
    }
    (void)out_fd.release();  // gzclose closes it from here on

    unsigned char buffer[kChunk];
    bool read_error = false;
    for (;;) {
        const long n = zel::fs::ReadSome(in.get(), buffer, sizeof buffer);
        if (n < 0) {
            read_error = true;
            break;
        }
        if (n == 0) break;
        if (gzwrite(out.get(), buffer, static_cast<unsigned>(n)) == 0) {
            out.reset();
            ::unlink(destination);
            return kCompressWriteFailed;
        }
    }
    // gzclose writes the last deflate block and the trailer: if that fails
    // the file is incomplete, which is a write failure, not a success.
    const int close_rc = gzclose(out.release());
    if (read_error) {
        ::unlink(destination);
        return kCompressReadFailed;
    }
    if (close_rc != Z_OK) {
        ::unlink(destination);
        return kCompressWriteFailed;
    }
    return kCompressOk;
}

int DecompressFile(const char* source, const char* destination) {
    if (source == nullptr) return kCompressSourceOpenFailed;
    // Regular files only, refused before the destination is touched: a
    // directory opens for reading but only its first read fails, and a FIFO
    // would block for ever.
    zel::fs::UniqueFd in;
    if (zel::fs::OpenForReading(source, &in) != 0) return kCompressSourceOpenFailed;
    if (destination == nullptr) return kCompressDestCreateFailed;
    // The source's bytes go through GunzipStream rather than gzread: gzread
    // takes a member cut short after its last input byte was consumed, while
    // inflate still held output back, for a clean end (it returns 0 and
    // gzerror reports nothing), which would leave a truncated file behind as
    // a success.  GunzipStream reads the gzip format by gzread's own rules
    // (transparent copy, concatenated members, ignored trailing bytes) and
    // tells a member that ended from one that was cut.  Its buffers are set
    // up before the destination is touched, as gzopen's would be.
    GunzipStream gz;
    if (!gz.Begin(-1)) return kCompressSourceOpenFailed;
    zel::fs::UniqueFd out = OpenDestination(in.get(), destination);
    if (!out) return kCompressDestCreateFailed;
    if (!gz.Begin(out.get())) {
        out.reset();
        ::unlink(destination);
        return kCompressReadFailed;
    }

    unsigned char buffer[kChunk];
    for (;;) {
        const long n = zel::fs::ReadSome(in.get(), buffer, sizeof buffer);
        if (n < 0) {
            out.reset();
            ::unlink(destination);
            return kCompressReadFailed;
        }
        if (n == 0) break;
        if (!gz.Write(buffer, static_cast<std::size_t>(n))) {
            out.reset();
            ::unlink(destination);
            return kCompressWriteFailed;
        }
    }
    const int rc = gz.Finish();  // kCompressReadFailed for a cut or damaged member
    const bool close_failed = ::close(out.release()) != 0;
    if (rc != kCompressOk) {
        ::unlink(destination);
        return rc;
    }
    if (close_failed) {
        ::unlink(destination);
        return kCompressWriteFailed;
    }
    return kCompressOk;
}

int ReadCompressionLevel(const char* conf_path) {
    int level = kDefaultCompressionLevel;
    if (conf_path != nullptr) ReadConfigNumber(conf_path, "compression", &level);
    return level;
}
