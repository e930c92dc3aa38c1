// Temporary names of the transfers: the download file and the staging name
// of a download, and the half-made ".dtz" of an upload.
//
// A temporary name carries the process ID of its maker, so that a later run
// can tell the names of a killed run (whose process is gone) from those of a
// transfer still running, and remove only the former.  A TempFile owns its
// name: whatever way its scope is left, the file under that name is removed
// unless it was handed on (Release).
#pragma once

#include <string>

namespace zel::poll {

// Prefixes of our temporary names; each is followed by "<pid>.<counter>".
inline constexpr const char* kDownloadPrefix = "~qvzd";
inline constexpr const char* kStagingPrefix = "~qvzs";
// A half-made compressed upload is "<name>.qvzel_lock.<pid>.dtzpart": the
// ".qvzel_lock" in it keeps every selection from ever picking it up.
inline constexpr const char* kPackInfix = ".qvzel_lock.";
inline constexpr const char* kPackSuffix = ".dtzpart";

// The directory for temporaries: the one named by TMP when that is an
// existing directory, else the working directory when it exists, else "/".
[[nodiscard]] std::string TempDirectoryFor(const std::string& working_dir);

class TempFile {
  public:
    TempFile() = default;
    // owner_only: every file this object reserves is created with mode 0600
    // (for a temporary that will hold secrets), else 0666 less the umask.
    explicit TempFile(bool owner_only) : owner_only_(owner_only) {}
    ~TempFile() { Discard(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Takes the first free name prefix + pid + "." + counter in dir and
    // creates it empty and exclusively, so that no other transfer (of this
    // or another process) can take the same name.  A name held before is
    // discarded first.  False when no name could be made (a missing or
    // unwritable directory); the object then holds nothing.
    [[nodiscard]] bool Reserve(const std::string& dir, const char* prefix);
    // Removes the file under the held name (if any) and forgets the name.
    void Discard();
    // Forgets the name without touching the file (it was moved onward).
    void Release() { path_.clear(); }

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] bool held() const { return !path_.empty(); }

  private:
    std::string path_;
    bool owner_only_ = false;
};

// The packing name for an upload file path: path + ".qvzel_lock." + pid +
// ".dtzpart".
[[nodiscard]] std::string PackingName(const std::string& path);

// Removes the temporaries in dir that a run no longer alive left behind:
// names of the two prefixes and packing names whose process ID names no
// running process.  Names of live processes (this one included) are never
// touched.  Returns how many were removed.
int RemoveOrphanedTemporaries(const std::string& dir);

}  // namespace zel::poll
