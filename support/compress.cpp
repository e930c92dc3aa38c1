// ".dtz" packing through zlib's deflate (one reused stream per thread for
// small files, parallel_deflate.h for a large one) and unpacking through
// GunzipStream: see compress.h.  Owns the descriptors of each call, the
// unpacking state, and each thread's reused deflate stream.
#include "support/compress.h"

#include <zlib.h>

#include <cstdint>
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

// The deflate stream of this thread's small files, kept from one file to
// the next: setting one up costs about 270 KiB of tables and window, cleared
// each time, which for a file of a few KiB is more work than deflating it.
// Reset for each file, it writes the same gzip member a new one would.
// Freed with the thread.
class ReusedDeflate {
  public:
    ReusedDeflate() = default;
    ReusedDeflate(const ReusedDeflate&) = delete;
    ReusedDeflate& operator=(const ReusedDeflate&) = delete;
    ~ReusedDeflate() { End(); }
    // A stream ready for a new gzip member at level, or null without memory.
    z_stream* Start(int level) {
        if (live_ && level_ == level && deflateReset(&stream_) == Z_OK) return &stream_;
        End();
        std::memset(&stream_, 0, sizeof stream_);
        // A gzip wrapper (15 + 16) with zlib's default header, as gzwrite
        // writes it.
        if (deflateInit2(&stream_, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return nullptr;
        live_ = true;
        level_ = level;
        return &stream_;
    }
    // After a failure the stream's state is unknown: the next file gets a
    // new one.
    void End() {
        if (live_) (void)deflateEnd(&stream_);
        live_ = false;
    }

  private:
    z_stream stream_{};
    bool live_ = false;
    int level_ = -1;
};

// Deflates in_fd to its end into out_fd as one gzip member through this
// thread's reused stream, with the CRC-32 of every byte written.
int DeflateSmall(int in_fd, int out_fd, int level, std::uint32_t* written_crc) {
    static thread_local ReusedDeflate reused;
    z_stream* z = reused.Start(level);
    if (z == nullptr) return kCompressWriteFailed;
    unsigned char in[kChunk];
    unsigned char out[kChunk];
    uLong crc = crc32(0L, Z_NULL, 0);
    // The output is written a full buffer at a time (and what is left at
    // the end): a small file goes out in one write, header and all.
    z->next_out = out;
    z->avail_out = sizeof out;
    const auto write_out = [&]() {
        const std::size_t have = sizeof out - z->avail_out;
        z->next_out = out;
        z->avail_out = sizeof out;
        if (have == 0) return true;
        crc = crc32(crc, out, static_cast<uInt>(have));
        return zel::fs::WriteAll(out_fd, out, have) == 0;
    };
    for (bool finish = false; !finish;) {
        const long n = zel::fs::ReadSome(in_fd, in, sizeof in);
        if (n < 0) {
            reused.End();
            return kCompressReadFailed;
        }
        finish = n == 0;
        z->next_in = in;
        z->avail_in = static_cast<uInt>(n);
        for (;;) {
            const int rc = deflate(z, finish ? Z_FINISH : Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR) {
                reused.End();
                return kCompressWriteFailed;
            }
            if (z->avail_out == 0) {
                if (!write_out()) {
                    reused.End();
                    return kCompressWriteFailed;
                }
                continue;
            }
            // Room left over: every input byte is taken, or the member is
            // finished.  Z_FINISH stops short of the end only for want of
            // room, which there is.
            if (!finish || rc == Z_STREAM_END) break;
            reused.End();
            return kCompressWriteFailed;
        }
    }
    if (!write_out()) {
        reused.End();
        return kCompressWriteFailed;
    }
    *written_crc = static_cast<std::uint32_t>(crc);
    return kCompressOk;
}

}  // namespace

int CompressFile(const char* source, const char* destination, int level) {
    return CompressFile(source, destination, level, nullptr);
}

int CompressFile(const char* source, const char* destination, int level, PackedFacts* facts) {
    if (facts != nullptr) *facts = PackedFacts{};
    if (source == nullptr) return kCompressSourceOpenFailed;
    // Regular files only: a FIFO would block, a directory cannot be read.
    zel::fs::UniqueFd in;
    if (zel::fs::OpenForReadingNoFollow(source, &in) != 0) return kCompressSourceOpenFailed;
    if (destination == nullptr) return kCompressDestCreateFailed;

    // zlib takes levels 0 to 9; keep the number in that range.
    if (level < 0) level = 0;
    if (level > 9) level = 9;
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
    std::uint32_t crc = 0;
    int rc = DeflateSmall(in.get(), out_fd.get(), level, &crc);
    // The version is taken after the last write: any later write to the
    // file changes it.
    zel::fs::FileVersion version;
    const bool versioned =
        rc == kCompressOk && facts != nullptr && zel::fs::VersionOf(out_fd.get(), &version) == 0;
    if (zel::fs::CloseFile(&out_fd) != 0 && rc == kCompressOk) rc = kCompressWriteFailed;
    if (rc != kCompressOk) {
        (void)zel::fs::RemoveFile(destination);
        return rc;
    }
    if (versioned) {
        facts->known = true;
        facts->crc = crc;
        facts->version = version;
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
