// The locks and guards part of zelstatus: every lock file (".qvzel_lock")
// in the system's directories with its age and the limit after which it is
// taken over, and the guard entries that still keep a file from being
// transferred.  Lock files are only looked at (stat), never created or
// removed; guard files are read whole.
#include <strings.h>

#include <cstring>

#include "jobs/job_files.h"
#include "log/event_log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "support/config.h"
#include "support/guard.h"
#include "support/lock.h"
#include "tools/zelstatus/status.h"

namespace zel::status {
namespace {

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           ::strcasecmp(text.c_str() + text.size() - suffix.size(), suffix.c_str()) == 0;
}

// What a lock file protects, and so who takes it over when: job locks after
// their job's limit, log locks after the log's, and guard-file and
// upload-file locks never (their holders only ever try, and skip the files).
void Classify(const std::string& dir, const std::string& name, LockFileStatus* lock) {
    const std::string resource = name.substr(0, name.size() - std::strlen(kLockSuffix));
    for (const jobs::JobFiles* job : {&jobs::kUploadJob, &jobs::kDownloadJob, &jobs::kDayEndJob}) {
        if (dir == paths::CommDir() && resource == job->lock_base) {
            lock->kind = "job";
            lock->limit_minutes = jobs::kDefaultLockMinutes;
            jobs::ReadConfigNumber(job->lock_minutes, &lock->limit_minutes);
            return;
        }
    }
    if (EndsWithNoCase(resource, ".guard")) {
        lock->kind = "guard";
    } else if (dir == paths::UploadDir()) {
        lock->kind = "upload file";
    } else {
        lock->kind = "log";
        lock->limit_minutes = kLogLockStaleMinutes;
    }
}

}  // namespace

std::vector<LockFileStatus> GatherLocks(std::time_t now) {
    std::vector<LockFileStatus> locks;
    const std::string pattern = std::string("*") + kLockSuffix;
    for (const std::string& dir : {paths::Root(), paths::CommDir(), paths::DownloadDir(),
                                   paths::UploadDir(), paths::CmnDir()}) {
        std::vector<std::string> names;
        if (fs::ListMatching(dir, pattern, &names, true) != 0) continue;
        for (const std::string& name : names) {
            // The pattern's "*" also takes names such as "x.qvzel_lockfoo".
            if (!EndsWithNoCase(name, kLockSuffix)) continue;
            LockFileStatus lock;
            lock.path = paths::Join(dir, name);
            if (!FileAge(lock.path, now, &lock.age_seconds)) continue;  // gone meanwhile
            Classify(dir, name, &lock);
            if (lock.limit_minutes > 0) {
                // The lock's own rule for taking it over, judged at now.
                lock.past_limit = lock.age_seconds > lock.limit_minutes * 60L;
            } else {
                lock.past_limit = lock.age_seconds > kLeftBehindMinutes * 60L;
            }
            locks.push_back(std::move(lock));
        }
    }
    return locks;
}

std::vector<GuardEntryStatus> GatherGuards(std::time_t now) {
    std::vector<GuardEntryStatus> out;
    const std::string config = ConfigFilePath();
    for (const GuardFileKind* kind : {&kScanGuard, &kUploadGuard, &kDownloadGuard}) {
        const std::string path = paths::Join(paths::CommDir(), kind->name);
        std::string content;
        if (fs::ReadWholeFile(path, &content) != 0) continue;
        int timeout_ms = kind->default_timeout_ms;
        ReadConfigNumber(config.c_str(), kind->timeout_key, &timeout_ms);
        const long long timeout = timeout_ms / 1000;
        for (GuardEntry& entry : ParseGuardEntries(content)) {
            // An acquire for the same text is refused while the entry is
            // younger than the timeout.
            if (now - entry.time >= timeout) continue;
            out.push_back({path, std::move(entry.text), entry.pid,
                           static_cast<std::time_t>(entry.time),
                           static_cast<std::time_t>(entry.time + timeout)});
        }
    }
    return out;
}

}  // namespace zel::status
