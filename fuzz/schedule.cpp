// Fuzz target: the schedule file "crontab.dat", the merge of pending changes
// from "qvzel_cronin" and the default schedule made from a control file.
// Input: schedule text, NUL, pending text, NUL, control text.  Checked: every
// parsed entry is within its bounds and names a batch file in the Olmar
// directory, line splitting round-trips, a merge only keeps, replaces or
// adds whole input lines (each ending in CR LF, none of them a removal), and
// any control text gives a default schedule of three valid entries.
#include "scheduler/schedule.h"

#include <algorithm>
#include <ctime>
#include <set>

#include "fuzz/fuzz_common.h"

using namespace zel::fuzz;
using namespace zel::cron;

namespace {

void CheckSchedule(const Schedule& schedule, std::size_t lines) {
    ZEL_FUZZ_CHECK(schedule.size() <= lines);
    for (const ScheduleEntry& e : schedule) {
        ZEL_FUZZ_CHECK(!e.name.empty() && e.name.size() <= kMaxNameLength);
        ZEL_FUZZ_CHECK(!e.command.empty() && e.command.size() <= kMaxCommandLength);
        // The command is a file name, started in the Olmar directory.
        ZEL_FUZZ_CHECK(e.command.find('/') == std::string::npos);
        ZEL_FUZZ_CHECK(e.command.find('.') != std::string::npos);
        ZEL_FUZZ_CHECK(std::count(e.minutes.begin(), e.minutes.end(), true) > 0);
        ZEL_FUZZ_CHECK(std::count(e.hours.begin(), e.hours.end(), true) > 0);
        ZEL_FUZZ_CHECK(std::count(e.days.begin(), e.days.end(), true) > 0);
    }
}

std::vector<std::string> NonEmptyLines(std::string_view text) {
    std::vector<std::string> out;
    for (std::string& l : SplitLines(text)) {
        if (!l.empty()) out.push_back(std::move(l));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts = SplitAtNul(data, size, 3);
    parts.resize(3);
    const std::string& schedule_text = parts[0];
    const std::string& pending = parts[1];
    const std::string& control = parts[2];

    const std::vector<std::string> lines = SplitLines(schedule_text);
    const Schedule schedule = ParseSchedule(schedule_text);
    CheckSchedule(schedule, lines.size());

    // Lines written with CR LF come back as they were.
    std::string joined;
    for (const std::string& l : lines) joined += l + "\r\n";
    ZEL_FUZZ_CHECK(SplitLines(joined) == lines);

    // The entries due at one moment are entries of the schedule.
    std::tm now{};
    now.tm_wday = size % 7;
    now.tm_hour = static_cast<int>(size % 24);
    now.tm_min = static_cast<int>(size % 60);
    ZEL_FUZZ_CHECK(DueCommands(schedule, now).size() <= schedule.size());

    // The merge.
    const MergePlan plan = PlanMerge(schedule_text, pending);
    if (pending.empty()) {
        ZEL_FUZZ_CHECK(plan.action != MergePlan::Action::kWriteReload);
    } else {
        ZEL_FUZZ_CHECK(plan.action == MergePlan::Action::kWriteReload);
    }
    if (!schedule_text.empty() && !pending.empty()) {
        const std::string merged = MergeScheduleText(schedule_text, pending);
        ZEL_FUZZ_CHECK(plan.text == merged);
        const std::vector<std::string> old_lines = NonEmptyLines(schedule_text);
        const std::vector<std::string> new_lines = NonEmptyLines(pending);
        const std::set<std::string> old_set(old_lines.begin(), old_lines.end());
        const std::set<std::string> new_set(new_lines.begin(), new_lines.end());
        // Every line of the result ends in CR LF and is a whole input line.
        ZEL_FUZZ_CHECK(merged.empty() || merged.size() >= 2);
        ZEL_FUZZ_CHECK(merged.empty() || merged.compare(merged.size() - 2, 2, "\r\n") == 0);
        std::size_t count = 0;
        for (std::size_t at = 0; at < merged.size();) {
            const std::size_t end = merged.find("\r\n", at);
            ZEL_FUZZ_CHECK(end != std::string::npos);
            const std::string line = merged.substr(at, end - at);
            ZEL_FUZZ_CHECK(!line.empty());
            const bool from_old = old_set.count(line) != 0;
            const bool from_new =
                new_set.count(line) != 0 && line.find(" remove") == std::string::npos;
            ZEL_FUZZ_CHECK(from_old || from_new);
            ++count;
            at = end + 2;
        }
        ZEL_FUZZ_CHECK(count <= old_lines.size() + new_lines.size());
    }

    // Any control file gives the three lines of a usable default schedule.
    const std::string defaults = DefaultScheduleText(control);
    const Schedule made = ParseSchedule(defaults);
    ZEL_FUZZ_CHECK(made.size() == 3);
    CheckSchedule(made, 3);
    const DefaultMinutes m = ComputeDefaultMinutes(ContractValue(UnitContractFromControl(control)));
    ZEL_FUZZ_CHECK(m.upload >= 0 && m.upload <= 59 && m.download >= 0 && m.download <= 59);
    return 0;
}
