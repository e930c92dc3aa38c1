// The scheduler: schedule files, the tick and batch-file starts (see
// scheduler.h).  Owns the in-memory schedule; the files belong to the COMM
// directory and the children to the process (collected by ReapChildren).
#include "scheduler/scheduler.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/fs.h"
#include "platform/olmar_directory.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"

namespace zel::cron {
namespace {

constexpr const char* kInstallKey = zel::keys::kZelwayKey;
constexpr const char* kOlmarKey = zel::keys::kOlmarKey;

std::string CommFile(const char* name) {
    return paths::Join(paths::CommDir(), name);
}

// The schedule service's small text files are replaced whole (a crash or a
// full disk never leaves half of one) and readable by everyone.
int WriteFileReplacing(const std::string& path, const std::string& text) {
    return fs::ReplaceFileAtomically(path, text, 0644);
}

// Opens or creates the install key; a new key gets "InstallDir" pointing at
// the schedule directory.  Failures are of no consequence to the schedule.
void EnsureInstallKey() {
    reg::Key key;
    reg::Disposition disposition{};
    if (reg::CreateKey(reg::Hive::LocalMachine, kInstallKey, &key, &disposition) != reg::kSuccess) {
        return;
    }
    if (disposition == reg::Disposition::CreatedNewKey) {
        (void)reg::SetString(key, "InstallDir", paths::CommDir());
    }
}

}  // namespace

int StartBatchFile(const std::string& olmar_dir, const std::string& command, pid_t* pid_out) {
    proc::StartOptions options;
    options.working_dir = olmar_dir;
    // Only the two transfer jobs run without a console; any other command
    // keeps the service's own standard streams.
    options.null_stdio = command == "qvzelup.bat" || command == "qvzeldown.bat";
    pid_t pid = -1;
    // The command is one file name taken as it stands: no command-line
    // splitting, so quotes or backslashes in a name cannot make arguments.
    const int rc = proc::StartArgv({command}, options, &pid);
    if (pid_out != nullptr) *pid_out = pid;
    return rc;
}

int ReapChildren() {
    return proc::ReapFinished();
}

void Scheduler::Load() {
    schedule_.clear();
    EnsureInstallKey();
    std::string text;
    const std::string path = CommFile(kScheduleFileName);
    int rc = fs::ReadWholeFile(path, &text);
    if (rc == ENOENT) {
        std::string control;
        const std::string control_path = CommFile(kControlFileName);
        if (int crc = fs::ReadWholeFile(control_path, &control); crc != 0) {
            Report(true, "No schedule: " + path + " does not exist and no default can be made (" +
                             control_path + ": " + std::strerror(crc) + "); no job will start");
            RecordLoad("none", {});
            return;
        }
        text = DefaultScheduleText(control);
        // The default is used for this run even when it cannot be stored;
        // the next load tries to store it again.
        (void)WriteFileReplacing(path, text);
        RecordLoad("default", text);
        Report(false, "Default schedule written to " + path);
    } else if (rc != 0) {
        Report(true, "Schedule " + path + " cannot be read: " + std::strerror(rc) +
                         "; no job will start");
        RecordLoad("none", {});
        return;
    } else {
        RecordLoad(kScheduleFileName, text);
    }
    std::vector<std::string> ignored;
    schedule_ = ParseSchedule(text, &ignored);
    Report(false, "Schedule loaded from " + path + ": " + std::to_string(schedule_.size()) +
                      (schedule_.size() == 1 ? " entry" : " entries") +
                      (ignored.empty() ? "" : ", " + std::to_string(ignored.size()) + " ignored"));
    for (const std::string& line : ignored) Report(true, "Schedule " + path + " " + line);
    if (schedule_.empty()) Report(true, "Schedule " + path + " has no entry; no job will start");
}

std::vector<std::string> Scheduler::StartDue(const std::vector<std::string>& due) {
    std::vector<std::string> started;
    // Looked up once per tick: a key made just now starts nothing on this
    // tick, not even for a later entry.
    std::string olmar_dir;
    if (!paths::GetOlmarDirectory(&olmar_dir)) {
        Report(true, std::string("Olmar directory not set (HKLM\\") + kOlmarKey +
                         " OLMAR_EXE); due batch files not started");
        return started;
    }
    for (const std::string& command : due) {
        pid_t pid = -1;
        const std::string where = paths::Join(olmar_dir, command);
        switch (const int rc = StartBatchFile(olmar_dir, command, &pid)) {
            case 0:
                running_[pid] = command;
                started.push_back(command);
                Report(false, "Started " + where + " (pid " + std::to_string(pid) + ")");
                break;
            case ENOENT:
                Report(true, "Batch file " + where + " missing; not started");
                break;
            case EACCES:
                Report(true, "Batch file " + where + " not executable; not started");
                break;
            default:
                Report(true, "Batch file " + where + " not started: " + std::strerror(rc));
        }
    }
    return started;
}

void Scheduler::Reap() {
    std::vector<proc::FinishedChild> finished;
    (void)proc::ReapFinished(&finished);
    for (const proc::FinishedChild& child : finished) {
        std::string name = "child";
        if (auto it = running_.find(child.pid); it != running_.end()) {
            name = it->second;
            running_.erase(it);
        }
        Report(child.exit_code != 0, name + " (pid " + std::to_string(child.pid) +
                                         ") ended with exit status " +
                                         std::to_string(child.exit_code));
    }
}

void Scheduler::RecordLoad(const char* source, const std::string& text) const {
    if (state_file_.empty()) return;
    LoadedState state;
    state.when = std::time(nullptr);
    state.pid = static_cast<long>(proc::CurrentProcessId());
    state.source = source;
    state.text = text;
    (void)WriteFileReplacing(state_file_, FormatLoadedState(state));
}

std::string FormatLoadedState(const LoadedState& state) {
    return "loaded " + std::to_string(static_cast<long long>(state.when)) + " " +
           std::to_string(state.pid) + " " + state.source + "\n" + state.text;
}

bool ParseLoadedState(const std::string& text, LoadedState* out) {
    const std::size_t end = text.find('\n');
    if (end == std::string::npos || text.rfind("loaded ", 0) != 0) return false;
    long long when = 0;
    long pid = 0;
    char source[32] = {};
    const std::string head = text.substr(0, end);
    if (std::sscanf(head.c_str(), "loaded %lld %ld %31s", &when, &pid, source) != 3) return false;
    out->when = static_cast<std::time_t>(when);
    out->pid = pid;
    out->source = source;
    out->text = text.substr(end + 1);
    return true;
}

std::vector<std::string> Scheduler::Tick(const std::tm& now) {
    Reap();
    std::vector<std::string> started;
    std::vector<std::string> due = DueCommands(schedule_, now);
    if (!due.empty()) started = StartDue(due);
    ++ticks_;
    if (ticks_ % kMergeEveryTicks == 0) MergePending();
    return started;
}

void Scheduler::MergePending() {
    std::string schedule_text, pending_text;
    const std::string schedule_path = CommFile(kScheduleFileName);
    const std::string pending_path = CommFile(kPendingFileName);
    const int schedule_rc = fs::ReadWholeFile(schedule_path, &schedule_text);
    (void)fs::ReadWholeFile(pending_path, &pending_text);
    MergePlan plan = PlanMerge(schedule_text, pending_text);
    // A schedule that exists but cannot be read is not an empty one: writing
    // the pending text in its place would throw away every entry it holds.
    // The changes wait for a merge that can read it.
    if (plan.action == MergePlan::Action::kWriteReload && schedule_rc != 0 &&
        schedule_rc != ENOENT) {
        return;
    }
    switch (plan.action) {
        case MergePlan::Action::kNothing:
            return;
        case MergePlan::Action::kReloadOnly:
            Load();
            return;
        case MergePlan::Action::kWriteReload:
            break;
    }
    // Pending changes are removed only once they are safely in the schedule,
    // and only when nobody has rewritten them meanwhile: newer changes stay
    // for the next merge instead of being deleted unread.
    if (WriteFileReplacing(schedule_path, plan.text) == 0) {
        std::string again;
        if (fs::ReadWholeFile(pending_path, &again) == 0 && again == pending_text) {
            (void)fs::RemoveFile(pending_path);
        }
    }
    Load();
}

}  // namespace zel::cron
