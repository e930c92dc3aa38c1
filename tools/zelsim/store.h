// zelsim's files: the published files of each unit contract below the data
// directory, their acknowledgement (moved aside, no longer published) and the
// uploads stored below the upload directory.  Every name that arrives from a
// request is checked here before it becomes part of a path, so a request can
// reach nothing outside those two directories.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"

namespace zelsim {

// One published file, as the list answer gives it.
struct Published {
    std::string fn;        // path below the unit contract's directory, "/"-separated
    std::string ft;        // file type, "Static" unless .filetypes says otherwise
    std::uint32_t fc = 0;  // CRC-32 of the file as stored
    std::string fp;        // permission letters
};

// A unit contract usable as one directory name: non-empty, no "/", NUL or
// ".." and not hidden.
bool SafeContract(std::string_view uc);
// A relative file path: each "/"-separated part (empty parts ignored, so a
// leading "/" is allowed) is non-empty, not hidden (no leading ".", which
// also rules out "." and ".."), free of NUL; at least one part.  Returns the
// normalised path ("in/A.DAT") or an empty text when unsafe.
std::string SafeRelativePath(std::string_view name);

class Store {
  public:
    // Either directory may be empty: nothing published / uploads discarded.
    Store(std::string data_dir, std::string upload_dir)
        : data_dir_(std::move(data_dir)), upload_dir_(std::move(upload_dir)) {}

    const std::string& upload_dir() const { return upload_dir_; }

    // The published files of uc whose base name matches filter (Windows
    // wildcards; empty: all), sorted by FN.  A missing directory publishes
    // nothing.  Returns 0 or errno; *out is empty on failure.
    [[nodiscard]] int List(const std::string& uc, const std::string& filter,
                           std::vector<Published>* out) const;

    // Opens the published file fn of uc for reading (regular files only).
    // The caller owns *fd.  Returns 0, ENOENT when not published, or errno.
    [[nodiscard]] int Open(const std::string& uc, const std::string& fn, zel::fs::UniqueFd* fd,
                           std::uint64_t* size) const;

    // Moves the published file aside below DIR/<uc>/.acknowledged/, so it is
    // listed no more.  Returns 0, ENOENT when not published, or errno.
    [[nodiscard]] int Acknowledge(const std::string& uc, const std::string& fn) const;

  private:
    std::string data_dir_;
    std::string upload_dir_;
};

// One upload body on its way in: its CRC-32 and length, and (when there is
// an upload directory) a temporary file beside its final name that becomes
// that name only on Commit.  An upload never committed leaves nothing.
class Upload {
  public:
    Upload() = default;
    ~Upload();
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;

    // Prepares storing as upload_dir/<uc>/<path>, both already checked.
    // Returns 0 or errno (the upload then only counts).
    [[nodiscard]] int Begin(const std::string& upload_dir, const std::string& uc,
                            const std::string& path);
    // Takes the next piece of the body.  A write error is kept for Commit.
    void Write(const char* data, std::size_t size);
    std::uint32_t crc() const { return crc_; }
    std::uint64_t length() const { return length_; }
    // Puts the stored body under its final name (replacing an older upload
    // of that name), flushed to disk first and its directory after when
    // durable.  Returns 0 or errno; nothing is stored on failure.
    [[nodiscard]] int Commit(bool durable = true);

  private:
    std::uint32_t crc_ = 0;
    std::uint64_t length_ = 0;
    zel::fs::UniqueFd fd_;
    std::string temp_, final_;
    int error_ = 0;
};

// CRC-32 (zlib's) of a whole open file, read in 256 KiB pieces.  Returns 0
// or errno.
[[nodiscard]] int FileCrc32(int fd, std::uint32_t* crc);

}  // namespace zelsim
