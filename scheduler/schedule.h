// Schedule text: parsing "crontab.dat", the default schedule derived from the
// dealer's unit contract, due-entry matching and the merge of pending changes.
//
// Everything here is a pure function of its inputs (texts and a broken-down
// local time), so the scheduler's decisions can be checked against any clock
// without touching files or starting processes.  Results are owned values;
// nothing throws.
#pragma once

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::cron {

inline constexpr std::size_t kMaxLineLength = 511;     // characters, without the line end
inline constexpr std::size_t kMaxNameLength = 63;      // characters
inline constexpr std::size_t kMaxCommandLength = 261;  // characters

// One schedule line in memory.
struct ScheduleEntry {
    std::string name;
    std::array<bool, 60> minutes{};
    std::array<bool, 24> hours{};
    std::array<bool, 7> days{};  // 0 = Sunday
    std::string command;         // the batch file name, e.g. "qvzelup.bat"
};

// Entries in list order: the reverse of the order of the file's lines, as
// each parsed line is put at the head of the list.
using Schedule = std::vector<ScheduleEntry>;

// Splits text into lines.  CR LF, LF, LF CR and a lone CR each end a line; a
// final line without an end is kept; nothing is returned for empty text.
std::vector<std::string> SplitLines(std::string_view text);

// The batch file name for a command field: the part after the last "/" (or,
// with no "/", after the last "\"), with ".bat" appended when that part holds
// no ".".  Empty when the field names no file ("/x/") or the name would
// exceed kMaxCommandLength.
std::string DeriveCommand(std::string_view field);

// Parses one schedule line.  Returns nothing for a line that must not reach
// the flag tables: not exactly five blank-separated fields, a name longer
// than kMaxNameLength, a list item that is not a decimal number in its range
// (minutes 0-59, hours 0-23, days 0-6), an unusable command, or a line longer
// than kMaxLineLength.
std::optional<ScheduleEntry> ParseScheduleLine(std::string_view line);

// Why ParseScheduleLine refuses a line (a short text for the service's
// journal), or empty when it takes it.
std::string RejectReason(std::string_view line);

// Parses a whole schedule text; lines that ParseScheduleLine refuses are
// skipped and the others still form the schedule.  With ignored given, each
// refused line is appended to it as "line N: <reason>" (N counts from 1).
Schedule ParseSchedule(std::string_view text, std::vector<std::string>* ignored = nullptr);

// The unit contract text of a control file: its fourth comma-separated field
// followed by its second (a missing field adds nothing).
std::string UnitContractFromControl(std::string_view control);

// The decimal number at the start of the contract text (read as C reads a
// decimal floating number: reading stops at the first character that cannot
// continue it), times 0.001; 0 when the text starts with no number or the
// number is out of range.
double ContractValue(std::string_view contract);

struct DefaultMinutes {
    int upload = 0;          // 0-59
    int download = 0;        // 0-59
    bool odd_hours = false;  // downloads in the odd hours (value > 0.5)
};
DefaultMinutes ComputeDefaultMinutes(double contract_value);

// The three lines of the default schedule for a control file's text, each
// ending in CR LF.
std::string DefaultScheduleText(std::string_view control);

// The positions in the schedule of the entries due at the given local time
// (tm_wday, tm_hour, tm_min), in list order: the order a tick starts them.
// Nothing for a time outside the tables' ranges.
std::vector<std::size_t> DueEntries(const Schedule& schedule, const std::tm& now);

// The commands of the entries due at the given local time, in list order.
std::vector<std::string> DueCommands(const Schedule& schedule, const std::tm& now);

// One start a tick would make: the local minute (seconds since 1970, a whole
// minute) and the entry's position in the schedule.
struct PlannedStart {
    std::time_t when = 0;
    std::size_t entry = 0;
};

// A dry run of the ticks: every start that the schedule makes in the given
// number of minutes from the minute after `from` on, in the order the
// scheduler makes them (by time, and within one minute in list order).
// Local time as the process's time zone has it, so a minute that a clock
// change skips has no start and a repeated one starts twice, as the service
// would.  minutes is capped at one week (10080).
std::vector<PlannedStart> PlanStarts(const Schedule& schedule, std::time_t from, int minutes);

// What a merge of pending changes does with the schedule file.
struct MergePlan {
    enum class Action {
        kNothing,      // no pending changes, schedule present: keep everything as is
        kReloadOnly,   // neither text: reload (which writes the default schedule)
        kWriteReload,  // write `text` as the schedule file, remove the pending file, reload
    };
    Action action = Action::kNothing;
    std::string text;
};

// Plans the merge.  A missing, unreadable or empty text is passed as an
// empty view.
MergePlan PlanMerge(std::string_view schedule, std::string_view pending);

// The rewritten schedule when both texts exist: each schedule line replaced
// or deleted by the first pending line with its name, then the pending lines
// for new names; every line ends in CR LF.
std::string MergeScheduleText(std::string_view schedule, std::string_view pending);

}  // namespace zel::cron
