// qvzel_nt: the job runner that the schedule's batch files start, once per
// job ("-u" upload, "-d" download, "-p" day-end).  Always exits with 0.
#include "jobs/runner.h"

int main(int argc, char** argv) {
    return zel::jobs::RunnerMain(argc, argv);
}
