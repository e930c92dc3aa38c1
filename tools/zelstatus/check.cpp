// The reasons zelstatus --check names: what in a report needs a person.
// Each reason is one line that says what is wrong and what to do about it;
// zelstatus --help lists them all.
#include <string>

#include "platform/service_manager.h"
#include "scheduler/service_setup.h"
#include "tools/zelstatus/status.h"

namespace zel::status {
namespace {

constexpr const char* kRedoDefault =
    "remove it, and the service writes the default schedule from CONTROL within 15 minutes";

std::string Shown(const std::string& text) {
    return Printable(text, true, 120);
}

const JobStatus* FindJob(const Report& r, const char* name) {
    for (const JobStatus& job : r.jobs.jobs) {
        if (job.job == name) return &job;
    }
    return nullptr;
}

void ScheduleProblems(const Report& r, std::vector<std::string>* out) {
    const ScheduleStatus& s = r.schedule;
    const std::string file = "the schedule " + s.path;
    if (!s.present && !s.control_readable) {
        out->push_back(file +
                       " is missing and CONTROL cannot be read, so the service has no schedule "
                       "and starts no job: restore CONTROL (the service then writes the default "
                       "schedule within 15 minutes) or write the schedule");
    } else if (!s.present) {
        out->push_back(file +
                       " is missing: at its next load (within 15 minutes) the service replaces "
                       "it with the default schedule from CONTROL, and entries of its own are "
                       "lost: restore it if it had any");
    } else if (!s.read_error.empty()) {
        out->push_back(file + " cannot be read (" + s.read_error +
                       "), so the service starts no job: " + kRedoDefault +
                       ", or put a schedule file there");
    } else if (s.present && s.size == 0) {
        out->push_back(file + " is empty, so the service starts no job: " + kRedoDefault +
                       ", or write its entries");
    } else if (s.only_zero_bytes) {
        out->push_back(file + " holds only zero bytes (as a crash can leave), so the service " +
                       "starts no job: " + kRedoDefault + ", or restore it");
    } else if (s.present && s.entries.empty()) {
        out->push_back(file + " has no line that the scheduler accepts, so the service starts " +
                       "no job: correct its lines (five fields: name minutes hours days " +
                       "command), or " + kRedoDefault);
    } else if (!s.ignored_lines.empty()) {
        const std::size_t n = s.ignored_lines.size();
        out->push_back(std::to_string(n) + (n == 1 ? " line" : " lines") + " of " + s.path +
                       (n == 1 ? " is" : " are") +
                       " not accepted by the scheduler and never run (line " +
                       std::to_string(s.ignored_line_numbers.front()) + (n == 1 ? "" : " first") +
                       "): correct or remove " + (n == 1 ? "it" : "them"));
    }
}

void ServiceProblems(const Report& r, std::vector<std::string>* out) {
    const ServiceStatus& v = r.service;
    if (!v.running) {
        out->push_back(
            std::string("the schedule service qvzel_cron is not running, so no job starts: "
                        "start it (") +
            svc::kManagerWords.start + cron::kServiceName + ", or " + cron::kServiceName +
            svc::kManagerWords.run_directly + ")");
    }
    // The service runs what it loaded; a merge reloads only when there are
    // pending changes, so a file changed in place waits for a restart.
    const ScheduleStatus& s = r.schedule;
    if (v.running && v.loaded_known && s.present && s.read_error.empty() &&
        s.text != v.loaded_text) {
        out->push_back(s.path + " has changed since the service loaded it at " +
                       LocalTime(v.loaded_at) +
                       ": the service still runs what it loaded; restart qvzel_cron to run the "
                       "file as it is now (or put changes into qvzel_cronin instead)");
    }
    if (!r.connection.store_readable) return;  // reported with the store
    if (v.olmar_key_present && !v.olmar_set) {
        out->push_back(
            "OLMAR_EXE is not set in HKLM\\SOFTWARE\\qvis\\olmar, so the service starts no job: "
            "set it to the directory that holds the batch files (qvreg add)");
    } else if (!v.olmar_dir_exists) {
        out->push_back("the Olmar directory " + Shown(v.olmar_dir) +
                       " does not exist, so the service starts no job and says nothing: create "
                       "it with the batch files, or set OLMAR_EXE in "
                       "HKLM\\SOFTWARE\\qvis\\olmar to the directory that holds them");
    }
}

void JobProblems(const Report& r, std::vector<std::string>* out) {
    if (!r.jobs.transfers_enabled) {
        out->push_back("transfers are disabled in " + r.jobs.init_ctrl +
                       ", so the upload and day-end jobs do nothing: write QVZEL=Y into it "
                       "to enable them");
    }
    const JobStatus* upload = FindJob(r, "upload");
    if (upload != nullptr && !upload->in_progress && upload->failures > 0) {
        std::string p = "the last upload run, at " + LocalTime(*upload->last_ran) + ", had " +
                        std::to_string(upload->failures) +
                        (upload->failures == 1 ? " failure" : " failures") + " (" +
                        Shown(upload->failure_lines.front()) + ")";
        if (!upload->cause.empty()) p += ": " + upload->cause;
        out->push_back(p + "; see " + r.jobs.logfil + " and " + r.jobs.component_log);
    } else if (upload != nullptr && !upload->in_progress && upload->last_ran &&
               upload->successes == 0 && !upload->cause.empty()) {
        out->push_back("the last upload run, at " + LocalTime(*upload->last_ran) +
                       ", failed: " + upload->cause + "; see " + r.jobs.component_log);
    }

    // The download: the last finished run judged against what the schedule
    // made due, not against a fixed window, so a quiet Sunday or a run that
    // is still going is no fault.
    const ScheduleStatus& s = r.schedule;
    const JobStatus* download = FindJob(r, "download");
    if (download == nullptr || !s.last_download_due) return;
    if (download->lock_present) return;  // running, or a lock past its limit (reported)
    const std::time_t due = *s.last_download_due;
    // A start before the schedule was last written was made by another one.
    if (s.written && due < *s.written) return;
    // A run started at its minute; its outcome file is truncated at once.
    if (!download->last_ran || *download->last_ran < due - 60) {
        out->push_back("the download due at " + LocalTime(due) + " has not run (last run: " +
                       (download->last_ran ? LocalTime(*download->last_ran) : std::string("none")) +
                       "): check that qvzel_cron runs and that the Olmar directory holds "
                       "qvzeldown.bat");
        return;
    }
    if (download->successes > 0 || download->no_files) return;
    std::string p = "the last download run, at " + LocalTime(*download->last_ran) + ", failed";
    if (download->failures > 0) {
        p += " for every file (" + std::to_string(download->failures) + ": " +
             Shown(download->failure_lines.front()) + ")";
    } else {
        p += " outright, fetching nothing";
    }
    p += download->cause.empty()
             ? std::string(": the component's log ") + r.jobs.component_log +
                   " holds no error of that run (was the Poll component created?)"
             : ": " + download->cause;
    out->push_back(p +
                   "; check the connection settings and the central side, then wait for "
                   "the next run or run qvzel_nt -d");
}

void FileProblems(const Report& r, std::vector<std::string>* out) {
    const ConnectionStatus& c = r.connection;
    if (!c.store_readable) {
        out->push_back("the registry store " + c.store_file +
                       " cannot be read, so the connection settings, the server directory and "
                       "the Olmar directory are unknown: check its owner and mode, or restore "
                       "it");
    }
    if (!c.control_present) {
        out->push_back(
            "the control file CONTROL is missing: transfers cannot name the dealer and the "
            "service cannot make its default schedule; restore it");
    } else if (!c.control_readable) {
        out->push_back(
            "the control file CONTROL cannot be read by the jobs: make it a file "
            "that root can read");
    }
    if (!c.password_present) {
        out->push_back("the password file IACCESS is missing: set the password with zelpasswd");
    } else if (!c.password_readable) {
        out->push_back(
            "the password file IACCESS cannot be read by the jobs: set the password again "
            "with zelpasswd");
    }
}

}  // namespace

std::vector<std::string> FindProblems(const Report& r) {
    std::vector<std::string> problems;
    // Log locks are taken over by the next writer a minute on, so an old one
    // heals itself; a job lock past its limit means a job died or hangs,
    // and a guard or upload-file lock is never taken over at all.
    for (const LockFileStatus& lock : r.locks) {
        if (!lock.past_limit || lock.kind == "log") continue;
        const long minutes = lock.age_seconds / 60;
        const std::string age = std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
        if (lock.limit_minutes > 0) {
            problems.push_back("lock past its limit: " + lock.path + " is " + age + " old (limit " +
                               std::to_string(lock.limit_minutes) +
                               "): if no qvzel_nt runs, remove it");
        } else {
            problems.push_back("lock left behind: " + lock.path + " is " + age +
                               " old and is never taken over: if no qvzel_nt runs, remove it");
        }
    }
    ScheduleProblems(r, &problems);
    ServiceProblems(r, &problems);
    JobProblems(r, &problems);
    FileProblems(r, &problems);
    for (std::string& p : problems) p = Printable(p, true);
    return problems;
}

}  // namespace zel::status
