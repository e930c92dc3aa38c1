// The start of Olmar from the jobs (see olmar_start.h).
#include "jobs/olmar_start.h"

#include <cstring>

#include "jobs/job_log.h"
#include "platform/olmar_directory.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace zel::jobs {

namespace {

// The directory that is current once the runner has (in effect) changed
// into dir for a start; empty when even its own cannot be read.
std::string CurrentDirectoryForStart(const std::string& dir) {
    const bool enterable = proc::CanEnterDirectory(dir);
    if (enterable && paths::IsAbsolute(dir)) return dir;
    std::string current;
    if (proc::CurrentDirectory(&current) != 0) return std::string();
    return enterable ? paths::Join(current, dir) : current;
}

}  // namespace

void RunOlmar(const std::string& args) {
    std::string dir;
    if (!paths::GetOlmarDirectory(&dir)) {
        JobLog("Unable to get olmar path from registry");
        return;
    }
    const std::string command_line = "olmar " + args;
    JobLog("Olmar Path");
    JobLog(dir);
    JobLog(command_line);
    // The child is started in the Olmar directory; the runner's own current
    // directory never changes, so nothing needs to be put back.  The line
    // names the directory current for the start, as it would be after
    // changing into the Olmar directory: that directory when it can be
    // entered, else the runner's own, which a failed change leaves current.
    JobLog(CurrentDirectoryForStart(dir));
    proc::StartOptions options;
    options.working_dir = dir;
    pid_t pid = -1;
    const int err = proc::Start(command_line, options, &pid);
    if (err != 0) {
        JobLog("CreateProcess failed.");
        JobLog(std::strerror(err));
        return;
    }
    (void)proc::Wait(pid);
}

}  // namespace zel::jobs
