// The schedule part of zelstatus: "crontab.dat" and its coming week as the
// scheduler itself plans it, the last download it made due, and the pending
// changes in "qvzel_cronin".  Reads those files and "CONTROL" only.
#include "scheduler/schedule.h"

#include <cerrno>
#include <cstring>

#include "platform/fs.h"
#include "platform/paths.h"
#include "scheduler/scheduler.h"
#include "tools/zelstatus/status.h"

namespace zel::status {
namespace {

constexpr const char* kDownloadCommand = "qvzeldown.bat";
constexpr int kWeekMinutes = 7 * 24 * 60;

// Why a file that exists cannot be read, in words a person can act on.
std::string ReadError(int rc) {
    if (rc == EISDIR) return "it is a directory, not a file";
    // The reader refuses FIFOs, devices and sockets (ENXIO) rather than
    // block on them; the errno text would say "No such device or address".
    if (rc == ENXIO) return "it is not a regular file (a FIFO, device or socket)";
    return std::strerror(rc);
}

}  // namespace

ScheduleStatus GatherSchedule(std::time_t plan_from, std::time_t now) {
    ScheduleStatus out;
    out.path = paths::Join(paths::CommDir(), cron::kScheduleFileName);
    out.pending_path = paths::Join(paths::CommDir(), cron::kPendingFileName);

    std::string control;
    out.control_readable =
        fs::ReadWholeFile(paths::Join(paths::CommDir(), cron::kControlFileName), &control) == 0;

    std::string text;
    const int rc = fs::ReadWholeFile(out.path, &text);
    out.present = rc != ENOENT;
    if (out.present && rc != 0) out.read_error = ReadError(rc);
    if (rc == 0) {
        out.text = text;
        out.size = static_cast<long long>(text.size());
        out.only_zero_bytes = !text.empty() && text.find_first_not_of('\0') == std::string::npos;
        long age = 0;
        std::time_t mtime = 0;
        if (FileAge(out.path, now, &age, &mtime)) out.written = mtime;
    }
    if (!out.present && out.control_readable) {
        // The service writes the default schedule made from the control
        // file at its next load and runs by it: that is what is planned.
        text = cron::DefaultScheduleText(control);
        out.from_default = true;
    }

    // The file's accepted lines, in file order; the scheduler holds them in
    // the reverse order (each line goes to the head of its list).  Empty
    // lines are neither entries nor faults.
    int number = 0;
    for (const std::string& line : cron::SplitLines(text)) {
        ++number;
        if (line.empty()) continue;
        if (std::optional<cron::ScheduleEntry> e = cron::ParseScheduleLine(line)) {
            out.entries.push_back({e->name, e->command, line, std::nullopt});
            if (e->command == kDownloadCommand) out.downloads_scheduled = true;
        } else {
            out.ignored_lines.push_back(line);
            out.ignored_line_numbers.push_back(number);
        }
    }
    const cron::Schedule schedule = cron::ParseSchedule(text);
    if (schedule.size() == out.entries.size()) {
        const std::size_t n = schedule.size();
        for (const cron::PlannedStart& start :
             cron::PlanStarts(schedule, plan_from, kWeekMinutes)) {
            EntryStatus& entry = out.entries[n - 1 - start.entry];
            if (!entry.next) entry.next = start.when;
            if (out.upcoming.size() < kUpcomingStarts) {
                out.upcoming.push_back(
                    {start.when, schedule[start.entry].name, schedule[start.entry].command});
            }
        }
        // The week before the judging time, less the grace: the last start
        // of a download the service should have made by now.
        if (out.downloads_scheduled) {
            const std::time_t until = now - kDueGraceSeconds;
            for (const cron::PlannedStart& start :
                 cron::PlanStarts(schedule, until - kWeekMinutes * 60L, kWeekMinutes)) {
                if (start.when <= until && schedule[start.entry].command == kDownloadCommand)
                    out.last_download_due = start.when;
            }
        }
    }

    std::string pending;
    if (fs::ReadWholeFile(out.pending_path, &pending) == 0 && !pending.empty()) {
        out.pending_present = true;
        for (const std::string& line : cron::SplitLines(pending)) {
            if (!line.empty()) out.pending_lines.push_back(line);
        }
    }
    return out;
}

}  // namespace zel::status
