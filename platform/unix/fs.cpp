// File helpers: Windows file semantics on Linux (see fs.h).
//
// Owns nothing beyond the descriptors it opens for the length of a call; the
// descriptors it hands out travel in UniqueFd.  Every function reports
// failure as an errno value and leaves no half-made file behind.
#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "platform/fs_internal.h"
#include "platform/owned_temp.h"
#include "platform/process.h"

namespace zel::fs {

namespace {

constexpr size_t kChunk = 262144;

bool g_force_cross_device = false;
bool g_force_no_tmpfile = false;

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Copies from onto a new temporary in to's directory, then renames it over
// to.  The temporary stays open (and flock-ed) until it carries its final
// name, so a scan for files in use never picks up a half-copied file.
int CopyAcross(const std::string& from, const std::string& to) {
    // A link is not followed: rename would have moved the link itself.
    UniqueFd src(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!src) return errno == ELOOP ? EXDEV : errno;
    struct stat st;
    if (::fstat(src.get(), &st) != 0) return errno;
    // Only a plain file can be carried over by copying; anything else keeps
    // the error the rename gave.
    if (!S_ISREG(st.st_mode)) return EXDEV;
    // The same file under both names (one directory mounted twice): rename
    // would do nothing, while a copy followed by removing from would delete
    // the only copy.
    struct stat target;
    if (::lstat(to.c_str(), &target) == 0 && target.st_dev == st.st_dev &&
        target.st_ino == st.st_ino)
        return 0;
    // The source must be removable afterwards; find out before the target is
    // touched rather than leave two copies behind.
    std::string from_dir = DirName(from);
    if (::access(from_dir.c_str(), W_OK | X_OK) != 0) return errno;

    // The temporary carries its owner, so that the next sweep of the
    // directory removes it when this process is killed mid-copy.
    std::string tmp_name;
    UniqueFd dst;
    const int made = CreateOwnedTemp(DirName(to) + "/." + BaseName(to), 0600, &tmp_name, &dst);
    if (made != 0) return made;
    (void)::flock(dst.get(), LOCK_EX | LOCK_NB);

    int err = 0;
    std::vector<char> buf(kChunk);
    for (;;) {
        const long r = ReadSome(src.get(), buf.data(), buf.size());
        if (r < 0) {
            err = errno;
            break;
        }
        if (r == 0) break;
        err = WriteAll(dst.get(), buf.data(), static_cast<size_t>(r));
        if (err != 0) break;
    }
    if (err == 0) {
        // Keep what a rename would have kept: permissions and times (lock
        // files are judged by their age).
        (void)::fchmod(dst.get(), st.st_mode & 07777);
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        (void)::futimens(dst.get(), times);
        err = FlushToDisk(dst.get());
    }
    if (err == 0 && ::rename(tmp_name.c_str(), to.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmp_name.c_str());
        return err;
    }
    // Make the new name durable before the only other copy goes away.
    UniqueFd dirfd(::open(DirName(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirfd) (void)::fsync(dirfd.get());
    dst.reset();
    src.reset();
    if (::unlink(from.c_str()) != 0) return errno;
    return 0;
}

}  // namespace

bool IsEntryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= NAME_MAX &&
           name.find('/') == std::string::npos;
}

std::string DirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int AbsolutePath(const std::string& path, std::string* out) {
    if (out == nullptr || path.empty()) return EINVAL;
    std::string joined;
    if (path[0] != '/') {
        const int err = proc::CurrentDirectory(&joined);
        if (err != 0) return err;
        joined += '/';
    }
    joined += path;

    std::vector<std::string_view> parts;
    const std::string_view all(joined);
    std::size_t i = 0;
    while (i < all.size()) {
        std::size_t j = all.find('/', i);
        if (j == std::string_view::npos) j = all.size();
        const std::string_view part = all.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string result;
    for (const std::string_view part : parts) {
        result += '/';
        result += part;
    }
    // The root itself, or a name that asked for a directory ("dir/"), ends
    // in "/".
    if (result.empty() || joined.back() == '/') result.push_back('/');
    if (result.size() >= PATH_MAX) return ENAMETOOLONG;
    *out = std::move(result);
    return 0;
}

namespace {

void FillInfo(const struct stat& st, FileInfo* info) {
    if (S_ISREG(st.st_mode)) {
        info->type = FileInfo::Type::kRegular;
    } else if (S_ISDIR(st.st_mode)) {
        info->type = FileInfo::Type::kDirectory;
    } else if (S_ISLNK(st.st_mode)) {
        info->type = FileInfo::Type::kLink;
    } else {
        info->type = FileInfo::Type::kOther;
    }
    info->size = static_cast<long long>(st.st_size);
    info->modified = static_cast<long long>(st.st_mtime);
    info->mode = static_cast<unsigned>(st.st_mode & 07777);
}

}  // namespace

int GetFileInfo(const std::string& path, FileInfo* info) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    FillInfo(st, info);
    return 0;
}

int GetEntryInfo(const std::string& path, FileInfo* info) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    FillInfo(st, info);
    return 0;
}

int GetOpenFileInfo(int fd, FileInfo* info) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    FillInfo(st, info);
    return 0;
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int MakeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    const int err = errno;
    // Made meanwhile by someone else, or there all along: what was asked for.
    return err == EEXIST && IsDirectory(path) ? 0 : err;
}

int MakeDirectories(const std::string& path) {
    if (path.empty()) return ENOENT;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (path[slash - 1] == '/') continue;  // "a//b": one level
        const std::string level = path.substr(0, slash);
        if (IsDirectory(level)) continue;
        const int err = MakeDirectory(level);
        if (err != 0) return err == EEXIST ? ENOTDIR : err;  // a file on the way
    }
    if (path.size() > 1 && path.back() == '/') return 0;  // the last level was made above
    return MakeDirectory(path);
}

int SetCurrentDirectory(const std::string& dir) {
    return ::chdir(dir.c_str()) == 0 ? 0 : errno;
}

void UniqueFd::reset(int fd) {
    // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

namespace {

// How ListEntries treats directories and links.
enum class ListMode {
    kAll,           // every entry
    kFiles,         // no directories, links followed (a link to one is one)
    kFilesNoFollow  // no directories; links apart, never followed
};

int ListEntries(const std::string& dir, std::string_view pattern, ListMode mode,
                std::vector<std::string>* names, std::vector<std::string>* links) {
    if (names == nullptr) return EINVAL;
    names->clear();
    if (links != nullptr) links->clear();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return errno;
    int err = 0;
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (e == nullptr) {
            err = errno;
            break;
        }
        std::string_view n(e->d_name);
        if (n == "." || n == "..") continue;
        if (!WildcardMatch(pattern, n)) continue;
        if (mode == ListMode::kFiles) {
            bool is_dir = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
                // Follow links: a link to a directory is a directory here.
                struct stat st;
                is_dir = ::fstatat(::dirfd(d), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
            }
            if (is_dir) continue;
        } else if (mode == ListMode::kFilesNoFollow) {
            bool is_dir = e->d_type == DT_DIR;
            bool is_link = e->d_type == DT_LNK;
            if (e->d_type == DT_UNKNOWN) {
                struct stat st;
                if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                    is_dir = S_ISDIR(st.st_mode);
                    is_link = S_ISLNK(st.st_mode);
                }
            }
            if (is_dir) continue;
            if (is_link) {
                if (links != nullptr) links->emplace_back(n);
                continue;
            }
        }
        names->emplace_back(n);
    }
    ::closedir(d);
    if (err != 0) {
        names->clear();
        if (links != nullptr) links->clear();
        return err;
    }
    std::sort(names->begin(), names->end(), detail::NameLess);
    if (links != nullptr) std::sort(links->begin(), links->end(), detail::NameLess);
    return 0;
}

}  // namespace

int ListMatching(const std::string& dir, std::string_view pattern, std::vector<std::string>* names,
                 bool files_only) {
    return ListEntries(dir, pattern, files_only ? ListMode::kFiles : ListMode::kAll, names,
                       nullptr);
}

int ListFilesNoFollow(const std::string& dir, std::string_view pattern,
                      std::vector<std::string>* names, std::vector<std::string>* links) {
    return ListEntries(dir, pattern, ListMode::kFilesNoFollow, names, links);
}

int IsReadOnly(const std::string& path, bool* read_only) {
    if (read_only == nullptr) return EINVAL;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    *read_only = (st.st_mode & S_IWUSR) == 0;
    return 0;
}

int SetReadOnly(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    mode_t mode = st.st_mode & 07777 & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    if (::chmod(path.c_str(), mode) != 0) return errno;
    return 0;
}

int ClearReadOnly(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    if ((st.st_mode & S_IWUSR) != 0) return 0;
    if (::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) return errno;
    return 0;
}

bool IsFileInUse(const std::string& path) {
    // O_RDONLY: a write lease is refused to a descriptor open for writing.
    // O_NONBLOCK: never wait on someone else's lease or a FIFO's writer.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        // A file that is not there is not in use; one that exists but cannot
        // be opened for reading is as good as held without sharing.
        return !(errno == ENOENT || errno == ENOTDIR);
    }
    if (::fcntl(fd.get(), F_SETLEASE, F_WRLCK) == 0) {
        (void)::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
        return false;
    }
    if (errno == EAGAIN) return true;
    // Leases refused here (not the owner, network file system, not a regular
    // file): the best remaining sign is a conflicting flock.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        (void)::flock(fd.get(), LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

std::string TmpVariableDirectory() {
    const char* tmp = std::getenv("TMP");
    if (tmp == nullptr || tmp[0] == '\0' || !IsDirectory(tmp)) return {};
    return tmp;
}

std::string TempDir() {
    std::string dir = TmpVariableDirectory();
    if (dir.empty()) {
        const char* env = std::getenv("TMPDIR");
        dir = (env != nullptr && env[0] != '\0') ? env : "/tmp";
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

int CreateDeleteOnCloseTemp(const std::string& dir, UniqueFd* out) {
    if (out == nullptr) return EINVAL;
    out->reset();
    std::string where = dir.empty() ? TempDir() : dir;
    if (!g_force_no_tmpfile) {
        int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            out->reset(fd);
            return 0;
        }
        // Only "this file system cannot do it" falls through; a missing or
        // forbidden directory fails the same way the fallback would.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
    }
    std::string tmpl = where + (where.back() == '/' ? "" : "/") + "TMPXXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd) return errno;
    // A name that cannot be removed would outlive the descriptor: fail.
    if (::unlink(name.data()) != 0) return errno;
    *out = std::move(fd);
    return 0;
}

namespace {

// Gives the existing file a further name (a hard link), exclusively: EEXIST
// when anything is in the new name's place.  Links are not followed.
int LinkExclusive(const std::string& existing, const std::string& name) {
    for (;;) {
        if (::link(existing.c_str(), name.c_str()) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

}  // namespace

int RenameNoReplace(const std::string& from, const std::string& to) {
    for (;;) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINTR) break;
    }
    // Only "this file system cannot do it" falls through to the link.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    const int err = LinkExclusive(from, to);
    if (err != 0) return err;
    (void)::unlink(from.c_str());
    return 0;
}

int RenameReplace(const std::string& from, const std::string& to) {
    if (!g_force_cross_device) {
        if (::rename(from.c_str(), to.c_str()) == 0) return 0;
        if (errno != EXDEV) return errno;
    }
    return CopyAcross(from, to);
}

int FlushToDisk(int fd) {
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

int FlushDirectory(const std::string& dir) {
    UniqueFd dirfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirfd) return errno;
    while (::fsync(dirfd.get()) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

int FlushFileSystemOf(const std::string& dir) {
    UniqueFd dirfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirfd) return errno;
    while (::syncfs(dirfd.get()) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

namespace {

// Checks that fd is a regular file; 0, EISDIR or ENXIO (or fstat's errno).
int RequireRegular(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    if (S_ISREG(st.st_mode)) return 0;
    return S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
}

// Opens with O_NONBLOCK, checks the type, then drops O_NONBLOCK again.  A
// non-blocking open also fails with EWOULDBLOCK for the moment another
// descriptor holds a lease on the file (IsFileInUse takes one and gives it
// back at once): that moment is waited out, briefly and boundedly.
// Takes a plain C string and allocates nothing, so that the event log can
// open its file while memory is exhausted.
int OpenRegular(const char* path, int flags, UniqueFd* out) {
    if (out == nullptr || path == nullptr) return EINVAL;
    out->reset();
    UniqueFd fd;
    for (int attempt = 0;; ++attempt) {
        fd.reset(::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
        if (fd) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || attempt >= 100) return errno;
        const struct timespec pause = {0, 10000000};  // 10 ms
        ::nanosleep(&pause, nullptr);
    }
    int err = RequireRegular(fd.get());
    if (err != 0) return err;
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return errno;
    *out = std::move(fd);
    return 0;
}

int LinkFlag(Links links) {
    return links == Links::kRefuse ? O_NOFOLLOW : 0;
}

// True when both descriptors are open on one file (device and inode).
bool IsSameOpenFile(int a, int b) {
    struct stat x, y;
    return ::fstat(a, &x) == 0 && ::fstat(b, &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

}  // namespace

int OpenForReading(const std::string& path, UniqueFd* out) {
    return OpenRegular(path.c_str(), O_RDONLY, out);
}

int OpenForReadingNoFollow(const std::string& path, UniqueFd* out) {
    return OpenRegular(path.c_str(), O_RDONLY | O_NOFOLLOW, out);
}

std::string DescriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

int OpenForAppending(const char* path, UniqueFd* out, Links links) {
    return OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT | LinkFlag(links), out);
}

int OpenForUpdating(const char* path, UniqueFd* out, Links links) {
    return OpenRegular(path, O_RDWR | LinkFlag(links), out);
}

int OpenForReadingAndWriting(const char* path, bool truncate, UniqueFd* out) {
    // As CreateForWriting: emptied only once the type is known.
    int err = OpenRegular(path, O_RDWR | O_CREAT, out);
    if (err != 0 || !truncate) return err;
    err = TruncateFile(out->get(), 0);
    if (err != 0) out->reset();
    return err;
}

int ClearReadOnlyNoLink(const char* path) {
    // Most files are writable already: one look at the entry itself settles
    // it without opening the file (a link is refused as the open below would
    // refuse it).
    struct stat entry;
    if (path != nullptr && ::lstat(path, &entry) == 0) {
        if (S_ISLNK(entry.st_mode)) return ELOOP;
        if (S_ISREG(entry.st_mode) && (entry.st_mode & S_IWUSR) != 0) return 0;
    }
    // Read access is enough for fchmod, and a read-only file can always be
    // opened for reading by its owner.
    UniqueFd fd;
    int err = OpenRegular(path, O_RDONLY | O_NOFOLLOW, &fd);
    if (err != 0) return err;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errno;
    if ((st.st_mode & S_IWUSR) != 0) return 0;
    if (::fchmod(fd.get(), (st.st_mode & 07777) | S_IWUSR) != 0) return errno;
    return 0;
}

int CreateForWriting(const std::string& path, UniqueFd* out) {
    // O_TRUNC only once the type is known: a FIFO or device in the name's
    // place must be left as it was.
    int err = OpenRegular(path.c_str(), O_WRONLY | O_CREAT, out);
    if (err != 0) return err;
    if (::ftruncate(out->get(), 0) != 0) {
        err = errno;
        out->reset();
        return err;
    }
    return 0;
}

int CreateExclusive(const std::string& path, UniqueFd* out, int mode) {
    for (;;) {
        int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOCTTY,
                        static_cast<mode_t>(mode));
        if (fd >= 0) {
            UniqueFd owned(fd);
            if (out != nullptr) *out = std::move(owned);
            return 0;
        }
        if (errno != EINTR) return errno;
    }
}

int CreateExclusiveWithContent(const std::string& path, std::string_view data) {
    // An unnamed file in the target's directory, written, then given its
    // name: the name never shows an empty or partly written file, and a
    // process killed before the link leaves nothing at all.
    UniqueFd fd(::open(DirName(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd) {
        if (WriteAll(fd.get(), data.data(), data.size()) == 0) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
            for (;;) {
                if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) ==
                    0) {
                    return 0;
                }
                if (errno != EINTR) break;
            }
            // EEXIST and the like are the answer; only a missing /proc or a
            // file system without links sends us to the plain way.
            if (errno != ENOENT && errno != EPERM && errno != EOPNOTSUPP && errno != EXDEV)
                return errno;
        }
    }
    UniqueFd plain;
    const int err = CreateExclusive(path, &plain);
    if (err != 0) return err;
    (void)WriteAll(plain.get(), data.data(), data.size());
    return 0;
}

int SharedContent::Create(const std::string& path) {
    // The unnamed file may be linked only while it has a name, or before it
    // ever had one: once every name given to it is gone again, a fresh one
    // takes its place (the link then reports ENOENT).
    for (int attempt = 0; links_ && attempt < 2; ++attempt) {
        if (!unnamed_) {
            UniqueFd fd;
            if (!g_force_no_tmpfile)
                fd.reset(::open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
            if (!fd || WriteAll(fd.get(), data_.data(), data_.size()) != 0) {
                links_ = false;
                break;
            }
            unnamed_ = std::move(fd);
        }
        const std::string self = "/proc/self/fd/" + std::to_string(unnamed_.get());
        int err = 0;
        do {
            err = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0
                      ? 0
                      : errno;
        } while (err == EINTR);
        if (err == 0) return 0;
        if (err == ENOENT) {
            unnamed_.reset();  // no name left and no longer linkable: a new one
            continue;
        }
        if (err != EPERM && err != EOPNOTSUPP && err != EXDEV) return err;
        links_ = false;  // no links here, or path on another file system
    }
    unnamed_.reset();
    // One file per name; a missing directory gives its ENOENT from here.
    return CreateExclusiveWithContent(path, data_);
}

int CreateUniqueFile(const std::string& stem, std::string* path) {
    if (path == nullptr) return EINVAL;
    std::string name = stem + "XXXXXX";
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd) return errno;
    *path = std::move(name);
    return 0;
}

int CloseFile(UniqueFd* fd) {
    if (fd == nullptr || !*fd) return 0;
    // Not retried on EINTR: on Linux the descriptor is gone either way.
    return ::close(fd->release()) == 0 ? 0 : errno;
}

int TruncateFile(int fd, long long size) {
    for (;;) {
        if (::ftruncate(fd, static_cast<off_t>(size)) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int SeekTo(int fd, long long offset) {
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

int Seek(int fd, long long offset, SeekFrom from, long long* position) {
    const int whence = from == SeekFrom::kStart ? SEEK_SET
                       : from == SeekFrom::kEnd ? SEEK_END
                                                : SEEK_CUR;
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence);
    if (at < 0) return errno;
    if (position != nullptr) *position = static_cast<long long>(at);
    return 0;
}

int LockExclusive(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int TryLockExclusive(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

void UnlockFile(int fd) {
    (void)::flock(fd, LOCK_UN);
}

int OpenLockedForAppending(const char* path, UniqueFd* out, Links links) {
    if (out == nullptr || path == nullptr) return EINVAL;
    out->reset();
    int err = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        UniqueFd fd;
        err = OpenForAppending(path, &fd, links);
        if (err != 0) return err;
        err = LockExclusive(fd.get());
        if (err != 0) return err;
        // Still the file under the name?  Looked up the way it was opened,
        // so that a link put in its place does not count as the same file.
        struct stat held, named;
        if (::fstat(fd.get(), &held) != 0) return errno;
        const int looked = links == Links::kRefuse ? ::lstat(path, &named) : ::stat(path, &named);
        if (looked == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            *out = std::move(fd);
            return 0;
        }
        err = ESTALE;
    }
    return err;
}

int RelockForAppending(const char* path, UniqueFd* kept, Links links, FileId* kept_id) {
    if (kept == nullptr || path == nullptr) return EINVAL;
    if (*kept) {
        if (LockExclusive(kept->get()) == 0) {
            // A descriptor stays on its file: the identity remembered when
            // it was opened spares an fstat per turn.
            struct stat held, named;
            const int looked =
                links == Links::kRefuse ? ::lstat(path, &named) : ::stat(path, &named);
            if (looked == 0 && kept_id != nullptr && kept_id->inode != 0) {
                if (kept_id->device == named.st_dev && kept_id->inode == named.st_ino) return 0;
            } else if (looked == 0 && ::fstat(kept->get(), &held) == 0 &&
                       held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                return 0;
            }
        }
        kept->reset();  // gives back the lock, if it was taken
    }
    if (kept_id != nullptr) *kept_id = FileId{};
    const int err = OpenLockedForAppending(path, kept, links);
    if (err == 0 && kept_id != nullptr && IdentityOf(kept->get(), kept_id) != 0) {
        *kept_id = FileId{};  // checked with fstat each turn instead
    }
    return err;
}

int AppendLocked(const char* path, const void* data, std::size_t size, Links links,
                 long long cut_above, long long keep) {
    UniqueFd fd;
    const int err = OpenLockedForAppending(path, &fd, links);
    if (err != 0) return err;
    if (cut_above >= 0) {
        // pwrite on a descriptor opened for appending appends: the cut
        // needs one of its own.  The lock held on fd covers it.
        struct stat st;
        UniqueFd whole;
        if (::fstat(fd.get(), &st) == 0 && st.st_size > cut_above &&
            OpenRegular(path, O_RDWR | LinkFlag(links), &whole) == 0 &&
            IsSameOpenFile(fd.get(), whole.get())) {
            (void)CutToTail(whole.get(), cut_above, keep);
        }
    }
    return WriteAll(fd.get(), data, size);
}

int CutToTail(int fd, long long above, long long keep) {
    if (keep < 0 || above < keep) return EINVAL;
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    if (st.st_size <= above) return 0;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(keep) + 1]);
    if (!buffer) return ENOMEM;
    const long long from = static_cast<long long>(st.st_size) - keep;
    const auto size = static_cast<std::size_t>(keep);
    // Leave the file whole rather than cut it wrongly.
    int err = ReadExactAt(fd, buffer.get(), size, from);
    if (err == 0) err = WriteAllAt(fd, buffer.get(), size, 0);
    if (err == 0) err = TruncateFile(fd, keep);
    return err;
}

long ReadSome(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

int ReadToEnd(int fd, std::string* out) {
    if (out == nullptr) return EINVAL;
    out->clear();
    char chunk[65536];
    for (;;) {
        const long n = ReadSome(fd, chunk, sizeof chunk);
        if (n < 0) return errno;
        if (n == 0) return 0;
        out->append(chunk, static_cast<std::size_t>(n));
    }
}

int ReadWholeFile(const std::string& path, std::string* out) {
    if (out == nullptr) return EINVAL;
    UniqueFd fd;
    int err = OpenForReading(path, &fd);
    if (err != 0) return err;
    std::string data;
    err = ReadToEnd(fd.get(), &data);
    if (err != 0) return err;
    *out = std::move(data);
    return 0;
}

int WriteAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // Nothing stored and no error: trying again would go on for ever.
        if (n == 0) return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int ReadExactAt(int fd, void* buffer, std::size_t size, long long offset) {
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return 0;
}

int WriteAllAt(int fd, const void* data, std::size_t size, long long offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return 0;
}

int ReplaceFileAtomically(const std::string& path, std::string_view data, int mode,
                          Durability durability) {
    const bool flush = durability == Durability::kFlushed;
    if (path.empty()) return EINVAL;
    std::string tmp;
    UniqueFd fd;
    int err =
        CreateOwnedTemp(DirName(path) + "/." + BaseName(path), mode >= 0 ? 0600 : 0666, &tmp, &fd);
    if (err != 0) return err;
    err = WriteAll(fd.get(), data.data(), data.size());
    if (err == 0 && mode >= 0 && ::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) err = errno;
    if (err == 0 && flush) err = FlushToDisk(fd.get());
    if (err == 0 && ::close(fd.release()) != 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        fd.reset();
        ::unlink(tmp.c_str());
        return err;
    }
    if (!flush) return 0;
    UniqueFd dirfd(::open(DirName(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirfd) (void)::fsync(dirfd.get());
    return 0;
}

int RemoveAbandonedReplacements(const std::string& path) {
    const std::string base = BaseName(path);
    if (base.empty()) return 0;
    return RemoveEndedOwnersTemps(DirName(path), {"." + base});
}

bool IsSameFile(int fd, const std::string& path) {
    struct stat a, b;
    if (::fstat(fd, &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int IdentityOf(int fd, FileId* id) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    id->device = st.st_dev;
    id->inode = st.st_ino;
    return 0;
}

int VersionOf(int fd, FileVersion* version, FileInfo* info) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    version->id.device = st.st_dev;
    version->id.inode = st.st_ino;
    version->size = static_cast<long long>(st.st_size);
    version->modified_ns =
        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    if (info != nullptr) FillInfo(st, info);
    return 0;
}

int RemoveIfSameFile(const std::string& path, const FileId& id) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    if (st.st_dev != id.device || st.st_ino != id.inode) return ESTALE;
    // A file renamed into the name between the check and the removal is not
    // told apart; that window is a few instructions, not a whole append.
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

namespace test_hooks {
void ForceCrossDevice(bool on) {
    g_force_cross_device = on;
}
void ForceNoTmpfile(bool on) {
    g_force_no_tmpfile = on;
}
}  // namespace test_hooks

}  // namespace zel::fs

// ---- Looking at names, removing them, keeping a file's tail ---------------
namespace zel::fs {

bool OwnerAndModeTell() {
    return true;
}

int StatusOf(const std::string& path, FileStatus* out, Links links) {
    struct stat st;
    const int rc = links == Links::kFollow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) return errno;
    FileStatus status;
    status.kind = S_ISREG(st.st_mode)   ? FileKind::kRegular
                  : S_ISDIR(st.st_mode) ? FileKind::kDirectory
                  : S_ISLNK(st.st_mode) ? FileKind::kLink
                                        : FileKind::kOther;
    status.size = static_cast<long long>(st.st_size);
    status.modified = static_cast<long long>(st.st_mtime);
    status.owner = static_cast<unsigned>(st.st_uid);
    status.mode = static_cast<unsigned>(st.st_mode & 07777);
    status.device = static_cast<unsigned long long>(st.st_dev);
    status.inode = static_cast<unsigned long long>(st.st_ino);
    *out = status;
    return 0;
}

bool MayWrite(const std::string& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

unsigned DeviceMajor(unsigned long long device) {
    return static_cast<unsigned>(major(static_cast<dev_t>(device)));
}

unsigned DeviceMinor(unsigned long long device) {
    return static_cast<unsigned>(minor(static_cast<dev_t>(device)));
}

}  // namespace zel::fs
