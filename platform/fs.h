// File helpers: the Windows file semantics the system relies on, met on Linux.
//
// Errors are errno values (0 is success); nothing throws.  Every function that
// opens a descriptor hands it out in a UniqueFd, which closes it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

// Some C runtimes (Windows') have no ESTALE, which the identity checks
// below report; a value of its own stands in there.
#ifndef ESTALE
#define ESTALE 1116
#endif

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

// The directory part of path: "." for a bare name, "/" for a name in the
// root.  An owned string.
std::string DirName(const std::string& path);

// True when name, joined to a directory, can only name an entry directly
// inside it on this system: not empty, ".", or "..", no separator ("/"; on
// Windows also "\\" and the drive or stream mark ":"), and within the
// system's length of one name (NAME_MAX bytes; 255 on Windows).  On Windows
// also none of the characters the system refuses in names (< > " | ? * and
// control characters), no trailing dot or blank (the system drops them, so
// the name would be another), and no device name (CON, NUL, COM1, ...,
// also with an extension), which would open the device.
[[nodiscard]] bool IsEntryName(const std::string& name);

// ---- Names and entries ---------------------------------------------------

// The absolute form of path, resolved by name only ("." and ".." taken
// apart, repeated "/" collapsed; links are not looked at and nothing need
// exist).  A relative path is taken from the current directory.  A trailing
// "/" (the path names a directory) is kept; the root is "/".  Returns 0 and
// the path in *out, or errno (the current directory's, EINVAL for an empty
// path, ENAMETOOLONG when the result would reach PATH_MAX); *out is
// untouched on failure.
[[nodiscard]] int AbsolutePath(const std::string& path, std::string* out);

// What one stat tells about a file.
struct FileInfo {
    enum class Type { kRegular, kDirectory, kLink, kOther };
    Type type = Type::kOther;
    long long size = 0;      // bytes
    long long modified = 0;  // seconds since the epoch
    unsigned mode = 0;       // permission bits (07777)
};
// The file at path, links followed (GetFileInfo); the entry at path itself,
// a link described as a link (GetEntryInfo); the file open on fd
// (GetOpenFileInfo).  Each returns 0 or errno; *info is untouched on
// failure.
[[nodiscard]] int GetFileInfo(const std::string& path, FileInfo* info);
[[nodiscard]] int GetEntryInfo(const std::string& path, FileInfo* info);
[[nodiscard]] int GetOpenFileInfo(int fd, FileInfo* info);

// True when something has the name path: a file, a directory, anything, a
// symbolic link too, also one that points nowhere (it still takes the name:
// an exclusive create or a rename without replacing fails on it).  False
// when nothing has it, or the name cannot be looked up (a missing or
// unsearchable directory on the way).
[[nodiscard]] bool Exists(const std::string& path);

// True when path is a directory, links followed (a link to a directory is
// one, as in ListMatching).  False for an empty path and for anything that
// cannot be examined.
[[nodiscard]] bool IsDirectory(const std::string& path);

// Removes the name path (a file, or a link itself; never a directory).
// Returns 0 or errno, ENOENT when nothing was there.
[[nodiscard]] int RemoveFile(const std::string& path);

// Creates the directory path (mode 0777 less the umask).  A directory
// already there (made by another process a moment ago, say) is success;
// anything else in its place is EEXIST.  Returns 0 or errno.
[[nodiscard]] int MakeDirectory(const std::string& path);

// MakeDirectory for every missing level of path, parents first.  Levels
// made before a failure stay.  Returns 0 or the errno of the first level
// that could not be made: ENOTDIR where a level above the last is not a
// directory, EEXIST where the last level is something else.
[[nodiscard]] int MakeDirectories(const std::string& path);

// Makes dir this process's current directory (for every thread).  Returns 0
// or errno.
[[nodiscard]] int SetCurrentDirectory(const std::string& dir);

// Names (not paths) of the directory's entries that match pattern, "." and
// ".." never included, sorted case-insensitively.  Sub-directories (and links
// to them) are listed too only when files_only is false.  Returns 0 or errno;
// on failure names is left empty.
[[nodiscard]] int ListMatching(const std::string& dir, std::string_view pattern,
                               std::vector<std::string>* names, bool files_only = true);

// The upload's listing: as ListMatching with files_only, but each entry is
// judged by itself (lstat semantics), so a symbolic link is never followed.
// Names of plain entries (neither directories nor links) go to names, names
// of links to links (when given), so that the caller can say it left them
// out; both sorted as ListMatching.  Returns 0 or errno; on failure both are
// left empty.
[[nodiscard]] int ListFilesNoFollow(const std::string& dir, std::string_view pattern,
                                    std::vector<std::string>* names,
                                    std::vector<std::string>* links);

// Read-only attribute = the owner's write bit.  Set removes every write bit;
// clear adds the owner's.  Links are followed.  Each returns 0 or errno and
// changes nothing on failure.
[[nodiscard]] int IsReadOnly(const std::string& path, bool* read_only);
[[nodiscard]] int SetReadOnly(const std::string& path);
[[nodiscard]] int ClearReadOnly(const std::string& path);

// Whether the opening functions that take it follow a symbolic link standing
// in the name's place.  kRefuse fails with ELOOP instead, so that a link
// planted there can never turn a write, a cut or a change of mode onto a
// file elsewhere.
enum class Links { kFollow, kRefuse };

// ClearReadOnly for a file that is changed in place by name (logs, result
// files): the file is opened without following a link (ELOOP for a link,
// ENOENT when missing, EISDIR or ENXIO for anything but a regular file) and
// its mode changed on that descriptor, so the file examined is the one
// changed.  Allocates nothing.  Returns 0 or errno.
[[nodiscard]] int ClearReadOnlyNoLink(const char* path);

// True when another descriptor (in any process) has the file open, as the
// Windows "cannot be opened without sharing" check.  A missing file is not in
// use; a file that exists but cannot be opened for reading is (it could not
// be read either way).  Uses a write lease, falling back to a non-blocking
// flock where leases are refused; the fallback only sees flock holders.  The
// caller's own other descriptors on the file count as well.
bool IsFileInUse(const std::string& path);

// The temporary directories, by one rule.  TmpVariableDirectory is the
// directory named by $TMP when that names a directory, else empty: the
// transfers' temporary names and the day-end copy use it first and fall back
// to a folder of their own.  TempDir is the system's temporary directory, for
// anonymous files: $TMP as above, else $TMPDIR, else /tmp (no trailing "/"),
// so that a TMP that the transfers use also takes their anonymous files.
std::string TmpVariableDirectory();
std::string TempDir();

// A new anonymous file in dir (TempDir() when empty) that vanishes when its
// descriptor is closed: O_TMPFILE, else mkstemp + unlink.  The caller owns
// *out.  Returns 0 or errno; *out is empty on failure.
[[nodiscard]] int CreateDeleteOnCloseTemp(const std::string& dir, UniqueFd* out);

// Renames from to to unless something (anything, a link too) already has
// to's name: EEXIST then, and both are left as they were.  Where the file
// system cannot rename that way, a hard link of from under to (exclusive
// as well) followed by removing from does the same.  Returns 0 or errno.
[[nodiscard]] int RenameNoReplace(const std::string& from, const std::string& to);

// Renames from over to.  When the two are on different file systems the file
// is copied to a temporary name in to's directory (".<name>" stamped with
// this process, see owned_temp.h; in 256 KiB chunks, keeping mode and
// times), flushed, and renamed there, then from is removed.  A copy cut
// short by a kill leaves that name for the directory's next sweep.  Only a
// plain file is copied across (a directory or a link fails with EXDEV), and
// only when from's directory lets it be removed afterwards.  Returns 0 or
// errno; on failure to is untouched and no temporary is left, except that
// when from cannot be removed after the copy took its place the errno of
// that removal is returned (to then already holds the data).  When both names are
// the same file, nothing happens and 0 is returned, as with rename.
[[nodiscard]] int RenameReplace(const std::string& from, const std::string& to);

// fdatasync; returns 0 or errno.
[[nodiscard]] int FlushToDisk(int fd);

// Makes a directory's entries durable (fsync of the directory), so that a
// rename into it survives a power loss.  Returns 0 or errno.
[[nodiscard]] int FlushDirectory(const std::string& dir);

// Makes the data of every file written on the file system that holds dir
// durable in one step (syncfs): for a pass that wrote many files, one
// journal commit instead of one per file.  Returns 0 or errno.
[[nodiscard]] int FlushFileSystemOf(const std::string& dir);

// ---- Reading and writing whole files -------------------------------------
//
// Every file the system reads by name goes through OpenForReading, so that a
// FIFO, a device or a directory in a file's place is refused at once instead
// of blocking the reader for ever (or opening and then failing to read).

// Opens path for reading; regular files only (links followed).  The open is
// non-blocking, so a FIFO without a writer cannot stall it; the type is then
// checked on the descriptor and the descriptor made blocking again.  Returns
// 0 and the descriptor in *out (the caller owns it), or errno: EISDIR for a
// directory, ENXIO for any other file that is not a regular file.  *out is
// empty on failure.
[[nodiscard]] int OpenForReading(const std::string& path, UniqueFd* out);

// OpenForReading that refuses a symbolic link in path's last component
// with ELOOP instead of following it.  Same ownership and errors otherwise.
[[nodiscard]] int OpenForReadingNoFollow(const std::string& path, UniqueFd* out);

// A name that opens the very file open on fd once more (/proc/self/fd/N),
// whatever has become of the name it was first opened by: for handing a file
// that was opened with care (a link refused) to code that opens by name.
// Valid while fd stays open; where /proc is missing, opening it fails.
std::string DescriptorPath(int fd);

// Opens path for appending, creating it when missing (mode 0666 less the
// umask), or an existing regular file for reading and writing in place.
// Regular files only, as OpenForReading: a FIFO in the name's place never
// blocks the caller.  With Links::kRefuse a symbolic link in the name's
// place fails with ELOOP (also a dangling one: nothing is created at its
// target).  Neither allocates.  Returns 0 and the descriptor in *out (the
// caller owns it), or errno (*out empty).
[[nodiscard]] int OpenForAppending(const char* path, UniqueFd* out, Links links = Links::kFollow);
[[nodiscard]] inline int OpenForAppending(const std::string& path, UniqueFd* out,
                                          Links links = Links::kFollow) {
    return OpenForAppending(path.c_str(), out, links);
}
[[nodiscard]] int OpenForUpdating(const char* path, UniqueFd* out, Links links = Links::kFollow);

// Opens path for reading and writing, creating it when missing (mode 0666
// less the umask); with truncate an existing file is emptied.  Regular files
// only, as OpenForReading (nothing else is truncated).  The offset starts at
// 0.  Returns 0 and the descriptor in *out (the caller owns it), or errno
// (*out empty).
[[nodiscard]] int OpenForReadingAndWriting(const char* path, bool truncate, UniqueFd* out);

// Creates path, or truncates it when it exists, for writing (mode 0666 less
// the umask for a new file).  Only a regular file is accepted in its place:
// the open does not block on a FIFO, and anything that is not a regular
// file is refused with EISDIR or ENXIO as above, without being truncated.
// Returns 0 and the descriptor in *out, or errno (*out empty).
[[nodiscard]] int CreateForWriting(const std::string& path, UniqueFd* out);

// Creates path exclusively (O_CREAT|O_EXCL|O_WRONLY, mode less the umask;
// 0600 makes a file no one else may ever open).  With out, the descriptor
// goes to the caller; without, it is closed at once.  Returns 0 or errno
// (EEXIST when anything is in the name's place).
[[nodiscard]] int CreateExclusive(const std::string& path, UniqueFd* out = nullptr,
                                  int mode = 0666);

// Creates path exclusively holding data, where the file system allows in one
// step (an unnamed file written, then linked under the name), so that no
// reader ever finds the name empty or partly written and a process killed
// meanwhile leaves nothing.  Elsewhere the file is created, then written; a
// write that fails there leaves it created with what was written.  Returns
// 0 once the name exists as ours, or errno (EEXIST when anything is in the
// name's place).
[[nodiscard]] int CreateExclusiveWithContent(const std::string& path, std::string_view data);

// Many files of one content, each created exclusively as by
// CreateExclusiveWithContent, for the price of a link rather than a new
// file: the content is written once, into a file of dir that has no name,
// and each Create gives that one file another name.  All the names are thus
// one file, with one modification time (the time the content was written);
// no one writes to such files.  Where a file system has no links, or a path
// lies on another one than dir, each name is a file of its own, made as
// CreateExclusiveWithContent makes it.  Owns the unnamed file's descriptor.
class SharedContent {
  public:
    SharedContent(std::string dir, std::string data)
        : dir_(std::move(dir)), data_(std::move(data)) {}
    SharedContent(const SharedContent&) = delete;
    SharedContent& operator=(const SharedContent&) = delete;

    // Creates path (a name in dir) holding the content.  Returns 0 once the
    // name exists as ours, or errno (EEXIST when anything is in its place).
    [[nodiscard]] int Create(const std::string& path);
    [[nodiscard]] const std::string& data() const { return data_; }

  private:
    std::string dir_;
    std::string data_;
    UniqueFd unnamed_;
    bool links_ = true;  // false once links turned out not to work here
};

// Creates a new empty file named stem followed by six characters chosen to
// make the name unique (mode 0600), exclusively, and closes it.  Returns 0
// and its name in *path, or errno (*path untouched).
[[nodiscard]] int CreateUniqueFile(const std::string& stem, std::string* path);

// Closes the descriptor held by fd now and tells how the close went: a
// write that failed late (a full disk, a network file system) shows up
// here.  fd is empty afterwards, whatever the result.  Returns 0 or errno.
[[nodiscard]] int CloseFile(UniqueFd* fd);

// Sets the length of the file open on fd (ftruncate).  Returns 0 or errno.
[[nodiscard]] int TruncateFile(int fd, long long size);

// Moves fd's file offset to offset bytes from the start.  Returns 0 or errno.
[[nodiscard]] int SeekTo(int fd, long long offset);

// Where a Seek counts its offset from.
enum class SeekFrom { kStart, kCurrent, kEnd };
// Moves fd's file offset to offset bytes from the given place and, with
// position, tells the new offset from the start.  Returns 0 or errno
// (*position untouched on failure).
[[nodiscard]] int Seek(int fd, long long offset, SeekFrom from, long long* position = nullptr);

// One read of up to size bytes, an interruption retried: the count read
// (0 at the end of the file) or -1 with errno set.
[[nodiscard]] long ReadSome(int fd, void* buffer, std::size_t size);

// Reads from fd until the end into *out (replacing its content).  Returns 0
// or errno; on failure *out holds what was read before the error.
[[nodiscard]] int ReadToEnd(int fd, std::string* out);

// The whole of the file at path (regular files only, as OpenForReading) into
// *out, which is changed only on success.  Returns 0 or errno.
[[nodiscard]] int ReadWholeFile(const std::string& path, std::string* out);

// Writes all size bytes, carrying on after short writes and interruptions.
// A write that stores nothing is an error (EIO) rather than a reason to try
// for ever.  Returns 0 or errno; how much was written on failure is unknown.
[[nodiscard]] int WriteAll(int fd, const void* data, std::size_t size);

// The positioned forms of ReadSome-until-full and WriteAll, for rewriting a
// file in place: exactly size bytes at offset, or errno (EIO for an early
// end of file or a write that stores nothing).
[[nodiscard]] int ReadExactAt(int fd, void* buffer, std::size_t size, long long offset);
[[nodiscard]] int WriteAllAt(int fd, const void* data, std::size_t size, long long offset);

// ---- Appending among several writers ------------------------------------
//
// Writers that append to one file (a log, a result file), in this process
// or in others, take turns by an exclusive flock on their open descriptor.
// The lock lives in the kernel, on the open file, and needs no file of its
// own; it ends when the descriptor is closed or its process dies, however
// it dies, so nothing is ever left behind to wait for.  Descriptors opened
// separately exclude each other also within one process.

// Waits until this descriptor holds the exclusive lock of its file (an
// interruption is waited through).  Returns 0 or errno.  Allocates nothing.
[[nodiscard]] int LockExclusive(int fd);
// Takes the lock only when nobody holds it: 0, EWOULDBLOCK when another
// descriptor holds it, or errno.
[[nodiscard]] int TryLockExclusive(int fd);
// Gives the lock back (closing the descriptor does as well).
void UnlockFile(int fd);

// OpenForAppending (links as given), then LockExclusive.  Should the name
// have been given to another file between the open and the lock (a cut
// that replaced it, a reader that removed it), the file now under the name
// is opened and locked instead, a few times at most, so that what is
// appended lands where the next reader looks.  Allocates nothing.  Returns
// 0 with the locked descriptor in *out (closing it gives the lock back), or
// errno (*out empty).
[[nodiscard]] int OpenLockedForAppending(const char* path, UniqueFd* out,
                                         Links links = Links::kFollow);

// As OpenLockedForAppending, for a writer that keeps its descriptor from one
// turn to the next rather than opening the file for each: *kept, when open,
// is locked and kept while path still names its file (looked up as links
// says); otherwise (none yet, or the name was given to another file since:
// removed, replaced, renamed away) it is closed and replaced by the locked
// descriptor of the file now under the name, so that what is appended lands
// where the next reader looks.  The caller appends, then gives the lock
// back with UnlockFile and keeps the descriptor.  Allocates nothing.
// Returns 0 with *kept locked, or errno (*kept empty).  kept_id, when
// given, remembers which file *kept is open on (set whenever *kept is
// replaced), so that a kept descriptor is checked against the name with one
// look-up of the name rather than two; the caller keeps it with *kept.
struct FileId;
[[nodiscard]] int RelockForAppending(const char* path, UniqueFd* kept, Links links = Links::kFollow,
                                     FileId* kept_id = nullptr);

// Appends size bytes to the file at path as one turn among cooperating
// writers: OpenLockedForAppending (links as given), then, when cut_above is
// 0 or more and the file holds more than cut_above bytes, CutToTail to its
// last keep bytes (through a second descriptor, under the same lock), then
// the bytes, and the file is closed, which gives the lock back.  Creates
// nothing but the file itself and allocates nothing unless it cuts.
// Returns 0 or errno (a failed cut leaves the file whole and still appends).
[[nodiscard]] int AppendLocked(const char* path, const void* data, std::size_t size,
                               Links links = Links::kFollow, long long cut_above = -1,
                               long long keep = 0);

// Cuts the file open on fd (for reading and writing, not appending) to its
// last keep bytes, in place, when it holds more than above bytes: the tail
// is copied to the start and the file shortened, so that descriptors other
// writers keep open for appending stay valid.  The caller holds the file's
// lock.  A file that cannot be read or written whole is left as it was.
// Needs a buffer of keep bytes; without memory the file is left whole.
// Returns 0 (also when nothing needed cutting) or errno.
[[nodiscard]] int CutToTail(int fd, long long above, long long keep);

// How far ReplaceFileAtomically goes for the new content.
enum class Durability {
    kFlushed,     // on disk, directory entry too, before the call returns
    kAtomicOnly,  // other processes see the old or the new content, never a
                  // mix, but a power loss may bring back the old content
};

// Replaces the content of path as a whole: the bytes go to a new hidden file
// beside it (".<name>" stamped with this process, see owned_temp.h), which
// is renamed over path.  With
// Durability::kFlushed the new file is flushed to disk before the rename and
// the directory after it (best effort: the rename has happened by then).
// mode, when 0 or above, is given to the new file; otherwise it has 0666
// less the umask, as a plain create would.  Returns 0 or errno; on failure
// path is untouched (also when it is a directory or another file type that
// rename cannot replace) and no temporary is left.
[[nodiscard]] int ReplaceFileAtomically(const std::string& path, std::string_view data,
                                        int mode = -1,
                                        Durability durability = Durability::kFlushed);

// Removes the hidden replacement files of path (as ReplaceFileAtomically
// names them, and as a copy across file systems names its temporary) that a
// process which has since ended left behind: killed between creating one and
// renaming it.  Those of running processes, this one included, are never
// touched.  Returns how many were removed.
int RemoveAbandonedReplacements(const std::string& path);

// True when the file open on fd and the file named path (links followed)
// are one and the same file (same device and inode).  False when either
// cannot be examined, for example because path does not exist yet.
bool IsSameFile(int fd, const std::string& path);

// Which file a descriptor is open on (device and inode), kept so that a name
// can later be checked to hold that very file and not one put in its place.
struct FileId {
    unsigned long long device = 0;
    unsigned long long inode = 0;
};
// The identity of the file open on fd.  Returns 0 or errno.
[[nodiscard]] int IdentityOf(int fd, FileId* id);
// Which version of a file's content a descriptor sees, as far as it can be
// told without reading it: the file, its size and the time of its last
// change to the nanosecond (as fine as the file system keeps it).  Two equal
// versions taken apart in time mean the content was not written between
// them (a rename changes none of it).
struct FileVersion {
    FileId id;
    long long size = 0;
    long long modified_ns = 0;
    bool operator==(const FileVersion& o) const {
        return id.device == o.id.device && id.inode == o.id.inode && size == o.size &&
               modified_ns == o.modified_ns;
    }
};
// The version of the file open on fd, and (when info is given) the same
// as GetOpenFileInfo tells, from one look at the file.  Returns 0 or errno.
[[nodiscard]] int VersionOf(int fd, FileVersion* version, FileInfo* info = nullptr);
// Removes the name path only while it names the file of id (links
// followed, as when the file was opened).  Returns 0 when removed, ESTALE
// when another file has taken the name (it is left alone), else errno
// (ENOENT when nothing is there).
[[nodiscard]] int RemoveIfSameFile(const std::string& path, const FileId& id);

// The text helpers once declared here live in platform/text.h; these names
// keep the callers that still spell them zel::fs:: building until each has
// moved to zel::text::.
using text::LineEnds;
using text::ParseDecimalPrefix;
using text::SplitLines;
using text::ToTextMode;

// Test hooks, for exercising fallbacks on a machine where the fast path
// works.  Not for production code.
namespace test_hooks {
// RenameReplace behaves as if the two paths were on different file systems.
void ForceCrossDevice(bool on);
// CreateDeleteOnCloseTemp behaves as if O_TMPFILE were not supported.
void ForceNoTmpfile(bool on);
}  // namespace test_hooks

}  // namespace zel::fs

// ---- Looking at names, removing them, keeping a file's tail ---------------
//
// (Added with the job runner's and the schedule service's move onto this
// layer; the names say what they do where a similar call above exists.)
namespace zel::fs {

// What a name holds, as StatusOf reports it.
enum class FileKind { kRegular, kDirectory, kLink, kOther };

struct FileStatus {
    FileKind kind = FileKind::kOther;
    long long size = 0;      // bytes
    long long modified = 0;  // seconds since 1970
    unsigned owner = 0;      // user id
    unsigned mode = 0;       // permission bits (07777)
    unsigned long long device = 0;
    unsigned long long inode = 0;
};

// What path holds: with Links::kFollow what a link points to, with
// Links::kRefuse the name itself (a link is then reported as kLink).
// Returns 0 or errno (ENOENT when nothing is there); *out is changed only on
// success.
[[nodiscard]] int StatusOf(const std::string& path, FileStatus* out, Links links = Links::kFollow);

// Whether FileStatus's owner and mode say who may read a file.  Linux: yes.
// Windows: no (access lists decide; both are made up).
[[nodiscard]] bool OwnerAndModeTell();

// True when this process's real user may write to path (for a directory:
// make and remove names in it); false otherwise or when it is missing.
bool MayWrite(const std::string& path);

// The major and minor parts of a device number (FileStatus::device), as the
// kernel's tables (/proc/locks, /proc/self/mountinfo) write them.
unsigned DeviceMajor(unsigned long long device);
unsigned DeviceMinor(unsigned long long device);

}  // namespace zel::fs
