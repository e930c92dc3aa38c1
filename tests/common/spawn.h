// Running helper programs and the project's tools as real child processes,
// with their output captured in files, for the suites that need another
// process on the other side.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/scratch.h"

extern char** environ;

namespace zel::test {

// Starts program with args (argv[0] is program); stdout and stderr go to the
// given files ("" for /dev/null).  Returns the pid, or -1.
inline pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
                   const std::string& out_file = "", const std::string& err_file = "") {
    std::vector<char*> argv;
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::string out = out_file.empty() ? "/dev/null" : out_file;
    const std::string err = err_file.empty() ? "/dev/null" : err_file;
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Exit code of a finished child; -1 when it did not exit normally.
inline int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zel::test
