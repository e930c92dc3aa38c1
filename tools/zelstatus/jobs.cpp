// The jobs part of zelstatus: for the upload, download and day-end jobs of
// qvzel_nt their lock (a job running now, or one that died), when each last
// ran and what its outcome file says, the enable flag and the last lines of
// the cumulative outcome file LOGFIL.  Reads files only.
#include <sys/stat.h>

#include "jobs/frame.h"
#include "platform/fs.h"
#include "support/lock.h"
#include "tools/zelstatus/status.h"

namespace zel::status {
namespace {

// Lines of a job's text file (CR LF or LF ends; empty lines dropped).
std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::string_view line : fs::SplitLines(text, fs::LineEnds::kCrOrLf)) {
        if (!line.empty()) lines.emplace_back(line);
    }
    return lines;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

JobStatus GatherJob(const char* label, const jobs::JobFiles& files, std::time_t now) {
    JobStatus job;
    job.job = label;
    job.lock_limit_minutes = jobs::kDefaultLockMinutes;
    jobs::ReadConfigNumber(files.lock_minutes, &job.lock_limit_minutes);
    job.lock_file = LockFilePath(jobs::CommFile(files.lock_base).c_str());
    if (FileAge(job.lock_file, now, &job.lock_age_seconds)) {
        job.lock_present = true;
        // The job runner's own rule for taking a lock over.
        job.lock_past_limit = IsLockStale(job.lock_file.c_str(), job.lock_limit_minutes) &&
                              FileAge(job.lock_file, now, &job.lock_age_seconds);
    }
    if (files.outcome_file == nullptr) return job;
    job.outcome_file = jobs::CommFile(files.outcome_file);
    long age = 0;
    std::time_t mtime = 0;
    if (!FileAge(job.outcome_file, now, &age, &mtime)) return job;
    job.outcome_present = true;
    // The file is made empty when a run starts and written as it goes: its
    // modification time is the end of the last run that got that far.
    job.last_ran = mtime;
    std::string text;
    if (fs::ReadWholeFile(job.outcome_file, &text) != 0) return job;
    for (const std::string& line : TextLines(text)) {
        if (StartsWith(line, "Successful ")) {
            ++job.successes;
        } else if (StartsWith(line, "FAILURE ")) {
            ++job.failures;
            job.failure_lines.push_back(line);
        } else if (line == "No Files Available for Download") {
            job.no_files = true;
        }
    }
    return job;
}

}  // namespace

JobsStatus GatherJobs(std::time_t now) {
    JobsStatus out;
    out.transfers_enabled = jobs::IsTransferEnabled();
    out.jobs.push_back(GatherJob("upload", jobs::kUploadJob, now));
    out.jobs.push_back(GatherJob("download", jobs::kDownloadJob, now));
    JobStatus dayend = GatherJob("day-end", jobs::kDayEndJob, now);
    // The day-end job keeps no outcome file; every run that gets past the
    // enable flag rewrites "append_file" with a copy of the hand-over file.
    long age = 0;
    std::time_t mtime = 0;
    if (FileAge(jobs::CommFile("append_file"), now, &age, &mtime)) dayend.last_ran = mtime;
    out.jobs.push_back(std::move(dayend));
    out.dayend_in_olmar = FileAge(jobs::CommFile("FROMCRON"), now, &age);

    out.logfil = jobs::CommFile(jobs::kLogfilName);
    std::string text;
    if (fs::ReadWholeFile(out.logfil, &text) == 0) {
        out.logfil_present = true;
        std::vector<std::string> lines = TextLines(text);
        const std::size_t from =
            lines.size() > kLogfilTailLines ? lines.size() - kLogfilTailLines : 0;
        out.logfil_tail.assign(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
    }
    return out;
}

bool FileAge(const std::string& path, std::time_t now, long* age, std::time_t* mtime) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    *age = static_cast<long>(now - st.st_mtime);
    if (mtime != nullptr) *mtime = st.st_mtime;
    return true;
}

}  // namespace zel::status
