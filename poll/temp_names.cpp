// Temporary names of the transfers: see temp_names.h.
#include "poll/temp_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/fs.h"
#include "platform/owned_temp.h"

namespace zel::poll {

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Join(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

std::string TempDirectoryFor(const std::string& working_dir) {
    const char* tmp = std::getenv("TMP");
    if (tmp != nullptr && IsDirectory(tmp)) return tmp;
    if (IsDirectory(working_dir)) return working_dir;
    return "/";
}

bool TempFile::Reserve(const std::string& dir, const char* prefix) {
    Discard();
    // 0666 less the umask (0600 for an owner-only file), as a plain create: the staging file
    // becomes the placed file, permissions and all.
    return zel::fs::CreateOwnedTemp(Join(dir, prefix), owner_only_ ? 0600 : 0666, &path_) == 0;
}

void TempFile::Discard() {
    if (path_.empty()) return;
    (void)::unlink(path_.c_str());
    path_.clear();
}

std::string PackingName(const std::string& path) {
    return zel::fs::NewOwnedTempName(path + kPackSuffix);
}

int RemoveOrphanedTemporaries(const std::string& dir) {
    return zel::fs::RemoveEndedOwnersTemps(dir);
}

}  // namespace zel::poll
