// Process helpers: starting programs from Windows-style command lines.
//
// A command line is split by the CommandLineToArgvW rules; the program is
// looked for in the working directory first, then on PATH.  A ".bat" file is a
// shell script: run directly when it has a run bit, else through /bin/sh.
// Children inherit no descriptors beyond the standard three.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zel::proc {

// Splits a command line by the Windows rules: blanks and tabs separate outside
// quotes; 2n backslashes before '"' give n backslashes and toggle quoting;
// 2n+1 give n backslashes and a literal '"'; other backslashes are literal;
// a first argument that starts with '"' runs to the next '"' (no escapes),
// else to the first blank (quotes and backslashes in it are literal).
// Leading blanks are skipped; an empty or blank line gives no arguments.
// Quoted empty arguments ("") are kept.  No shell is involved: ">>" is an
// argument like any other.
std::vector<std::string> SplitCommandLine(const std::string& line);

// The text that SplitCommandLine reads back as arg when it stands after the
// program name: arg itself when it holds no blank, tab or quote (and is not
// empty), else arg in quotes, with a quote inside escaped and the
// backslashes before a quote or the closing quote doubled.  An owned string.
std::string QuoteArgument(const std::string& arg);

struct StartOptions {
    std::string working_dir;  // empty: the caller's current directory
    bool null_stdio = false;  // standard input, output and error on /dev/null
};

// Starts the program named by the command line.  On success stores the
// child's pid and returns 0; the caller owns the child and collects it with
// Wait or ReapFinished.  Otherwise stores -1 and returns an errno value
// (ENOENT when the program or the working directory is not found, EACCES
// when it is found but cannot be run, EINVAL for an empty line); no child
// then exists.  The program: a name with "/" as it stands (relative to the
// working directory), a bare name in the working directory, then on PATH.
// The child gets the caller's environment, an empty signal mask and default
// signal dispositions.
[[nodiscard]] int Start(const std::string& command_line, const StartOptions& options, pid_t* pid);
// The same with an already split argument vector (argv[0] is the program).
[[nodiscard]] int StartArgv(const std::vector<std::string>& argv, const StartOptions& options,
                            pid_t* pid);

// Waits for the child without limit (interruptions are retried).  Returns
// its exit code, 128 + signal number when it was killed, or -1 when pid is
// not a child of ours (or was already collected).
int Wait(pid_t pid);

// A child collected by ReapFinished: its pid and its exit code (128 +
// signal number when it was killed).
struct FinishedChild {
    pid_t pid = 0;
    int exit_code = 0;
};

// Collects every finished child without blocking (for a process that starts
// children and never waits for them).  Returns how many were collected and,
// when finished is given, appends each one to it.  It takes any child, so a
// caller that also Waits for some must not use it.
int ReapFinished(std::vector<FinishedChild>* finished = nullptr);

// The caller's current directory into *dir.  Returns 0 or errno (*dir is
// then untouched).
[[nodiscard]] int CurrentDirectory(std::string* dir);

// True when dir is a directory that this process could change into (it
// exists, links followed, and may be searched), that is, one a child can be
// started in.
[[nodiscard]] bool CanEnterDirectory(const std::string& dir);

// A running process as lock files record their holder: its pid and its start
// time (clock ticks after boot, as /proc gives it; 0 when unknown), so that a
// pid the system has since handed to another process is not mistaken for
// the holder.
struct ProcessIdentity {
    pid_t pid = 0;
    unsigned long long start = 0;
};

// This process.
[[nodiscard]] ProcessIdentity SelfIdentity();

// Reads an identity written as "<pid><separator><start>" (decimal, at most 19
// digits each) at the start of text.  Returns how many characters it took,
// and sets *who; 0 when text does not start so or the pid is out of range
// (0, or above 2^31 - 1), and *who is then untouched.
[[nodiscard]] std::size_t ParseIdentity(std::string_view text, char separator,
                                        ProcessIdentity* who);

// True only when the process so identified has certainly ended: no process
// of that pid exists, the one there has ended and awaits collection (a
// zombie), or it started at another time than recorded (the pid was
// reused; not compared when start is 0).  A process of another user counts
// as running.  A pid of 0 or below names nothing known: false.
[[nodiscard]] bool HasEnded(const ProcessIdentity& who);

// True when this process runs with the superuser's effective identity, so
// that file modes do not limit what it can read.
[[nodiscard]] bool RunsAsSuperuser();

// This process's id.
[[nodiscard]] pid_t CurrentProcessId();

// This program's own full path (from /proc/self/exe); empty when unknown.
std::string OwnExecutablePath();

// From now on a write to a pipe or socket that nobody reads fails with EPIPE
// instead of ending the process (a service whose standard output was
// closed).  Children still start with default handling (see Start).
void IgnoreBrokenPipe();

// While one lives, an interrupt from the terminal (Ctrl+C) does not end the
// process; the handling found before is put back when it goes.  Children
// started meanwhile get default handling (see Start).  Not copyable.
class InterruptIgnored {
  public:
    InterruptIgnored();
    ~InterruptIgnored();
    InterruptIgnored(const InterruptIgnored&) = delete;
    InterruptIgnored& operator=(const InterruptIgnored&) = delete;

  private:
    struct Previous;
    std::unique_ptr<Previous> previous_;  // null when it could not be changed
};

}  // namespace zel::proc
