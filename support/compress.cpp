// ".dtz" packing and unpacking through zlib's gzip file functions: see
// compress.h.  Owns the gzFile and descriptor of each call.
#include "support/compress.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/fs.h"
#include "support/config.h"

namespace {

constexpr unsigned kChunk = 32768;

// Closes a gzFile that a path out of the normal flow leaves open; the normal
// flow releases it and checks gzclose's own result.
struct GzCloser {
    void operator()(gzFile_s* f) const { (void)gzclose(f); }
};
using GzFile = std::unique_ptr<gzFile_s, GzCloser>;

// Writes all of data; false on any failure.
bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to size bytes; -1 on a read error, 0 at the end.
ssize_t ReadSome(int fd, unsigned char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

}  // namespace

int CompressFile(const char* source, const char* destination, int level) {
    if (source == nullptr) return kCompressSourceOpenFailed;
    zel::fs::UniqueFd in(::open(source, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!in || ::fstat(in.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return kCompressSourceOpenFailed;
    }
    if (destination == nullptr) return kCompressDestCreateFailed;

    // zlib reads each digit of the mode as the level, so "wb10" would mean
    // level 0: keep the number to one digit.
    if (level < 0) level = 0;
    if (level > 9) level = 9;
    char mode[8];
    std::snprintf(mode, sizeof mode, "wb%d", level);
    GzFile out(gzopen(destination, mode));
    if (!out) return kCompressDestCreateFailed;

    unsigned char buffer[kChunk];
    bool read_error = false;
    for (;;) {
        const ssize_t n = ReadSome(in.get(), buffer, sizeof buffer);
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
    // A directory opens for reading here, and only the first read fails: by
    // then the destination would already be created (an existing file
    // truncated) and deleted.  It is refused as a source that cannot be
    // opened, before the destination is touched.
    zel::fs::UniqueFd in_fd(::open(source, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!in_fd || ::fstat(in_fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return kCompressSourceOpenFailed;
    }
    GzFile in(gzdopen(in_fd.get(), "rb"));
    if (!in) return kCompressSourceOpenFailed;  // in_fd still owns the descriptor
    (void)in_fd.release();                      // gzclose closes it from here on
    if (destination == nullptr) return kCompressDestCreateFailed;
    zel::fs::UniqueFd out(::open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out) return kCompressDestCreateFailed;

    unsigned char buffer[kChunk];
    bool read_error = false;
    for (;;) {
        const int n = gzread(in.get(), buffer, kChunk);
        if (n < 0) {
            read_error = true;
            break;
        }
        if (n == 0) break;
        if (!WriteAll(out.get(), buffer, static_cast<std::size_t>(n))) {
            in.reset();
            out.reset();
            ::unlink(destination);
            return kCompressWriteFailed;
        }
    }
    // A gzip file cut short ends like a complete one (gzread gives 0) and
    // leaves Z_BUF_ERROR behind: that is a damaged file, not the end.
    int errnum = Z_OK;
    (void)gzerror(in.get(), &errnum);
    if (errnum != Z_OK) read_error = true;
    if (gzclose(in.release()) != Z_OK) read_error = true;
    const bool close_failed = ::close(out.release()) != 0;
    if (read_error) {
        ::unlink(destination);
        return kCompressReadFailed;
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
