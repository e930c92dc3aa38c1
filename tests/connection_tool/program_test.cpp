// The real zelconfig program: --test mode's exit codes and output, and the
// ncurses dialogs driven through tmux in an 80x24 terminal.
#include <filesystem>

#include "tests/common/spawn.h"
#include "tests/connection_tool/tool_fixture.h"

using namespace zel::conn;
using namespace zel::test;
using namespace zel::test::connection_tool;
using zel::test::directory::Simulator;

namespace {

class ProgramTest : public ToolTest {
  protected:
    // Runs zelconfig with args; its output lands in *out.
    int Run(const std::vector<std::string>& args, std::string* out) {
        const pid_t pid = Spawn(ZELCONFIG_EXE, args, Path("out.txt"), Path("err.txt"));
        EXPECT_GT(pid, 0);
        const int rc = Wait(pid);
        *out = ReadFile(Path("out.txt")) + ReadFile(Path("err.txt"));
        return rc;
    }
};

TEST_F(ProgramTest, TestModeExitCodesAndOutput) {
    Simulator sim(dir_, {"--fault", std::string(kHttpPath) + "=404"});
    ASSERT_TRUE(sim.ok());
    const std::string server = "127.0.0.1:" + std::to_string(sim.http_port());
    std::string out;

    // The first request gets the scripted 404.
    EXPECT_EQ(Run({"--test", "http", "--method", "direct", "--http-server", server}, &out), 1);
    EXPECT_NE(out.find("HTTP Status Code: Status not 200 Success"), std::string::npos) << out;
    EXPECT_NE(out.find("test failed"), std::string::npos) << out;

    // Success without --save: answered No, nothing written.
    EXPECT_EQ(Run({"--test", "http", "--method", "preconfig", "--http-server", server}, &out), 0);
    EXPECT_NE(out.find("Information: No"), std::string::npos) << out;
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
    EXPECT_NE(Response().find("RetrieveServerInformationResponse"), std::string::npos);

    // With --save the method is stored.
    EXPECT_EQ(
        Run({"--test", "http", "--method", "preconfig-no-auto", "--save", "--http-server", server},
            &out),
        0);
    EXPECT_NE(out.find("AccessMethod set to 2"), std::string::npos) << out;
    EXPECT_EQ(SystemDword("AccessMethod"), 2);

    // A refused connection.
    EXPECT_EQ(Run({"--test", "https", "--method", "direct", "--https-server", "127.0.0.1:1"}, &out),
              1);
    EXPECT_NE(out.find("Internet Error: Code:7 Extended:6f"), std::string::npos) << out;
    EXPECT_EQ(SystemDword("AccessMethod"), 2);

    // Without --http-server the entry point the system uses is tested, and
    // named.
    WriteEntryPoint(server);
    EXPECT_EQ(Run({"--test", "http", "--method", "direct"}, &out), 0) << out;
    EXPECT_NE(out.find("HTTP test server " + server + " (from "), std::string::npos) << out;

    // Usage errors never run a test.
    EXPECT_EQ(Run({"--test", "ftp", "--method", "direct"}, &out), 2);
    EXPECT_EQ(Run({"--help"}, &out), 0);
    EXPECT_NE(out.find("--https-server HOST[:PORT]"), std::string::npos);
}

// tmux with a private socket in the scratch directory; the server ends with
// its only session when zelconfig exits.
class TmuxTest : public ProgramTest {
  protected:
    void TearDown() override {
        if (started_) (void)Tmux({"kill-server"});
        ProgramTest::TearDown();
    }
    int Tmux(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"-S", Path("tmux.sock")};
        all.insert(all.end(), args.begin(), args.end());
        const pid_t pid = Spawn("/usr/bin/tmux", all, Path("tmux.out"), Path("tmux.err"));
        return pid > 0 ? Wait(pid) : -1;
    }
    std::string Screen() {
        if (Tmux({"capture-pane", "-p", "-t", "zc"}) != 0) return "";
        return ReadFile(Path("tmux.out"));
    }
    bool ScreenShows(const std::string& text) {
        return WaitUntil([&] { return Screen().find(text) != std::string::npos; }, 15000);
    }
    bool started_ = false;
};

TEST_F(TmuxTest, DirectHttpTestAnsweredYesStoresMethodZero) {
    if (::access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
    Simulator sim(dir_, {});
    ASSERT_TRUE(sim.ok());
    const std::string command = std::string("env QVIS_ROOT='") + dir_ + "' TERM=screen '" +
                                ZELCONFIG_EXE +
                                "' --http-server 127.0.0.1:" + std::to_string(sim.http_port());
    ASSERT_EQ(
        Tmux({"-f", "/dev/null", "new-session", "-d", "-s", "zc", "-x", "80", "-y", "24", command}),
        0)
        << ReadFile(Path("tmux.err"));
    started_ = true;
    ASSERT_TRUE(ScreenShows("ZEL Connection Utility")) << Screen();
    EXPECT_NE(Screen().find("HTTPS Connection Test"), std::string::npos);
    // The focus starts on the HTTP "Direct (no proxy)" button.
    ASSERT_EQ(Tmux({"send-keys", "-t", "zc", "Enter"}), 0);
    ASSERT_TRUE(ScreenShows("Information successfully retrieved.")) << Screen();
    ASSERT_EQ(Tmux({"send-keys", "-t", "zc", "y"}), 0);
    ASSERT_TRUE(ScreenShows("Access method saved.")) << Screen();
    ASSERT_EQ(Tmux({"send-keys", "-t", "zc", "Escape"}), 0);
    EXPECT_TRUE(WaitUntil([&] { return Tmux({"has-session", "-t", "zc"}) != 0; }, 15000));
    EXPECT_EQ(SystemDword("AccessMethod"), 0);
    EXPECT_NE(Response().find("RetrieveServerInformationResponse"), std::string::npos);
}

}  // namespace
