// File helpers: the Windows file semantics the system relies on, met on Linux.
//
// Errors are errno values (0 is success); nothing throws.  Every function that
// opens a descriptor hands it out in a UniqueFd, which closes it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zel::fs {

// Owning holder of a file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Windows wildcard match: ASCII case-insensitive, "*" any run, "?" exactly
// one character, and "*.*" matches every name (also names without a dot).
// Generally a pattern ending in ".*" also takes names that end where the dot
// would be: "OUTBOUND*.*" matches "OUTBOUND1" as on Windows.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// Names (not paths) of the directory's entries that match pattern, "." and
// ".." never included, sorted case-insensitively.  Sub-directories (and links
// to them) are listed too only when files_only is false.  Returns 0 or errno;
// on failure names is left empty.
[[nodiscard]] int ListMatching(const std::string& dir, std::string_view pattern,
                               std::vector<std::string>* names, bool files_only = true);

// Read-only attribute = the owner's write bit.  Set removes every write bit;
// clear adds the owner's.  Links are followed.  Each returns 0 or errno and
// changes nothing on failure.
[[nodiscard]] int IsReadOnly(const std::string& path, bool* read_only);
[[nodiscard]] int SetReadOnly(const std::string& path);
[[nodiscard]] int ClearReadOnly(const std::string& path);

// True when another descriptor (in any process) has the file open, as the
// Windows "cannot be opened without sharing" check.  A missing file is not in
// use; a file that exists but cannot be opened for reading is (it could not
// be read either way).  Uses a write lease, falling back to a non-blocking
// flock where leases are refused; the fallback only sees flock holders.  The
// caller's own other descriptors on the file count as well.
bool IsFileInUse(const std::string& path);

// $TMPDIR, else /tmp (no trailing "/").
std::string TempDir();

// A new anonymous file in dir (TempDir() when empty) that vanishes when its
// descriptor is closed: O_TMPFILE, else mkstemp + unlink.  The caller owns
// *out.  Returns 0 or errno; *out is empty on failure.
[[nodiscard]] int CreateDeleteOnCloseTemp(const std::string& dir, UniqueFd* out);

// Renames from over to.  When the two are on different file systems the file
// is copied to a temporary name in to's directory (in 256 KiB chunks, keeping
// mode and times), flushed, and renamed there, then from is removed.  Only a
// plain file is copied across (a directory or a link fails with EXDEV), and
// only when from's directory lets it be removed afterwards.  Returns 0 or
// errno; on failure to is untouched and no temporary is left, except that
// when from cannot be removed after the copy took its place the errno of
// that removal is returned (to then already holds the data).  When both names are
// the same file, nothing happens and 0 is returned, as with rename.
[[nodiscard]] int RenameReplace(const std::string& from, const std::string& to);

// fdatasync; returns 0 or errno.
[[nodiscard]] int FlushToDisk(int fd);

// Test hooks, for exercising fallbacks on a machine where the fast path
// works.  Not for production code.
namespace test_hooks {
// RenameReplace behaves as if the two paths were on different file systems.
void ForceCrossDevice(bool on);
// CreateDeleteOnCloseTemp behaves as if O_TMPFILE were not supported.
void ForceNoTmpfile(bool on);
}  // namespace test_hooks

}  // namespace zel::fs
