// qvzel_nt, the job runner: the three jobs the schedule's batch files start
// and the program that picks one.
//
// Nothing here throws or reports a failure through an exit code: what
// happened goes to the job log (while "dumpmsg" is non-zero) and to the
// jobs' outcome files.  One process runs one job.
#pragma once

namespace zel::jobs {

// The jobs.
void RunUploadJob();
void RunDownloadJob();
void RunDayEndJob();

// The program: exactly one argument "-u", "-d" or "-p" (any case) runs its
// job; anything else does nothing.  Always returns 0.
int RunnerMain(int argc, char** argv);

}  // namespace zel::jobs
