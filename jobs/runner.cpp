// The runner's program (see runner.h): one job per process, with the
// object-model runtime around it.
#include "jobs/runner.h"

#include <strings.h>

#include <clocale>

#include "platform/com/com.h"
#include "platform/process.h"

namespace zel::jobs {

namespace {

bool ArgIs(const char* arg, const char* option) {
    return ::strcasecmp(arg, option) == 0;
}

}  // namespace

int RunnerMain(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc != 2) return 0;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 0;
    {
        // Ctrl+C must not stop a job half-way; SIGTERM and SIGHUP keep their
        // default action.  Children get default handling back.
        const proc::InterruptIgnored no_interrupt;
        const char* arg = argv[1];
        if (ArgIs(arg, "-u")) RunUploadJob();
        if (ArgIs(arg, "-d")) RunDownloadJob();
        if (ArgIs(arg, "-p")) RunDayEndJob();
    }
    CoUninitialize();
    return 0;
}

}  // namespace zel::jobs
