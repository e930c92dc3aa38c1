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
    bool present = false;    // "crontab.dat" exists
    std::string read_error;  // set when it exists but cannot be read
    // Missing, and what follows is the default schedule that the service
    // makes from the control file when it next loads.
    bool from_default = false;
    std::vector<EntryStatus> entries;        // in file order
    std::vector<std::string> ignored_lines;  // lines the scheduler does not accept
    std::vector<UpcomingStart> upcoming;     // the next starts, in start order
    std::string pending_path;
    bool pending_present = false;  // "qvzel_cronin" holds changes
    std::vector<std::string> pending_lines;
};

struct ServiceStatus {
    std::string pid_file;
    bool running = false;   // a process holds the single-instance lock
    long pid = 0;           // the holder (0 when unknown)
    std::string unit_file;  // where the service's unit is installed
    bool unit_installed = false;
    bool systemd_booted = false;  // systemd is the running init
    bool under_systemd = false;   // the running process is in the service's unit
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
};

struct JobsStatus {
    bool transfers_enabled = false;  // INIT_CTRL (upload and day-end jobs)
    std::vector<JobStatus> jobs;
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
    bool control_present = false, control_readable = false;
    bool password_present = false, password_readable = false;
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
// A download counts as recent within this many seconds.
inline constexpr long kDownloadWindowSeconds = 24 * 60 * 60;

ScheduleStatus GatherSchedule(std::time_t now);
ServiceStatus GatherService();
JobsStatus GatherJobs(std::time_t now);
std::vector<LockFileStatus> GatherLocks(std::time_t now);
std::vector<GuardEntryStatus> GatherGuards(std::time_t now);
ConnectionStatus GatherConnection(std::time_t now);

// The reasons the report needs a person, each one line: a lock past its
// limit, no successful download in the last day while the schedule has
// download entries, the service not running, the password file missing.
std::vector<std::string> FindProblems(const Report& report);

// The readable summary and the JSON document (both end in a line feed).
std::string RenderText(const Report& report);
std::string RenderJson(const Report& report);

// Seconds since the file's last modification at now; false when missing.
bool FileAge(const std::string& path, std::time_t now, long* age, std::time_t* mtime = nullptr);

}  // namespace zel::status
