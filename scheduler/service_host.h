// The schedule service program: command line, service or ordinary-program
// run, status reports to systemd, controls by signal, and the one-thread
// loop in which the scheduler ticks.
//
// Run modes.  Without a setup token the program opens HKCR
// "AppID\{GUID}" (ending with that registry status as exit code when it
// cannot) and runs as a service when the key holds "LocalService" and
// systemd gave it a notification socket ($NOTIFY_SOCKET); otherwise it runs
// as an ordinary program.  Only one copy runs per system root (see
// kInstanceLockFile).  As a service its events go to syslog under the
// name "qvzel_cron" and its state to systemd (sd_notify); as an ordinary
// program its events go to standard output.
//
// Controls: SIGTERM and SIGINT stop, SIGUSR1 pauses (the timer stops),
// SIGUSR2 continues (the timer starts again), SIGPWR stops the timer and
// frees the schedule; SIGHUP is a bad request.  Finished batch-file children
// are collected on SIGCHLD and at every tick.  No work happens in a signal
// handler: the signals are blocked and read from a signalfd.
//
// Settings (environment): ZEL_CRON_FIRST_TICK_MS shortens the first tick
// after start (1-60000 milliseconds; for tests and demonstrations); every
// later tick comes 60000 ms after the end of the previous one.
#pragma once

#include <string>

namespace zel::cron {

inline constexpr int kTickMilliseconds = 60000;

// The run refuses to start while another copy holds this pid file, below
// the system root, and then ends with kAlreadyRunningExit.  The setup tokens
// take no lock.
inline constexpr const char* kInstanceLockFile = "qvzel_cron.pid";
inline constexpr int kAlreadyRunningExit = 1;

// The delay before the first tick: ZEL_CRON_FIRST_TICK_MS when it is a
// decimal number from 1 to 60000, else kTickMilliseconds.
int FirstTickMilliseconds();

// The whole program: returns its exit code.
int ServiceProgramMain(int argc, char** argv);

}  // namespace zel::cron
