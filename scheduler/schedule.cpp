// Schedule text: parsing, the default schedule, due-entry matching and the
// merge of pending changes.  Pure functions; see schedule.h.
#include "scheduler/schedule.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/fs.h"
#include "platform/system.h"

namespace zel::cron {
namespace {

// Blank-separated fields; runs of blanks count as one separator, so a stray
// double blank does not cost the dealer an entry.
std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i == line.size()) break;
        std::size_t end = line.find(' ', i);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(i, end - i));
        i = end;
    }
    return fields;
}

// Sets the flag of every number of a comma-separated list.  The whole list is
// refused when one item is not a plain decimal number below `count`: a line
// with a bad item is dropped rather than half applied.
template <std::size_t N>
bool ParseList(std::string_view list, std::array<bool, N>* flags) {
    std::array<bool, N> out{};
    std::size_t i = 0;
    while (true) {
        std::size_t end = list.find(',', i);
        if (end == std::string_view::npos) end = list.size();
        std::string_view item = list.substr(i, end - i);
        if (item.empty()) return false;
        // Digits only (from_chars takes no sign for an unsigned number); a
        // run too long for the type is out of range, not wrapped.
        std::size_t value = 0;
        const char* last = item.data() + item.size();
        const auto [stop, ec] = std::from_chars(item.data(), last, value);
        if (ec != std::errc() || stop != last || value >= N) return false;
        out[value] = true;
        if (end == list.size()) break;
        i = end + 1;
    }
    *flags = out;
    return true;
}

// The first comma-separated field with the given 1-based index, or empty.
std::string_view Field(std::string_view text, int index) {
    std::size_t start = 0;
    for (int n = 1; n < index; ++n) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) return {};
        start = comma + 1;
    }
    std::size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    return text.substr(start, end - start);
}

// The name of a line as the merge sees it: the text before the first blank.
std::string_view MergeName(std::string_view line) {
    std::size_t blank = line.find(' ');
    return blank == std::string_view::npos ? line : line.substr(0, blank);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

constexpr std::string_view kRemove = " remove";

}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
    // The schedule's line ends are CR and LF only: a zero byte is text.
    std::vector<std::string> lines;
    for (std::string_view line : fs::SplitLines(text, fs::LineEnds::kCrOrLf))
        lines.emplace_back(line);
    return lines;
}

std::string DeriveCommand(std::string_view field) {
    std::size_t cut = field.rfind('/');
    if (cut == std::string_view::npos) cut = field.rfind('\\');
    std::string name(cut == std::string_view::npos ? field : field.substr(cut + 1));
    if (name.empty()) return {};
    if (name.find('.') == std::string::npos) name += ".bat";
    if (name.size() > kMaxCommandLength) return {};
    return name;
}

namespace {

// Parses a line into *entry; returns why it is refused, or nullptr.
const char* ParseInto(std::string_view line, ScheduleEntry* entry) {
    if (line.size() > kMaxLineLength) return "longer than 511 characters";
    std::vector<std::string_view> fields = SplitFields(line);
    if (fields.size() != 5) return "not five fields (name minutes hours days command)";
    if (fields[0].size() > kMaxNameLength) return "name longer than 63 characters";
    entry->name = std::string(fields[0]);
    if (!ParseList(fields[1], &entry->minutes)) return "minutes not numbers 0-59";
    if (!ParseList(fields[2], &entry->hours)) return "hours not numbers 0-23";
    if (!ParseList(fields[3], &entry->days)) return "days not numbers 0-6";
    entry->command = DeriveCommand(fields[4]);
    if (entry->command.empty()) return "command names no batch file";
    return nullptr;
}

}  // namespace

std::optional<ScheduleEntry> ParseScheduleLine(std::string_view line) {
    ScheduleEntry entry;
    if (ParseInto(line, &entry) != nullptr) return std::nullopt;
    return entry;
}

std::string RejectReason(std::string_view line) {
    ScheduleEntry entry;
    const char* reason = ParseInto(line, &entry);
    return reason != nullptr ? reason : "";
}

Schedule ParseSchedule(std::string_view text, std::vector<std::string>* ignored) {
    std::vector<std::string> lines = SplitLines(text);
    Schedule schedule;
    // Each line goes to the head of the list: the last line comes first.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        ScheduleEntry entry;
        if (const char* reason = ParseInto(*it, &entry); reason == nullptr) {
            schedule.push_back(std::move(entry));
        } else if (ignored != nullptr) {
            const auto number = static_cast<std::size_t>(lines.rend() - it);
            ignored->insert(ignored->begin(), "line " + std::to_string(number) + ": " + reason);
        }
    }
    return schedule;
}

std::string UnitContractFromControl(std::string_view control) {
    std::string contract(Field(control, 4));
    contract += Field(control, 2);
    return contract;
}

double ContractValue(std::string_view contract) {
    // A decimal number as C reads one: leading white space, an optional
    // sign, digits with an optional fraction, then an exponent when "e" or
    // "E" is followed by digits (a dealer code such as "12E4" reads as
    // 120000, the same minutes every other installation derives from it).
    // Hexadecimal, "inf" and "nan" are not decimal numbers and read as 0.
    auto is_digit = [&](std::size_t at) {
        return at < contract.size() && contract[at] >= '0' && contract[at] <= '9';
    };
    std::size_t i = 0;
    while (i < contract.size() &&
           (contract[i] == ' ' || (contract[i] >= '\t' && contract[i] <= '\r')))
        ++i;
    std::size_t start = i;
    if (i < contract.size() && (contract[i] == '+' || contract[i] == '-')) ++i;
    std::size_t digits = 0;
    for (; is_digit(i); ++i) ++digits;
    if (i < contract.size() && contract[i] == '.') {
        for (++i; is_digit(i); ++i) ++digits;
    }
    if (digits == 0) return 0.0;
    if (i < contract.size() && (contract[i] == 'e' || contract[i] == 'E')) {
        std::size_t exp = i + 1;
        if (exp < contract.size() && (contract[exp] == '+' || contract[exp] == '-')) ++exp;
        if (is_digit(exp)) {
            i = exp;
            while (is_digit(i)) ++i;
        }
    }
    std::string number(contract.substr(start, i - start));
    double value = std::strtod(number.c_str(), nullptr);
    // An exponent too large for a double: no minute can come of it.
    if (!std::isfinite(value)) return 0.0;
    return value * 0.001;
}

DefaultMinutes ComputeDefaultMinutes(double contract_value) {
    // Truncate, then take the remainder as the C "%" would, but always into
    // 0-59: a negative contract must not produce a minute no line can hold.
    auto minute = [](double product) {
        double m = std::fmod(std::trunc(product), 60.0);
        if (!std::isfinite(m)) return 0;
        int result = static_cast<int>(m);
        return result < 0 ? result + 60 : result;
    };
    DefaultMinutes out;
    out.upload = minute(contract_value * 60);
    out.download = minute(contract_value * 120);
    out.odd_hours = contract_value > 0.5;
    return out;
}

std::string DefaultScheduleText(std::string_view control) {
    DefaultMinutes m = ComputeDefaultMinutes(ContractValue(UnitContractFromControl(control)));
    char line[256];
    std::string text;
    std::snprintf(line, sizeof line,
                  "qvzel_up %d 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23 "
                  "1,2,3,4,5,6 /usr/bin/cron/qvzelup\r\n",
                  m.upload);
    text += line;
    if (m.odd_hours) {
        std::snprintf(line, sizeof line,
                      "qvzel_down %d 1,3,5,7,9,11,13,15,17,19,21,23 1,2,3,4,5,6 "
                      "/usr/bin/cron/qvzeldown\r\n",
                      m.download);
    } else {
        std::snprintf(line, sizeof line,
                      "qvzel_down %d 0,2,4,6,8,10,12,14,16,18,20,22 1,2,3,4,5,6 "
                      "/usr/bin/cron/qvzeldown\r\n",
                      m.download);
    }
    text += line;
    text += "qvzel_proc 0 3 2,3,4,5,6 /usr/bin/cron/qvzelproc\r\n";
    return text;
}

std::vector<std::size_t> DueEntries(const Schedule& schedule, const std::tm& now) {
    std::vector<std::size_t> due;
    if (now.tm_wday < 0 || now.tm_wday > 6 || now.tm_hour < 0 || now.tm_hour > 23 ||
        now.tm_min < 0 || now.tm_min > 59) {
        return due;
    }
    for (std::size_t i = 0; i < schedule.size(); ++i) {
        const ScheduleEntry& e = schedule[i];
        if (e.days[now.tm_wday] && e.hours[now.tm_hour] && e.minutes[now.tm_min]) {
            due.push_back(i);
        }
    }
    return due;
}

std::vector<std::string> DueCommands(const Schedule& schedule, const std::tm& now) {
    std::vector<std::string> due;
    for (std::size_t i : DueEntries(schedule, now)) due.push_back(schedule[i].command);
    return due;
}

std::vector<PlannedStart> PlanStarts(const Schedule& schedule, std::time_t from, int minutes) {
    constexpr int kWeek = 7 * 24 * 60;
    std::vector<PlannedStart> starts;
    if (minutes <= 0 || schedule.empty()) return starts;
    if (minutes > kWeek) minutes = kWeek;
    // Whole minutes of the epoch are whole local minutes in every time zone
    // in use today, so stepping by 60 seconds visits each local minute once.
    std::time_t minute = from - (from % 60 + 60) % 60;
    for (int i = 0; i < minutes; ++i) {
        minute += 60;
        std::tm local{};
        if (!sys::LocalTime(minute, &local)) continue;
        for (std::size_t entry : DueEntries(schedule, local)) starts.push_back({minute, entry});
    }
    return starts;
}

MergePlan PlanMerge(std::string_view schedule, std::string_view pending) {
    MergePlan plan;
    if (pending.empty()) {
        plan.action =
            schedule.empty() ? MergePlan::Action::kReloadOnly : MergePlan::Action::kNothing;
        return plan;
    }
    plan.action = MergePlan::Action::kWriteReload;
    plan.text = schedule.empty() ? std::string(pending) : MergeScheduleText(schedule, pending);
    return plan;
}

std::string MergeScheduleText(std::string_view schedule, std::string_view pending) {
    std::vector<std::string> old_lines = SplitLines(schedule);
    std::vector<std::string> new_lines = SplitLines(pending);
    std::string out;
    auto emit = [&out](std::string_view line) {
        out += line;
        out += "\r\n";
    };
    // Blank lines carry no entry and would only pile up in the file.
    for (const std::string& line : old_lines) {
        if (line.empty()) continue;
        std::string key = std::string(MergeName(line)) + " ";
        const std::string* replacement = nullptr;
        for (const std::string& p : new_lines) {
            if (StartsWith(p, key)) {
                replacement = &p;
                break;
            }
        }
        if (replacement == nullptr) {
            emit(line);
        } else if (replacement->find(kRemove) == std::string::npos) {
            emit(*replacement);
        }
    }
    for (const std::string& p : new_lines) {
        if (p.empty()) continue;
        std::string key = std::string(MergeName(p)) + " ";
        bool known = false;
        for (const std::string& line : old_lines) {
            if (StartsWith(line, key)) {
                known = true;
                break;
            }
        }
        if (!known && p.find(kRemove) == std::string::npos) emit(p);
    }
    return out;
}

}  // namespace zel::cron
