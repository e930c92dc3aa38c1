// The reasons zelstatus --check names: what in a report needs a person.
#include <string>

#include "tools/zelstatus/status.h"

namespace zel::status {

std::vector<std::string> FindProblems(const Report& r) {
    std::vector<std::string> problems;
    // Log locks are taken over by the next writer a minute on, so an old one
    // heals itself; a job lock past its limit means a job died or hangs,
    // and a guard or upload-file lock is never taken over at all.
    for (const LockFileStatus& lock : r.locks) {
        if (!lock.past_limit || lock.kind == "log") continue;
        if (lock.limit_minutes > 0) {
            problems.push_back("lock past its limit: " + lock.path + " is " +
                               std::to_string(lock.age_seconds / 60) + " minutes old (limit " +
                               std::to_string(lock.limit_minutes) + ")");
        } else {
            problems.push_back("lock left behind: " + lock.path + " is " +
                               std::to_string(lock.age_seconds / 60) +
                               " minutes old and is never taken over");
        }
    }

    bool downloads_scheduled = false;
    for (const EntryStatus& e : r.schedule.entries) {
        if (e.command == "qvzeldown.bat") downloads_scheduled = true;
    }
    if (downloads_scheduled) {
        const JobStatus* download = nullptr;
        for (const JobStatus& job : r.jobs.jobs) {
            if (job.job == "download") download = &job;
        }
        // A run that reached the central side and found nothing waiting
        // succeeded as much as one that fetched files.
        const bool recent = download != nullptr && download->last_ran &&
                            r.now - *download->last_ran <= kDownloadWindowSeconds;
        const bool succeeded = recent && (download->successes > 0 || download->no_files);
        if (!succeeded) {
            problems.emplace_back(
                "no successful download in the last 24 hours, and the schedule has download "
                "entries");
        }
    }

    if (!r.service.running) problems.emplace_back("the schedule service qvzel_cron is not running");
    if (!r.connection.password_present) {
        problems.emplace_back("the password file IACCESS is missing");
    } else if (!r.connection.password_readable) {
        problems.emplace_back("the password file IACCESS cannot be read");
    }
    return problems;
}

}  // namespace zel::status
