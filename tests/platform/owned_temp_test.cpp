// Temporary names stamped with their owner: which names count as ours, and
// the sweep against real processes (one that exited, one that still runs,
// one that ended but was not collected) in a scratch directory.
#include "platform/owned_temp.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = zel::fs;
namespace proc = zel::proc;

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

void Touch(const std::string& path) {
    std::ofstream(path, std::ios::binary) << "x";
}

// A child that makes an owned temporary "<stem>" in dir, reports its name
// through a pipe and then exits at once (stay false) or waits to be killed.
struct Maker {
    pid_t pid = -1;
    std::string path;
};
Maker StartMaker(const std::string& stem, bool stay) {
    int fds[2];
    Maker m;
    if (::pipe(fds) != 0) return m;
    m.pid = ::fork();
    if (m.pid == 0) {
        ::close(fds[0]);
        std::string path;
        if (fs::CreateOwnedTemp(stem, 0600, &path) != 0) ::_exit(1);
        path += '\n';
        if (::write(fds[1], path.data(), path.size()) != static_cast<ssize_t>(path.size()))
            ::_exit(1);
        ::close(fds[1]);
        if (stay) ::pause();
        ::_exit(0);
    }
    ::close(fds[1]);
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') m.path += c;
    ::close(fds[0]);
    return m;
}

class OwnedTempTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/zelowned-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string P(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST(OwnedTempNames, OnlyTheExactFormIsOurs) {
    proc::ProcessIdentity who;
    who.pid = 4242;
    who.start = 987654321;
    const std::string name = fs::OwnedTempName("~qvzs", who, 7);
    EXPECT_EQ(name, "~qvzs.qvzel_lock.tmp.4242.987654321.7");
    std::string_view stem;
    proc::ProcessIdentity got;
    ASSERT_TRUE(fs::ParseOwnedTempName(name, &stem, &got));
    EXPECT_EQ(stem, "~qvzs");
    EXPECT_EQ(got.pid, 4242);
    EXPECT_EQ(got.start, 987654321u);
    EXPECT_TRUE(fs::IsOwnedTempName(".ORD.DAT.qvzel_lock.tmp.2147483647.0.0"));
    // Names of the forms older versions made, a dealer's and the central
    // side's files, lock templates, and near misses are not ours.
    for (const char* other :
         {"~qvzs999999.DAT", "~qvzd4000000.1", "~qvzs12.0", "ORD.qvzel_lock.99999.dtzpart",
          ".ORD.DAT.12.0", ".ORD.DAT.Ab12Cd", ".qvzel_lock.tpl.12.34.0",
          ".qvzel_lock.tmp.12.34.0",       // no stem
          "x.qvzel_lock.tmp.012.34.0",     // leading zero
          "x.qvzel_lock.tmp.12.34.0.DAT",  // something after the counter
          "x.qvzel_lock.tmp.12.34", "x.qvzel_lock.tmp.0.34.0", "x.qvzel_lock.tmp.+12.34.0",
          "x.qvzel_lock.tmp.2147483648.34.0",  // not a pid
          "x.qvzel_lock.tmp.12.12345678901234567890.0", "x.qvzel_lock.tmp.12..0",
          "X.QVZEL_LOCK.TMP.12.34.0"}) {
        EXPECT_FALSE(fs::IsOwnedTempName(other)) << other;
    }
}

TEST_F(OwnedTempTest, SweepRemovesOnlyTemporariesOfEndedOwners) {
    const proc::ProcessIdentity me = proc::SelfIdentity();
    ASSERT_NE(me.start, 0u) << "no start time in /proc";

    // Ended and collected.
    Maker gone = StartMaker(P("~qvzs"), false);
    ASSERT_GT(gone.pid, 0);
    ASSERT_EQ(::waitpid(gone.pid, nullptr, 0), gone.pid);
    // Ended, not collected (a zombie keeps its pid).
    Maker zombie = StartMaker(P(".ZOMBIE.DAT"), false);
    ASSERT_GT(zombie.pid, 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie.pid), &info, WEXITED | WNOWAIT), 0);
    // Running.
    Maker live = StartMaker(P("LIVE.TXT.dtzpart"), true);
    ASSERT_GT(live.pid, 0);
    // This process: one made now, and one recorded under our pid with
    // another start time (a process that had our pid before us).
    std::string mine;
    ASSERT_EQ(fs::CreateOwnedTemp(P("~qvzs"), 0600, &mine), 0);
    proc::ProcessIdentity before = me;
    before.start = me.start - 1;
    const std::string reused = P(fs::OwnedTempName("~qvzs", before, 0));
    Touch(reused);
    // Lookalikes with a pid that names no process.
    const std::string ended = std::to_string(gone.pid);
    for (const std::string& n : {"~qvzs" + ended + ".DAT", "~qvzd" + ended + ".1",
                                 "ORD.qvzel_lock." + ended + ".dtzpart", ".A.DAT." + ended + ".0"})
        Touch(P(n));

    const std::vector<std::string> all = Entries(dir_);
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(fs::RemoveEndedOwnersTemps(dir_), 3);
    EXPECT_FALSE(std::filesystem::exists(gone.path));
    EXPECT_FALSE(std::filesystem::exists(zombie.path));
    EXPECT_FALSE(std::filesystem::exists(reused));
    EXPECT_TRUE(std::filesystem::exists(live.path));
    EXPECT_TRUE(std::filesystem::exists(mine));
    EXPECT_EQ(Entries(dir_).size(), 6u);

    // Once the running one has ended, its name goes too; ours stays.
    ::kill(live.pid, SIGKILL);
    ASSERT_EQ(::waitpid(live.pid, nullptr, 0), live.pid);
    ASSERT_EQ(::waitpid(zombie.pid, nullptr, 0), zombie.pid);
    EXPECT_EQ(fs::RemoveEndedOwnersTemps(dir_), 1);
    EXPECT_TRUE(std::filesystem::exists(mine));
}

TEST_F(OwnedTempTest, SweepWithStemsLooksAtThoseStemsOnly) {
    Maker gone = StartMaker(P(".A.DAT"), false);
    ASSERT_GT(gone.pid, 0);
    ASSERT_EQ(::waitpid(gone.pid, nullptr, 0), gone.pid);
    proc::ProcessIdentity who;
    who.pid = gone.pid;
    const std::string other = P(fs::OwnedTempName(".B.DAT", who, 0));
    Touch(other);
    EXPECT_EQ(fs::RemoveEndedOwnersTemps(dir_, {".B"}), 0);
    EXPECT_EQ(fs::RemoveEndedOwnersTemps(dir_, {".A.DAT"}), 1);
    EXPECT_TRUE(std::filesystem::exists(other));
    EXPECT_EQ(fs::RemoveEndedOwnersTemps(P("missing")), 0);
}

TEST_F(OwnedTempTest, CreatedNamesAreFreshAndExclusive) {
    std::string a, b;
    fs::UniqueFd fd;
    ASSERT_EQ(fs::CreateOwnedTemp(P("S"), 0600, &a, &fd), 0);
    EXPECT_TRUE(fd);
    ASSERT_EQ(fs::CreateOwnedTemp(P("S"), 0600, &b), 0);
    EXPECT_NE(a, b);
    proc::ProcessIdentity owner;
    ASSERT_TRUE(fs::ParseOwnedTempName(a.substr(dir_.size() + 1), nullptr, &owner));
    EXPECT_EQ(owner.pid, ::getpid());
    EXPECT_EQ(owner.start, proc::SelfIdentity().start);
    std::string none = "stale";
    EXPECT_EQ(fs::CreateOwnedTemp(P("missing/S"), 0600, &none), ENOENT);
    EXPECT_EQ(none, "");
}

}  // namespace
