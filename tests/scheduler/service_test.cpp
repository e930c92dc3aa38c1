// The qvzel_cron program: setup tokens, registry script, unit file, the
// ordinary-program run with a real due batch file, and sd_notify messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/registry.h"
#include "scheduler/service_host.h"
#include "scheduler/service_setup.h"
#include "scratch.h"

extern char** environ;

namespace {

using crontest::FileExists;
using crontest::ReadFile;
using crontest::WaitChild;
using crontest::WaitUntil;
using crontest::WriteFile;
using zel::fs::UniqueFd;
namespace cron = zel::cron;
namespace reg = zel::reg;

const std::string kGuidKey = std::string("AppID\\") + cron::kAppId;

// A started qvzel_cron with its standard output on a pipe.
struct Program {
    pid_t pid = -1;
    UniqueFd out;
};

Program Spawn(const std::vector<std::string>& args) {
    Program p;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return p;
    UniqueFd read_end(fds[0]), write_end(fds[1]);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, write_end.get(), 1);
    std::vector<std::string> all = {QVZEL_CRON_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&p.pid, QVZEL_CRON_EXE, &fa, nullptr, argv.data(), environ) != 0) p.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    p.out = std::move(read_end);
    return p;
}

// Runs the program to its end (bounded) and returns its exit code.
int RunToEnd(const std::vector<std::string>& args) {
    Program p = Spawn(args);
    if (p.pid < 0) return -1;
    int status = WaitChild(p.pid, 30000);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string DrainNonBlocking(int fd) {
    std::string text;
    char buf[4096];
    while (true) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0) break;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

std::string QueryClasses(const std::string& path, const std::string& name) {
    reg::Key key;
    if (reg::OpenKey(reg::Hive::ClassesRoot, path, &key) != reg::kSuccess) return "<no key>";
    std::string value;
    if (reg::QueryString(key, name, &value) != reg::kSuccess) return "<no value>";
    return value;
}

std::string AllOf(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(i);
    return s;
}

bool ProcessGone(pid_t pid) {
    // Gone, not a zombie: a zombie still has its /proc entry.
    return !FileExists("/proc/" + std::to_string(pid));
}

using ServiceProgram = crontest::ScratchRoot;

TEST(SetupCommands, Tokens) {
    auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "qvzel_cron");
        return cron::ParseSetupCommand(static_cast<int>(args.size()), args.data());
    };
    EXPECT_EQ(parse({"-RegServer"}), cron::SetupCommand::kRegServer);
    EXPECT_EQ(parse({"/regserver"}), cron::SetupCommand::kRegServer);
    EXPECT_EQ(parse({"-UNREGSERVER"}), cron::SetupCommand::kUnregServer);
    EXPECT_EQ(parse({"x", "/Service", "-RegServer"}), cron::SetupCommand::kService);
    EXPECT_EQ(parse({"Service", "--Service", "-Serv"}), cron::SetupCommand::kNone);
    EXPECT_EQ(parse({}), cron::SetupCommand::kNone);
}

TEST(FirstTick, Setting) {
    const char* old = std::getenv("ZEL_CRON_FIRST_TICK_MS");
    std::string saved = old ? old : "";
    for (auto [text, ms] : std::vector<std::pair<const char*, int>>{
             {"250", 250}, {"0", 60000}, {"60001", 60000}, {"12a", 60000}, {"", 60000}}) {
        ::setenv("ZEL_CRON_FIRST_TICK_MS", text, 1);
        EXPECT_EQ(cron::FirstTickMilliseconds(), ms) << text;
    }
    if (old)
        ::setenv("ZEL_CRON_FIRST_TICK_MS", saved.c_str(), 1);
    else
        ::unsetenv("ZEL_CRON_FIRST_TICK_MS");
}

TEST_F(ServiceProgram, RefusesToRunUnregistered) {
    EXPECT_EQ(RunToEnd({}), static_cast<int>(reg::kNotFound));
}

TEST_F(ServiceProgram, ServiceInstallAndRemove) {
    ASSERT_EQ(RunToEnd({"-Service"}), 0);
    EXPECT_EQ(QueryClasses(kGuidKey, ""), "qvzel_cron");
    EXPECT_EQ(QueryClasses(kGuidKey, "LocalService"), "qvzel_cron");
    EXPECT_EQ(QueryClasses(kGuidKey, "ServiceParameters"), "-Service");
    EXPECT_EQ(QueryClasses("AppID\\qvzel_cron.EXE", "AppID"), cron::kAppId);

    const std::string unit = units_ + "/qvzel_cron.service";
    std::string text = ReadFile(unit);
    EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(text.find("ExecStart=\"" QVZEL_CRON_EXE "\"\n"), std::string::npos);
    EXPECT_NE(text.find("Restart=on-failure\n"), std::string::npos);
    EXPECT_NE(text.find("After=network-online.target\n"), std::string::npos);
    EXPECT_NE(text.find("Environment=\"QVIS_ROOT=" + root_ + "\"\n"), std::string::npos);

    // systemd's own checker, where it exists and works in this environment.
    if (::access("/usr/bin/systemd-analyze", X_OK) == 0) {
        std::string cmd = "/usr/bin/systemd-analyze verify '" + unit + "' 2>&1";
        FILE* f = ::popen(cmd.c_str(), "r");
        ASSERT_NE(f, nullptr);
        std::string out;
        char buf[512];
        while (std::fgets(buf, sizeof buf, f)) out += buf;
        int rc = ::pclose(f);
        // Without a usable systemd (a container without it as init), the
        // tool cannot even load its own units: that is no verdict on ours.
        if (out.find("Failed to") != std::string::npos &&
            out.find("qvzel_cron.service") == std::string::npos) {
            GTEST_LOG_(INFO) << "systemd-analyze unusable here: " << out;
        } else {
            EXPECT_EQ(rc, 0) << out;
        }
    }

    // RegServer takes the service out again and leaves a plain registration.
    ASSERT_EQ(RunToEnd({"-RegServer"}), 0);
    EXPECT_FALSE(FileExists(unit));
    EXPECT_EQ(QueryClasses(kGuidKey, "LocalService"), "<no value>");
    EXPECT_EQ(QueryClasses(kGuidKey, ""), "qvzel_cron");

    ASSERT_EQ(RunToEnd({"-Service"}), 0);
    EXPECT_TRUE(FileExists(unit));
    ASSERT_EQ(RunToEnd({"/unregserver"}), 0);
    EXPECT_FALSE(FileExists(unit));
    EXPECT_EQ(QueryClasses(kGuidKey, ""), "<no key>");
    EXPECT_EQ(QueryClasses("AppID\\qvzel_cron.EXE", "AppID"), "<no key>");
    reg::Key appid;
    EXPECT_EQ(reg::OpenKey(reg::Hive::ClassesRoot, "AppID", &appid), reg::kSuccess);
}

TEST(UnitFile, QuotesAwkwardPaths) {
    std::string text = cron::UnitFileText("/opt/a b/$x%y\"z", "/r 100%");
    EXPECT_NE(text.find("ExecStart=\"/opt/a b/$$x%%y\\\"z\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Environment=\"QVIS_ROOT=/r 100%%\"\n"), std::string::npos) << text;
    EXPECT_EQ(cron::UnitFileText("/bin/x", "").find("Environment="), std::string::npos);
}

TEST_F(ServiceProgram, RunsDueBatchFileAndStopsOnSigterm) {
    ASSERT_EQ(RunToEnd({"-RegServer"}), 0);
    {
        reg::Key key;
        ASSERT_EQ(reg::CreateKey(reg::Hive::LocalMachine, "SOFTWARE\\qvis\\olmar", &key, nullptr),
                  reg::kSuccess);
        ASSERT_EQ(reg::SetString(key, "OLMAR_EXE", cmn_), reg::kSuccess);
    }
    WriteFile(comm_ + "/crontab.dat",
              "now " + AllOf(60) + " " + AllOf(24) + " " + AllOf(7) + " /usr/bin/cron/due\r\n");
    WriteFile(cmn_ + "/due.bat", "#!/bin/sh\necho $$ > marker.tmp\nmv marker.tmp marker\n", true);
    ::setenv("ZEL_CRON_FIRST_TICK_MS", "100", 1);

    Program p = Spawn({});
    ASSERT_GT(p.pid, 0);
    ASSERT_TRUE(WaitUntil([&] { return FileExists(cmn_ + "/marker"); }, 15000));
    pid_t job = static_cast<pid_t>(std::atoi(ReadFile(cmn_ + "/marker").c_str()));
    ASSERT_GT(job, 0);
    // The service collects its finished job while it keeps running.
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(job); }, 10000));
    EXPECT_EQ(::waitpid(p.pid, nullptr, WNOHANG), 0);

    ASSERT_EQ(::kill(p.pid, SIGTERM), 0);
    int status = WaitChild(p.pid, 15000);
    ASSERT_NE(status, -1) << "qvzel_cron did not stop on SIGTERM";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string out = DrainNonBlocking(p.out.get());
    EXPECT_EQ(out.substr(0, 16), "Service started\n") << out;
    EXPECT_EQ(out.find("Service stopped"), std::string::npos) << out;
}

// A bound datagram socket standing in for systemd's notification socket.
struct NotifySocket {
    UniqueFd fd;
    bool Bind(const std::string& name) {
        fd.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        socklen_t len;
        if (name[0] == '@') {
            std::memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
            len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        } else {
            std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
            len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
        }
        return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0;
    }
    // Next datagram within timeout_ms, or "" when none came.
    std::string Receive(int timeout_ms) {
        pollfd pfd{fd.get(), POLLIN, 0};
        if (::poll(&pfd, 1, timeout_ms) <= 0) return {};
        char buf[1024];
        ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
    // Receives until a datagram containing `what` arrives (bounded).
    bool ReceiveContaining(const std::string& what, int timeout_ms) {
        bool found = false;
        WaitUntil(
            [&] {
                std::string msg = Receive(50);
                found = msg.find(what) != std::string::npos;
                return found;
            },
            timeout_ms);
        return found;
    }
};

TEST_F(ServiceProgram, NotifiesReadyAndStopping) {
    ASSERT_EQ(RunToEnd({"-Service"}), 0);
    const std::string path = root_ + "/notify";
    NotifySocket sock;
    ASSERT_TRUE(sock.Bind(path));
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    Program p = Spawn({});
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_GT(p.pid, 0);
    EXPECT_TRUE(sock.ReceiveContaining("READY=1", 15000));
    ASSERT_EQ(::kill(p.pid, SIGTERM), 0);
    EXPECT_TRUE(sock.ReceiveContaining("STOPPING=1", 15000));
    int status = WaitChild(p.pid, 15000);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // As a service its events go to syslog, not to standard output.
    EXPECT_EQ(DrainNonBlocking(p.out.get()), "");
}

TEST_F(ServiceProgram, NotifyToAbstractSocket) {
    const std::string name = "@zelcron-test-" + std::to_string(::getpid());
    NotifySocket sock;
    ASSERT_TRUE(sock.Bind(name));
    EXPECT_EQ(cron::SdNotify(name, "READY=1"), 0);
    EXPECT_EQ(sock.Receive(5000), "READY=1");
    EXPECT_EQ(cron::SdNotify("relative/name", "READY=1"), EINVAL);
    EXPECT_NE(cron::SdNotify(root_ + "/nobody-listens", "READY=1"), 0);
}

}  // namespace
