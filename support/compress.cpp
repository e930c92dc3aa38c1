// ".dtz" packing through zlib's gzip file functions (a large file through
// parallel_deflate.h) and unpacking through GunzipStream: see compress.h.  Owns the gzFile, the
// unpacking state and the descriptors of each call.
#include "support/compress.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/fs.h"
#include "support/config.h"
#include "support/gunzip_stream.h"
#include "support/parallel_deflate.h"

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
    if (zel::fs::OpenForReadingNoFollow(source, &in) != 0) return kCompressSourceOpenFailed;
    if (destination == nullptr) return kCompressDestCreateFailed;

    // zlib reads each digit of the mode as the level, so "wb10" would mean
    // level 0: keep the number to one digit.
    if (level < 0) level = 0;
    if (level > 9) level = 9;
    char mode[8];
    std::snprintf(mode, sizeof mode, "wb%d", level);
    zel::fs::UniqueFd out_fd = OpenDestination(in.get(), destination);
    if (!out_fd) return kCompressDestCreateFailed;

    // A large file is packed on every core; stored blocks (level 0) and small
    // files keep the one stream they always had.
    zel::fs::FileInfo info;
    const unsigned threads = zel::pack::PackingThreads();
    if (level > 0 && threads > 1 && zel::fs::GetOpenFileInfo(in.get(), &info) == 0 &&
        info.size >= zel::pack::kParallelThreshold) {
        int rc = zel::pack::DeflateInParallel(in.get(), out_fd.get(), level, threads);
        if (zel::fs::CloseFile(&out_fd) != 0 && rc == kCompressOk) rc = kCompressWriteFailed;
        if (rc != kCompressOk) (void)zel::fs::RemoveFile(destination);
        return rc;
    }
    GzFile out(gzdopen(out_fd.get(), mode));
    if (!out) {
        out_fd.reset();
        (void)zel::fs::RemoveFile(destination);  // created just now, and not a gzip file
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
            (void)zel::fs::RemoveFile(destination);
            return kCompressWriteFailed;
        }
    }
    // gzclose writes the last deflate block and the trailer: if that fails
    // the file is incomplete, which is a write failure, not a success.
    const int close_rc = gzclose(out.release());
    if (read_error) {
        (void)zel::fs::RemoveFile(destination);
        return kCompressReadFailed;
    }
    if (close_rc != Z_OK) {
        (void)zel::fs::RemoveFile(destination);
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
        (void)zel::fs::RemoveFile(destination);
        return kCompressReadFailed;
    }

    unsigned char buffer[kChunk];
    for (;;) {
        const long n = zel::fs::ReadSome(in.get(), buffer, sizeof buffer);
        if (n < 0) {
            out.reset();
            (void)zel::fs::RemoveFile(destination);
            return kCompressReadFailed;
        }
        if (n == 0) break;
        if (!gz.Write(buffer, static_cast<std::size_t>(n))) {
            out.reset();
            (void)zel::fs::RemoveFile(destination);
            return kCompressWriteFailed;
        }
    }
    const int rc = gz.Finish();  // kCompressReadFailed for a cut or damaged member
    const bool close_failed = zel::fs::CloseFile(&out) != 0;
    if (rc != kCompressOk) {
        (void)zel::fs::RemoveFile(destination);
        return rc;
    }
    if (close_failed) {
        (void)zel::fs::RemoveFile(destination);
        return kCompressWriteFailed;
    }
    return kCompressOk;
}

bool IsPackedCopyOf(const char* packed, const char* plain) {
    if (packed == nullptr || plain == nullptr) return false;
    zel::fs::UniqueFd packed_fd;
    zel::fs::UniqueFd plain_fd;
    if (zel::fs::OpenForReadingNoFollow(packed, &packed_fd) != 0 ||
        zel::fs::OpenForReadingNoFollow(plain, &plain_fd) != 0)
        return false;
    GzFile in(gzdopen(packed_fd.get(), "rb"));
    if (!in) return false;      // packed_fd still owns the descriptor
    (void)packed_fd.release();  // gzclose closes it from here on

    std::unique_ptr<unsigned char[]> unpacked(new (std::nothrow) unsigned char[kChunk]);
    std::unique_ptr<unsigned char[]> original(new (std::nothrow) unsigned char[kChunk]);
    if (!unpacked || !original) return false;
    for (;;) {
        const int n = gzread(in.get(), unpacked.get(), kChunk);
        if (n < 0) return false;
        // zlib reads a file that is not in the gzip format through unchanged;
        // such a file is no packed copy, whatever its bytes.
        if (gzdirect(in.get()) != 0) return false;
        // As many bytes of the original, or its end.
        std::size_t got = 0;
        while (got < static_cast<std::size_t>(n)) {
            const long r = zel::fs::ReadSome(plain_fd.get(), original.get() + got,
                                             static_cast<std::size_t>(n) - got);
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        if (std::memcmp(unpacked.get(), original.get(), got) != 0) return false;
        if (n == 0) break;
    }
    // The packed file ended cleanly, and so does the original.
    int errnum = Z_OK;
    (void)gzerror(in.get(), &errnum);
    if (errnum != Z_OK) return false;
    unsigned char extra = 0;
    return zel::fs::ReadSome(plain_fd.get(), &extra, 1) == 0;
}

int ReadCompressionLevel(const char* conf_path) {
    int level = kDefaultCompressionLevel;
    if (conf_path != nullptr) ReadConfigNumber(conf_path, "compression", &level);
    return level;
}
