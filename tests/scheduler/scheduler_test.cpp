// The scheduler on real files, the real registry store and real processes.
#include "scheduler/scheduler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/paths.h"
#include "platform/registry.h"
#include "scratch.h"

namespace {

using crontest::FileExists;
using crontest::ReadFile;
using crontest::WaitUntil;
using crontest::WriteFile;
using zel::cron::Scheduler;
namespace reg = zel::reg;

std::string AllOf(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(i);
    return s;
}

// A line due at every minute of every day.
std::string Always(const std::string& name, const std::string& command) {
    return name + " " + AllOf(60) + " " + AllOf(24) + " " + AllOf(7) + " " + command + "\r\n";
}

std::tm At(int wday, int hour, int minute) {
    std::tm t{};
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

std::string QueryHklm(const std::string& key_path, const std::string& value) {
    reg::Key key;
    std::string out;
    if (reg::OpenKey(reg::Hive::LocalMachine, key_path, &key) != reg::kSuccess) return "<no key>";
    if (reg::QueryString(key, value, &out) != reg::kSuccess) return "<no value>";
    return out;
}

void SetOlmarDir(const std::string& dir) {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(reg::Hive::LocalMachine, "SOFTWARE\\qvis\\olmar", &key, nullptr),
              reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "OLMAR_EXE", dir), reg::kSuccess);
}

class SchedulerFiles : public crontest::ScratchRoot {
  protected:
    std::string Crontab() const { return comm_ + "/crontab.dat"; }
    std::string Pending() const { return comm_ + "/qvzel_cronin"; }
};

TEST_F(SchedulerFiles, DefaultScheduleWrittenFromControl) {
    WriteFile(comm_ + "/CONTROL", "DEALER,,X,12345\r\n");
    Scheduler s;
    s.Load();
    EXPECT_EQ(ReadFile(Crontab()), zel::cron::DefaultScheduleText("DEALER,,X,12345\r\n"));
    ASSERT_EQ(s.schedule().size(), 3u);
    EXPECT_EQ(s.schedule()[2].name, "qvzel_up");
    EXPECT_TRUE(s.schedule()[2].minutes[20]);
    EXPECT_EQ(QueryHklm("SOFTWARE\\Quvaro Information Systems\\Quvaro Zelway", "InstallDir"),
              zel::paths::CommDir());

    // A key that exists keeps its value; an existing schedule is not replaced.
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(reg::Hive::LocalMachine,
                             "SOFTWARE\\Quvaro Information Systems\\Quvaro Zelway", &key, nullptr),
              reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "InstallDir", "/elsewhere"), reg::kSuccess);
    WriteFile(comm_ + "/CONTROL", "DEALER,,X,400\r\n");
    s.Load();
    EXPECT_EQ(QueryHklm("SOFTWARE\\Quvaro Information Systems\\Quvaro Zelway", "InstallDir"),
              "/elsewhere");
    EXPECT_TRUE(s.schedule()[2].minutes[20]);
}

TEST_F(SchedulerFiles, NoControlOrEmptyScheduleGivesEmptyList) {
    Scheduler s;
    s.Load();
    EXPECT_TRUE(s.schedule().empty());
    EXPECT_FALSE(FileExists(Crontab()));

    WriteFile(comm_ + "/CONTROL", "D,,X,1\r\n");
    WriteFile(Crontab(), "");
    s.Load();
    EXPECT_TRUE(s.schedule().empty());
    EXPECT_EQ(ReadFile(Crontab()), "");
}

TEST_F(SchedulerFiles, TickStartsDueBatchFilesInOlmarDirectory) {
    // The job leaves its working directory and pid behind.
    WriteFile(cmn_ + "/mark.bat",
              "#!/bin/sh\npwd > marker.tmp\necho $$ >> marker.tmp\n"
              "mv marker.tmp marker\n",
              true);
    WriteFile(Crontab(), Always("late", "/x/mark") + Always("early", "C:\\X\\missing.cmd"));
    Scheduler s;
    s.Load();
    ASSERT_EQ(s.schedule().size(), 2u);

    // First tick without the Olmar key: the key is made, nothing starts.
    EXPECT_TRUE(s.Tick(At(3, 12, 30)).empty());
    EXPECT_EQ(QueryHklm("SOFTWARE\\qvis\\olmar", "OLMAR_EXE"), zel::paths::CmnDir());
    EXPECT_FALSE(FileExists(cmn_ + "/marker"));

    // Next tick: the missing batch file is skipped, the other one runs.
    EXPECT_EQ(s.Tick(At(3, 12, 31)), std::vector<std::string>{"mark.bat"});
    ASSERT_TRUE(WaitUntil([&] { return FileExists(cmn_ + "/marker"); }, 10000));
    std::string marker = ReadFile(cmn_ + "/marker");
    EXPECT_EQ(marker.substr(0, marker.find('\n')), cmn_);
    // The finished child is collected, not left a zombie.
    EXPECT_TRUE(WaitUntil([] { return zel::cron::ReapChildren() > 0; }, 10000));
    EXPECT_EQ(s.tick_count(), 2);
}

TEST_F(SchedulerFiles, UnusableOlmarDirectoryStartsNothing) {
    SetOlmarDir(root_ + "/no/such/dir");
    WriteFile(Crontab(), Always("job", "/x/mark"));
    Scheduler s;
    s.Load();
    EXPECT_TRUE(s.Tick(At(0, 0, 0)).empty());
}

TEST_F(SchedulerFiles, MergeOnEveryFifteenthTick) {
    SetOlmarDir(cmn_);
    WriteFile(Crontab(), "a 1 1 1 /x/a\r\nb 2 2 2 /x/b\r\n");
    WriteFile(Pending(), "c 3 3 3 /x/c\nb remove\n");
    Scheduler s;
    s.Load();
    for (int i = 0; i < 14; ++i) s.Tick(At(3, 12, 30));
    EXPECT_TRUE(FileExists(Pending()));
    EXPECT_EQ(s.schedule().size(), 2u);
    s.Tick(At(3, 12, 30));
    EXPECT_FALSE(FileExists(Pending()));
    EXPECT_EQ(ReadFile(Crontab()), "a 1 1 1 /x/a\r\nc 3 3 3 /x/c\r\n");
    ASSERT_EQ(s.schedule().size(), 2u);
    EXPECT_EQ(s.schedule()[0].name, "c");

    // With neither file, the merge reloads, and the reload writes the default.
    ::unlink(Crontab().c_str());
    WriteFile(comm_ + "/CONTROL", "D,,X,400");
    s.MergePending();
    EXPECT_EQ(ReadFile(Crontab()), zel::cron::DefaultScheduleText("D,,X,400"));
    EXPECT_EQ(s.schedule().size(), 3u);

    // Pending changes but no schedule text: written as they stand.
    WriteFile(Crontab(), "");
    WriteFile(Pending(), "only 4 4 4 /x/only");
    s.MergePending();
    EXPECT_EQ(ReadFile(Crontab()), "only 4 4 4 /x/only");
    EXPECT_FALSE(FileExists(Pending()));
    EXPECT_EQ(s.schedule().size(), 1u);
}

TEST_F(SchedulerFiles, PendingChangesSurviveAFailedWrite) {
    // A directory where the schedule file should be: it can be neither read
    // nor replaced, and the pending changes must not be thrown away.
    ASSERT_EQ(::mkdir(Crontab().c_str(), 0755), 0);
    WriteFile(Pending(), "c 3 3 3 /x/c\n");
    Scheduler s;
    s.MergePending();
    EXPECT_EQ(ReadFile(Pending()), "c 3 3 3 /x/c\n");
    EXPECT_TRUE(s.schedule().empty());
}

}  // namespace
