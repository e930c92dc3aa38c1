// File helpers on Windows (see fs.h): the design's file semantics met with
// the system's own calls.
//
// A UniqueFd holds a C runtime descriptor made from a CreateFile handle
// (_open_osfhandle), so the interface stays the one of the Linux build while
// every read, write, seek and lock goes to the handle itself; the C
// runtime's own buffering and text translation are never used.  Handles are
// opened sharing reading, writing and deletion with everyone, as a POSIX
// descriptor would, except for the one check the design makes natively
// here: "cannot be opened for reading without sharing" (IsFileInUse).
// Handles are not inherited by children.  Failures are reported as errno
// values translated from the Win32 error; nothing throws and no half-made
// file is left behind.
#include "platform/fs.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/fs_internal.h"
#include "platform/owned_temp.h"
#include "platform/process.h"

// The system's header makes SetCurrentDirectory a macro for its A or W
// form, which would rename fs::SetCurrentDirectory below.
#undef SetCurrentDirectory

namespace zel::fs {

namespace {

constexpr std::size_t kChunk = 262144;

// The byte the append lock takes: far beyond any data, because a Windows
// byte-range lock also keeps other handles from reading and writing the
// range it covers, and readers of a log must never be refused.
constexpr ULONGLONG kLockOffset = 0x7FFFFFFFFFFFFFF0ull;

bool g_force_cross_device = false;
bool g_force_no_tmpfile = false;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The errno value closest to a Win32 error.
int ErrnoFrom(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_WRITE_PROTECT:
        case ERROR_CANNOT_MAKE:
            return EACCES;
        case ERROR_LOCK_VIOLATION:
            return EWOULDBLOCK;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return EPIPE;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK:
            return EINVAL;
        case ERROR_CANT_RESOLVE_FILENAME:
            return ELOOP;
        default:
            return EIO;
    }
}

int LastErrno() {
    return ErrnoFrom(::GetLastError());
}

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// Owner of a handle used within one call.
class UniqueHandle {
  public:
    explicit UniqueHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~UniqueHandle() {
        if (valid()) ::CloseHandle(h_);
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }

  private:
    HANDLE h_;
};

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

std::size_t LastSeparator(const std::string& path) {
    return path.find_last_of("/\\");
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = LastSeparator(path);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A handle on path for looking at it (no data access): links followed or
// not, directories too.
// Allocates nothing: the event log examines its file while memory is
// exhausted.
HANDLE OpenForExamining(const char* path, Links links) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (links == Links::kRefuse) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    return ::CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, flags,
                         nullptr);
}

int Examine(const char* path, Links links, BY_HANDLE_FILE_INFORMATION* info) {
    if (path == nullptr || path[0] == '\0') return ENOENT;
    UniqueHandle h(OpenForExamining(path, links));
    if (!h.valid()) return LastErrno();
    if (!::GetFileInformationByHandle(h.get(), info)) return LastErrno();
    return 0;
}

int Examine(const std::string& path, Links links, BY_HANDLE_FILE_INFORMATION* info) {
    return Examine(path.c_str(), links, info);
}

// The system's answers name paths with "\\"; the paths this system builds
// use "/", which every call here accepts as well.  Names handed out are
// turned to "/" so that code splitting them finds one separator only.
void ToForwardSlashes(std::string* path) {
    std::replace(path->begin(), path->end(), '\\', '/');
}

long long UnixSeconds(const FILETIME& ft) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    // 100 ns ticks since 1601-01-01; 11644473600 s lie between 1601 and 1970.
    return static_cast<long long>(ticks / 10000000ull) - 11644473600ll;
}

FileKind KindOf(const BY_HANDLE_FILE_INFORMATION& info) {
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FileKind::kLink;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kDirectory;
    return FileKind::kRegular;
}

// The read-only attribute in the shape of permission bits.
unsigned ModeOf(const BY_HANDLE_FILE_INFORMATION& info) {
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0777;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
}

unsigned long long FileIndex(const BY_HANDLE_FILE_INFORMATION& info) {
    return (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

long long SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return static_cast<long long>((static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) |
                                  info.nFileSizeLow);
}

void FillInfo(const BY_HANDLE_FILE_INFORMATION& st, FileInfo* info) {
    switch (KindOf(st)) {
        case FileKind::kRegular:
            info->type = FileInfo::Type::kRegular;
            break;
        case FileKind::kDirectory:
            info->type = FileInfo::Type::kDirectory;
            break;
        case FileKind::kLink:
            info->type = FileInfo::Type::kLink;
            break;
        case FileKind::kOther:
            info->type = FileInfo::Type::kOther;
            break;
    }
    info->size = SizeOf(st);
    info->modified = UnixSeconds(st.ftLastWriteTime);
    info->mode = ModeOf(st);
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && FileIndex(a) == FileIndex(b);
}

// How OpenRegular opens.
struct OpenMode {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    Links links = Links::kFollow;
    int crt_flags = _O_RDONLY;
};

// Opens path as a regular file on disk: a directory is EISDIR, a device or
// pipe ENXIO, a link in the name's place ELOOP when links are refused.  The
// handle goes into a C runtime descriptor owned by *out.
int OpenRegular(const char* path, const OpenMode& mode, UniqueFd* out) {
    if (out == nullptr || path == nullptr) return EINVAL;
    out->reset();
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (mode.links == Links::kRefuse) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    UniqueHandle h(
        ::CreateFileA(path, mode.access, kShareAll, nullptr, mode.disposition, flags, nullptr));
    if (!h.valid()) {
        const DWORD error = ::GetLastError();
        // A directory cannot be opened as a file: say so as Linux does.
        if (error == ERROR_ACCESS_DENIED) {
            const DWORD attributes = ::GetFileAttributesA(path);
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                return EISDIR;
        }
        return ErrnoFrom(error);
    }
    if (::GetFileType(h.get()) != FILE_TYPE_DISK) return ENXIO;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h.get(), &info)) return LastErrno();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && mode.links == Links::kRefuse)
        return ELOOP;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h.get()), mode.crt_flags);
    if (fd < 0) return EMFILE;
    (void)h.release();
    out->reset(fd);
    return 0;
}

OpenMode ReadMode(Links links = Links::kFollow) {
    OpenMode m;
    m.links = links;
    return m;
}

OpenMode UpdateMode(DWORD disposition, Links links = Links::kFollow) {
    OpenMode m;
    m.access = GENERIC_READ | GENERIC_WRITE;
    m.disposition = disposition;
    m.links = links;
    m.crt_flags = _O_RDWR;
    return m;
}

// Appending: no FILE_WRITE_DATA, so that every write lands at the end of the
// file however many writers there are; reading is granted only so that the
// append lock may be taken on the handle.
OpenMode AppendMode(Links links) {
    OpenMode m;
    m.access = FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
               SYNCHRONIZE;
    m.disposition = OPEN_ALWAYS;
    m.links = links;
    m.crt_flags = _O_WRONLY | _O_APPEND;
    return m;
}

int CurrentOffset(HANDLE h, long long* offset) {
    LARGE_INTEGER zero{}, at{};
    if (!::SetFilePointerEx(h, zero, &at, FILE_CURRENT)) return LastErrno();
    *offset = at.QuadPart;
    return 0;
}

int SetOffset(HANDLE h, long long offset) {
    LARGE_INTEGER to{};
    to.QuadPart = offset;
    return ::SetFilePointerEx(h, to, nullptr, FILE_BEGIN) ? 0 : LastErrno();
}

// Moves from over to, replacing it; a read-only file in to's place is
// replaced as a rename over it would on Linux.
int MoveReplacing(const std::string& from, const std::string& to) {
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        const DWORD attributes = ::GetFileAttributesA(to.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            ::SetFileAttributesA(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
            if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
            const int err = LastErrno();
            (void)::SetFileAttributesA(to.c_str(), attributes);
            return err;
        }
    }
    return ErrnoFrom(error);
}

// Copies from onto a new temporary in to's directory, then moves it over
// to and removes from: a move between volumes that never leaves to half
// written.
int CopyAcross(const std::string& from, const std::string& to) {
    BY_HANDLE_FILE_INFORMATION src_info;
    int err = Examine(from, Links::kRefuse, &src_info);
    if (err != 0) return err;
    if (KindOf(src_info) != FileKind::kRegular) return EXDEV;
    BY_HANDLE_FILE_INFORMATION to_info;
    if (Examine(to, Links::kRefuse, &to_info) == 0 && SameFile(src_info, to_info)) return 0;
    std::string tmp_name = NewOwnedTempName(DirName(to) + "/." + BaseName(to));
    if (!::CopyFileA(from.c_str(), tmp_name.c_str(), TRUE)) return LastErrno();
    {
        UniqueHandle flush(::CreateFileA(tmp_name.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (flush.valid()) (void)::FlushFileBuffers(flush.get());
    }
    err = MoveReplacing(tmp_name, to);
    if (err != 0) {
        (void)::SetFileAttributesA(tmp_name.c_str(), FILE_ATTRIBUTE_NORMAL);
        (void)::DeleteFileA(tmp_name.c_str());
        return err;
    }
    return ::DeleteFileA(from.c_str()) ? 0 : LastErrno();
}

}  // namespace

bool IsEntryName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
    for (const unsigned char c : name) {
        if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) return false;
    }
    if (name.back() == '.' || name.back() == ' ') return false;
    // The device names count with any extension ("nul.txt" is NUL too).
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (stem == device) return false;
    }
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
        stem[3] >= '0' && stem[3] <= '9')
        return false;
    return true;
}

std::string DirName(const std::string& path) {
    const std::size_t slash = LastSeparator(path);
    if (slash == std::string::npos) return ".";
    if (slash == 0) return path.substr(0, 1);
    // "C:\name": the directory is the drive's root, not the drive's
    // current directory that "C:" alone would name.
    if (slash == 2 && path[1] == ':') return path.substr(0, 3);
    return path.substr(0, slash);
}

int AbsolutePath(const std::string& path, std::string* out) {
    if (out == nullptr || path.empty()) return EINVAL;
    char buffer[MAX_PATH];
    const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    if (n == 0) return LastErrno();
    if (n >= sizeof buffer) return ENAMETOOLONG;
    std::string result(buffer, n);
    ToForwardSlashes(&result);
    // A name that asked for a directory ("dir/") keeps its trailing
    // separator, as on Linux.
    if (IsSeparator(path.back()) && !IsSeparator(result.back())) result.push_back('/');
    *out = std::move(result);
    return 0;
}

int GetFileInfo(const std::string& path, FileInfo* info) {
    BY_HANDLE_FILE_INFORMATION st;
    const int err = Examine(path, Links::kFollow, &st);
    if (err != 0) return err;
    FillInfo(st, info);
    return 0;
}

int GetEntryInfo(const std::string& path, FileInfo* info) {
    BY_HANDLE_FILE_INFORMATION st;
    const int err = Examine(path, Links::kRefuse, &st);
    if (err != 0) return err;
    FillInfo(st, info);
    return 0;
}

int GetOpenFileInfo(int fd, FileInfo* info) {
    BY_HANDLE_FILE_INFORMATION st;
    if (!::GetFileInformationByHandle(HandleOf(fd), &st)) return LastErrno();
    FillInfo(st, info);
    return 0;
}

bool Exists(const std::string& path) {
    return !path.empty() && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION st;
    return Examine(path, Links::kFollow, &st) == 0 &&
           (st.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int RemoveFile(const std::string& path) {
    if (::DeleteFileA(path.c_str())) return 0;
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            return EISDIR;
    }
    return ErrnoFrom(error);
}

int MakeDirectory(const std::string& path) {
    if (::CreateDirectoryA(path.c_str(), nullptr)) return 0;
    const int err = LastErrno();
    return err == EEXIST && IsDirectory(path) ? 0 : err;
}

int MakeDirectories(const std::string& path) {
    if (path.empty()) return ENOENT;
    for (std::size_t slash = path.find_first_of("/\\", 1); slash != std::string::npos;
         slash = path.find_first_of("/\\", slash + 1)) {
        if (IsSeparator(path[slash - 1])) continue;  // "a//b": one level
        const std::string level = path.substr(0, slash);
        if (level.size() == 2 && level[1] == ':') continue;  // the drive itself
        if (IsDirectory(level)) continue;
        const int err = MakeDirectory(level);
        if (err != 0) return err == EEXIST ? ENOTDIR : err;
    }
    if (path.size() > 1 && IsSeparator(path.back())) return 0;
    return MakeDirectory(path);
}

int SetCurrentDirectory(const std::string& dir) {
    return ::SetCurrentDirectoryA(dir.c_str()) ? 0 : LastErrno();
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) ::_close(fd_);
    fd_ = fd;
}

namespace {

enum class ListMode { kAll, kFiles, kFilesNoFollow };

bool IsSymbolicLink(const WIN32_FIND_DATAA& e) {
    return (e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (e.dwReserved0 == IO_REPARSE_TAG_SYMLINK || e.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
}

int ListEntries(const std::string& dir, std::string_view pattern, ListMode mode,
                std::vector<std::string>* names, std::vector<std::string>* links) {
    if (names == nullptr) return EINVAL;
    names->clear();
    if (links != nullptr) links->clear();
    const std::string prefix = dir.empty() || IsSeparator(dir.back()) ? dir : dir + "/";
    // Every name is fetched and matched here: the system's own matching
    // also looks at short 8.3 names, which the design's rules do not know.
    WIN32_FIND_DATAA e;
    HANDLE find = ::FindFirstFileExA((prefix + "*").c_str(), FindExInfoBasic, &e,
                                     FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return 0;  // an empty drive root
        if (error == ERROR_DIRECTORY) return ENOTDIR;
        return ErrnoFrom(error);
    }
    int err = 0;
    do {
        const std::string_view n(e.cFileName);
        if (n == "." || n == "..") continue;
        if (!WildcardMatch(pattern, n)) continue;
        const bool is_dir = (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool is_link = IsSymbolicLink(e);
        if (mode == ListMode::kFiles) {
            // Follow links: a link to a directory is a directory here.
            if (is_link ? IsDirectory(prefix + e.cFileName) : is_dir) continue;
        } else if (mode == ListMode::kFilesNoFollow) {
            if (is_link) {
                if (links != nullptr) links->emplace_back(n);
                continue;
            }
            if (is_dir) continue;
        }
        names->emplace_back(n);
    } while (::FindNextFileA(find, &e));
    const DWORD end = ::GetLastError();
    if (end != ERROR_NO_MORE_FILES) err = ErrnoFrom(end);
    ::FindClose(find);
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
    BY_HANDLE_FILE_INFORMATION st;
    const int err = Examine(path, Links::kFollow, &st);
    if (err != 0) return err;
    *read_only = (st.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    return 0;
}

namespace {

int ChangeReadOnly(const std::string& path, bool read_only) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    const DWORD wanted = read_only ? (attributes | FILE_ATTRIBUTE_READONLY)
                                   : (attributes & ~FILE_ATTRIBUTE_READONLY);
    if (wanted == attributes) return 0;
    return ::SetFileAttributesA(path.c_str(), wanted) ? 0 : LastErrno();
}

}  // namespace

int SetReadOnly(const std::string& path) {
    return ChangeReadOnly(path, true);
}

int ClearReadOnly(const std::string& path) {
    return ChangeReadOnly(path, false);
}

int ClearReadOnlyNoLink(const char* path) {
    UniqueHandle h(::CreateFileA(
        path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid()) return LastErrno();
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandleEx(h.get(), FileBasicInfo, &basic, sizeof basic))
        return LastErrno();
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ELOOP;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return 0;
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(h.get(), FileBasicInfo, &basic, sizeof basic) ? 0
                                                                                      : LastErrno();
}

bool IsFileInUse(const std::string& path) {
    // The design's own test: open for reading, sharing nothing.  Any other
    // handle open on the file refuses it with a sharing violation.
    UniqueHandle h(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.valid()) return false;
    const DWORD error = ::GetLastError();
    // A file that is not there is not in use; one that exists but cannot be
    // opened for reading is as good as held without sharing.
    return !(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
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
        if (env != nullptr && env[0] != '\0') {
            dir = env;
        } else {
            char buffer[MAX_PATH + 1];
            const DWORD n = ::GetTempPathA(sizeof buffer, buffer);
            dir = n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string("C:/");
            ToForwardSlashes(&dir);
        }
    }
    while (dir.size() > 1 && IsSeparator(dir.back()) && !(dir.size() == 3 && dir[1] == ':'))
        dir.pop_back();
    return dir;
}

int CreateDeleteOnCloseTemp(const std::string& dir, UniqueFd* out) {
    if (out == nullptr) return EINVAL;
    out->reset();
    const std::string where = dir.empty() ? TempDir() : dir;
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = where + "/~zel" + std::to_string(::GetCurrentProcessId()) + "." +
                                 std::to_string(::GetTickCount()) + "." +
                                 std::to_string(counter.fetch_add(1)) + ".tmp";
        HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll,
                                 nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const int err = LastErrno();
            if (err == EEXIST) continue;
            return err;
        }
        const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR);
        if (fd < 0) {
            ::CloseHandle(h);
            return EMFILE;
        }
        out->reset(fd);
        return 0;
    }
    return EEXIST;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (Exists(to)) return EEXIST;
    return ::MoveFileExA(from.c_str(), to.c_str(), 0) ? 0 : LastErrno();
}

int RenameReplace(const std::string& from, const std::string& to) {
    if (!g_force_cross_device) {
        const int err = MoveReplacing(from, to);
        if (err != EXDEV) return err;
    }
    return CopyAcross(from, to);
}

int FlushToDisk(int fd) {
    return ::FlushFileBuffers(HandleOf(fd)) ? 0 : LastErrno();
}

int FlushDirectory(const std::string& dir) {
    // NTFS makes a rename durable in its own journal; a directory cannot be
    // flushed on its own.  Only its existence is checked.
    return IsDirectory(dir) ? 0 : ENOENT;
}

int FlushFileSystemOf(const std::string& dir) {
    std::string full;
    int err = AbsolutePath(dir, &full);
    if (err != 0) return err;
    if (!IsDirectory(full)) return ENOENT;
    // The whole volume in one step, where the system lets this process
    // (flushing a volume takes an administrator).
    if (full.size() >= 2 && full[1] == ':') {
        UniqueHandle volume(
            ::CreateFileA(("\\\\.\\" + full.substr(0, 2)).c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        if (volume.valid() && ::FlushFileBuffers(volume.get())) return 0;
    }
    // Otherwise each file of the directory on its own, which covers what
    // the caller wrote there.  A file another program holds without
    // sharing writes was not written by this process and is passed over.
    std::vector<std::string> names;
    err = ListMatching(full, "*", &names, true);
    if (err != 0) return err;
    for (const std::string& name : names) {
        UniqueHandle file(::CreateFileA((full + "/" + name).c_str(), GENERIC_WRITE, kShareAll,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                error == ERROR_FILE_NOT_FOUND)
                continue;
            return ErrnoFrom(error);
        }
        if (!::FlushFileBuffers(file.get())) return LastErrno();
    }
    return 0;
}

int OpenForReading(const std::string& path, UniqueFd* out) {
    return OpenRegular(path.c_str(), ReadMode(), out);
}

int OpenForReadingNoFollow(const std::string& path, UniqueFd* out) {
    return OpenRegular(path.c_str(), ReadMode(Links::kRefuse), out);
}

std::string DescriptorPath(int fd) {
    char buffer[MAX_PATH + 8];
    const DWORD n = ::GetFinalPathNameByHandleA(HandleOf(fd), buffer, sizeof buffer,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= sizeof buffer) return {};
    std::string path(buffer, n);
    // The answer is a "\\?\" name; the plain form opens the same file.
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) {
        path = "\\\\" + path.substr(8);
    } else if (path.rfind("\\\\?\\", 0) == 0) {
        path.erase(0, 4);
    }
    ToForwardSlashes(&path);
    return path;
}

int OpenForAppending(const char* path, UniqueFd* out, Links links) {
    return OpenRegular(path, AppendMode(links), out);
}

int OpenForUpdating(const char* path, UniqueFd* out, Links links) {
    return OpenRegular(path, UpdateMode(OPEN_EXISTING, links), out);
}

int OpenForReadingAndWriting(const char* path, bool truncate, UniqueFd* out) {
    int err = OpenRegular(path, UpdateMode(OPEN_ALWAYS), out);
    if (err != 0 || !truncate) return err;
    err = TruncateFile(out->get(), 0);
    if (err != 0) out->reset();
    return err;
}

int CreateForWriting(const std::string& path, UniqueFd* out) {
    OpenMode mode = UpdateMode(OPEN_ALWAYS);
    mode.access = GENERIC_WRITE;
    mode.crt_flags = _O_WRONLY;
    int err = OpenRegular(path.c_str(), mode, out);
    if (err != 0) return err;
    err = TruncateFile(out->get(), 0);
    if (err != 0) out->reset();
    return err;
}

int CreateExclusive(const std::string& path, UniqueFd* out, int mode) {
    // A mode without the owner's write bit makes the file read-only, as
    // the permission bits would on Linux.
    const DWORD attributes = (mode & 0200) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                             attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastErrno();
    if (out == nullptr) {
        ::CloseHandle(h);
        return 0;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY);
    if (fd < 0) {
        ::CloseHandle(h);
        (void)::DeleteFileA(path.c_str());
        return EMFILE;
    }
    out->reset(fd);
    return 0;
}

int CreateExclusiveWithContent(const std::string& path, std::string_view data) {
    // Written under a temporary name beside it, then moved to the name
    // without replacing: no reader ever finds the name empty or partly
    // written, and a process killed meanwhile leaves only the temporary for
    // the directory's next sweep.
    std::string tmp;
    UniqueFd fd;
    int err = CreateOwnedTemp(DirName(path) + "/." + BaseName(path), 0666, &tmp, &fd);
    if (err != 0) return err;
    err = WriteAll(fd.get(), data.data(), data.size());
    if (err == 0) err = CloseFile(&fd);
    if (err == 0 && !::MoveFileExA(tmp.c_str(), path.c_str(), 0)) err = LastErrno();
    if (err != 0) {
        fd.reset();
        (void)::DeleteFileA(tmp.c_str());
    }
    return err;
}

int SharedContent::Create(const std::string& path) {
    // One file per name: what links would save here is not worth a second
    // way of making lock files on this system.
    (void)links_;
    return CreateExclusiveWithContent(path, data_);
}

int CreateUniqueFile(const std::string& stem, std::string* path) {
    if (path == nullptr) return EINVAL;
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<unsigned long long> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        LARGE_INTEGER now{};
        ::QueryPerformanceCounter(&now);
        unsigned long long v =
            static_cast<unsigned long long>(now.QuadPart) * 6364136223846793005ull +
            (static_cast<unsigned long long>(::GetCurrentProcessId()) << 20) +
            counter.fetch_add(1) * 1442695040888963407ull;
        std::string name = stem;
        for (int i = 0; i < 6; ++i) {
            name += kLetters[v % (sizeof kLetters - 1)];
            v /= sizeof kLetters - 1;
        }
        const int err = CreateExclusive(name, nullptr, 0600);
        if (err == EEXIST) continue;
        if (err != 0) return err;
        *path = std::move(name);
        return 0;
    }
    return EEXIST;
}

int CloseFile(UniqueFd* fd) {
    if (fd == nullptr || !*fd) return 0;
    return ::_close(fd->release()) == 0 ? 0 : EIO;
}

int TruncateFile(int fd, long long size) {
    // ftruncate leaves the offset where it was; so does this.
    const HANDLE h = HandleOf(fd);
    long long at = 0;
    int err = CurrentOffset(h, &at);
    if (err != 0) return err;
    err = SetOffset(h, size);
    if (err == 0 && !::SetEndOfFile(h)) err = LastErrno();
    const int back = SetOffset(h, at);
    return err != 0 ? err : back;
}

int SeekTo(int fd, long long offset) {
    return Seek(fd, offset, SeekFrom::kStart);
}

int Seek(int fd, long long offset, SeekFrom from, long long* position) {
    const DWORD method = from == SeekFrom::kStart ? FILE_BEGIN
                         : from == SeekFrom::kEnd ? FILE_END
                                                  : FILE_CURRENT;
    LARGE_INTEGER to{}, at{};
    to.QuadPart = offset;
    if (!::SetFilePointerEx(HandleOf(fd), to, &at, method)) return LastErrno();
    if (position != nullptr) *position = at.QuadPart;
    return 0;
}

namespace {

int LockWith(int fd, DWORD flags) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(kLockOffset & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(kLockOffset >> 32);
    if (::LockFileEx(HandleOf(fd), flags | LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &where)) return 0;
    const DWORD error = ::GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK
                                                                      : ErrnoFrom(error);
}

}  // namespace

int LockExclusive(int fd) {
    return LockWith(fd, 0);
}

int TryLockExclusive(int fd) {
    return LockWith(fd, LOCKFILE_FAIL_IMMEDIATELY);
}

void UnlockFile(int fd) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(kLockOffset & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(kLockOffset >> 32);
    (void)::UnlockFileEx(HandleOf(fd), 0, 1, 0, &where);
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
        // Still the file under the name?
        BY_HANDLE_FILE_INFORMATION held, named;
        if (!::GetFileInformationByHandle(HandleOf(fd.get()), &held)) return LastErrno();
        if (Examine(path, links, &named) == 0 && SameFile(held, named)) {
            *out = std::move(fd);
            return 0;
        }
        err = ESTALE;
    }
    return err;
}

int RelockForAppending(const char* path, UniqueFd* kept, Links links, FileId* kept_id) {
    if (kept == nullptr || path == nullptr) return EINVAL;
    // The handle's own information is asked each turn (a look-up of the
    // name needs a handle of its own here anyway); nothing is remembered.
    if (kept_id != nullptr) *kept_id = FileId{};
    if (*kept) {
        if (LockExclusive(kept->get()) == 0) {
            BY_HANDLE_FILE_INFORMATION held, named;
            if (::GetFileInformationByHandle(HandleOf(kept->get()), &held) &&
                Examine(path, links, &named) == 0 && SameFile(held, named))
                return 0;
        }
        kept->reset();  // gives back the lock, if it was taken
    }
    return OpenLockedForAppending(path, kept, links);
}

int AppendLocked(const char* path, const void* data, std::size_t size, Links links,
                 long long cut_above, long long keep) {
    UniqueFd fd;
    const int err = OpenLockedForAppending(path, &fd, links);
    if (err != 0) return err;
    if (cut_above >= 0) {
        // Writes through the appending handle always land at the end: the
        // cut needs a handle of its own.  The lock held on fd covers it.
        LARGE_INTEGER size_now{};
        UniqueFd whole;
        BY_HANDLE_FILE_INFORMATION a, b;
        if (::GetFileSizeEx(HandleOf(fd.get()), &size_now) && size_now.QuadPart > cut_above &&
            OpenRegular(path, UpdateMode(OPEN_EXISTING, links), &whole) == 0 &&
            ::GetFileInformationByHandle(HandleOf(fd.get()), &a) &&
            ::GetFileInformationByHandle(HandleOf(whole.get()), &b) && SameFile(a, b)) {
            (void)CutToTail(whole.get(), cut_above, keep);
        }
    }
    return WriteAll(fd.get(), data, size);
}

int CutToTail(int fd, long long above, long long keep) {
    if (keep < 0 || above < keep) return EINVAL;
    LARGE_INTEGER size_now{};
    if (!::GetFileSizeEx(HandleOf(fd), &size_now)) return LastErrno();
    if (size_now.QuadPart <= above) return 0;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(keep) + 1]);
    if (!buffer) return ENOMEM;
    const long long from = size_now.QuadPart - keep;
    const auto size = static_cast<std::size_t>(keep);
    int err = ReadExactAt(fd, buffer.get(), size, from);
    if (err == 0) err = WriteAllAt(fd, buffer.get(), size, 0);
    if (err == 0) err = TruncateFile(fd, keep);
    return err;
}

long ReadSome(int fd, void* buffer, std::size_t size) {
    const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD got = 0;
    if (::ReadFile(HandleOf(fd), buffer, want, &got, nullptr)) return static_cast<long>(got);
    const DWORD error = ::GetLastError();
    // The writing end of a pipe has gone: the end of the data.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
    errno = ErrnoFrom(error);
    return -1;
}

int ReadToEnd(int fd, std::string* out) {
    if (out == nullptr) return EINVAL;
    out->clear();
    std::vector<char> chunk(65536);
    for (;;) {
        const long n = ReadSome(fd, chunk.data(), chunk.size());
        if (n < 0) return errno;
        if (n == 0) return 0;
        out->append(chunk.data(), static_cast<std::size_t>(n));
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
    const HANDLE h = HandleOf(fd);
    while (size > 0) {
        const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD done = 0;
        if (!::WriteFile(h, p, want, &done, nullptr)) return LastErrno();
        if (done == 0) return EIO;
        p += done;
        size -= done;
    }
    return 0;
}

namespace {

// pread and pwrite: the transfer at offset, the handle's own offset kept.
int TransferAt(int fd, char* p, std::size_t size, long long offset, bool write) {
    const HANDLE h = HandleOf(fd);
    long long kept = 0;
    int err = CurrentOffset(h, &kept);
    if (err != 0) return err;
    while (size > 0 && err == 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<ULONGLONG>(offset) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<ULONGLONG>(offset) >> 32);
        const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD done = 0;
        const BOOL ok =
            write ? ::WriteFile(h, p, want, &done, &at) : ::ReadFile(h, p, want, &done, &at);
        if (!ok) {
            err = ::GetLastError() == ERROR_HANDLE_EOF ? EIO : LastErrno();
        } else if (done == 0) {
            err = EIO;
        } else {
            p += done;
            size -= done;
            offset += done;
        }
    }
    const int back = SetOffset(h, kept);
    return err != 0 ? err : back;
}

}  // namespace

int ReadExactAt(int fd, void* buffer, std::size_t size, long long offset) {
    return TransferAt(fd, static_cast<char*>(buffer), size, offset, false);
}

int WriteAllAt(int fd, const void* data, std::size_t size, long long offset) {
    return TransferAt(fd, const_cast<char*>(static_cast<const char*>(data)), size, offset, true);
}

int ReplaceFileAtomically(const std::string& path, std::string_view data, int mode,
                          Durability durability) {
    if (path.empty()) return EINVAL;
    std::string tmp;
    UniqueFd fd;
    int err = CreateOwnedTemp(DirName(path) + "/." + BaseName(path), 0666, &tmp, &fd);
    if (err != 0) return err;
    err = WriteAll(fd.get(), data.data(), data.size());
    if (err == 0 && durability == Durability::kFlushed) err = FlushToDisk(fd.get());
    if (err == 0) err = CloseFile(&fd);
    if (err == 0 && mode >= 0 && (mode & 0200) == 0) err = SetReadOnly(tmp);
    if (err == 0) err = MoveReplacing(tmp, path);
    if (err != 0) {
        fd.reset();
        (void)::SetFileAttributesA(tmp.c_str(), FILE_ATTRIBUTE_NORMAL);
        (void)::DeleteFileA(tmp.c_str());
        return err;
    }
    return 0;
}

int RemoveAbandonedReplacements(const std::string& path) {
    const std::string base = BaseName(path);
    if (base.empty()) return 0;
    return RemoveEndedOwnersTemps(DirName(path), {"." + base});
}

bool IsSameFile(int fd, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION a, b;
    return ::GetFileInformationByHandle(HandleOf(fd), &a) &&
           Examine(path, Links::kFollow, &b) == 0 && SameFile(a, b);
}

int IdentityOf(int fd, FileId* id) {
    BY_HANDLE_FILE_INFORMATION st;
    if (!::GetFileInformationByHandle(HandleOf(fd), &st)) return LastErrno();
    id->device = st.dwVolumeSerialNumber;
    id->inode = FileIndex(st);
    return 0;
}

int VersionOf(int fd, FileVersion* version, FileInfo* info) {
    BY_HANDLE_FILE_INFORMATION st;
    if (!::GetFileInformationByHandle(HandleOf(fd), &st)) return LastErrno();
    version->id.device = st.dwVolumeSerialNumber;
    version->id.inode = FileIndex(st);
    version->size = static_cast<long long>(
        (static_cast<unsigned long long>(st.nFileSizeHigh) << 32) | st.nFileSizeLow);
    // 100-nanosecond units since 1601: only compared, never shown.
    const unsigned long long ticks =
        (static_cast<unsigned long long>(st.ftLastWriteTime.dwHighDateTime) << 32) |
        st.ftLastWriteTime.dwLowDateTime;
    version->modified_ns = static_cast<long long>(ticks) * 100;
    if (info != nullptr) FillInfo(st, info);
    return 0;
}

int RemoveIfSameFile(const std::string& path, const FileId& id) {
    BY_HANDLE_FILE_INFORMATION st;
    const int err = Examine(path, Links::kFollow, &st);
    if (err != 0) return err;
    if (st.dwVolumeSerialNumber != id.device || FileIndex(st) != id.inode) return ESTALE;
    return RemoveFile(path);
}

namespace test_hooks {
void ForceCrossDevice(bool on) {
    g_force_cross_device = on;
}
void ForceNoTmpfile(bool on) {
    g_force_no_tmpfile = on;
}
}  // namespace test_hooks

bool OwnerAndModeTell() {
    return false;
}

int StatusOf(const std::string& path, FileStatus* out, Links links) {
    BY_HANDLE_FILE_INFORMATION st;
    const int err = Examine(path, links, &st);
    if (err != 0) return err;
    FileStatus status;
    status.kind = KindOf(st);
    status.size = SizeOf(st);
    status.modified = UnixSeconds(st.ftLastWriteTime);
    status.owner = 0;
    status.mode = ModeOf(st);
    status.device = st.dwVolumeSerialNumber;
    status.inode = FileIndex(st);
    *out = status;
    return 0;
}

bool MayWrite(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    // The read-only attribute of a directory does not keep names from being
    // made in it; of a file, it keeps it from being written.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
           (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

// A volume serial number has no major and minor parts; the halves stand in.
unsigned DeviceMajor(unsigned long long device) {
    return static_cast<unsigned>((device >> 16) & 0xFFFFu);
}

unsigned DeviceMinor(unsigned long long device) {
    return static_cast<unsigned>(device & 0xFFFFu);
}

}  // namespace zel::fs
