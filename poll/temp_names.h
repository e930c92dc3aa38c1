// Temporary names of the transfers: the staging name of a download and the
// half-made ".dtz" of an upload.
//
// Every temporary name is stamped with the process that made it (pid and
// start time, platform/owned_temp.h), so that a later run can tell the names
// of a killed run (whose process has ended) from those of a transfer still
// running, and remove only the former.  Names that merely look like ours (a
// dealer's "~qvzs999999.DAT", a published file) are never touched.  A
// TempFile owns its name: whatever way its scope is left, the file under
// that name is removed unless it was handed on (Release).
#pragma once

#include <string>

namespace zel::poll {

// Stems of the download's temporary names; the owner stamp follows.
inline constexpr const char* kDownloadPrefix = "~qvzd";
inline constexpr const char* kStagingPrefix = "~qvzs";
// A half-made compressed upload is "<name>.dtzpart" + the owner stamp: the
// ".qvzel_lock" of the stamp keeps every selection from ever picking it up.
inline constexpr const char* kPackSuffix = ".dtzpart";

// A sent upload file is set aside as "<name>.sent" + the owner stamp until
// its data is removed (deferred_removal.h).
inline constexpr const char* kSentSuffix = ".sent";

// The directory for a download's temporaries: the one named by TMP when that
// is an existing directory, else the working directory when it exists, else
// "/".  (Only the download reads TMP; the system's temporary directory is
// zel::fs::TempDir, $TMPDIR else /tmp.)
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

    // Creates a new empty file prefix + owner stamp in dir, exclusively, so
    // that no other transfer (of this or another process) can take the same
    // name.  A name held before is discarded first.  False when no name
    // could be made (a missing or unwritable directory); the object then
    // holds nothing.
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

// A fresh packing name for an upload file path: path + ".dtzpart" + the
// owner stamp.  Creates nothing.
[[nodiscard]] std::string PackingName(const std::string& path);

// A fresh name to set the sent upload file path aside under: path +
// ".sent" + the owner stamp.  Creates nothing.
[[nodiscard]] std::string SetAsideName(const std::string& path);

// Removes the temporaries in dir (a directory where transfers make them:
// the download's temporary and working directories, the upload directory)
// whose maker has ended: staging names, packing names, sent files set
// aside, and the hidden copies a move across file systems makes.  Only names that carry the exact
// owner stamp are looked at; names of running processes (this one
// included) stay.  Returns how many were removed.
int RemoveOrphanedTemporaries(const std::string& dir);

}  // namespace zel::poll
