// zelstatus's two renderings of a report: the readable summary for a person
// and the JSON document for scripts.  Times are shown in local time with the
// zone (as the schedule is written; the zone tells the two passes of an hour
// apart when the clock goes back); the JSON gives seconds since 1970 beside
// them.  Every text taken from a file is shown safely: the summary escapes
// control bytes and bytes that are not UTF-8, the JSON is always valid.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "scheduler/schedule.h"
#include "tools/zelstatus/status.h"

namespace zel::status {

std::string LocalTime(std::time_t t) {
    std::tm tm{};
    char buf[64];
    if (!sys::LocalTime(t, &tm) ||
        std::strftime(buf, sizeof buf, "%a %Y-%m-%d %H:%M %Z", &tm) == 0) {
        return std::to_string(static_cast<long long>(t));
    }
    return buf;
}

namespace {

std::string Duration(long seconds) {
    const bool negative = seconds < 0;
    if (negative) seconds = -seconds;
    std::string out;
    const long days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60;
    if (days > 0) out += std::to_string(days) + "d ";
    if (days > 0 || hours > 0) out += std::to_string(hours) + "h ";
    if (days == 0) out += std::to_string(minutes) + "m";
    if (!out.empty() && out.back() == ' ') out.pop_back();
    if (days == 0 && hours == 0 && minutes == 0) out = std::to_string(seconds) + "s";
    return negative ? "-" + out : out;
}

std::string Plural(long n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// ---- JSON -----------------------------------------------------------------------

using Json = nlohmann::ordered_json;

Json Str(const std::string& s) {
    return Printable(s, false);
}

Json Strings(const std::vector<std::string>& list) {
    Json a = Json::array();
    for (const std::string& s : list) a.push_back(Str(s));
    return a;
}

// A time as seconds under key and as local time under key + "_local"; null
// for both when absent.
void Time(Json& j, const char* key, const std::optional<std::time_t>& t) {
    const std::string local = std::string(key) + "_local";
    if (!t) {
        j[key] = nullptr;
        j[local] = nullptr;
        return;
    }
    j[key] = static_cast<long long>(*t);
    j[local] = LocalTime(*t);
}

Json OrNull(const std::string& s) {
    return s.empty() ? Json(nullptr) : Str(s);
}

}  // namespace

std::string Printable(const std::string& text, bool escape_controls, std::size_t max) {
    std::string out;
    const std::size_t n = text.size() < max ? text.size() : max;
    auto escape = [&out](unsigned char c) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        out += buf;
    };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (escape_controls && (c < 0x20 || c == 0x7f))
                escape(c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, or 0: no
        // overlong forms, no surrogates, nothing above U+10FFFF.
        std::size_t len = 0;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        }
        bool ok = len > 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            ok = k == 1 ? (d >= lo && d <= hi) : (d >= 0x80 && d <= 0xBF);
        }
        // C1 control characters (U+0080..U+009F) steer some terminals too.
        const bool c1 = ok && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (!ok || (escape_controls && c1)) {
            for (std::size_t k = 0; k < (ok ? len : 1); ++k)
                escape(static_cast<unsigned char>(text[i + k]));
            i += ok ? len : 1;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    if (n < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

namespace {

Json ScheduleJson(const ScheduleStatus& s) {
    Json js = Json::object();
    js["file"] = Str(s.path);
    js["present"] = s.present;
    js["from_default"] = s.from_default;
    js["read_error"] = OrNull(s.read_error);
    js["size"] = s.size;
    js["only_zero_bytes"] = s.only_zero_bytes;
    Time(js, "written", s.written);
    js["entries"] = Json::array();
    for (const EntryStatus& e : s.entries) {
        Json x = {{"name", Str(e.name)}, {"command", Str(e.command)}, {"line", Str(e.line)}};
        Time(x, "next", e.next);
        js["entries"].push_back(std::move(x));
    }
    js["ignored_lines"] = Strings(s.ignored_lines);
    js["ignored_line_numbers"] = s.ignored_line_numbers;
    js["upcoming"] = Json::array();
    for (const UpcomingStart& u : s.upcoming) {
        Json x = Json::object();
        Time(x, "when", u.when);
        x["name"] = Str(u.name);
        x["command"] = Str(u.command);
        js["upcoming"].push_back(std::move(x));
    }
    Time(js, "last_download_due", s.last_download_due);
    js["pending"] = {{"file", Str(s.pending_path)},
                     {"present", s.pending_present},
                     {"lines", Strings(s.pending_lines)}};
    return js;
}

Json ServiceJson(const ServiceStatus& v) {
    Json js = {
        {"running", v.running},
        {"pid", v.pid},
        {"pid_file", Str(v.pid_file)},
        {"unit_file", Str(v.unit_file)},
        {"unit_installed", v.unit_installed},
        {"systemd_booted", v.systemd_booted},
        {"under_systemd", v.under_systemd},
        {"loaded_at", v.loaded_known ? Json(static_cast<long long>(v.loaded_at)) : Json(nullptr)},
        {"loaded_source", v.loaded_known ? Str(v.loaded_source) : Json(nullptr)},
        {"loaded_lines", v.loaded_known ? Strings(cron::SplitLines(v.loaded_text)) : Json(nullptr)},
        {"olmar_dir", Str(v.olmar_dir)},
        {"olmar_set", v.olmar_set},
        {"olmar_dir_exists", v.olmar_dir_exists}};
    // Only where the manager tells a state (Windows).
    if (!v.manager_state.empty()) js["manager_state"] = v.manager_state;
    return js;
}

Json JobsJson(const JobsStatus& jobs) {
    Json jj = Json::object();
    jj["transfers_enabled"] = jobs.transfers_enabled;
    jj["init_ctrl"] = Str(jobs.init_ctrl);
    jj["list"] = Json::array();
    for (const JobStatus& job : jobs.jobs) {
        Json x = {{"job", Str(job.job)},
                  {"lock_file", Str(job.lock_file)},
                  {"lock_present", job.lock_present},
                  {"lock_age_seconds", job.lock_age_seconds},
                  {"lock_limit_minutes", job.lock_limit_minutes},
                  {"lock_past_limit", job.lock_past_limit},
                  {"in_progress", job.in_progress},
                  {"outcome_file", OrNull(job.outcome_file)},
                  {"outcome_present", job.outcome_present}};
        Time(x, "last_ran", job.last_ran);
        x["successes"] = job.successes;
        x["failures"] = job.failures;
        x["no_files"] = job.no_files;
        x["failure_lines"] = Strings(job.failure_lines);
        x["cause"] = OrNull(job.cause);
        jj["list"].push_back(std::move(x));
    }
    jj["component_log"] = Str(jobs.component_log);
    jj["logfil"] = {{"file", Str(jobs.logfil)},
                    {"present", jobs.logfil_present},
                    {"tail", Strings(jobs.logfil_tail)}};
    jj["dayend_in_olmar"] = jobs.dayend_in_olmar;
    return jj;
}

Json LocksJson(const std::vector<LockFileStatus>& locks) {
    Json a = Json::array();
    for (const LockFileStatus& l : locks) {
        a.push_back({{"file", Str(l.path)},
                     {"kind", Str(l.kind)},
                     {"age_seconds", l.age_seconds},
                     {"limit_minutes", l.limit_minutes},
                     {"past_limit", l.past_limit}});
    }
    return a;
}

Json GuardsJson(const std::vector<GuardEntryStatus>& guards) {
    Json a = Json::array();
    for (const GuardEntryStatus& g : guards) {
        Json x = {{"file", Str(g.guard_file)}, {"text", Str(g.text)}, {"pid", g.pid}};
        Time(x, "written", g.written);
        Time(x, "skipped_until", g.skipped_until);
        a.push_back(std::move(x));
    }
    return a;
}

Json ConnectionJson(const ConnectionStatus& c, std::time_t now) {
    Json jc = Json::object();
    jc["store_file"] = Str(c.store_file);
    jc["store_readable"] = c.store_readable;
    // Unknown values are null, never the defaults a first run would use.
    const bool known = c.store_readable;
    jc["access_method"] = known ? Json(c.access_method) : Json(nullptr);
    jc["access_override"] = known ? Json(c.access_override) : Json(nullptr);
    for (const auto& [key, choice] : {std::pair{"http", &c.http}, std::pair{"https", &c.https}}) {
        jc[key] = {{"access_type", known ? Str(choice->access_type) : Json(nullptr)},
                   {"proxy", OrNull(choice->proxy)}};
    }
    jc["next_request_https"] = c.next_secure ? Json(*c.next_secure) : Json(nullptr);
    Json& jd = jc["directory"];
    jd["cached"] = known ? Json(c.directory_cached) : Json(nullptr);
    jd["poll_address"] = Str(c.poll_address);
    jd["port"] = c.poll_port > 0 ? Json(c.poll_port) : Json(nullptr);
    jd["secure_port"] = c.poll_secure_port > 0 ? Json(c.poll_secure_port) : Json(nullptr);
    Time(jd, "updated", c.directory_updated);
    jd["age_seconds"] = c.directory_updated
                            ? Json(static_cast<long long>(now - *c.directory_updated))
                            : Json(nullptr);
    jd["will_refresh"] = c.directory_will_refresh;
    jc["control"] = {{"present", c.control_present}, {"readable", c.control_readable}};
    jc["password"] = {{"present", c.password_present},
                      {"readable", c.password_readable},
                      {"owner_uid", c.password_present ? Json(c.password_uid) : Json(nullptr)},
                      {"mode", c.password_present ? Json(c.password_mode) : Json(nullptr)},
                      {"judged_as_root", c.judged_as_root}};
    return jc;
}

}  // namespace

std::string RenderJson(const Report& r) {
    Json j = Json::object();
    Time(j, "now", r.now);
    j["root"] = Str(r.root);
    j["schedule"] = ScheduleJson(r.schedule);
    j["service"] = ServiceJson(r.service);
    j["jobs"] = JobsJson(r.jobs);
    j["locks"] = LocksJson(r.locks);
    j["guards"] = GuardsJson(r.guards);
    j["connection"] = ConnectionJson(r.connection, r.now);
    j["problems"] = Strings(r.problems);
    j["ok"] = r.problems.empty();
    // Every string went through Printable, so the strict default cannot
    // fail; replacing keeps the output valid JSON even if one slipped by.
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {

// The summary being written.  Every line is escaped whole: what comes from
// files is shown with its control bytes and non-UTF-8 bytes as \xHH, so a
// zero byte or an escape sequence can neither cut the report nor steer the
// terminal.
class TextOut {
  public:
    void line(const std::string& text) { o_ += Printable(text, true) + "\n"; }
    std::string take() { return std::move(o_); }

  private:
    std::string o_;
};

// Lines of files, which may be anything: cut to a screen's width.
std::string Shown(const std::string& text) {
    return Printable(text, true, 120);
}

void ScheduleText(TextOut& out, const ScheduleStatus& s, std::time_t now) {
    out.line("");
    out.line("Schedule (" + s.path + ")");
    if (!s.present && s.from_default) {
        out.line(
            "  missing: the service writes this default schedule (from CONTROL) when it next "
            "loads");
    } else if (!s.present) {
        out.line(
            "  missing, and without a readable CONTROL the service has no default: nothing runs");
    }
    if (!s.read_error.empty()) out.line("  cannot be read: " + s.read_error);
    if (s.present && s.read_error.empty() && s.size == 0) out.line("  empty");
    if (s.only_zero_bytes) out.line("  holds only zero bytes (" + Plural(s.size, "byte") + ")");
    if (s.present && s.read_error.empty() && s.entries.empty()) out.line("  no entries");
    for (const EntryStatus& e : s.entries) {
        std::string next =
            e.next ? LocalTime(*e.next) + " (in " + Duration(static_cast<long>(*e.next - now)) + ")"
                   : "not in the coming week";
        out.line("  " + e.name + " -> " + e.command + ": next " + next);
    }
    for (std::size_t i = 0; i < s.ignored_lines.size(); ++i) {
        out.line("  ignored line " + std::to_string(s.ignored_line_numbers[i]) +
                 " (not accepted by the scheduler): " + Shown(s.ignored_lines[i]));
    }
    if (!s.upcoming.empty()) {
        out.line("  next starts, in the order the service makes them:");
        for (const UpcomingStart& u : s.upcoming)
            out.line("    " + LocalTime(u.when) + "  " + u.name + " -> " + u.command);
    }
    if (s.pending_present) {
        out.line("  pending changes in " + s.pending_path + " (merged within 15 minutes):");
        for (const std::string& l : s.pending_lines) out.line("    " + Shown(l));
    } else {
        out.line("  no pending changes");
    }
}

// The service's lines, which close the schedule's section: whether it runs,
// what it loaded, its unit and the business system's directory.
void ServiceText(TextOut& out, const ServiceStatus& v, const ScheduleStatus& s,
                 bool store_readable) {
    if (v.running) {
        out.line("  qvzel_cron: running, pid " + std::to_string(v.pid) +
                 (v.under_systemd ? svc::kManagerWords.managed : svc::kManagerWords.unmanaged));
    } else {
        out.line("  qvzel_cron: NOT running");
    }
    if (v.running && v.loaded_known) {
        std::string from = v.loaded_source == "none"      ? "nothing (no schedule could be read)"
                           : v.loaded_source == "default" ? "the default schedule made from CONTROL"
                                                          : v.loaded_source;
        const bool same = s.present && s.read_error.empty() && s.text == v.loaded_text;
        out.line("  the service loaded " + from + " at " + LocalTime(v.loaded_at) +
                 (same ? ", as the file is now" : ""));
        if (!same && !v.loaded_text.empty()) {
            out.line("  it runs these lines, not the file as it is now:");
            for (const std::string& l : cron::SplitLines(v.loaded_text)) {
                if (!l.empty()) out.line("    " + Shown(l));
            }
        }
    } else if (v.running) {
        out.line("  what the service loaded is not known (it wrote no record of its load)");
    }
    out.line(std::string("  ") + svc::kManagerWords.installed_as + v.unit_file + ": " +
             (v.unit_installed ? "installed" : "not installed") +
             (v.manager_state.empty() ? "" : ", " + v.manager_state) +
             (v.systemd_booted ? "" : svc::kManagerWords.absent));
    if (!store_readable) {
        out.line("  Olmar directory: unknown (the registry store cannot be read)");
    } else {
        out.line("  Olmar directory (OLMAR_EXE): " +
                 (v.olmar_set ? v.olmar_dir
                  : v.olmar_dir.empty()
                      ? std::string("NOT SET")
                      : v.olmar_dir + " (not set yet: the service sets this default "
                                      "at its first start, which starts nothing)") +
                 (v.olmar_dir.empty() || v.olmar_dir_exists ? "" : ", DOES NOT EXIST"));
    }
}

void JobText(TextOut& out, const JobStatus& job, const std::string& component_log,
             std::time_t now) {
    std::string when = job.last_ran ? LocalTime(*job.last_ran) + " (" +
                                          Duration(static_cast<long>(now - *job.last_ran)) + " ago)"
                                    : "no record of a run";
    out.line("  " + job.job + ": last ran: " + when);
    if (job.lock_present) {
        out.line(std::string(job.in_progress ? "    in progress" : "    died or hangs") +
                 ": lock " + Duration(job.lock_age_seconds) + " old (limit " +
                 Plural(job.lock_limit_minutes, "minute") + ")" +
                 (job.lock_past_limit ? " PAST ITS LIMIT" : ""));
    }
    if (!job.outcome_file.empty() && job.outcome_present) {
        std::string counts = std::to_string(job.successes) + " succeeded, " +
                             std::to_string(job.failures) + " failed";
        if (job.no_files) counts += ", no files were available";
        out.line(std::string(job.in_progress ? "    outcome so far: " : "    outcome: ") + counts);
        for (const std::string& f : job.failure_lines) out.line("      " + Shown(f));
    }
    if (!job.cause.empty())
        out.line("    cause (" + component_log + "): " + Printable(job.cause, true, 600));
}

void JobsText(TextOut& out, const JobsStatus& jobs, std::time_t now) {
    out.line("");
    out.line(std::string("Last runs (transfers ") +
             (jobs.transfers_enabled ? "enabled" : "DISABLED") + " in INIT_CTRL)");
    for (const JobStatus& job : jobs.jobs) JobText(out, job, jobs.component_log, now);
    if (jobs.dayend_in_olmar)
        out.line("  the business system's day-end is running (FROMCRON exists)");
    if (jobs.logfil_present) {
        out.line("  last lines of " + jobs.logfil + ":" +
                 (jobs.logfil_tail.empty() ? " none" : ""));
        for (const std::string& l : jobs.logfil_tail) out.line("    " + Shown(l));
    } else {
        out.line("  " + jobs.logfil + ": missing");
    }
}

void LocksText(TextOut& out, const std::vector<LockFileStatus>& locks,
               const std::vector<GuardEntryStatus>& guards) {
    out.line("");
    out.line("Held locks and guards");
    if (locks.empty()) out.line("  no lock files");
    for (const LockFileStatus& l : locks) {
        std::string limit = l.limit_minutes > 0
                                ? "taken over after " + Plural(l.limit_minutes, "minute")
                                : "never taken over";
        out.line(
            "  " + l.path + " (" + l.kind + "): " + Duration(l.age_seconds) + " old, " + limit +
            (l.past_limit ? (l.limit_minutes > 0 ? ", PAST ITS LIMIT" : ", LEFT BEHIND") : ""));
    }
    if (guards.empty()) out.line("  no guard entries in force");
    for (const GuardEntryStatus& g : guards) {
        out.line("  skipped until " + LocalTime(g.skipped_until) + ": " + Shown(g.text) + " (pid " +
                 std::to_string(g.pid) + ", " + g.guard_file + ")");
    }
}

// The access method, the proxies and the cached server directory.
void AccessText(TextOut& out, const ConnectionStatus& c, std::time_t now) {
    if (!c.store_readable) {
        out.line("  the registry store " + c.store_file +
                 " CANNOT BE READ: access method, proxy and server directory are unknown");
    } else {
        out.line("  AccessMethod " + std::to_string(c.access_method) + ", AccessOverride " +
                 std::to_string(c.access_override));
    }
    for (const auto& [name, choice] : {std::pair{"HTTP", &c.http}, std::pair{"HTTPS", &c.https}}) {
        if (!c.store_readable) break;
        out.line(std::string("  ") + name + ": " + choice->access_type +
                 (choice->proxy.empty() ? "" : " via " + choice->proxy));
    }
    if (c.next_secure)
        out.line(std::string("  the next request uses ") + (*c.next_secure ? "HTTPS" : "HTTP"));
    if (c.directory_cached) {
        std::string age = c.directory_updated
                              ? Duration(static_cast<long>(now - *c.directory_updated)) + " old"
                              : "age unknown";
        std::string ports;
        if (c.poll_port > 0) ports += ", port " + std::to_string(c.poll_port);
        if (c.poll_secure_port > 0) ports += ", secure port " + std::to_string(c.poll_secure_port);
        out.line("  server directory: POLL at " + c.poll_address + ports + ", " + age);
    } else if (c.store_readable) {
        out.line("  server directory: not cached");
    }
    if (c.store_readable) {
        out.line(std::string("  the next transfer ") + (c.directory_will_refresh
                                                            ? "refreshes the directory first"
                                                            : "uses the cached directory"));
    }
}

void ConnectionText(TextOut& out, const ConnectionStatus& c, std::time_t now) {
    out.line("");
    out.line("Connection");
    AccessText(out, c, now);
    auto file = [&](const char* name, bool present, bool readable) {
        out.line(std::string("  ") + name + ": " +
                 (!present   ? "MISSING"
                  : readable ? "present, readable"
                             : "present, NOT readable"));
    };
    file("CONTROL", c.control_present, c.control_readable);
    file("IACCESS", c.password_present, c.password_readable);
    if (c.password_present && !c.judged_as_root && !fs::OwnerAndModeTell()) {
        out.line("    (judged by its kind: who may read it cannot be known here)");
    } else if (c.password_present && !c.judged_as_root) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", c.password_mode);
        out.line("    (not run as root: judged by its kind; owner uid " +
                 std::to_string(c.password_uid) + ", mode " + mode + ")");
    }
}

}  // namespace

std::string RenderText(const Report& r) {
    TextOut out;
    out.line("zelstatus for " + r.root + " at " + LocalTime(r.now));
    ScheduleText(out, r.schedule, r.now);
    ServiceText(out, r.service, r.schedule, r.connection.store_readable);
    JobsText(out, r.jobs, r.now);
    LocksText(out, r.locks, r.guards);
    ConnectionText(out, r.connection, r.now);
    out.line("");
    if (r.problems.empty()) {
        out.line("Nothing needs attention.");
    } else {
        out.line("Needs attention:");
        for (const std::string& p : r.problems) out.line("  " + p);
    }
    return out.take();
}

}  // namespace zel::status
