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
//   --now "YYYY-MM-DD HH:MM"   judge everything as at that local time (file
//                        ages, locks, due downloads, and the plan unless
//                        --from is given): for looking back, and for tests
// Exit status 2 for a bad command line.
#include <getopt.h>

#include <clocale>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/version.h"
#include "tools/zelstatus/status.h"

namespace {

constexpr const char* kUsage =
    "usage: zelstatus [--json] [--check] [--from 'YYYY-MM-DD HH:MM'] [--now 'YYYY-MM-DD HH:MM']\n"
    "Shows the schedule and its next starts, the last runs of the upload,\n"
    "download and day-end jobs, held locks and guard entries, and the\n"
    "connection settings of the system below $QVIS_ROOT.  Writes nothing.\n"
    "  --json    print one JSON document instead of the summary\n"
    "  --check   exit 1, naming the reasons on standard error, when something\n"
    "            needs a person\n"
    "  --from T  plan the schedule's next starts from local time T, not now\n"
    "  --now T   judge everything as at local time T (file ages, locks, due runs)\n"
    "Texts from files are shown with control bytes and bytes that are not\n"
    "UTF-8 as \\xHH; the JSON shows bytes that are not UTF-8 the same way.\n"
    "\n"
    "What needs a person (each is one line under \"Needs attention\" that says\n"
    "what to do):\n"
    "  - a job lock older than its limit, or a guard or upload-file lock\n"
    "    older than 60 minutes (log locks heal themselves and are not named)\n"
    "  - crontab.dat missing (the service replaces it with the default from\n"
    "    CONTROL, or, without a readable CONTROL, runs nothing); crontab.dat\n"
    "    that cannot be read (a directory, a FIFO, no permission), is empty,\n"
    "    holds only zero bytes, or has no line the scheduler accepts: nothing\n"
    "    runs\n"
    "  - lines of crontab.dat that the scheduler does not accept\n"
    "  - the schedule service qvzel_cron not running\n"
    "  - crontab.dat changed since the running service loaded it (it runs what\n"
    "    it loaded until a restart or a merge of qvzel_cronin)\n"
    "  - OLMAR_EXE set empty, or the Olmar directory missing: the service\n"
    "    then starts no job and says nothing\n"
    "  - transfers disabled in INIT_CTRL (no QVZEL=Y)\n"
    "  - the last upload run had failures, or failed outright\n"
    "  - downloads: judged by the last finished run against the last start\n"
    "    the schedule made due (more than 5 minutes ago, within a week, and\n"
    "    after crontab.dat was last written): the due run has not run, or the\n"
    "    run failed for every file or outright (the cause is taken from the\n"
    "    component's log COMM/qvzel.log).  A run that holds its lock is in\n"
    "    progress and not judged; a schedule that made nothing due, as on a\n"
    "    Sunday with the default schedule, is no fault.\n"
    "  - the registry store exists but cannot be read (the connection\n"
    "    settings are then shown as unknown)\n"
    "  - CONTROL or IACCESS missing, or not readable by the jobs (as root the\n"
    "    file is opened; otherwise any regular file counts as readable, since\n"
    "    the jobs run as root, and its owner and mode are shown)\n"
    "\n"
    "Exit status: 0 shown (with --check: nothing needs a person); 1 with\n"
    "--check when something needs a person; 2 for a bad command line.\n";

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
    std::time_t from = 0, now = 0;
    bool have_from = false, have_now = false;
    static const option kOptions[] = {{"json", no_argument, nullptr, 'j'},
                                      {"check", no_argument, nullptr, 'c'},
                                      {"from", required_argument, nullptr, 'f'},
                                      {"now", required_argument, nullptr, 'n'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;  // the messages below name the argument as it was given
    for (int at = optind, c; (c = getopt_long(argc, argv, "+h", kOptions, nullptr)) != -1;
         at = optind) {
        switch (c) {
            case 'j':
                json = true;
                break;
            case 'c':
                check = true;
                break;
            case 'f':
            case 'n': {
                std::time_t* when = c == 'f' ? &from : &now;
                if (!ParseLocalTime(optarg, when)) {
                    std::fprintf(stderr, "zelstatus: %s wants 'YYYY-MM-DD HH:MM', not '%s'\n",
                                 c == 'f' ? "--from" : "--now", optarg);
                    return 2;
                }
                (c == 'f' ? have_from : have_now) = true;
                break;
            }
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case 'V':
                std::printf("zelstatus %s\n", zel::kVersion);
                return 0;
            default:
                std::fprintf(stderr, "zelstatus: bad argument '%s'\n%s", argv[at], kUsage);
                return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "zelstatus: bad argument '%s'\n%s", argv[optind], kUsage);
        return 2;
    }
    // Before anything can touch the store: nothing here may create or
    // change it.
    zel::reg::UseReadOnlyStore();

    namespace st = zel::status;
    st::Report report;
    report.now = have_now ? now : std::time(nullptr);
    report.root = zel::paths::Root();
    report.schedule = st::GatherSchedule(have_from ? from : report.now, report.now);
    report.service = st::GatherService();
    report.jobs = st::GatherJobs(report.now);
    report.locks = st::GatherLocks(report.now);
    report.guards = st::GatherGuards(report.now);
    report.connection = st::GatherConnection(report.now);
    report.problems = st::FindProblems(report);

    const std::string text = json ? st::RenderJson(report) : st::RenderText(report);
    // Written by size: the text holds no NUL, but nothing may cut it short.
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (check && !report.problems.empty()) {
        for (const std::string& p : report.problems)
            std::fprintf(stderr, "zelstatus: %s\n", p.c_str());
        return 1;
    }
    return 0;
}
