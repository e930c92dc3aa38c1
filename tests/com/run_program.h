// Running a program through the shell with its output and exit status, for
// the suites of Linux tools (regsvr, qvreg).
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace zel::test {

struct RunResult {
    int exit_code = -1;
    std::string output;  // standard output and standard error together
};

// Runs a shell command line (bounded by the programs it names, which all end
// by themselves) and collects what it prints.
inline RunResult Run(const std::string& command) {
    RunResult r;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.output.append(buf, n);
    const int status = ::pclose(pipe);
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    return r;
}

}  // namespace zel::test
