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

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "platform/systemd_unit.h"
#include "scheduler/service_host.h"
#include "scheduler/service_setup.h"
#include "tests/common/registry_seed.h"
#include "tests/scheduler/cron_fixture.h"

extern char** environ;

namespace {

using namespace zel::test::scheduler;
using zel::fs::UniqueFd;
using zel::test::SeedValue;
namespace cron = zel::cron;
namespace reg = zel::reg;
namespace svc = zel::svc;

const std::string kGuidKey = std::string("AppID\\") + cron::kAppId;

// Waits at most timeout_ms for the child, else kills it and returns -1;
// otherwise the waitpid status.
int WaitChild(pid_t pid, int timeout_ms) {
    int status = 0;
    if (WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms))
        return status;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// Starts qvzel_cron with its standard output on *out and its standard error
// on *err (both non-blocking; standard error is inherited without err).
pid_t Spawn(const std::vector<std::string>& args, UniqueFd* out = nullptr,
            UniqueFd* err = nullptr) {
    int fds[2], efds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    UniqueFd read_end(fds[0]), write_end(fds[1]);
    if (::pipe2(efds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    UniqueFd err_read(efds[0]), err_write(efds[1]);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, write_end.get(), 1);
    if (err != nullptr) posix_spawn_file_actions_adddup2(&fa, err_write.get(), 2);
    std::vector<std::string> all = {QVZEL_CRON_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, QVZEL_CRON_EXE, &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (out != nullptr) *out = std::move(read_end);
    if (err != nullptr) *err = std::move(err_read);
    return pid;
}

// Runs the program to its end (bounded) and returns its exit code.
int RunToEnd(const std::vector<std::string>& args) {
    pid_t pid = Spawn(args);
    int status = pid > 0 ? WaitChild(pid, 30000) : -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Drain(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    return text;
}

std::string QueryClasses(const std::string& path, const std::string& name) {
    reg::Key key;
    if (reg::OpenKey(reg::Hive::ClassesRoot, path, &key) != reg::kSuccess) return "<no key>";
    std::string value;
    if (reg::QueryString(key, name, &value) != reg::kSuccess) return "<no value>";
    return value;
}

using ServiceProgram = ScratchRoot;

TEST(SetupCommands, Tokens) {
    auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "qvzel_cron");
        return cron::ParseSetupCommand(static_cast<int>(args.size()), args.data());
    };
    EXPECT_EQ(parse({"/regserver"}), cron::SetupCommand::kRegServer);
    EXPECT_EQ(parse({"-UNREGSERVER"}), cron::SetupCommand::kUnregServer);
    EXPECT_EQ(parse({"x", "/Service", "-RegServer"}), cron::SetupCommand::kService);
    EXPECT_EQ(parse({"--unregserver"}), cron::SetupCommand::kUnregServer);
    EXPECT_EQ(parse({"Service", "-Serv", "-Service-", "Reg/Server"}), cron::SetupCommand::kNone);
}

// The ExecStart= line must give systemd back the path's exact bytes: "$"
// stays as it is in the program path (only arguments expand variables), "%"
// is doubled everywhere, and a path systemd refuses as a program (quotes,
// backslashes, control characters) is passed to /bin/sh as an argument.
TEST(UnitFile, ExecStartGivesBackTheExactPath) {
    auto unit_text = [](const std::string& exe, const std::string& root) {
        svc::ServiceDefinition entry = cron::ServiceEntry();
        entry.program = exe;
        entry.environment.clear();
        if (!root.empty()) entry.environment.push_back("QVIS_ROOT=" + root);
        return svc::UnitFileText(entry);
    };
    auto exec_start = [&](const std::string& exe) {
        const std::string text = unit_text(exe, "");
        const std::size_t at = text.find("ExecStart=");
        return at == std::string::npos ? text : text.substr(at, text.find('\n', at) - at);
    };
    EXPECT_EQ(exec_start("/opt/qvis/qvzel_cron"), "ExecStart=\"/opt/qvis/qvzel_cron\"");
    EXPECT_EQ(exec_start("/opt/a b/$HOME;x/100%/qvzel_cron"),
              "ExecStart=\"/opt/a b/$HOME;x/100%%/qvzel_cron\"");
    EXPECT_EQ(exec_start("/opt/caf\xc3\xa9/\xff"), "ExecStart=\"/opt/caf\\xc3\\xa9/\\xff\"");
    EXPECT_EQ(exec_start("/opt/it's \"$x\"\\%\t/q"),
              "ExecStart=/bin/sh -c \"exec \\\"$$0\\\"\" "
              "\"/opt/it's \\\"$$x\\\"\\\\%%\\x09/q\"");

    const std::string text = unit_text("/opt/q", "/r $x 100%\"\\");
    EXPECT_NE(text.find("Environment=\"QVIS_ROOT=/r $x 100%%\\\"\\\\\"\n"), std::string::npos)
        << text;
}

// "-Service" run from awkward install paths writes a unit that systemd's own
// checker accepts (it also checks that the program named is executable).
TEST_F(ServiceProgram, UnitFromAwkwardInstallPathPassesSystemdVerify) {
    if (::access("/usr/bin/systemd-analyze", X_OK) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    const std::string unit = units_ + "/qvzel_cron.service";
    std::string dir = root_ + "/plain";
    std::filesystem::create_directory(dir);
    std::filesystem::copy_file(QVZEL_CRON_EXE, dir + "/qvzel_cron");
    for (const std::string name : {"$HOME dir", "100%d %n", "semi;colon=x",
                                   "it's \"quoted\" \\back$x%i", "tab\there", "caf\xc3\xa9 \xff"}) {
        SCOPED_TRACE(name);
        const std::string next = root_ + "/" + name;
        std::filesystem::rename(dir, next);
        dir = next;
        const std::string exe = dir + "/qvzel_cron";
        std::vector<char*> argv = {const_cast<char*>(exe.c_str()), const_cast<char*>("-Service"),
                                   nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ), 0);
        const int status = WaitChild(pid, 30000);
        ASSERT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        std::string cmd = "/usr/bin/systemd-analyze verify '" + unit + "' 2>&1";
        FILE* f = ::popen(cmd.c_str(), "r");
        ASSERT_NE(f, nullptr);
        std::string out;
        char buf[512];
        while (std::fgets(buf, sizeof buf, f)) out += buf;
        EXPECT_EQ(::pclose(f), 0) << out << ReadFile(unit);
        ASSERT_EQ(::unlink(unit.c_str()), 0);
    }
}

TEST_F(ServiceProgram, ServiceInstallAndRemove) {
    EXPECT_EQ(RunToEnd({}), static_cast<int>(reg::kNotFound));  // not registered yet
    ASSERT_EQ(RunToEnd({"-Service"}), 0);
    EXPECT_EQ(QueryClasses(kGuidKey, ""), "qvzel_cron");
    EXPECT_EQ(QueryClasses(kGuidKey, "LocalService"), "qvzel_cron");
    EXPECT_EQ(QueryClasses(kGuidKey, "ServiceParameters"), "-Service");
    EXPECT_EQ(QueryClasses("AppID\\qvzel_cron.EXE", "AppID"), cron::kAppId);

    const std::string unit = units_ + "/qvzel_cron.service";
    std::string text = ReadFile(unit);
    for (std::string line :
         {"Type=notify", "ExecStart=\"" QVZEL_CRON_EXE "\"", "Restart=on-failure",
          "KillMode=process", "After=network-online.target"}) {
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
    }
    EXPECT_NE(text.find("Environment=\"QVIS_ROOT=" + root_ + "\"\n"), std::string::npos);

    // systemd's own checker, where it exists.  It checks ExecStart too.
    if (::access("/usr/bin/systemd-analyze", X_OK) == 0) {
        std::string cmd = "/usr/bin/systemd-analyze verify '" + unit + "' 2>&1";
        FILE* f = ::popen(cmd.c_str(), "r");
        ASSERT_NE(f, nullptr);
        std::string out;
        char buf[512];
        while (std::fgets(buf, sizeof buf, f)) out += buf;
        EXPECT_EQ(::pclose(f), 0) << out;
    }

    // RegServer takes the service out and leaves a plain registration.
    ASSERT_EQ(RunToEnd({"-RegServer"}), 0);
    EXPECT_FALSE(FileExists(unit));
    EXPECT_EQ(QueryClasses(kGuidKey, "LocalService"), "<no value>");
    EXPECT_EQ(QueryClasses(kGuidKey, ""), "qvzel_cron");

    ASSERT_EQ(RunToEnd({"-Service"}), 0);
    ASSERT_EQ(RunToEnd({"/unregserver"}), 0);
    EXPECT_FALSE(FileExists(unit));
    EXPECT_EQ(QueryClasses(kGuidKey, ""), "<no key>");
    EXPECT_EQ(QueryClasses("AppID\\qvzel_cron.EXE", "AppID"), "<no key>");
    reg::Key appid;
    EXPECT_EQ(reg::OpenKey(reg::Hive::ClassesRoot, "AppID", &appid), reg::kSuccess);

    // A service that cannot be installed fails the step: an unattended
    // installer learns of it from the exit status.  The registration is
    // still written.
    const std::string not_a_dir = root_ + "/not-a-directory";
    WriteFile(not_a_dir, "");
    ::setenv("ZEL_UNIT_DIR", not_a_dir.c_str(), 1);
    EXPECT_EQ(RunToEnd({"-Service"}), 1);
    EXPECT_EQ(QueryClasses(kGuidKey, "LocalService"), "qvzel_cron");
    EXPECT_EQ(RunToEnd({"-UnregServer"}), 0);  // nothing installed: nothing to fail
}

TEST_F(ServiceProgram, RunsDueBatchFileAndStopsOnSigterm) {
    ASSERT_EQ(RunToEnd({"-RegServer"}), 0);
    SeedValue("SOFTWARE\\qvis\\olmar", "OLMAR_EXE", cmn_);
    std::string all_minutes = "0", all_hours = "0";
    for (int i = 1; i < 60; ++i) all_minutes += "," + std::to_string(i);
    for (int i = 1; i < 24; ++i) all_hours += "," + std::to_string(i);
    WriteFile(comm_ + "/crontab.dat",
              "now " + all_minutes + " " + all_hours + " 0,1,2,3,4,5,6 /usr/bin/cron/due\r\n");
    WriteFile(cmn_ + "/due.bat", "#!/bin/sh\necho $$ > marker.tmp\nmv marker.tmp marker\n", true);
    ::setenv("ZEL_CRON_FIRST_TICK_MS", "100", 1);

    UniqueFd out;
    pid_t pid = Spawn({}, &out);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitUntil([&] { return FileExists(cmn_ + "/marker"); }, 15000));
    int job = 0;
    const std::string marker = ReadFile(cmn_ + "/marker");
    std::from_chars(marker.data(), marker.data() + marker.size(), job);
    ASSERT_GT(job, 0);
    // The running service collects its finished job: no zombie stays
    // (a zombie keeps its /proc entry).
    EXPECT_TRUE(WaitUntil([&] { return !FileExists("/proc/" + std::to_string(job)); }, 10000));

    ASSERT_EQ(::kill(pid, SIGHUP), 0);  // not a control: reported, ignored
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = WaitChild(pid, 15000);
    ASSERT_NE(status, -1) << "qvzel_cron did not stop on SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The events, with what the scheduler did between them.
    const std::string events = Drain(out.get());
    EXPECT_EQ(events.rfind("Service started\nSchedule loaded from ", 0), 0u) << events;
    EXPECT_NE(events.find("Started " + cmn_ + "/due.bat (pid " + std::to_string(job) + ")\n"),
              std::string::npos)
        << events;
    EXPECT_NE(events.find("due.bat (pid " + std::to_string(job) + ") ended with exit status 0\n"),
              std::string::npos)
        << events;
    EXPECT_EQ(events.substr(events.size() - 20), "Bad service request\n");
}

// Reads from the non-blocking fd until its text holds what (bounded); the
// text read so far either way.
std::string ReadUntil(int fd, const std::string& what, int timeout_ms) {
    std::string text;
    WaitUntil(
        [&] {
            text += Drain(fd);
            return text.find(what) != std::string::npos;
        },
        timeout_ms);
    return text;
}

TEST_F(ServiceProgram, SecondCopyRefusesWhileFirstRuns) {
    ASSERT_EQ(RunToEnd({"-RegServer"}), 0);
    UniqueFd out;
    pid_t first = Spawn({}, &out);
    ASSERT_GT(first, 0);
    ASSERT_NE(ReadUntil(out.get(), "Service started\n", 15000).find("Service started"),
              std::string::npos);
    const std::string lock_file = root_ + "/" + cron::kInstanceLockFile;
    EXPECT_EQ(ReadFile(lock_file), std::to_string(first) + "\n");

    UniqueFd second_out, second_err;
    pid_t second = Spawn({}, &second_out, &second_err);
    ASSERT_GT(second, 0);
    int status = WaitChild(second, 15000);
    ASSERT_NE(status, -1) << "the second copy kept running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == cron::kAlreadyRunningExit) << status;
    const std::string why = Drain(second_err.get());
    EXPECT_NE(why.find("already running"), std::string::npos) << why;
    EXPECT_NE(why.find("pid " + std::to_string(first)), std::string::npos) << why;
    EXPECT_EQ(Drain(second_out.get()), "");  // it never started its schedule
    EXPECT_EQ(ReadFile(lock_file), std::to_string(first) + "\n");

    // Registration takes no lock, and the first copy is unharmed by either.
    EXPECT_EQ(RunToEnd({"-RegServer"}), 0);
    EXPECT_EQ(::waitpid(first, &status, WNOHANG), 0) << "the first copy ended";
    ASSERT_EQ(::kill(first, SIGTERM), 0);
    status = WaitChild(first, 15000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // The pid file the first copy leaves behind does not block the next start.
    UniqueFd third_out;
    pid_t third = Spawn({}, &third_out);
    ASSERT_GT(third, 0);
    EXPECT_NE(ReadUntil(third_out.get(), "Service started\n", 15000).find("Service started"),
              std::string::npos);
    EXPECT_EQ(ReadFile(lock_file), std::to_string(third) + "\n");
    ASSERT_EQ(::kill(third, SIGTERM), 0);
    status = WaitChild(third, 15000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A bound datagram socket standing in for systemd's notification socket.
struct NotifySocket {
    UniqueFd fd{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    bool Bind(const std::string& name) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        bool abstract = name[0] == '@';
        std::memcpy(addr.sun_path + (abstract ? 1 : 0), name.data() + (abstract ? 1 : 0),
                    name.size() - (abstract ? 1 : 0));
        auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                          (abstract ? 0 : 1));
        return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0;
    }
    // Receives until a datagram containing `what` arrives (bounded).
    bool ReceiveContaining(const std::string& what, int timeout_ms) {
        return WaitUntil(
            [&] {
                pollfd pfd{fd.get(), POLLIN, 0};
                char buf[1024];
                ssize_t n = ::poll(&pfd, 1, 0) > 0 ? ::recv(fd.get(), buf, sizeof buf, 0) : 0;
                return n > 0 && std::string(buf, n).find(what) != std::string::npos;
            },
            timeout_ms);
    }
};

// An installed package's unit is the service's only one: -Service
// registers the service and writes no second unit that would override it.
TEST_F(ServiceProgram, PackagedUnitIsTheOnlyUnit) {
    WriteFile(vendor_units_ + "/qvzel_cron.service", "[Service]\nType=notify\n");
    ASSERT_EQ(RunToEnd({"-Service"}), 0);
    EXPECT_EQ(QueryClasses(kGuidKey, "LocalService"), "qvzel_cron");
    EXPECT_FALSE(FileExists(units_ + "/qvzel_cron.service"));
    // The administrator's own unit in /etc is left alone by a removal.
    ASSERT_EQ(RunToEnd({"-UnregServer"}), 0);
    EXPECT_TRUE(FileExists(vendor_units_ + "/qvzel_cron.service"));
}

// A unit of Type=notify waits for READY whatever the registration says: a
// plain -RegServer registration still answers the service manager.
TEST_F(ServiceProgram, NotifiesReadyWhenRegisteredAsProgram) {
    ASSERT_EQ(RunToEnd({"-RegServer"}), 0);
    NotifySocket sock;
    ASSERT_TRUE(sock.Bind(root_ + "/notify"));
    ::setenv("NOTIFY_SOCKET", (root_ + "/notify").c_str(), 1);
    UniqueFd out;
    pid_t pid = Spawn({}, &out);
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(sock.ReceiveContaining("READY=1", 15000));
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = WaitChild(pid, 15000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ServiceProgram, NotifiesReadyAndStopping) {
    ASSERT_EQ(RunToEnd({"-Service"}), 0);
    NotifySocket sock;
    ASSERT_TRUE(sock.Bind(root_ + "/notify"));
    ::setenv("NOTIFY_SOCKET", (root_ + "/notify").c_str(), 1);
    UniqueFd out;
    pid_t pid = Spawn({}, &out);
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(sock.ReceiveContaining("READY=1", 15000));
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(sock.ReceiveContaining("STOPPING=1", 15000));
    int status = WaitChild(pid, 15000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Drain(out.get()), "");  // a service's events go to syslog

    // The same messages reach an abstract socket ("@name").
    const std::string name = "@zelcron-test-" + std::to_string(::getpid());
    NotifySocket abstract;
    ASSERT_TRUE(abstract.Bind(name));
    EXPECT_EQ(svc::NotifyServiceManager(name, "READY=1"), 0);
    EXPECT_TRUE(abstract.ReceiveContaining("READY=1", 5000));
    // The variable libsystemd reads is left as it was found; a name that is
    // neither a path nor "@name" is refused.
    ::setenv("NOTIFY_SOCKET", "/elsewhere", 1);
    EXPECT_EQ(svc::NotifyServiceManager(name, "STATUS=again"), 0);
    EXPECT_TRUE(abstract.ReceiveContaining("STATUS=again", 5000));
    EXPECT_STREQ(std::getenv("NOTIFY_SOCKET"), "/elsewhere");
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(svc::NotifyServiceManager("relative", "READY=1"), EINVAL);
    EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);
}

}  // namespace
