// Schedule text: default schedule, parsing, matching and merging.
#include "scheduler/schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zel::cron::ComputeDefaultMinutes;
using zel::cron::ContractValue;
using zel::cron::DefaultScheduleText;
using zel::cron::DeriveCommand;
using zel::cron::DueCommands;
using zel::cron::MergePlan;
using zel::cron::MergeScheduleText;
using zel::cron::ParseSchedule;
using zel::cron::PlanMerge;
using zel::cron::SplitLines;
using zel::cron::UnitContractFromControl;

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
        const char* contract;
        int upload, download;
        bool odd;
    };
    const Case cases[] = {
        {"D,,X,12345", "12345", 20, 41, true},
        {"D,,X,400\r\n", "400\r\n", 24, 48, false},
        {"no fields at all", "", 0, 0, false},
        {"", "", 0, 0, false},
        // The fourth field comes first, then the second.
        {"a,45,b,1", "145", 8, 17, false},
        {"a,7,b", "7", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        EXPECT_EQ(UnitContractFromControl(c.control), c.contract);
        auto m = ComputeDefaultMinutes(ContractValue(UnitContractFromControl(c.control)));
        EXPECT_EQ(m.upload, c.upload);
        EXPECT_EQ(m.download, c.download);
        EXPECT_EQ(m.odd_hours, c.odd);
    }
}

TEST(DefaultSchedule, ContractNumberReading) {
    EXPECT_DOUBLE_EQ(ContractValue("12345"), 12.345);
    EXPECT_DOUBLE_EQ(ContractValue("  500abc"), 0.5);
    EXPECT_DOUBLE_EQ(ContractValue("1.5e3"), 0.0015);
    EXPECT_EQ(ContractValue("DLR123"), 0.0);
    EXPECT_EQ(ContractValue("inf"), 0.0);
    EXPECT_EQ(ContractValue(std::string(400, '9')), 0.0);
    // 0.5 exactly is not above one half: even hours.
    EXPECT_FALSE(ComputeDefaultMinutes(ContractValue("500")).odd_hours);
    // A negative contract still gives minutes a schedule line can hold.
    for (const char* text : {"-500", "-12345", "-1"}) {
        auto m = ComputeDefaultMinutes(ContractValue(text));
        EXPECT_GE(m.upload, 0) << text;
        EXPECT_LT(m.upload, 60) << text;
        EXPECT_GE(m.download, 0) << text;
        EXPECT_LT(m.download, 60) << text;
    }
    auto big = ComputeDefaultMinutes(ContractValue("99999999999999999999999"));
    EXPECT_GE(big.download, 0);
    EXPECT_LT(big.download, 60);
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

TEST(DefaultSchedule, ParsesToThreeEntries) {
    auto s = ParseSchedule(DefaultScheduleText("D,,X,400"));
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].command, "qvzelproc.bat");
    EXPECT_EQ(s[1].command, "qvzeldown.bat");
    EXPECT_EQ(s[2].command, "qvzelup.bat");
    // Day-end at 03:00 Tuesday to Saturday only.
    EXPECT_EQ(DueCommands(s, At(2, 3, 0)), std::vector<std::string>{"qvzelproc.bat"});
    EXPECT_TRUE(DueCommands(s, At(1, 3, 0)).empty());
    EXPECT_TRUE(DueCommands(s, At(0, 3, 0)).empty());
    // Uploads at :24 every hour Monday to Saturday, downloads at :48 in even hours.
    EXPECT_EQ(DueCommands(s, At(6, 23, 24)), std::vector<std::string>{"qvzelup.bat"});
    EXPECT_EQ(DueCommands(s, At(1, 22, 48)), std::vector<std::string>{"qvzeldown.bat"});
    EXPECT_TRUE(DueCommands(s, At(1, 21, 48)).empty());
    EXPECT_TRUE(DueCommands(s, At(0, 10, 24)).empty());
}

TEST(Commands, Derivation) {
    EXPECT_EQ(DeriveCommand("/usr/bin/cron/qvzelproc"), "qvzelproc.bat");
    EXPECT_EQ(DeriveCommand("/usr/bin/cron/qvzelup"), "qvzelup.bat");
    EXPECT_EQ(DeriveCommand("C:\\X\\run.cmd"), "run.cmd");
    EXPECT_EQ(DeriveCommand("plain"), "plain.bat");
    // "/" wins over "\": only when there is no "/" does "\" cut.
    EXPECT_EQ(DeriveCommand("C:\\X/y\\z"), "y\\z.bat");
    EXPECT_EQ(DeriveCommand("/x/"), "");
    EXPECT_EQ(DeriveCommand("/" + std::string(257, 'a')), std::string(257, 'a') + ".bat");
    EXPECT_EQ(DeriveCommand("/" + std::string(258, 'a')), "");
}

TEST(Matching, WeekdayHourMinute) {
    auto s = ParseSchedule("job 5 7 1 /x/y\r\n");
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].name, "job");
    EXPECT_EQ(DueCommands(s, At(1, 7, 5)), std::vector<std::string>{"y.bat"});
    EXPECT_TRUE(DueCommands(s, At(2, 7, 5)).empty());
    EXPECT_TRUE(DueCommands(s, At(1, 7, 6)).empty());
    EXPECT_TRUE(DueCommands(s, At(1, 8, 5)).empty());
    EXPECT_TRUE(DueCommands(s, At(0, 7, 5)).empty());
}

TEST(Matching, DueEntriesInReverseLineOrder) {
    auto s = ParseSchedule("first 0 0 0 /a/one\nsecond 0 0 0 /a/two\nthird 1 0 0 /a/three\n");
    EXPECT_EQ(DueCommands(s, At(0, 0, 0)), (std::vector<std::string>{"two.bat", "one.bat"}));
}

TEST(Parsing, LineEnds) {
    EXPECT_EQ(SplitLines("a\r\nb\nc\n\rd\re"), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(SplitLines("a\n\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(SplitLines("").empty());
}

TEST(Parsing, BadLinesAreSkippedAndTheRestWorks) {
    const std::string good = "good 0,59 0,23 0,6 /x/ok\r\n";
    const char* bad[] = {
        "four 1 2 3\r\n",
        "six 1 2 3 /x/y extra\r\n",
        "minute 60 1 1 /x/y\r\n",
        "hour 1 24 1 /x/y\r\n",
        "day 1 1 7 /x/y\r\n",
        "empty 1,,2 1 1 /x/y\r\n",
        "trailing 1, 1 1 /x/y\r\n",
        "neg -1 1 1 /x/y\r\n",
        "word a 1 1 /x/y\r\n",
        "plus +1 1 1 /x/y\r\n",
        "huge 99999999999999999999 1 1 /x/y\r\n",
        "nocmd 1 1 1 /x/\r\n",
        "\r\n",
    };
    std::string text;
    for (const char* line : bad) text += line;
    text += std::string(64, 'n') + " 1 1 1 /x/y\r\n";
    text += "long 1 1 1 /" + std::string(500, 'p') + "\r\n";
    text += good;
    auto s = ParseSchedule(text);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].name, "good");
    EXPECT_EQ(DueCommands(s, At(6, 23, 59)), std::vector<std::string>{"ok.bat"});
    EXPECT_EQ(DueCommands(s, At(0, 0, 0)), std::vector<std::string>{"ok.bat"});
    EXPECT_TRUE(DueCommands(s, At(1, 0, 0)).empty());

    // Limits themselves are fine; doubled blanks and leading zeros too.
    auto edge = ParseSchedule(std::string(63, 'n') + "  07 1 1 /x/y");
    ASSERT_EQ(edge.size(), 1u);
    EXPECT_TRUE(edge[0].minutes[7]);
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
        "qvzel_proc 0 3 2 /usr/bin/cron/qvzelproc\r\n";
    const std::string pending =
        "qvzel_up remove\n"
        "extra 5 5 5 /x/extra\n"
        "qvzel_proc 30 4 2 /usr/bin/cron/qvzelproc\n"
        "ghost remove\n"
        "qvzel_proc 59 4 2 /ignored\n";
    EXPECT_EQ(MergeScheduleText(schedule, pending),
              "qvzel_down 41 1 1 /usr/bin/cron/qvzeldown\r\n"
              "qvzel_proc 30 4 2 /usr/bin/cron/qvzelproc\r\n"
              "extra 5 5 5 /x/extra\r\n");
}

TEST(Merge, NamesMatchWholeAndKeepOrder) {
    // "up" must not take over "up2", and "up2" not "up".
    EXPECT_EQ(MergeScheduleText("up 1 1 1 /a\nup2 2 2 2 /b\n", "up2 9 9 9 /c\n"),
              "up 1 1 1 /a\r\nup2 9 9 9 /c\r\n");
    // "remove" inside a command does not count without a blank before it.
    EXPECT_EQ(MergeScheduleText("a 1 1 1 /a\n", "b 1 1 1 /removed\n"),
              "a 1 1 1 /a\r\nb 1 1 1 /removed\r\n");
}

}  // namespace
