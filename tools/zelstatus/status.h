// zelstatus's picture of one system root: what the schedule service, the
// jobs, the locks and guards and the connection settings say at one moment,
// gathered without writing anything, and the reasons that need a person.
//
// Every Gather function only reads (files opened for reading, the registry
// store in read-only mode, no lock taken) and never fails: what cannot be
// read is reported as such in the result.  Results are owned values.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace zel::status {

// ---- Schedule ---------------------------------------------------------------

struct EntryStatus {
    std::string name;
    std::string command;              // the batch file the scheduler starts
    std::string line;                 // the line as written
    std::optional<std::time_t> next;  // first start in the coming week
};

struct UpcomingStart {
    std::time_t when = 0;
    std::string name;
    std::string command;
};

struct ScheduleStatus {
    std::string path;
    bool present = false;                // "crontab.dat" exists
    std::string read_error;              // set when it exists but cannot be read
    long long size = 0;                  // bytes, when read
    std::string text;                    // its bytes, when read
    bool only_zero_bytes = false;        // not empty, and every byte is 0
    std::optional<std::time_t> written;  // its modification time
    bool control_readable = false;       // "CONTROL" can be read (for the default)
    // Missing, and what follows is the default schedule that the service
    // makes from the control file when it next loads.
    bool from_default = false;
    std::vector<EntryStatus> entries;        // in file order
    std::vector<std::string> ignored_lines;  // lines the scheduler does not accept
    std::vector<int> ignored_line_numbers;   // their line numbers, from 1
    std::vector<UpcomingStart> upcoming;     // the next starts, in start order
    std::string pending_path;
    bool pending_present = false;  // "qvzel_cronin" holds changes
    std::vector<std::string> pending_lines;
    // The last download start the schedule made due at or before the
    // judging time (less a grace for the service's tick), within a week.
    std::optional<std::time_t> last_download_due;
    bool downloads_scheduled = false;  // some entry starts qvzeldown.bat
};

struct ServiceStatus {
    std::string pid_file;
    bool running = false;  // a process holds the single-instance lock
    long pid = 0;          // the holder (0 when unknown)
    // Where the service is installed: Linux: its systemd unit's path;
    // Windows: its name in the service control manager.
    std::string unit_file;
    bool unit_installed = false;
    bool systemd_booted = false;  // the service manager is there (systemd is the running init)
    bool under_systemd = false;   // the running process runs as the manager's service
    // Windows: the service's state in the service control manager
    // ("running", "stopped", ...); empty on Linux and when not installed.
    std::string manager_state;
    // The directory the service starts the batch files in ("OLMAR_EXE"):
    // olmar_set is false when the key or value is missing (the key's
    // default, the CMN directory, is then shown in olmar_dir).
    std::string olmar_dir;
    // What the running process last loaded (known only when the state file
    // it writes names that process): when, from where, and the text.
    bool loaded_known = false;
    std::time_t loaded_at = 0;
    std::string loaded_source;
    std::string loaded_text;
    bool olmar_key_present = false;
    bool olmar_set = false;
    bool olmar_dir_exists = false;
};

// ---- Jobs --------------------------------------------------------------------

struct JobStatus {
    std::string job;  // "upload", "download", "day-end"
    std::string lock_file;
    int lock_limit_minutes = 0;  // age after which the next job takes the lock over
    bool lock_present = false;   // a job runs now (or died holding the lock)
    long lock_age_seconds = 0;
    bool lock_past_limit = false;
    std::string outcome_file;  // empty for the day-end job
    bool outcome_present = false;
    std::optional<std::time_t> last_ran;  // when the last run wrote its outcome
    int successes = 0;
    int failures = 0;
    bool no_files = false;  // the download found nothing to fetch
    std::vector<std::string> failure_lines;
    // A run holds the lock now and it is within its limit.
    bool in_progress = false;
    // Why the last run failed, from the component's log, when it recorded
    // an error during that run.
    std::string cause;
};

struct JobsStatus {
    bool transfers_enabled = false;  // INIT_CTRL (upload and day-end jobs)
    std::string init_ctrl;
    std::vector<JobStatus> jobs;
    std::string component_log;  // "qvzel.log", where the component records its errors
    std::string logfil;
    bool logfil_present = false;
    std::vector<std::string> logfil_tail;  // its last lines, oldest first
    bool dayend_in_olmar = false;          // "FROMCRON" exists
};

// ---- Locks and guards ----------------------------------------------------------

struct LockFileStatus {
    std::string path;
    std::string kind;  // "job", "guard", "upload file", "log"
    long age_seconds = 0;
    // Age after which it is taken over; 0 when nothing ever takes it over.
    int limit_minutes = 0;
    bool past_limit = false;  // older than its limit (or, without one, left behind)
};

struct GuardEntryStatus {
    std::string guard_file;
    std::string text;
    long long pid = 0;
    std::time_t written = 0;
    std::time_t skipped_until = 0;  // the file is skipped until then
};

// ---- Connection ------------------------------------------------------------------

struct ProxyChoice {
    std::string access_type;  // "ACCESS_TYPE_DIRECT", ...
    std::string proxy;        // with ACCESS_TYPE_PROXY
};

struct ConnectionStatus {
    unsigned access_method = 0;    // "AccessMethod" as stored
    unsigned access_override = 0;  // "AccessOverride" as stored
    ProxyChoice http;
    ProxyChoice https;
    std::optional<bool> next_secure;  // whether the next request uses HTTPS, when known
    bool directory_cached = false;    // records of server "POLL" are stored
    std::string poll_address;
    std::optional<std::time_t> directory_updated;
    bool directory_will_refresh = true;  // the next transfer refreshes the directory first
    // The registry store can be read (a missing store reads as empty, as
    // on a first run); when false, the values above are unknown.
    bool store_readable = true;
    std::string store_file;
    int poll_port = 0, poll_secure_port = 0;  // the server's ports, when cached
    bool control_present = false, control_readable = false;
    // "Readable" means readable by the jobs, which run as root: a caller
    // that is not root judges by the file's kind, not by its own access.
    bool password_present = false, password_readable = false;
    long password_uid = -1;
    unsigned password_mode = 0;
    bool judged_as_root = true;
};

// ---- The whole picture ---------------------------------------------------------------

struct Report {
    std::time_t now = 0;
    std::string root;
    ScheduleStatus schedule;
    ServiceStatus service;
    JobsStatus jobs;
    std::vector<LockFileStatus> locks;
    std::vector<GuardEntryStatus> guards;
    ConnectionStatus connection;
    std::vector<std::string> problems;  // reasons a person is needed
};

// How many starts the upcoming list holds, and LOGFIL lines shown.
inline constexpr std::size_t kUpcomingStarts = 10;
inline constexpr std::size_t kLogfilTailLines = 10;
// Locks that nothing takes over (guard-file and upload-file locks) are held
// for moments; one older than this was left behind and blocks its files.
inline constexpr int kLeftBehindMinutes = 60;
// A start the schedule made due this recently is not judged yet: the
// service's tick may not have started it (ticks drift later) or its job may
// not have taken its lock.
inline constexpr long kDueGraceSeconds = 5 * 60;

// The schedule and its next starts planned from plan_from; the last due
// download judged at now.
ScheduleStatus GatherSchedule(std::time_t plan_from, std::time_t now);
ServiceStatus GatherService();
JobsStatus GatherJobs(std::time_t now);
std::vector<LockFileStatus> GatherLocks(std::time_t now);
std::vector<GuardEntryStatus> GatherGuards(std::time_t now);
ConnectionStatus GatherConnection(std::time_t now);

// The reasons the report needs a person, each one line that names the cause
// and says what to do (the list is in zelstatus --help).
std::vector<std::string> FindProblems(const Report& report);

// Text as it may be shown: control bytes and bytes that are not UTF-8 as
// \xHH, everything else as it is.  For JSON only the bytes that are not
// UTF-8 are escaped (JSON escapes control characters itself).  A text
// longer than max bytes is cut there and says how long it was.
std::string Printable(const std::string& text, bool escape_controls,
                      std::size_t max = std::string::npos);

// A time as shown: weekday, local date and time, and the zone ("Tue
// 2026-12-08 10:00 UTC"); the plain number when it cannot be converted.
std::string LocalTime(std::time_t t);

// The readable summary and the JSON document (both end in a line feed).
std::string RenderText(const Report& report);
std::string RenderJson(const Report& report);

// Seconds since the file's last modification at now; false when missing.
bool FileAge(const std::string& path, std::time_t now, long* age, std::time_t* mtime = nullptr);

}  // namespace zel::status
