// The jobs part of zelstatus: for the upload, download and day-end jobs of
// qvzel_nt their lock (a job running now, or one that died), when each last
// ran and what its outcome file says, why a failed run failed (from the
// component's log, "qvzel.log", whose records the jobs do not copy), the
// enable flag and the last lines of the cumulative outcome file LOGFIL.
// Reads files only.

#include <cstdio>
#include <cstring>

#include "jobs/enable_flag.h"
#include "jobs/job_files.h"
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

// One record of the component's log: its labelled lines, the ones read here.
struct LogRecord {
    std::time_t when = 0;
    long pid = 0;
    std::string severity, message, context;
};

// "MM/DD/YY HH:MM:SS.mmm (pid)" in local time.
bool ParseStamp(const std::string& text, std::time_t* when, long* pid) {
    int mon = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (std::sscanf(text.c_str(), "%2d/%2d/%2d %2d:%2d:%2d.%3d (%ld)", &mon, &day, &year, &hour,
                    &minute, &second, &ms, pid) != 8) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = year + 100;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    *when = std::mktime(&tm);
    return *when != static_cast<std::time_t>(-1);
}

std::vector<LogRecord> ParseRecords(const std::string& text) {
    std::vector<LogRecord> records;
    LogRecord record;
    bool open = false;
    auto value = [](const std::string& line, const char* label) {
        return line.substr(std::strlen(label));
    };
    for (std::string_view view : fs::SplitLines(text, fs::LineEnds::kCrOrLf)) {
        const std::string line(view);
        if (StartsWith(line, "TimeStamp: ")) {
            if (open) records.push_back(record);
            record = LogRecord{};
            open = ParseStamp(value(line, "TimeStamp: "), &record.when, &record.pid);
        } else if (!open) {
            continue;
        } else if (StartsWith(line, "Severity: ")) {
            record.severity = value(line, "Severity: ");
        } else if (StartsWith(line, "Message: ")) {
            record.message = value(line, "Message: ");
        } else if (StartsWith(line, "Context: ")) {
            record.context = value(line, "Context: ");
        }
    }
    if (open) records.push_back(record);
    return records;
}

// Why the run of the given operation ("GetFiles", "PutFiles") that started
// at or after `since` failed, from the errors the component recorded in it.
// The errors for which the transport gave its own words ("Message = [..]"
// just before) say most, so those are named, each once and in order (the
// directory refresh and the transfer may both fail, for different
// reasons); without them, the last error.  Empty when that run recorded no
// error.
std::string FailureCause(const std::string& log_text, const char* operation, std::time_t since) {
    const std::vector<LogRecord> records = ParseRecords(log_text);
    const std::string prefix = std::string(operation) + ":";
    // The run is the last process that reported this operation.
    long pid = 0;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (StartsWith(it->context, prefix.c_str())) {
            pid = it->pid;
            break;
        }
    }
    if (pid == 0) return {};
    std::vector<std::string> explained, keys;
    std::string last_error, detail;
    for (const LogRecord& r : records) {
        // A second of slack: the stamp has milliseconds, the file time the
        // run is judged by is whole seconds.
        if (r.pid != pid || r.when + 1 < since || !StartsWith(r.context, prefix.c_str())) continue;
        if (r.severity != "Error") {
            if (StartsWith(r.message, "Message = [")) {
                detail = r.message.substr(11);
                if (!detail.empty() && detail.back() == ']') detail.pop_back();
            }
            continue;
        }
        const std::string where = " (in " + r.context.substr(prefix.size()) + ")";
        // The component's closing summary says no more than that it failed.
        if (last_error.empty() || r.message != "Operation is not successful.")
            last_error = r.message + where;
        if (detail.empty()) continue;
        const std::string text = r.message + ": " + detail + where;
        detail.clear();
        // The same failure again differs only in its numbers ("after 1 ms").
        std::string key;
        for (char c : text) {
            if (c < '0' || c > '9') key += c;
        }
        bool seen = false;
        for (const std::string& k : keys) seen = seen || k == key;
        if (seen || explained.size() >= 3) continue;
        keys.push_back(key);
        explained.push_back(text);
    }
    if (explained.empty()) return last_error;
    std::string cause;
    for (const std::string& e : explained) cause += (cause.empty() ? "" : "; then ") + e;
    return cause;
}

JobStatus GatherJob(const char* label, const jobs::JobFiles& files, const char* operation,
                    const std::string& component_log, std::time_t now) {
    JobStatus job;
    job.job = label;
    job.lock_limit_minutes = jobs::kDefaultLockMinutes;
    jobs::ReadConfigNumber(files.lock_minutes, &job.lock_limit_minutes);
    job.lock_file = LockFilePath(jobs::CommFile(files.lock_base).c_str());
    if (FileAge(job.lock_file, now, &job.lock_age_seconds)) {
        job.lock_present = true;
        // The job runner's own rule for taking a lock over, judged at now.
        job.lock_past_limit =
            job.lock_limit_minutes > 0 && job.lock_age_seconds > job.lock_limit_minutes * 60L;
        job.in_progress = !job.lock_past_limit;
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
    // A run that wrote no line at all, or failures only, may have left its
    // reason in the component's log; a running job's file is not its last
    // word yet.
    if (!job.in_progress && job.successes == 0 && !job.no_files && !component_log.empty()) {
        // An empty outcome file was last written when the run started; one
        // with lines, when its last line was written, so look back a while.
        const std::time_t since = text.empty() ? mtime : mtime - job.lock_limit_minutes * 60L;
        job.cause = FailureCause(component_log, operation, since);
    }
    return job;
}

}  // namespace

JobsStatus GatherJobs(std::time_t now) {
    JobsStatus out;
    out.transfers_enabled = jobs::IsTransferEnabled();
    out.init_ctrl = jobs::CmnFile("INIT_CTRL");
    out.component_log = jobs::CommFile("qvzel.log");
    std::string log_text;
    (void)fs::ReadWholeFile(out.component_log, &log_text);
    out.jobs.push_back(GatherJob("upload", jobs::kUploadJob, "PutFiles", log_text, now));
    out.jobs.push_back(GatherJob("download", jobs::kDownloadJob, "GetFiles", log_text, now));
    JobStatus dayend = GatherJob("day-end", jobs::kDayEndJob, "", log_text, now);
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
    fs::FileStatus st;
    if (fs::StatusOf(path, &st) != 0) return false;
    const auto modified = static_cast<std::time_t>(st.modified);
    *age = static_cast<long>(now - modified);
    if (mtime != nullptr) *mtime = modified;
    return true;
}

}  // namespace zel::status
