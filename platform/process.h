// Process helpers: starting programs from Windows-style command lines.
//
// A command line is split by the CommandLineToArgvW rules; the program is
// looked for in the working directory first, then on PATH.  A ".bat" file is a
// shell script: run directly when it has a run bit, else through /bin/sh.
// Children inherit no descriptors beyond the standard three.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zel::proc {

// Splits a command line by the Windows rules: blanks and tabs separate outside
// quotes; 2n backslashes before '"' give n backslashes and toggle quoting;
// 2n+1 give n backslashes and a literal '"'; other backslashes are literal;
// a first argument that starts with '"' runs to the next '"' (no escapes).
std::vector<std::string> SplitCommandLine(const std::string& line);

struct StartOptions {
    std::string working_dir;  // empty: the caller's current directory
    bool null_stdio = false;  // standard input, output and error on /dev/null
};

// Starts the program named by the command line.  On success stores the
// child's pid and returns 0; otherwise returns errno (ENOENT when the
// program is not found) and no child exists.
[[nodiscard]] int Start(const std::string& command_line, const StartOptions& options, pid_t* pid);
// The same with an already split argument vector (argv[0] is the program).
[[nodiscard]] int StartArgv(const std::vector<std::string>& argv, const StartOptions& options,
                            pid_t* pid);

// Waits for the child without limit.  Returns its exit code, 128 + signal
// number when it was killed, or -1 when pid is not a child of ours.
int Wait(pid_t pid);

// Collects every finished child without blocking (for a process that starts
// children and never waits for them).  Returns how many were collected.
int ReapFinished();

}  // namespace zel::proc
