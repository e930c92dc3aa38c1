// The command-line convention of every installed program, run as real
// programs in a scratch system root: "--help" and "--version" print to
// standard output and exit 0, a bad option is reported on standard error
// with status 2 (or the status the program keeps for it), "qvzel_cron
// --help" starts no schedule, and every program has a manual page that groff
// reads without a warning.
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/version.h"
#include "tests/common/scratch.h"
#include "tests/common/spawn.h"

namespace zel::test {
namespace {

struct Program {
    const char* name;
    const char* build_path;  // below the build tree
    int bad_option_status;   // the status of a bad option
    const char* man_page;    // below packaging/man
};

// ferrun keeps 1 for every command-line error; qvzel_nt always exits 0;
// qvzel_cron runs the schedule whatever its arguments hold unless a token is
// recognised, and on a root where it is not registered ends with the
// registry's "not found" (2) before starting anything.
const Program kPrograms[] = {
    {"ferrun", "client/ferrun", 1, "ferrun.1"},
    {"qvzel_nt", "jobs/qvzel_nt", 0, "qvzel_nt.1"},
    {"qvzel_cron", "scheduler/qvzel_cron", 2, "qvzel_cron.8"},
    {"zelconfig", "connection_tool/zelconfig", 2, "zelconfig.1"},
    {"qvreg", "tools/qvreg", 2, "qvreg.1"},
    {"regsvr", "tools/regsvr", 2, "regsvr.1"},
    {"zelpasswd", "tools/zelpasswd", 2, "zelpasswd.1"},
    {"zeldir", "tools/zeldir", 2, "zeldir.1"},
    {"zelsim", "tools/zelsim", 2, "zelsim.1"},
    {"zelstatus", "tools/zelstatus", 2, "zelstatus.1"},
};

struct Outcome {
    int status = -1;  // -1: killed at the deadline or ended by a signal
    std::string out;
    std::string err;
};

class Programs : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        // Registration must never reach the machine's service manager.
        std::filesystem::create_directories(Path("units"));
        std::filesystem::create_directories(Path("vendor-units"));
        ::setenv("ZEL_UNIT_DIR", Path("units").c_str(), 1);
        ::setenv("ZEL_VENDOR_UNIT_DIR", Path("vendor-units").c_str(), 1);
        ::setenv("ZEL_SYSTEMCTL", "", 1);
    }

    // Runs a program to its end, at most deadline_ms; a program still
    // running then is killed and reported with status -1.
    Outcome Run(const std::string& program, const std::vector<std::string>& args,
                int deadline_ms = 30000) {
        Outcome r;
        const std::string out = Path("out.txt"), err = Path("err.txt");
        const pid_t pid = Spawn(program, args, out, err);
        if (pid < 0) {
            ADD_FAILURE() << "cannot start " << program;
            return r;
        }
        int raw = 0;
        if (!WaitUntil([&] { return ::waitpid(pid, &raw, WNOHANG) == pid; }, deadline_ms)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &raw, 0);
        } else if (WIFEXITED(raw)) {
            r.status = WEXITSTATUS(raw);
        }
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        return r;
    }

    EnvRestore unit_env_{"ZEL_UNIT_DIR"};
    EnvRestore vendor_env_{"ZEL_VENDOR_UNIT_DIR"};
    EnvRestore systemctl_env_{"ZEL_SYSTEMCTL"};
};

TEST_F(Programs, HelpVersionAndBadOptionFollowOneConvention) {
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const std::string program = BuildPath(p.build_path);

        Outcome help = Run(program, {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out, "");
        EXPECT_EQ(help.err, "");

        Outcome version = Run(program, {"--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, std::string(p.name) + " " + zel::kVersion + "\n");
        EXPECT_EQ(version.err, "");

        Outcome bad = Run(program, {"--no-such-option"});
        EXPECT_EQ(bad.status, p.bad_option_status);
        EXPECT_NE(bad.err, "");
        EXPECT_EQ(bad.err.find("Service started"), std::string::npos);
        EXPECT_EQ(bad.out.find("Service started"), std::string::npos);
    }
}

TEST_F(Programs, FerrunHelpListsEveryOption) {
    const Outcome help = Run(BuildPath("client/ferrun"), {"--help"});
    for (const char* option : {"-d ", "-p ", "-r ", "-u ", "-t ", "-z ", "--help", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    // The statuses that differ from the other programs are stated.
    EXPECT_NE(help.out.find("Exit status: 1 for a command-line error"), std::string::npos);
    EXPECT_NE(Run(BuildPath("jobs/qvzel_nt"), {"--help"}).out.find("Exit status: always 0"),
              std::string::npos);
}

// On a root where it is registered, a run without a recognised token starts
// the schedule; asking for help or the version must not.
TEST_F(Programs, QvzelCronHelpAndVersionStartNothing) {
    const std::string cron = BuildPath("scheduler/qvzel_cron");
    ASSERT_EQ(Run(cron, {"-RegServer"}).status, 0);
    for (const char* arg : {"--help", "-h", "/?", "--version", "-VERSION"}) {
        SCOPED_TRACE(arg);
        const Outcome r = Run(cron, {arg}, 10000);
        EXPECT_EQ(r.status, 0) << "still running after 10 s, or failed";
        EXPECT_EQ(r.out.find("Service started"), std::string::npos) << r.out;
        EXPECT_NE(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Programs, EveryProgramHasAManualPageWithoutWarnings) {
    const bool have_groff = FileExists("/usr/bin/groff");
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.man_page);
        const std::string page = std::string(ZEL_MAN_DIR) + "/" + p.man_page;
        const std::string text = ReadFile(page);
        ASSERT_NE(text, "") << page;
        for (const char* section :
             {".SH NAME", ".SH SYNOPSIS", ".SH DESCRIPTION", ".SH OPTIONS", ".SH FILES",
              ".SH ENVIRONMENT", ".SH EXIT STATUS", ".SH SEE ALSO"})
            EXPECT_NE(text.find(section), std::string::npos) << section;
        EXPECT_NE(text.find("\\-\\-version"), std::string::npos);
        if (!have_groff) continue;
        // What lintian asks of a page: groff formats it without a warning.
        const Outcome r = Run("/usr/bin/groff", {"-man", "-Tutf8", "-ww", "-z", page});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
}  // namespace zel::test
