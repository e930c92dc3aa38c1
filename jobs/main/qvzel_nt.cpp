// qvzel_nt: the job runner that the schedule's batch files start, once per
// job ("-u" upload, "-d" download, "-p" day-end).  Always exits with 0: the
// outcome of a job is in its files, and the batch files look at nothing
// else.  "--help" and "--version" print to standard output; any other
// command line runs no job and says so on standard error.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "jobs/runner.h"
#include "platform/version.h"

namespace {

constexpr const char* kHelp =
    "Usage: qvzel_nt -u|-d|-p\n"
    "       qvzel_nt --help | --version\n"
    "\n"
    "Runs one transfer job of the schedule and ends:\n"
    "  -u  upload job: sends the files of the upload directory\n"
    "  -d  download job: fetches the files published for this dealer and hands\n"
    "      them to Olmar\n"
    "  -p  day-end job: hands the day-end files to Olmar\n"
    "The letter is compared without regard to case; exactly one argument.\n"
    "Uploads and the day-end job run only while $QVIS_ROOT/Apps/QVIS/PROG/CMN/\n"
    "INIT_CTRL enables transfers (QVZEL=Y).  Outcomes are written to LOGFIL and\n"
    "the result files in $QVIS_ROOT/Apps/QVIS/PROG/COMM; with dumpmsg set in\n"
    "ferrun.conf a trace goes to $QVIS_ROOT/qvzel.log.\n"
    "\n"
    "Exit status: always 0, also for a wrong command line (which runs no job and\n"
    "is reported on standard error): the outcome of a job is in its files.\n";

bool Is(const char* arg, const char* option) {
    return ::strcasecmp(arg, option) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("qvzel_nt %s\n", zel::kVersion);
        return 0;
    }
    if (argc != 2 || !(Is(argv[1], "-u") || Is(argv[1], "-d") || Is(argv[1], "-p"))) {
        // The runner does nothing then; say why, without changing its status.
        if (argc < 2)
            std::fprintf(stderr, "qvzel_nt: no job given; no job run\n");
        else if (argc > 2)
            std::fprintf(stderr, "qvzel_nt: one argument expected, %d given; no job run\n",
                         argc - 1);
        else
            std::fprintf(stderr, "qvzel_nt: unknown argument '%s'; no job run\n", argv[1]);
        std::fprintf(stderr, "usage: qvzel_nt -u|-d|-p  (qvzel_nt --help for more)\n");
        return 0;
    }
    return zel::jobs::RunnerMain(argc, argv);
}
