// The scheduler on real files, the real registry store and real processes.
#include "scheduler/scheduler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/paths.h"
#include "platform/registry.h"
#include "tests/common/registry_seed.h"
#include "tests/scheduler/cron_fixture.h"

namespace {

using namespace zel::test::scheduler;
using zel::cron::DefaultScheduleText;
using zel::cron::Scheduler;
using zel::test::SeedValue;
namespace reg = zel::reg;

std::string AllOf(int n) {
    std::string s = "0";
    for (int i = 1; i < n; ++i) s += "," + std::to_string(i);
    return s;
}

// A line due at every minute of every day.
std::string Always(const std::string& name, const std::string& command) {
    return name + " " + AllOf(60) + " " + AllOf(24) + " " + AllOf(7) + " " + command + "\r\n";
}

std::tm Wednesday1230() {
    std::tm t{};
    t.tm_wday = 3;
    t.tm_hour = 12;
    t.tm_min = 30;
    return t;
}

std::string QueryHklm(const std::string& key_path, const std::string& value) {
    reg::Key key;
    std::string out;
    if (reg::OpenKey(reg::Hive::LocalMachine, key_path, &key) != reg::kSuccess) return "<no key>";
    if (reg::QueryString(key, value, &out) != reg::kSuccess) return "<no value>";
    return out;
}

class SchedulerFiles : public ScratchRoot {
  protected:
    std::string Crontab() const { return comm_ + "/crontab.dat"; }
    std::string Pending() const { return comm_ + "/qvzel_cronin"; }
};

TEST_F(SchedulerFiles, LoadWritesDefaultOnlyWhenScheduleMissing) {
    Scheduler s;
    s.Load();  // no CONTROL: nothing written, empty schedule
    EXPECT_TRUE(s.schedule().empty());
    EXPECT_FALSE(FileExists(Crontab()));

    WriteFile(comm_ + "/CONTROL", "DEALER,,X,12345\r\n");
    s.Load();
    EXPECT_EQ(ReadFile(Crontab()), DefaultScheduleText("DEALER,,X,12345\r\n"));
    EXPECT_EQ(s.schedule().size(), 3u);
    EXPECT_EQ(QueryHklm("SOFTWARE\\Quvaro Information Systems\\Quvaro Zelway", "InstallDir"),
              zel::paths::CommDir());

    WriteFile(Crontab(), "");  // an empty schedule stays empty
    s.Load();
    EXPECT_TRUE(s.schedule().empty());
    EXPECT_EQ(ReadFile(Crontab()), "");
}

TEST_F(SchedulerFiles, TickStartsDueBatchFilesInOlmarDirectory) {
    // The job leaves its working directory behind.
    WriteFile(cmn_ + "/mark.bat", "#!/bin/sh\npwd > marker.tmp\nmv marker.tmp marker\n", true);
    WriteFile(Crontab(), Always("late", "/x/mark") + Always("early", "C:\\X\\missing.cmd"));
    Scheduler s;
    s.Load();

    // First tick without the Olmar key: the key is made, nothing starts.
    EXPECT_TRUE(s.Tick(Wednesday1230()).empty());
    EXPECT_EQ(QueryHklm("SOFTWARE\\qvis\\olmar", "OLMAR_EXE"), zel::paths::CmnDir());

    // Next tick: the missing batch file is skipped, the other one runs.
    EXPECT_EQ(s.Tick(Wednesday1230()), std::vector<std::string>{"mark.bat"});
    ASSERT_TRUE(WaitUntil([&] { return FileExists(cmn_ + "/marker"); }, 10000));
    EXPECT_EQ(ReadFile(cmn_ + "/marker"), cmn_ + "\n");
    // The finished child is collected, not left a zombie.
    EXPECT_TRUE(WaitUntil([] { return zel::cron::ReapChildren() > 0; }, 10000));
}

// What the service's journal hears: the schedule loaded with its ignored
// lines, each batch file started with its pid, a missing or unrunnable one,
// each exit status, and a warning whenever no job can start.
TEST_F(SchedulerFiles, ReportsWhatItDoesForTheJournal) {
    std::vector<std::pair<bool, std::string>> notes;
    auto has = [&](bool warning, const std::string& part) {
        for (const auto& [w, text] : notes)
            if (w == warning && text.find(part) != std::string::npos) return true;
        return false;
    };
    Scheduler s;
    s.set_reporter(
        [&](bool warning, const std::string& text) { notes.emplace_back(warning, text); });

    s.Load();  // no schedule and no CONTROL
    EXPECT_TRUE(has(true, "CONTROL")) << notes.size();
    WriteFile(Crontab(), "");
    s.Load();
    EXPECT_TRUE(has(true, "has no entry; no job will start"));

    WriteFile(cmn_ + "/fail.bat", "#!/bin/sh\nexit 3\n", true);
    std::filesystem::create_directories(cmn_ + "/plain.bat");  // cannot be run
    WriteFile(Crontab(), Always("f", "/x/fail") + "bad 61 1 1 /x/a\r\n" +
                             Always("m", "/x/missing") + Always("p", "/x/plain"));
    s.Load();
    EXPECT_TRUE(has(false, ": 3 entries, 1 ignored"));
    EXPECT_TRUE(has(true, "line 2: minutes not numbers 0-59"));

    SeedValue("SOFTWARE\\qvis\\olmar", "OLMAR_EXE", cmn_);
    EXPECT_EQ(s.Tick(Wednesday1230()), std::vector<std::string>{"fail.bat"});
    EXPECT_TRUE(has(true, "Batch file " + cmn_ + "/missing.bat missing"));
    EXPECT_TRUE(has(true, "Batch file " + cmn_ + "/plain.bat not executable"));
    EXPECT_TRUE(has(false, "Started " + cmn_ + "/fail.bat (pid "));
    ASSERT_TRUE(WaitUntil(
        [&] {
            s.Reap();
            return has(true, "fail.bat (pid ");
        },
        10000));
    EXPECT_TRUE(has(true, ") ended with exit status 3"));

    // A directory name of 512 bytes or more never worked on the dealer PCs:
    // the service reads it as the runner does, as not set.
    SeedValue("SOFTWARE\\qvis\\olmar", "OLMAR_EXE",
              cmn_ + "/" + std::string(511 - cmn_.size(), 'd'));
    EXPECT_TRUE(s.Tick(Wednesday1230()).empty());
    EXPECT_TRUE(has(true, "Olmar directory not set"));
}

TEST_F(SchedulerFiles, MergeOnEveryFifteenthTick) {
    WriteFile(Crontab(), "a 1 1 1 /x/a\r\nb 2 2 2 /x/b\r\n");
    WriteFile(Pending(), "c 3 3 3 /x/c\nb remove\n");
    Scheduler s;
    s.Load();
    for (int i = 0; i < 14; ++i) s.Tick(Wednesday1230());
    EXPECT_TRUE(FileExists(Pending()));
    s.Tick(Wednesday1230());
    EXPECT_FALSE(FileExists(Pending()));
    EXPECT_EQ(ReadFile(Crontab()), "a 1 1 1 /x/a\r\nc 3 3 3 /x/c\r\n");
    ASSERT_EQ(s.schedule().size(), 2u);
    EXPECT_EQ(s.schedule()[0].name, "c");

    // Neither file: the merge reloads, and the reload writes the default.
    ::unlink(Crontab().c_str());
    WriteFile(comm_ + "/CONTROL", "D,,X,400");
    s.MergePending();
    EXPECT_EQ(ReadFile(Crontab()), DefaultScheduleText("D,,X,400"));
}

TEST_F(SchedulerFiles, PendingChangesSurviveAnUnusableSchedule) {
    // A directory where the schedule file should be: it can be neither read
    // nor replaced, and the pending changes must not be thrown away.
    ASSERT_EQ(::mkdir(Crontab().c_str(), 0755), 0);
    WriteFile(Pending(), "c 3 3 3 /x/c\n");
    Scheduler s;
    s.MergePending();
    EXPECT_EQ(ReadFile(Pending()), "c 3 3 3 /x/c\n");
    EXPECT_TRUE(s.schedule().empty());

    // A schedule that exists but cannot be read (here a link to itself) is
    // not replaced by the pending text, which would drop its entries.
    ASSERT_EQ(::rmdir(Crontab().c_str()), 0);
    ASSERT_EQ(::symlink("crontab.dat", Crontab().c_str()), 0);
    s.MergePending();
    EXPECT_EQ(ReadFile(Pending()), "c 3 3 3 /x/c\n");
    struct stat st;
    ASSERT_EQ(::lstat(Crontab().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

}  // namespace
