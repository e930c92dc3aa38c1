// The scheduler: owns the loaded schedule and the tick counter, reads and
// writes the schedule files in the COMM directory, and starts the batch files
// of due entries in the Olmar directory without waiting for them.
//
// Files (all in zel::paths::CommDir()): "crontab.dat" (the schedule),
// "qvzel_cronin" (pending changes, merged every fifteenth tick and then
// removed) and "CONTROL" (the dealer's control file, source of the default
// schedule's minutes).  The caller supplies the local time of each tick, so
// the scheduler runs the same under any clock.  Nothing throws; file and
// process failures leave the schedule as the rules below say.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/process.h"
#include "scheduler/schedule.h"

namespace zel::cron {

inline constexpr const char* kScheduleFileName = "crontab.dat";
inline constexpr const char* kPendingFileName = "qvzel_cronin";
inline constexpr const char* kControlFileName = "CONTROL";
inline constexpr int kMergeEveryTicks = 15;

// What the running service last loaded, for status tools: crontab.dat may
// have been changed since, and the service runs what it loaded until its
// next load.  Written below the system root at every load of a service.
inline constexpr const char* kLoadedStateFileName = "qvzel_cron.loaded";

struct LoadedState {
    std::time_t when = 0;  // the load, seconds since 1970
    long pid = 0;          // the service process that loaded
    std::string source;    // "crontab.dat", "default" (made from CONTROL) or "none"
    std::string text;      // the schedule text parsed (empty for "none")
};
// The file's text: one line "loaded <when> <pid> <source>", then the
// schedule text as it was loaded.
std::string FormatLoadedState(const LoadedState& state);
// False for a text that does not start with such a line.
[[nodiscard]] bool ParseLoadedState(const std::string& text, LoadedState* out);

// Starts the batch file `command` (a file name) in `olmar_dir` without
// waiting.  "qvzelup.bat" and "qvzeldown.bat" run with standard input, output
// and error on /dev/null; other commands share the service's own.  Returns 0
// or an errno value; the child is never waited for here (see ReapChildren).
// With pid given, the child's pid is stored there (-1 when none started).
[[nodiscard]] int StartBatchFile(const std::string& olmar_dir, const std::string& command,
                                 pid_t* pid = nullptr);

// Collects batch-file children that have finished, so that none stays a
// zombie in a long-running service.  Returns how many were collected.
int ReapChildren();

// Receives what the scheduler does, one line at a time, for the service's
// journal: warnings (an empty or unreadable schedule, a missing CONTROL or
// batch file, a batch file that failed) and notes (a schedule loaded, a
// batch file started or ended).
using Reporter = std::function<void(bool warning, const std::string& text)>;

class Scheduler {
  public:
    // Frees the current list, makes sure of the install key in the registry,
    // and loads "crontab.dat"; when it does not exist, writes the default
    // schedule made from "CONTROL" (when that can be read) and uses it.
    void Load();

    // Frees the schedule (the list is empty until the next Load).
    void Free() { schedule_.clear(); }

    // One tick at the given local time: starts the command of every due
    // entry in list order, counts the tick and every fifteenth tick merges
    // pending changes and reloads.  Returns the commands that were started.
    std::vector<std::string> Tick(const std::tm& now);

    // Merges "qvzel_cronin" into "crontab.dat" and reloads as planned by
    // PlanMerge.  The pending file is removed only once the new schedule is
    // safely written and the pending text is still the one that was merged.
    // A schedule file that exists but cannot be read is left as it is, and
    // the pending changes with it, until a later merge can read it.
    void MergePending();

    // From now on every Load records what it loaded in this file
    // (FormatLoadedState); failures to write it are of no consequence.
    void SetLoadedStateFile(std::string path) { state_file_ = std::move(path); }

    // Collects finished batch files and reports each one's exit status.
    void Reap();

    // Where Load, Tick and Reap report; nothing is reported without one.
    void set_reporter(Reporter reporter) { reporter_ = std::move(reporter); }

    const Schedule& schedule() const { return schedule_; }

  private:
    void Report(bool warning, const std::string& text) const {
        if (reporter_) reporter_(warning, text);
    }
    // Starts the due commands; returns those that started.
    std::vector<std::string> StartDue(const std::vector<std::string>& due);

    void RecordLoad(const char* source, const std::string& text) const;

    Schedule schedule_;
    long ticks_ = 0;
    Reporter reporter_;
    std::map<pid_t, std::string> running_;  // started batch files not yet collected
    std::string state_file_;
};

}  // namespace zel::cron
