// Process helpers: command-line splitting, and real children started from
// scripts in a scratch directory.
#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace proc = zel::proc;
using Args = std::vector<std::string>;

TEST(SplitCommandLine, Table) {
    struct Case {
        const char* line;
        Args args;
    } cases[] = {
        {"", {}},
        {" \t ", {}},
        {"olmar -p QVZELON", {"olmar", "-p", "QVZELON"}},
        {"olmar -p DAYEND >> /x/CMN/BACKZEL", {"olmar", "-p", "DAYEND", ">>", "/x/CMN/BACKZEL"}},
        {"a\tb \t c", {"a", "b", "c"}},
        {"  lead b", {"lead", "b"}},
        {"p \"two words\" x", {"p", "two words", "x"}},
        {"p \"\" x \"\"", {"p", "", "x", ""}},
        {"p a\"b c\"d", {"p", "ab cd"}},
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},    // 3 backslashes + quote: \ and "
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},  // 2 backslashes + quote: \ and toggle
        {"p a\\\"b", {"p", "a\"b"}},          // 1 backslash + quote: literal quote
        {"p C:\\dir\\file \\\\srv", {"p", "C:\\dir\\file", "\\\\srv"}},  // no quote: literal
        {"p \"open ended", {"p", "open ended"}},
        // The program name takes no escapes and ends at its closing quote.
        {"\"C:\\Program Files\\x\\\" y", {"C:\\Program Files\\x\\", "y"}},
        {"prog\\\"x y", {"prog\\\"x", "y"}},
    };
    for (const Case& c : cases) EXPECT_EQ(proc::SplitCommandLine(c.line), c.args) << c.line;
}

// Whatever an argument holds, quoting it and splitting the line gives it
// back whole; plain arguments are left as they are.
TEST(QuoteArgument, SplittingGivesTheArgumentBack) {
    EXPECT_EQ(proc::QuoteArgument("/x/CMN/BACKZEL"), "/x/CMN/BACKZEL");
    EXPECT_EQ(proc::QuoteArgument("C:\\dir\\"), "C:\\dir\\");
    EXPECT_EQ(proc::QuoteArgument("/my root/BACKZEL"), "\"/my root/BACKZEL\"");
    for (const std::string arg : {"", "/my root/CMN/BACKZEL", "tab\there", "dir\\", "a\\\\\" b",
                                  "\"", "\\\"", "ends in backslash \\", "two  blanks"}) {
        const Args args = proc::SplitCommandLine("olmar -p DAYEND >> " + proc::QuoteArgument(arg));
        ASSERT_EQ(args.size(), 5u) << arg;
        EXPECT_EQ(args[4], arg);
    }
}

class ProcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/zelproc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        char real[PATH_MAX];
        ASSERT_NE(realpath(dir_.c_str(), real), nullptr);
        real_dir_ = real;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string P(const std::string& name) const { return dir_ + "/" + name; }
    void Script(const std::string& name, const std::string& body, mode_t mode) {
        std::ofstream(P(name)) << body;
        ASSERT_EQ(chmod(P(name).c_str(), mode), 0);
    }
    std::string Read(const std::string& name) {
        std::ifstream in(P(name));
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_, real_dir_;
};

TEST_F(ProcTest, BatWithoutRunBitStartsInWorkingDirAndIsWaitedFor) {
    Script("Job.BAT", "pwd > marker\necho \"$1|$2\" >> marker\nexit 7\n", 0644);
    pid_t pid = -1;
    proc::StartOptions opt;
    opt.working_dir = dir_;
    ASSERT_EQ(proc::Start("Job.BAT one \"two three\"", opt, &pid), 0);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(proc::Wait(pid), 7);
    EXPECT_EQ(Read("marker"), real_dir_ + "\none|two three\n");
    EXPECT_EQ(proc::Wait(pid), -1);  // already collected
}

TEST_F(ProcTest, ExecutableScriptWithoutInterpreterLineRuns) {
    Script("run.bat", "exit 4\n", 0755);
    Script("olmar", "echo \"$@\" > olmar.out\n", 0755);
    proc::StartOptions opt;
    opt.working_dir = dir_;
    pid_t pid = -1;
    ASSERT_EQ(proc::Start("run.bat", opt, &pid), 0);
    EXPECT_EQ(proc::Wait(pid), 4);
    ASSERT_EQ(proc::Start("olmar -p DAYEND >> BACKZEL", opt, &pid), 0);
    EXPECT_EQ(proc::Wait(pid), 0);
    EXPECT_EQ(Read("olmar.out"), "-p DAYEND >> BACKZEL\n");
}

TEST_F(ProcTest, WorkingDirectoryWinsOverPath) {
    // A program called "env" in the working directory shadows /usr/bin/env.
    Script("env", "#!/bin/sh\ntouch mine\n", 0755);
    proc::StartOptions opt;
    opt.working_dir = dir_;
    pid_t pid = -1;
    ASSERT_EQ(proc::Start("env", opt, &pid), 0);
    EXPECT_EQ(proc::Wait(pid), 0);
    EXPECT_TRUE(std::filesystem::exists(P("mine")));
    // Without one there, PATH is searched.
    ASSERT_EQ(proc::Start("sh -c \"exit 5\"", opt, &pid), 0);
    EXPECT_EQ(proc::Wait(pid), 5);
}

TEST_F(ProcTest, StartFailuresComeBackAsErrors) {
    proc::StartOptions opt;
    opt.working_dir = dir_;
    pid_t pid = 123;
    EXPECT_EQ(proc::Start("no-such-program-zel", opt, &pid), ENOENT);
    EXPECT_EQ(pid, -1);
    EXPECT_EQ(proc::Start("", opt, &pid), EINVAL);
    Script("data.txt", "not a program\n", 0644);
    EXPECT_EQ(proc::Start("data.txt", opt, &pid), EACCES);
    EXPECT_EQ(proc::Start("./data.txt", opt, &pid), EACCES);
    // A working directory that does not exist fails in the child, and the
    // error still reaches us.
    opt.working_dir = P("gone");
    EXPECT_EQ(proc::Start("/bin/true", opt, &pid), ENOENT);
    EXPECT_EQ(pid, -1);
    EXPECT_EQ(proc::Wait(getpid()), -1);  // not our child
}

TEST_F(ProcTest, ChildGetsOnlyStandardDescriptorsAndCleanSignals) {
    // A descriptor opened without close-on-exec must not reach the child.
    int fd = open(dir_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 50), 50);
    close(fd);
    // A signal blocked in the parent (as the service blocks its control
    // signals) must not stay blocked in the child.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &old), 0);

    Script("check.bat",
           "a=$(readlink /proc/$$/fd/0); b=$(readlink /proc/$$/fd/1)\n"
           "echo \"$a $b\" > fds\n"
           "[ -e /proc/$$/fd/50 ] && exit 9\n"
           "kill -TERM $$\nexit 0\n",
           0644);
    proc::StartOptions opt;
    opt.working_dir = dir_;
    opt.null_stdio = true;
    pid_t pid = -1;
    int rc = proc::Start("check.bat", opt, &pid);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(50);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(proc::Wait(pid), 128 + SIGTERM);
    EXPECT_EQ(Read("fds"), "/dev/null /dev/null\n");
}

TEST_F(ProcTest, ReapFinishedCollectsWithoutBlocking) {
    pid_t a = -1, b = -1, slow = -1;
    ASSERT_EQ(proc::Start("/bin/true", {}, &a), 0);
    ASSERT_EQ(proc::Start("/bin/true", {}, &b), 0);
    ASSERT_EQ(proc::StartArgv({"/bin/sleep", "60"}, {}, &slow), 0);
    int reaped = 0;
    for (int i = 0; i < 1000 && reaped < 2; ++i) {
        reaped += proc::ReapFinished();
        if (reaped < 2) usleep(10000);
    }
    EXPECT_EQ(reaped, 2);
    EXPECT_EQ(proc::Wait(a), -1);
    kill(slow, SIGKILL);
    EXPECT_EQ(proc::Wait(slow), 128 + SIGKILL);
}

}  // namespace
