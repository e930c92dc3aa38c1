// Temporary names of the transfers: see temp_names.h.
#include "poll/temp_names.h"

#include "platform/fs.h"
#include "platform/owned_temp.h"
#include "platform/paths.h"

namespace zel::poll {

std::string TempDirectoryFor(const std::string& working_dir) {
    if (std::string tmp = zel::fs::TmpVariableDirectory(); !tmp.empty()) return tmp;
    if (zel::fs::IsDirectory(working_dir)) return working_dir;
    return "/";
}

bool TempFile::Reserve(const std::string& dir, const char* prefix) {
    Discard();
    // 0666 less the umask (0600 for an owner-only file), as a plain create: the staging file
    // becomes the placed file, permissions and all.
    return zel::fs::CreateOwnedTemp(zel::paths::Join(dir, prefix), owner_only_ ? 0600 : 0666,
                                    &path_) == 0;
}

void TempFile::Discard() {
    if (path_.empty()) return;
    (void)zel::fs::RemoveFile(path_);
    path_.clear();
}

std::string PackingName(const std::string& path) {
    return zel::fs::NewOwnedTempName(path + kPackSuffix);
}

std::string SetAsideName(const std::string& path) {
    return zel::fs::NewOwnedTempName(path + kSentSuffix);
}

int RemoveOrphanedTemporaries(const std::string& dir) {
    return zel::fs::RemoveEndedOwnersTemps(dir);
}

}  // namespace zel::poll
