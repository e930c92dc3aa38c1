// The schedule service program: command line, service or ordinary-program
// run, status reports to the service manager, controls, and the one-thread
// loop in which the scheduler ticks.
//
// Run modes.  Without a setup token the program opens HKCR
// "AppID\{GUID}" (ending with that registry status as exit code when it
// cannot).  When the key holds "LocalService" the program was installed as
// the service: it takes the service's environment (svc::AdoptServiceEnvironment)
// and runs as the service when the service manager started it.  Otherwise,
// or when no service manager started it, it runs as an ordinary program.
// Only one copy runs per system root (see kInstanceLockFile).  As a service
// its events go to the system log under the name "qvzel_cron" (the journal
// on Linux, the event log on Windows) and its state to the service manager;
// as an ordinary program its events go to standard output.
//
// The service manager hears the state whenever it started the program (on
// Linux: handed it a notification socket), whether or not the registry
// says it was installed as a service: a unit of Type=notify times out
// without READY.
//
// Controls (see platform/service_loop.h): stop ends the run, pause stops
// the timer, continue starts it again, shutdown stops the timer and frees
// the schedule; any other is a bad request.  Finished batch files are
// collected when the loop hears of their end and at every tick.
//
// Settings (environment): ZEL_CRON_FIRST_TICK_MS shortens the first tick
// after start (1-60000 milliseconds; for tests and demonstrations); every
// later tick comes 60000 ms after the end of the previous one.
#pragma once

#include <string>

namespace zel::cron {

inline constexpr int kTickMilliseconds = 60000;

// The run refuses to start while another copy holds the lock of this pid
// file, below the system root, and then ends with kAlreadyRunningExit,
// before it talks to the service manager.  The setup tokens take no lock.
inline constexpr const char* kInstanceLockFile = "qvzel_cron.pid";
inline constexpr int kAlreadyRunningExit = 1;

// The delay before the first tick: ZEL_CRON_FIRST_TICK_MS when it is a
// decimal number from 1 to 60000, else kTickMilliseconds.
int FirstTickMilliseconds();

// The whole program: returns its exit code.
int ServiceProgramMain(int argc, char** argv);

}  // namespace zel::cron
