// Schedule text: default schedule, parsing, matching and merging.
#include "scheduler/schedule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace zel::cron;
using Commands = std::vector<std::string>;

std::tm At(int wday, int hour, int minute) {
    std::tm t{};
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

TEST(DefaultSchedule, MinutesFromContract) {
    struct Case {
        const char* control;
        int upload, download;
        bool odd;
    } const cases[] = {
        {"D,,X,12345", 20, 41, true},      {"D,,X,400\r\n", 24, 48, false},
        {"no fields at all", 0, 0, false}, {"a,45,b,1", 8, 17, false},  // "1" then "45": 0.145
        {"D,,X,500", 30, 0, false},   // exactly one half is not above it
        {"D,,X,1.5e3", 30, 0, true},  // an exponent continues the number: 1.5
        {"D,,X,12e", 0, 1, false},    // "e" without digits ends it: 0.012
        {"D,,X,1e999", 0, 0, false},  // out of range
        {"D,,X,inf", 0, 0, false},         {"D,,X,0x400", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        auto m = ComputeDefaultMinutes(ContractValue(UnitContractFromControl(c.control)));
        EXPECT_EQ(m.upload, c.upload);
        EXPECT_EQ(m.download, c.download);
        EXPECT_EQ(m.odd_hours, c.odd);
    }
    // Negative or huge contracts still give minutes a line can hold.
    for (const char* text : {"-500", "-12345", "99999999999999999999999"}) {
        auto m = ComputeDefaultMinutes(ContractValue(text));
        EXPECT_TRUE(m.upload >= 0 && m.upload < 60 && m.download >= 0 && m.download < 60) << text;
    }
}

TEST(DefaultSchedule, ExactBytes) {
    EXPECT_EQ(DefaultScheduleText("D,,X,12345"),
              "qvzel_up 20 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23 "
              "1,2,3,4,5,6 /usr/bin/cron/qvzelup\r\n"
              "qvzel_down 41 1,3,5,7,9,11,13,15,17,19,21,23 1,2,3,4,5,6 "
              "/usr/bin/cron/qvzeldown\r\n"
              "qvzel_proc 0 3 2,3,4,5,6 /usr/bin/cron/qvzelproc\r\n");
    EXPECT_EQ(DefaultScheduleText(""),
              "qvzel_up 0 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23 "
              "1,2,3,4,5,6 /usr/bin/cron/qvzelup\r\n"
              "qvzel_down 0 0,2,4,6,8,10,12,14,16,18,20,22 1,2,3,4,5,6 "
              "/usr/bin/cron/qvzeldown\r\n"
              "qvzel_proc 0 3 2,3,4,5,6 /usr/bin/cron/qvzelproc\r\n");
}

TEST(Commands, Derivation) {
    EXPECT_EQ(DeriveCommand("/usr/bin/cron/qvzelproc"), "qvzelproc.bat");
    EXPECT_EQ(DeriveCommand("C:\\X\\run.cmd"), "run.cmd");
    EXPECT_EQ(DeriveCommand("C:\\X/y\\z"), "y\\z.bat");  // "\" cuts only without "/"
    EXPECT_EQ(DeriveCommand("/x/"), "");
    EXPECT_EQ(DeriveCommand("/" + std::string(258, 'a')), "");  // over 261 with ".bat"
}

TEST(Matching, WeekdayHourMinuteAndReverseOrder) {
    auto s = ParseSchedule("job 5 7 1 /x/y\r\n");
    EXPECT_EQ(DueCommands(s, At(1, 7, 5)), Commands{"y.bat"});
    EXPECT_TRUE(DueCommands(s, At(2, 7, 5)).empty());
    EXPECT_TRUE(DueCommands(s, At(1, 7, 6)).empty());
    EXPECT_TRUE(DueCommands(s, At(1, 8, 5)).empty());

    s = ParseSchedule("first 0 0 0 /a/one\nsecond 0 0 0 /a/two\rthird 1 0 0 /a/three\n\r");
    EXPECT_EQ(DueCommands(s, At(0, 0, 0)), (Commands{"two.bat", "one.bat"}));
}

TEST(Parsing, BadLinesAreSkippedAndTheRestWorks) {
    std::string text =
        "four 1 2 3\r\nsix 1 2 3 /x/y extra\r\nminute 60 1 1 /x/y\r\nhour 1 24 1 /x/y\r\n"
        "day 1 1 7 /x/y\r\nempty 1,,2 1 1 /x/y\r\nneg -1 1 1 /x/y\r\nword a 1 1 /x/y\r\n"
        "huge 99999999999999999999 1 1 /x/y\r\nnocmd 1 1 1 /x/\r\n\r\n";
    text += std::string(64, 'n') + " 1 1 1 /x/y\r\n";
    text += "long 1 1 1 /" + std::string(500, 'p') + "\r\n";
    text += std::string(63, 'g') + "  00,59 0,23 0,6 /x/ok\r\n";  // limits, double blank
    auto s = ParseSchedule(text);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(DueCommands(s, At(6, 23, 59)), Commands{"ok.bat"});
    EXPECT_EQ(DueCommands(s, At(0, 0, 0)), Commands{"ok.bat"});
    EXPECT_TRUE(DueCommands(s, At(1, 0, 0)).empty());
}

TEST(Merge, Plans) {
    EXPECT_EQ(PlanMerge("a 1 1 1 /x\r\n", "").action, MergePlan::Action::kNothing);
    EXPECT_EQ(PlanMerge("", "").action, MergePlan::Action::kReloadOnly);
    MergePlan p = PlanMerge("", "new 1 1 1 /x\nraw remove\n");
    EXPECT_EQ(p.action, MergePlan::Action::kWriteReload);
    EXPECT_EQ(p.text, "new 1 1 1 /x\nraw remove\n");  // unchanged, byte for byte
}

TEST(Merge, ReplaceRemoveAppendDrop) {
    const std::string schedule =
        "qvzel_up 20 1 1 /usr/bin/cron/qvzelup\r\n"
        "qvzel_down 41 1 1 /usr/bin/cron/qvzeldown\r\n"
        "up2 1 1 1 /a\n"
        "qvzel_proc 0 3 2 /usr/bin/cron/qvzelproc\r\n";
    const std::string pending =
        "qvzel_up remove\n"
        "extra 5 5 5 /x/extra\n"
        "qvzel_proc 30 4 2 /usr/bin/cron/qvzelproc\n"
        "ghost remove\n"
        "qvzel_proc 59 4 2 /ignored\n"
        "up 9 9 9 /removed\n";
    EXPECT_EQ(MergeScheduleText(schedule, pending),
              "qvzel_down 41 1 1 /usr/bin/cron/qvzeldown\r\n"
              "up2 1 1 1 /a\r\n"
              "qvzel_proc 30 4 2 /usr/bin/cron/qvzelproc\r\n"
              "extra 5 5 5 /x/extra\r\n"
              "up 9 9 9 /removed\r\n");
}

}  // namespace

namespace {

// Runs the body with TZ set to zone, restoring the previous zone after.
template <class F>
void InZone(const char* zone, F&& body) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("TZ", zone, 1);
    ::tzset();
    body();
    if (old != nullptr)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

std::time_t UtcMinute(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    return ::timegm(&tm);
}

}  // namespace

TEST(DryRun, StartsFollowTheLocalClockThroughItsChanges) {
    // Sundays at 02:30 local time, planned from a Saturday noon.
    const Schedule s = ParseSchedule("night 30 2 0 /x/n\r\nlater 0 12 6 /x/l\r\n");
    InZone("Europe/Berlin", [&] {
        // 2026-03-29: 02:00 becomes 03:00, so 02:30 never happens.
        std::vector<PlannedStart> spring = PlanStarts(s, UtcMinute(2026, 3, 28, 11, 0), 24 * 60);
        EXPECT_TRUE(spring.empty());
        // 2026-10-25: 03:00 goes back to 02:00, so 02:30 comes twice, an
        // hour apart (00:30 and 01:30 UTC).
        std::vector<PlannedStart> autumn = PlanStarts(s, UtcMinute(2026, 10, 24, 10, 0), 24 * 60);
        ASSERT_EQ(autumn.size(), 2u);
        EXPECT_EQ(autumn[0].when, UtcMinute(2026, 10, 25, 0, 30));
        EXPECT_EQ(autumn[1].when, UtcMinute(2026, 10, 25, 1, 30));
        EXPECT_EQ(s[autumn[0].entry].command, "n.bat");
    });
    InZone("UTC", [&] {
        // The minute in progress is not planned again; the window is capped
        // at one week, which still reaches the same minute a week on.
        const std::time_t noon = UtcMinute(2026, 12, 12, 12, 0);  // a Saturday
        std::vector<PlannedStart> week = PlanStarts(s, noon + 20, 100000);
        ASSERT_EQ(week.size(), 2u);
        EXPECT_EQ(week[0].when, UtcMinute(2026, 12, 13, 2, 30));
        EXPECT_EQ(week[1].when, noon + 7 * 24 * 3600);
        EXPECT_TRUE(PlanStarts(s, noon, 0).empty());
    });
}
