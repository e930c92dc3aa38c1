// qvzel_cron: the schedule service program.  Everything it does lives in the
// zel_scheduler library; this file only hands over the command line.
#include "scheduler/service_host.h"

int main(int argc, char** argv) {
    return zel::cron::ServiceProgramMain(argc, argv);
}
