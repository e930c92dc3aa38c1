// Temporary names of the transfers: see temp_names.h.
#include "poll/temp_names.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/fs.h"

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

// The process ID at the start of text (digits up to a "."), or 0.
long PidAt(std::string_view text) {
    long pid = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 10; ++i) {
        pid = pid * 10 + (text[i] - '0');
    }
    if (i == 0 || i >= text.size() || text[i] != '.') return 0;
    return pid;
}

// True when no process of that ID exists.  A process of another user still
// counts as alive (EPERM), so its names stay.
bool ProcessGone(long pid) {
    if (pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The process ID a temporary name of ours was made by, or 0 when the name
// is not one of ours.
long OwnerOf(const std::string& name) {
    for (const char* prefix : {kDownloadPrefix, kStagingPrefix}) {
        const std::string_view p(prefix);
        if (name.compare(0, p.size(), p) == 0)
            return PidAt(std::string_view(name).substr(p.size()));
    }
    const std::size_t suffix = std::string_view(kPackSuffix).size();
    if (name.size() > suffix && name.compare(name.size() - suffix, suffix, kPackSuffix) == 0) {
        const std::size_t infix = name.rfind(kPackInfix);
        if (infix != std::string::npos) {
            return PidAt(
                std::string_view(name).substr(infix + std::string_view(kPackInfix).size()));
        }
    }
    return 0;
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
    const std::string stem = Join(dir, std::string(prefix) + std::to_string(::getpid()) + ".");
    // The counter is bounded: a directory that refuses every name must not
    // keep us here.
    for (int counter = 0; counter < 100000; ++counter) {
        const std::string candidate = stem + std::to_string(counter);
        const int err = zel::fs::CreateExclusive(candidate, nullptr, owner_only_ ? 0600 : 0666);
        if (err == 0) {
            path_ = candidate;
            return true;
        }
        if (err != EEXIST) return false;
    }
    return false;
}

void TempFile::Discard() {
    if (path_.empty()) return;
    (void)::unlink(path_.c_str());
    path_.clear();
}

std::string PackingName(const std::string& path) {
    return path + kPackInfix + std::to_string(::getpid()) + kPackSuffix;
}

int RemoveOrphanedTemporaries(const std::string& dir) {
    std::vector<std::string> names;
    if (zel::fs::ListMatching(dir, "*", &names, true) != 0) return 0;
    int removed = 0;
    for (const std::string& name : names) {
        const long owner = OwnerOf(name);
        if (owner == 0 || owner == ::getpid() || !ProcessGone(owner)) continue;
        if (::unlink(Join(dir, name).c_str()) == 0) ++removed;
    }
    return removed;
}

}  // namespace zel::poll
