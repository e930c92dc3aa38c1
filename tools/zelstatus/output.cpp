// zelstatus's two renderings of a report: the readable summary for a person
// and the JSON document for scripts.  Times are shown in local time (as the
// schedule is written); the JSON gives seconds since 1970 beside them.
#include <cstdio>
#include <string>

#include "tools/zelstatus/status.h"

namespace zel::status {
namespace {

std::string LocalTime(std::time_t t) {
    std::tm tm{};
    char buf[64];
    if (localtime_r(&t, &tm) == nullptr ||
        std::strftime(buf, sizeof buf, "%a %Y-%m-%d %H:%M", &tm) == 0) {
        return std::to_string(static_cast<long long>(t));
    }
    return buf;
}

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

// ---- JSON -----------------------------------------------------------------------

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// Builds one JSON text: objects and arrays opened and closed in order, the
// commas placed by the writer.
class Json {
  public:
    Json& Open(const char* key, char bracket) {
        Key(key);
        out_ += bracket;
        first_ = true;
        return *this;
    }
    Json& Close(char bracket) {
        out_ += bracket;
        first_ = false;
        return *this;
    }
    Json& Str(const char* key, const std::string& v) { return Raw(key, Quote(v)); }
    Json& Bool(const char* key, bool v) { return Raw(key, v ? "true" : "false"); }
    Json& Num(const char* key, long long v) { return Raw(key, std::to_string(v)); }
    Json& Null(const char* key) { return Raw(key, "null"); }
    // A time as seconds and, under key + "_local", as local time; null
    // for both when absent.
    Json& Time(const char* key, const std::optional<std::time_t>& t) {
        const std::string local = std::string(key) + "_local";
        if (!t) return Null(key).Null(local.c_str());
        return Num(key, *t).Str(local.c_str(), LocalTime(*t));
    }
    Json& Strings(const char* key, const std::vector<std::string>& list) {
        Open(key, '[');
        for (const std::string& s : list) Str(nullptr, s);
        return Close(']');
    }
    std::string Text() const { return out_ + "\n"; }

  private:
    void Key(const char* key) {
        if (!first_) out_ += ',';
        first_ = false;
        if (key != nullptr) out_ += Quote(key) + ":";
    }
    Json& Raw(const char* key, const std::string& v) {
        Key(key);
        out_ += v;
        return *this;
    }
    std::string out_;
    bool first_ = true;
};

}  // namespace

std::string RenderJson(const Report& r) {
    Json j;
    j.Open(nullptr, '{').Num("now", r.now).Str("now_local", LocalTime(r.now)).Str("root", r.root);

    const ScheduleStatus& s = r.schedule;
    j.Open("schedule", '{').Str("file", s.path).Bool("present", s.present);
    j.Bool("from_default", s.from_default);
    if (s.read_error.empty())
        j.Null("read_error");
    else
        j.Str("read_error", s.read_error);
    j.Open("entries", '[');
    for (const EntryStatus& e : s.entries) {
        j.Open(nullptr, '{').Str("name", e.name).Str("command", e.command).Str("line", e.line);
        j.Time("next", e.next).Close('}');
    }
    j.Close(']').Strings("ignored_lines", s.ignored_lines).Open("upcoming", '[');
    for (const UpcomingStart& u : s.upcoming) {
        j.Open(nullptr, '{').Time("when", u.when).Str("name", u.name).Str("command", u.command);
        j.Close('}');
    }
    j.Close(']')
        .Open("pending", '{')
        .Str("file", s.pending_path)
        .Bool("present", s.pending_present);
    j.Strings("lines", s.pending_lines).Close('}').Close('}');

    const ServiceStatus& v = r.service;
    j.Open("service", '{').Bool("running", v.running).Num("pid", v.pid).Str("pid_file", v.pid_file);
    j.Str("unit_file", v.unit_file).Bool("unit_installed", v.unit_installed);
    j.Bool("systemd_booted", v.systemd_booted).Bool("under_systemd", v.under_systemd).Close('}');

    j.Open("jobs", '{').Bool("transfers_enabled", r.jobs.transfers_enabled).Open("list", '[');
    for (const JobStatus& job : r.jobs.jobs) {
        j.Open(nullptr, '{').Str("job", job.job).Str("lock_file", job.lock_file);
        j.Bool("lock_present", job.lock_present).Num("lock_age_seconds", job.lock_age_seconds);
        j.Num("lock_limit_minutes", job.lock_limit_minutes)
            .Bool("lock_past_limit", job.lock_past_limit);
        if (job.outcome_file.empty())
            j.Null("outcome_file");
        else
            j.Str("outcome_file", job.outcome_file);
        j.Bool("outcome_present", job.outcome_present).Time("last_ran", job.last_ran);
        j.Num("successes", job.successes)
            .Num("failures", job.failures)
            .Bool("no_files", job.no_files);
        j.Strings("failure_lines", job.failure_lines).Close('}');
    }
    j.Close(']')
        .Open("logfil", '{')
        .Str("file", r.jobs.logfil)
        .Bool("present", r.jobs.logfil_present);
    j.Strings("tail", r.jobs.logfil_tail)
        .Close('}')
        .Bool("dayend_in_olmar", r.jobs.dayend_in_olmar);
    j.Close('}');

    j.Open("locks", '[');
    for (const LockFileStatus& l : r.locks) {
        j.Open(nullptr, '{')
            .Str("file", l.path)
            .Str("kind", l.kind)
            .Num("age_seconds", l.age_seconds);
        j.Num("limit_minutes", l.limit_minutes).Bool("past_limit", l.past_limit).Close('}');
    }
    j.Close(']').Open("guards", '[');
    for (const GuardEntryStatus& g : r.guards) {
        j.Open(nullptr, '{').Str("file", g.guard_file).Str("text", g.text).Num("pid", g.pid);
        j.Time("written", g.written).Time("skipped_until", g.skipped_until).Close('}');
    }
    j.Close(']');

    const ConnectionStatus& c = r.connection;
    j.Open("connection", '{').Num("access_method", c.access_method);
    j.Num("access_override", c.access_override);
    for (const auto& [key, choice] : {std::pair{"http", &c.http}, std::pair{"https", &c.https}}) {
        j.Open(key, '{').Str("access_type", choice->access_type);
        if (choice->proxy.empty())
            j.Null("proxy");
        else
            j.Str("proxy", choice->proxy);
        j.Close('}');
    }
    if (c.next_secure)
        j.Bool("next_request_https", *c.next_secure);
    else
        j.Null("next_request_https");
    j.Open("directory", '{').Bool("cached", c.directory_cached).Str("poll_address", c.poll_address);
    j.Time("updated", c.directory_updated);
    if (c.directory_updated)
        j.Num("age_seconds", r.now - *c.directory_updated);
    else
        j.Null("age_seconds");
    j.Bool("will_refresh", c.directory_will_refresh).Close('}');
    j.Open("control", '{').Bool("present", c.control_present).Bool("readable", c.control_readable);
    j.Close('}').Open("password", '{').Bool("present", c.password_present);
    j.Bool("readable", c.password_readable).Close('}').Close('}');

    j.Strings("problems", r.problems).Bool("ok", r.problems.empty()).Close('}');
    return j.Text();
}

std::string RenderText(const Report& r) {
    std::string o;
    auto line = [&o](const std::string& text) { o += text + "\n"; };
    line("zelstatus for " + r.root + " at " + LocalTime(r.now));

    const ScheduleStatus& s = r.schedule;
    line("");
    line("Schedule (" + s.path + ")");
    if (!s.present && s.from_default) {
        line(
            "  missing: the service writes this default schedule (from CONTROL) when it next "
            "loads");
    } else if (!s.present) {
        line("  missing, and without a readable CONTROL the service has no default: nothing runs");
    }
    if (!s.read_error.empty()) line("  cannot be read: " + s.read_error);
    if (s.present && s.read_error.empty() && s.entries.empty()) line("  no entries");
    for (const EntryStatus& e : s.entries) {
        std::string next = e.next ? LocalTime(*e.next) + " (in " +
                                        Duration(static_cast<long>(*e.next - r.now)) + ")"
                                  : "not in the coming week";
        line("  " + e.name + " -> " + e.command + ": next " + next);
    }
    for (const std::string& l : s.ignored_lines)
        line("  ignored line (not accepted by the scheduler): " + l);
    if (!s.upcoming.empty()) {
        line("  next starts, in the order the service makes them:");
        for (const UpcomingStart& u : s.upcoming)
            line("    " + LocalTime(u.when) + "  " + u.name + " -> " + u.command);
    }
    if (s.pending_present) {
        line("  pending changes in " + s.pending_path + " (merged within 15 minutes):");
        for (const std::string& l : s.pending_lines) line("    " + l);
    } else {
        line("  no pending changes");
    }
    const ServiceStatus& v = r.service;
    if (v.running) {
        line("  qvzel_cron: running, pid " + std::to_string(v.pid) +
             (v.under_systemd ? ", under systemd" : ", not under systemd"));
    } else {
        line("  qvzel_cron: NOT running");
    }
    line(std::string("  systemd unit ") + v.unit_file + ": " +
         (v.unit_installed ? "installed" : "not installed") +
         (v.systemd_booted ? "" : " (systemd is not the running init)"));

    line("");
    line(std::string("Last runs (transfers ") +
         (r.jobs.transfers_enabled ? "enabled" : "DISABLED") + " in INIT_CTRL)");
    for (const JobStatus& job : r.jobs.jobs) {
        std::string when = job.last_ran
                               ? LocalTime(*job.last_ran) + " (" +
                                     Duration(static_cast<long>(r.now - *job.last_ran)) + " ago)"
                               : "no record";
        line("  " + job.job + ": last ran " + when);
        if (job.lock_present) {
            line("    running now or died: lock " + Duration(job.lock_age_seconds) +
                 " old (limit " + std::to_string(job.lock_limit_minutes) + " minutes)" +
                 (job.lock_past_limit ? " PAST ITS LIMIT" : ""));
        }
        if (!job.outcome_file.empty() && job.outcome_present) {
            std::string counts = std::to_string(job.successes) + " succeeded, " +
                                 std::to_string(job.failures) + " failed";
            if (job.no_files) counts += ", no files were available";
            line("    outcome: " + counts);
            for (const std::string& f : job.failure_lines) line("      " + f);
        }
    }
    if (r.jobs.dayend_in_olmar)
        line("  the business system's day-end is running (FROMCRON exists)");
    if (r.jobs.logfil_present) {
        line("  last lines of " + r.jobs.logfil + ":");
        for (const std::string& l : r.jobs.logfil_tail) line("    " + l);
    } else {
        line("  " + r.jobs.logfil + ": missing");
    }

    line("");
    line("Held locks and guards");
    if (r.locks.empty()) line("  no lock files");
    for (const LockFileStatus& l : r.locks) {
        std::string limit = l.limit_minutes > 0
                                ? "taken over after " + std::to_string(l.limit_minutes) + " minutes"
                                : "never taken over";
        line("  " + l.path + " (" + l.kind + "): " + Duration(l.age_seconds) + " old, " + limit +
             (l.past_limit ? (l.limit_minutes > 0 ? ", PAST ITS LIMIT" : ", LEFT BEHIND") : ""));
    }
    if (r.guards.empty()) line("  no guard entries in force");
    for (const GuardEntryStatus& g : r.guards) {
        line("  skipped until " + LocalTime(g.skipped_until) + ": " + g.text + " (pid " +
             std::to_string(g.pid) + ", " + g.guard_file + ")");
    }

    const ConnectionStatus& c = r.connection;
    line("");
    line("Connection");
    line("  AccessMethod " + std::to_string(c.access_method) + ", AccessOverride " +
         std::to_string(c.access_override));
    for (const auto& [name, choice] : {std::pair{"HTTP", &c.http}, std::pair{"HTTPS", &c.https}}) {
        line(std::string("  ") + name + ": " + choice->access_type +
             (choice->proxy.empty() ? "" : " via " + choice->proxy));
    }
    if (c.next_secure)
        line(std::string("  the next request uses ") + (*c.next_secure ? "HTTPS" : "HTTP"));
    if (c.directory_cached) {
        std::string age = c.directory_updated
                              ? Duration(static_cast<long>(r.now - *c.directory_updated)) + " old"
                              : "age unknown";
        line("  server directory: POLL at " + c.poll_address + ", " + age);
    } else {
        line("  server directory: not cached");
    }
    line(std::string("  the next transfer ") + (c.directory_will_refresh
                                                    ? "refreshes the directory first"
                                                    : "uses the cached directory"));
    auto file = [&](const char* name, bool present, bool readable) {
        line(std::string("  ") + name + ": " +
             (!present   ? "MISSING"
              : readable ? "present, readable"
                         : "present, NOT readable"));
    };
    file("CONTROL", c.control_present, c.control_readable);
    file("IACCESS", c.password_present, c.password_readable);

    line("");
    if (r.problems.empty()) {
        line("Nothing needs attention.");
    } else {
        line("Needs attention:");
        for (const std::string& p : r.problems) line("  " + p);
    }
    return o;
}

}  // namespace zel::status
