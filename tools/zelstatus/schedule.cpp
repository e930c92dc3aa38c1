// The schedule part of zelstatus: "crontab.dat" and its coming week as the
// scheduler itself plans it, and the pending changes in "qvzel_cronin".
// Reads the two files only.
#include "scheduler/schedule.h"

#include <cerrno>
#include <cstring>

#include "platform/fs.h"
#include "platform/paths.h"
#include "scheduler/scheduler.h"
#include "tools/zelstatus/status.h"

namespace zel::status {

ScheduleStatus GatherSchedule(std::time_t now) {
    ScheduleStatus out;
    out.path = paths::Join(paths::CommDir(), cron::kScheduleFileName);
    out.pending_path = paths::Join(paths::CommDir(), cron::kPendingFileName);

    std::string text;
    const int rc = fs::ReadWholeFile(out.path, &text);
    out.present = rc != ENOENT;
    if (out.present && rc != 0) out.read_error = std::strerror(rc);
    if (!out.present) {
        // The service writes the default schedule made from the control
        // file at its next load and runs by it: that is what is planned.
        std::string control;
        if (fs::ReadWholeFile(paths::Join(paths::CommDir(), cron::kControlFileName), &control) ==
            0) {
            text = cron::DefaultScheduleText(control);
            out.from_default = true;
        }
    }

    // The file's accepted lines, in file order; the scheduler holds them in
    // the reverse order (each line goes to the head of its list).
    for (const std::string& line : cron::SplitLines(text)) {
        if (line.empty()) continue;
        if (std::optional<cron::ScheduleEntry> e = cron::ParseScheduleLine(line)) {
            out.entries.push_back({e->name, e->command, line, std::nullopt});
        } else {
            out.ignored_lines.push_back(line);
        }
    }
    const cron::Schedule schedule = cron::ParseSchedule(text);
    if (schedule.size() == out.entries.size()) {
        const std::size_t n = schedule.size();
        for (const cron::PlannedStart& start : cron::PlanStarts(schedule, now, 7 * 24 * 60)) {
            EntryStatus& entry = out.entries[n - 1 - start.entry];
            if (!entry.next) entry.next = start.when;
            if (out.upcoming.size() < kUpcomingStarts) {
                out.upcoming.push_back(
                    {start.when, schedule[start.entry].name, schedule[start.entry].command});
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
