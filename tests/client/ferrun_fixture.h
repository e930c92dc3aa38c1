// The fixture of ferrun's process tests: a scratch system root, and the
// real ferrun run as a child process with its output and exit code
// collected.  FerrunClient registers the stand-in Poll component (through
// the real regsvr); the end-to-end suite registers the real one.  Every run is bounded: a child
// still running after its deadline is killed and the test fails.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/common/fake_poll.h"
#include "tests/common/scratch.h"
#include "tests/common/spawn.h"

namespace zel::test::client {

struct FerrunResult {
    int exit_code = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

class FerrunRoot : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        ::setenv(fake_poll::kCalls, Path("calls.txt").c_str(), 1);
    }

    // Runs a program to its end (at most 60 s).
    FerrunResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
        FerrunResult r;
        const std::string out = Path("stdout.txt");
        const std::string err = Path("stderr.txt");
        const pid_t pid = Spawn(program, args, out, err);
        if (pid < 0) {
            ADD_FAILURE() << "cannot start " << program;
            return r;
        }
        int status = 0;
        const bool ended =
            WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 60000);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << program << " did not end";
        }
        if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        return r;
    }

    FerrunResult Ferrun(const std::vector<std::string>& args) {
        return RunProgram(ZEL_FERRUN, args);
    }

    // The stand-in component's record of the calls it got ("" for none).
    std::string Calls() const { return ReadFile(Path("calls.txt")); }
    std::string FileLog() const { return ReadFile(CommPath("qvzel.log")); }

    fake_poll::Controls fake_poll_controls_;
};

// With the stand-in component, which records every call it gets.
class FerrunClient : public FerrunRoot {
  protected:
    void SetUp() override {
        FerrunRoot::SetUp();
        ASSERT_EQ(RunProgram(ZEL_REGSVR, {"/s", ZEL_FAKE_POLL}).exit_code, 0);
    }
};

}  // namespace zel::test::client
