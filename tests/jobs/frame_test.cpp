// The runner's shared pieces in-process: result lines, the enable flag, the
// job log's cut, and the day-end copy that must never lose its target.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "jobs/dayend.h"
#include "jobs/enable_flag.h"
#include "jobs/job_log.h"
#include "jobs/result_lines.h"
#include "platform/paths.h"
#include "tests/common/scratch.h"

namespace zel::jobs {
namespace {

std::vector<std::string> Lines(std::string_view data) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    std::string line;
    for (int guard = 0; guard < 100 && NextResultLine(data, &pos, &line); ++guard)
        out.push_back(line);
    return out;
}

TEST(ResultLines, EveryLineEndGivesTheSameLinesAndANulEndsTheData) {
    const std::vector<std::string> want{"0000 A.DAT", "0123 B.DAT"};
    EXPECT_EQ(Lines("0000 A.DAT\r\n0123 B.DAT\r\n"), want);
    EXPECT_EQ(Lines("0000 A.DAT\n0123 B.DAT\n"), want);
    EXPECT_EQ(Lines("0000 A.DAT\n\r0123 B.DAT"), want);
    EXPECT_TRUE(Lines("").empty());
    EXPECT_EQ(Lines(std::string("0000 A.DAT\r\n\0"
                                "0123 B.DAT\r\n",
                                24)),
              std::vector<std::string>{"0000 A.DAT"});
    // Two line feeds are two ends: the empty line between is a line.
    EXPECT_EQ(Lines("0000 A.DAT\n\n0123 B.DAT\n"),
              (std::vector<std::string>{"0000 A.DAT", "", "0123 B.DAT"}));
}

TEST(ResultLines, ShortLinesCarryNothingAndLongOnesAreCutInTheirName) {
    ResultLine r;
    EXPECT_FALSE(ParseResultLine("", &r));
    EXPECT_FALSE(ParseResultLine("0000", &r));
    ASSERT_TRUE(ParseResultLine("0000 ", &r));
    EXPECT_EQ(r.code, "0000");
    EXPECT_EQ(r.name, "");
    const std::string long_name(400, 'N');
    ASSERT_TRUE(ParseResultLine("2001 " + long_name, &r));
    EXPECT_EQ(r.code, "2001");
    EXPECT_EQ(r.name, std::string(kResultLineMax - 5, 'N'));
    // Codes above 9999 take five digits; the fifth is not part of the name.
    ASSERT_TRUE(ParseResultLine("16383 X.DAT", &r));
    EXPECT_EQ(r.code, "16383");
    EXPECT_EQ(r.name, "X.DAT");
}

TEST(EnableFlag, OnlyTheSevenTextsEnable) {
    for (const char* on : {"QVZEL = Y", "QVZEL =Y", "QVZEL= Y", "QVZEL Y", "QVZEL  Y", "QVZEL   Y",
                           "QVZEL=Y", "x\r\nQVZEL=YES\r\n"}) {
        EXPECT_TRUE(TextEnablesTransfer(on)) << on;
    }
    for (const char* off : {"", "qvzel=y", "QVZEL:Y", "QVZEL\tY", "QVZEL    Y", "QVZEL=N"}) {
        EXPECT_FALSE(TextEnablesTransfer(off)) << off;
    }
}

class FrameFiles : public test::ScratchRoot {};

TEST_F(FrameFiles, JobLogIsWrittenOnlyWithTheDumpFlagAndCutAtItsLimit) {
    const std::string log = paths::JobLogFile();
    SetDumpFlag(0);
    JobLog("quiet");
    EXPECT_FALSE(FileExists(log));

    SetDumpFlag(1);
    std::string big(kJobLogLimit - kJobLogKeep, 'a');
    big += std::string(kJobLogKeep, 'b');
    WriteFile(log, big);
    ::chmod(log.c_str(), 0444);  // read-only attribute: cleared first
    JobLog("next\nline");
    EXPECT_EQ(ReadFile(log), std::string(kJobLogKeep, 'b') + "next\r\nline\r\n");
    // Below the limit nothing is cut.
    JobLog("more");
    EXPECT_EQ(ReadFile(log).size(), kJobLogKeep + 18);
    SetDumpFlag(0);
}

// A copy into the hand-over file that fails half-way (here: the file size
// limit) must give the target back whole, never empty.
TEST_F(FrameFiles, FailedCopyReplaceLeavesTheTargetAsItWas) {
    const std::string target = CommPath("QV2DLR.DAT");
    const std::string source = CommPath("append_file");
    WriteFile(target, "hello");
    WriteFile(source, std::string(10000, 'x'));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        _exit(CopyReplace(target, source) ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(ReadFile(target), "hello");
    // No backup is left behind after it was put back.
    std::vector<std::string> left;
    ASSERT_EQ(fs::ListMatching(Path("tmp"), "ZEL*", &left), 0);
    EXPECT_TRUE(left.empty());

    // A source that cannot be opened makes the target empty; a good copy
    // replaces it.
    EXPECT_TRUE(CopyReplace(target, CommPath("missing")));
    EXPECT_EQ(ReadFile(target), "");
    EXPECT_TRUE(CopyReplace(target, source));
    EXPECT_EQ(ReadFile(target), std::string(10000, 'x'));
}

// The download job runs beside the day-end job: files it places after the
// append (a new name, or a newer file under a name just appended) must
// stay for the next run, never be removed unappended.
TEST_F(FrameFiles, DayEndRemovesOnlyTheFilesItAppended) {
    std::filesystem::create_directories(paths::DownloadDir());
    const std::string down = paths::DownloadDir();
    WriteFile(CommPath("QV2DLR.DAT"), "OLD;");
    WriteFile(paths::Join(down, "OUTBOUND1.DAT"), "O1;");
    WriteFile(paths::Join(down, "OUTBOUND2.DAT"), "O2;");
    TextFile logfil;
    ASSERT_TRUE(logfil.Open(CommPath("LOGFIL"), false));
    FoldIntoHandOver("OUTBOUND*.*", true, &logfil, [&] {
        WriteFile(paths::Join(down, "OUTBOUND9.DAT"), "O9;");
        // Placed as a download places a file: written aside, renamed in.
        WriteFile(paths::Join(down, "new.part"), "O2 again;");
        ASSERT_EQ(
            fs::RenameReplace(paths::Join(down, "new.part"), paths::Join(down, "OUTBOUND2.DAT")),
            0);
    });
    EXPECT_EQ(ReadFile(CommPath("QV2DLR.DAT")), "OLD;O1;O2;");
    EXPECT_FALSE(FileExists(paths::Join(down, "OUTBOUND1.DAT")));
    EXPECT_EQ(ReadFile(paths::Join(down, "OUTBOUND9.DAT")), "O9;");
    EXPECT_EQ(ReadFile(paths::Join(down, "OUTBOUND2.DAT")), "O2 again;");

    // The next run takes them.
    FoldIntoHandOver("OUTBOUND*.*", true, &logfil);
    EXPECT_EQ(ReadFile(CommPath("QV2DLR.DAT")), "OLD;O1;O2;O2 again;O9;");
    std::vector<std::string> left;
    ASSERT_EQ(fs::ListMatching(down, "*.*", &left), 0);
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), "");
}

}  // namespace
}  // namespace zel::jobs
