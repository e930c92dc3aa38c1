// The real zelconfig program: --test mode's exit codes and output, and the
// ncurses dialogs driven through tmux in an 80x24 terminal.
#include <filesystem>

#include "platform/registry.h"
#include "tests/common/spawn.h"
#include "tests/connection_tool/tool_fixture.h"
#include "tests/directory/sim.h"

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
    void SetUp() override {
        ProgramTest::SetUp();
        if (::access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
        // tmux passes UTF-8 keys on only in a UTF-8 locale.
        ::setenv("LANG", "C.UTF-8", 1);
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_CTYPE");
    }
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
    // Starts zelconfig with args in a cols x rows terminal of type term.
    void Start(const std::string& args, const std::string& term = "screen", int cols = 80,
               int rows = 24) {
        const std::string command = std::string("env QVIS_ROOT='") + dir_ +
                                    "' ZEL_DEFAULTS_FILE='" + Path("zelway.default") +
                                    "' LANG=C.UTF-8 TERM=" + term + " '" + ZELCONFIG_EXE + "' " +
                                    args;
        ASSERT_EQ(Tmux({"-f", "/dev/null", "new-session", "-d", "-s", "zc", "-x",
                        std::to_string(cols), "-y", std::to_string(rows), command}),
                  0)
            << ReadFile(Path("tmux.err"));
        started_ = true;
    }
    void Keys(const std::vector<std::string>& keys) {
        std::vector<std::string> args = {"send-keys", "-t", "zc"};
        args.insert(args.end(), keys.begin(), keys.end());
        ASSERT_EQ(Tmux(args), 0);
    }
    // Sends the characters of text as they are (an Esc character too).
    void Type(const std::string& text) {
        ASSERT_EQ(Tmux({"send-keys", "-t", "zc", "-l", text}), 0);
    }
    std::string Screen() {
        if (Tmux({"capture-pane", "-p", "-t", "zc"}) != 0) return "";
        return ReadFile(Path("tmux.out"));
    }
    bool ScreenShows(const std::string& text) {
        return WaitUntil([&] { return Screen().find(text) != std::string::npos; }, 15000);
    }
    bool Ended() {
        return WaitUntil([&] { return Tmux({"has-session", "-t", "zc"}) != 0; }, 15000);
    }
    static std::string SystemString(const char* name) {
        zel::reg::Key key;
        std::string v;
        if (zel::reg::OpenKey(zel::reg::Hive::LocalMachine, kSystemKey, &key) !=
                zel::reg::kSuccess ||
            zel::reg::QueryString(key, name, &v) != zel::reg::kSuccess)
            return "<missing>";
        return v;
    }
    // From the first button to "Proxy Override", and into the address field.
    void OpenOverrideField() {
        Keys({"Up", "Up", "Up", "Up", "Enter"});
        ASSERT_TRUE(ScreenShows("Proxy Override Settings")) << Screen();
        Keys({"Tab", "Tab"});
    }
    bool started_ = false;
};

TEST_F(TmuxTest, DirectHttpTestOfTheSystemsEntryPointAnsweredYesStoresMethodZero) {
    Simulator sim(dir_, {});
    ASSERT_TRUE(sim.ok());
    // No server given: the entry point the system uses, shown on screen.
    const std::string server = "127.0.0.1:" + std::to_string(sim.http_port());
    WriteEntryPoint(server);
    Start("");
    ASSERT_TRUE(ScreenShows("ZEL Connection Utility")) << Screen();
    EXPECT_NE(Screen().find("HTTPS Connection Test"), std::string::npos);
    EXPECT_TRUE(ScreenShows("HTTP server:  " + server + " (from ")) << Screen();
    // The focus starts on the HTTP "Direct (no proxy)" button.
    Keys({"Enter"});
    ASSERT_TRUE(ScreenShows("Information successfully retrieved.")) << Screen();
    Keys({"y"});
    ASSERT_TRUE(ScreenShows("Access method saved.")) << Screen();
    Keys({"Escape"});
    EXPECT_TRUE(Ended());
    EXPECT_EQ(SystemDword("AccessMethod"), 0);
    EXPECT_NE(Response().find("RetrieveServerInformationResponse"), std::string::npos);
}

TEST_F(TmuxTest, EscapeSequencesOfUnknownKeysAreNotEsc) {
    // PuTTY's Home (ESC [ 1 ~) and a sequence no terminal description knows
    // (ESC [ 2 0 0 ~), with a terminal type that lacks both.
    Start("", "xterm-256color");
    ASSERT_TRUE(ScreenShows("ZEL Connection Utility")) << Screen();
    Type("\x1b[200~");
    Keys({"a"});  // still the main dialog: the about box opens
    ASSERT_TRUE(ScreenShows("Version 1.0")) << Screen();
    Keys({"Enter"});
    OpenOverrideField();
    Type("abc:81");
    Type("\x1b[1~");  // Home
    Type("x");
    Type("\x1b[200~");
    Keys({"Enter"});  // OK
    ASSERT_TRUE(ScreenShows("Tab/arrows move")) << Screen();
    EXPECT_EQ(SystemString("ProxyServer"), "xabc:81");
    Keys({"Escape"});
    EXPECT_TRUE(Ended());
}

TEST_F(TmuxTest, AddressFieldEditsCharactersAndStoresWhatItShows) {
    Start("");
    ASSERT_TRUE(ScreenShows("ZEL Connection Utility")) << Screen();
    OpenOverrideField();
    Type("prøxy.ëxample:8080");
    ASSERT_TRUE(ScreenShows("prøxy.ëxample:8080")) << Screen();
    Keys({"BSpace"});
    ASSERT_TRUE(ScreenShows("prøxy.ëxample:808 ")) << Screen();
    Keys({"Enter"});
    ASSERT_TRUE(ScreenShows("Tab/arrows move")) << Screen();
    EXPECT_EQ(SystemString("ProxyServer"), "prøxy.ëxample:808");
    Keys({"Escape"});
    EXPECT_TRUE(Ended());
}

TEST_F(TmuxTest, RunningTestShowsElapsedTimeAndEscCancelsIt) {
    // A server that takes the request and never answers.
    Simulator sim(dir_, {"--fault", std::string(kHttpPath) + "=stall"});
    ASSERT_TRUE(sim.ok());
    WriteEntryPoint("127.0.0.1:" + std::to_string(sim.http_port()));
    Start("");
    ASSERT_TRUE(ScreenShows("ZEL Connection Utility")) << Screen();
    Keys({"Enter"});
    ASSERT_TRUE(ScreenShows("1 s (Esc cancels)")) << Screen();
    Keys({"Escape"});
    ASSERT_TRUE(ScreenShows("Test cancelled; nothing saved.")) << Screen();
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
    Keys({"Escape"});
    EXPECT_TRUE(Ended());
}

TEST_F(TmuxTest, TerminalSmallerThanTheDialogShowsANotice) {
    Start("", "screen", 40, 12);
    ASSERT_TRUE(ScreenShows("too small")) << Screen();
    EXPECT_EQ(Screen().find("HTTPS Connection Test"), std::string::npos);
    ASSERT_EQ(Tmux({"resize-window", "-t", "zc", "-x", "80", "-y", "24"}), 0)
        << ReadFile(Path("tmux.err"));
    ASSERT_TRUE(ScreenShows("HTTPS Connection Test")) << Screen();
    Keys({"Escape"});
    EXPECT_TRUE(Ended());
}

}  // namespace
