// zelstatus: what the transfer system did and will do, on one screen, for
// support staff over SSH and for monitoring scripts.
//
// It only reads: files are opened for reading, lock files are looked at and
// never made, no lock of any kind is taken, and the registry store is read
// in read-only mode, so it can run at any time, also while jobs run.
//   zelstatus            readable summary
//   zelstatus --json     the same as one JSON document
//   zelstatus --check    exit 1 and name the reasons when something needs a
//                        person, else exit 0 (combines with --json)
//   --from "YYYY-MM-DD HH:MM"  plan the schedule's starts from that local
//                        time instead of from now (everything else is now)
// Exit status 2 for a bad command line.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/version.h"
#include "tools/zelstatus/status.h"

namespace {

constexpr const char* kUsage =
    "usage: zelstatus [--json] [--check] [--from 'YYYY-MM-DD HH:MM']\n"
    "Shows the schedule and its next starts, the last runs of the upload,\n"
    "download and day-end jobs, held locks and guard entries, and the\n"
    "connection settings of the system below $QVIS_ROOT.  Writes nothing.\n"
    "  --json    print one JSON document instead of the summary\n"
    "  --check   exit 1, naming the reasons, when something needs a person\n"
    "  --from T  plan the schedule's next starts from local time T, not now\n";

// "YYYY-MM-DD HH:MM" in local time; false for anything else.
bool ParseLocalTime(const char* text, std::time_t* out) {
    std::tm tm{};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    char end = 0;
    if (std::sscanf(text, "%4d-%2d-%2d %2d:%2d%c", &year, &month, &day, &hour, &minute, &end) !=
            5 ||
        month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || hour < 0 ||
        minute < 0) {
        return false;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) || tm.tm_mday != day) return false;
    *out = t;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    bool json = false, check = false;
    std::time_t from = 0;
    bool have_from = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--from") == 0 && i + 1 < argc) {
            if (!ParseLocalTime(argv[++i], &from)) {
                std::fprintf(stderr, "zelstatus: --from wants 'YYYY-MM-DD HH:MM', not '%s'\n",
                             argv[i]);
                return 2;
            }
            have_from = true;
        } else if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zelstatus %s\n", zel::kVersion);
            return 0;
        } else {
            std::fprintf(stderr, "zelstatus: bad argument '%s'\n%s", argv[i], kUsage);
            return 2;
        }
    }
    // Before anything can touch the store: nothing here may create or
    // change it.
    zel::reg::UseReadOnlyStore();

    namespace st = zel::status;
    st::Report report;
    report.now = std::time(nullptr);
    report.root = zel::paths::Root();
    report.schedule = st::GatherSchedule(have_from ? from : report.now);
    report.service = st::GatherService();
    report.jobs = st::GatherJobs(report.now);
    report.locks = st::GatherLocks(report.now);
    report.guards = st::GatherGuards(report.now);
    report.connection = st::GatherConnection(report.now);
    report.problems = st::FindProblems(report);

    const std::string text = json ? st::RenderJson(report) : st::RenderText(report);
    std::fputs(text.c_str(), stdout);
    if (check && !report.problems.empty()) {
        for (const std::string& p : report.problems)
            std::fprintf(stderr, "zelstatus: %s\n", p.c_str());
        return 1;
    }
    return 0;
}
