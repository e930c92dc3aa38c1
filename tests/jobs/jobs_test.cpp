// qvzel_nt run as a real process in a scratch system root, with the Poll
// test double registered under its class and the olmar stand-in in the
// Olmar directory: the cases a real server cannot be made to produce
// (scripted result codes and lines, a component missing, a transfer held
// for a signal), the job log, the triggers, the locks and the day-end's
// hand-over file.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/common/records.h"
#include "tests/jobs/jobs_fixture.h"

namespace zel::test {
namespace {

namespace sfs = std::filesystem;

TEST_F(Jobs, UploadTurnsEachResultLineIntoItsOutcomeLine) {
    Register();
    Enable();
    Dump();
    WriteFile(Up("X.DAT"), "x");
    WriteFile(Up("POLL.RESULT"), "0000 STALE.DAT\r\n");  // an earlier run's, never reported
    Script(fake_poll::kUpScript, "up.txt", "0000 X.DAT\r\n2001 Y.DAT\r\n");
    WriteFile(CommPath("qvzelupfile"), "old run\r\n");
    WriteFile(CommPath("LOGFIL"), "earlier\r\n");
    ASSERT_EQ(Run("-U"), 0);  // any case selects the job
    const std::string lines =
        "Successful Upload of File X.DAT\r\nFAILURE in Upload of File Y.DAT - Error Code 2001\r\n";
    EXPECT_EQ(ReadFile(CommPath("qvzelupfile")), lines);
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), "earlier\r\n" + lines);
    EXPECT_EQ(Calls(), "Create\nSetLogFile \"" + CommPath("qvzel.log") +
                           "\"\nEnableLogging 1\nSetResultFile \"POLL.RESULT\"\n"
                           "PutFiles null null null\nReleaseLogFile\nRelease\n");
    EXPECT_EQ(JobLogText(),
              "qvzelup - Checking 'QVZEL = Y' flag\r\nqvzelup - Creating LOGFIL\r\n"
              "qvzelup - Creating qvzelupfile\r\nqvzelup - Checking for file to upload\r\n"
              "qvzelup - Invoking ferrun\r\nqvzelup - Processing POLL.RESULT\r\n");
    EXPECT_FALSE(FileExists(Up("POLL.RESULT")));
    EXPECT_TRUE(NoLocks());
}

TEST_F(Jobs, UploadDisabledTouchesNothingButTheJobLogAndTheLock) {
    Register();
    Dump();
    WriteFile(Cmn("INIT_CTRL"), "qvzel=y\r\nQVZEL:Y\r\n");
    WriteFile(Up("X.DAT"), "x");
    ASSERT_EQ(Run("-u"), 0);
    EXPECT_EQ(JobLogText(), "qvzelup - Checking 'QVZEL = Y' flag\r\n");
    EXPECT_FALSE(FileExists(CommPath("LOGFIL")));
    EXPECT_FALSE(FileExists(CommPath("qvzelupfile")));
    EXPECT_EQ(Calls(), "");
    EXPECT_TRUE(NoLocks());
}

TEST_F(Jobs, UploadWithOnlyTheResultFileAndDirectoriesStartsNoTransfer) {
    Register();
    Enable();
    sfs::create_directories(Up("sub"));
    WriteFile(Up("poll.result"), "0000 X.DAT\r\n");
    WriteFile(CommPath("qvzelupfile"), "old run\r\n");
    ASSERT_EQ(Run("-u"), 0);
    EXPECT_EQ(Calls(), "");
    EXPECT_EQ(ReadFile(CommPath("qvzelupfile")), "");
    EXPECT_TRUE(FileExists(CommPath("LOGFIL")));
    // "dumpmsg" absent: no job log at all.
    EXPECT_FALSE(FileExists(paths::JobLogFile()));
}

TEST_F(Jobs, DownloadReportsOutcomesAndRunsBothTriggersInOrder) {
    Register();
    Dump();
    WriteFile(Down("POLL.RESULT"), "0000 OLD.DAT\r\n");
    Script(fake_poll::kDownScript, "down.txt",
           "0000 A.DAT\r\n0123 B.DAT\r\n1000 NO POLL FILES AVAILABLE.\r\n");
    sfs::create_directories(Path("place"));
    WriteFile(Path("place/qvzel_on.trigger"), "");
    WriteFile(Path("place/qvzel_off.trigger"), "");
    ::setenv(fake_poll::kPlaceDir, Path("place").c_str(), 1);
    ASSERT_EQ(Run("-d"), 0);
    const std::string both =
        "Successful Download of File A.DAT\r\nFAILURE in Download of File B.DAT - Error Code "
        "0123\r\n";
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), both);
    EXPECT_EQ(ReadFile(CommPath("qvzeldownfile")), both + "No Files Available for Download\r\n");
    EXPECT_EQ(ReadFile(Path("olmar.log")),
              "-p QVZELON | " + paths::CmnDir() + "\n-p QVZELOFF | " + paths::CmnDir() + "\n");
    const std::string cmn = paths::CmnDir();
    EXPECT_EQ(JobLogText(),
              "qvzeldown - Creating LOGFIL\r\nqvzeldown - Creating qvzeldownfile\r\n"
              "qvzeldown - Invoking ferrun\r\nqvzeldown - Processing POLL.RESULT\r\n"
              "qvzeldown - Checking for qvzel_on.trigger\r\nOlmar Path\r\n" +
                  cmn + "\r\nolmar -p QVZELON\r\n" + cmn +
                  "\r\nqvzeldown - Checking for qvzel_off.trigger\r\nOlmar Path\r\n" + cmn +
                  "\r\nolmar -p QVZELOFF\r\n" + cmn + "\r\nqvzeldown - exiting\r\n");
    // The triggers are only looked at, never removed; the result file is.
    EXPECT_TRUE(FileExists(Down("qvzel_on.trigger")));
    EXPECT_FALSE(FileExists(Down("POLL.RESULT")));
    EXPECT_TRUE(NoLocks());
}

TEST_F(Jobs, DownloadWithoutComponentStillChecksTriggersAndReleasesTheLock) {
    Dump();
    WriteFile(Down("qvzel_on.trigger"), "");
    WriteFile(Down("POLL.RESULT"), "0000 OLD.DAT\r\n");
    ASSERT_EQ(Run("-d"), 0);
    EXPECT_EQ(ReadFile(CommPath("qvzeldownfile")), "");
    EXPECT_EQ(ReadFile(Path("olmar.log")), "-p QVZELON | " + paths::CmnDir() + "\n");
    EXPECT_EQ(JobLogText().find("Processing"), std::string::npos);
    EXPECT_TRUE(NoLocks());
}

TEST_F(Jobs, FirstOlmarRunCreatesTheKeyAndStartsNothing) {
    {
        reg::Key root;
        ASSERT_EQ(reg::DeleteTree(reg::Hive::LocalMachine, "SOFTWARE\\qvis\\olmar"), reg::kSuccess);
    }
    Dump();
    WriteFile(Down("qvzel_on.trigger"), "");
    ASSERT_EQ(Run("-d"), 0);
    EXPECT_NE(JobLogText().find("Unable to get olmar path from registry\r\n"), std::string::npos);
    EXPECT_FALSE(FileExists(Path("olmar.log")));
    ASSERT_EQ(Run("-d"), 0);
    EXPECT_EQ(ReadFile(Path("olmar.log")), "-p QVZELON | " + paths::CmnDir() + "\n");
}

// An Olmar directory that cannot be entered: the log names the directory
// that is current instead, and the failed start.
TEST_F(Jobs, OlmarDirectoryMissingLogsTheDirectoryActuallyCurrent) {
    Dump();
    SetOlmarDir(Path("no such dir"));
    WriteFile(Down("qvzel_on.trigger"), "");
    ASSERT_EQ(Run("-d"), 0);
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_NE(JobLogText().find("Olmar Path\r\n" + Path("no such dir") +
                                "\r\nolmar -p QVZELON\r\n" + cwd + "\r\nCreateProcess failed.\r\n"),
              std::string::npos)
        << JobLogText();
    EXPECT_FALSE(FileExists(Path("olmar.log")));
}

TEST_F(Jobs, ArgumentsOtherThanOneKnownOptionDoNothing) {
    Register();
    Enable();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"-x"}, {"-u", "-d"}, {"u"}}) {
        EXPECT_EQ(Wait(Spawn(ZEL_QVZEL_NT, args)), 0);
    }
    EXPECT_EQ(Calls(), "");
    EXPECT_FALSE(FileExists(CommPath("LOGFIL")));
}

// True when the child ends within timeout_ms; one that does not is killed
// and collected, so a test that fails here never leaves a job behind.
bool EndsWithin(pid_t pid, int timeout_ms) {
    int status = 0;
    if (WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) return true;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return false;
}

// A lock that names no holder, or a running one, keeps the job waiting
// until it is gone or older than the limit.
TEST_F(Jobs, LockOfAnUnknownOrRunningHolderIsTakenOverOnlyByAge) {
    Register();
    const std::string lock = CommPath("DOWNLOCK.qvzel_lock");
    const std::string me = RecordOf(proc::SelfIdentity());
    for (const std::string& content : {std::string(), me}) {
        WriteFile(lock, content);
        Age(lock, 241 * 60);
        ASSERT_EQ(Run("-d"), 0);
        EXPECT_TRUE(FileExists(CommPath("qvzeldownfile")));
        EXPECT_FALSE(FileExists(lock));
    }

    WriteFile(CommPath("ferrun.conf"), "downlock_minutes=1\n");
    for (const std::string& content : {std::string(), me}) {
        WriteFile(lock, content);
        ::unlink(CommPath("qvzeldownfile").c_str());
        const pid_t pid = Spawn(ZEL_QVZEL_NT, {"-d"});
        ASSERT_GT(pid, 0);
        EXPECT_FALSE(WaitUntil([&] { return FileExists(CommPath("qvzeldownfile")); }, 1200));
        ::unlink(lock.c_str());
        ASSERT_TRUE(EndsWithin(pid, 20000));
        EXPECT_TRUE(FileExists(CommPath("qvzeldownfile")));
    }
}

// A job killed outright (a reboot, a power cut) leaves its lock naming it;
// the next job of its kind takes it over at once, not hours later.
TEST_F(Jobs, LockOfAKilledJobIsTakenOverAtOnce) {
    Register();
    Script(fake_poll::kDownScript, "down.txt", "0000 A.DAT\r\n");
    ::setenv(fake_poll::kDelayMs, "20000", 1);
    const std::string lock = CommPath("DOWNLOCK.qvzel_lock");
    const pid_t killed = Spawn(ZEL_QVZEL_NT, {"-d"});
    ASSERT_GT(killed, 0);
    ASSERT_TRUE(WaitUntil([&] { return Calls().find("GetFiles") != std::string::npos; }, 20000));
    EXPECT_EQ(ReadFile(lock).rfind("qvzel-holder " + std::to_string(killed) + " ", 0), 0u);
    ASSERT_EQ(::kill(killed, SIGKILL), 0);
    EXPECT_EQ(Wait(killed), -1);
    ASSERT_TRUE(FileExists(lock));

    ::unsetenv(fake_poll::kDelayMs);
    const pid_t next = Spawn(ZEL_QVZEL_NT, {"-d"});
    ASSERT_GT(next, 0);
    ASSERT_TRUE(EndsWithin(next, 20000));
    EXPECT_EQ(ReadFile(CommPath("qvzeldownfile")), "Successful Download of File A.DAT\r\n");
    EXPECT_TRUE(NoLocks());
}

TEST_F(Jobs, InterruptDoesNotStopAJobButTerminateDoes) {
    Register();
    Script(fake_poll::kDownScript, "down.txt", "0000 A.DAT\r\n");
    ::setenv(fake_poll::kDelayMs, "1000", 1);
    const pid_t job = Spawn(ZEL_QVZEL_NT, {"-d"});
    ASSERT_TRUE(WaitUntil([&] { return Calls().find("GetFiles") != std::string::npos; }, 20000));
    ASSERT_EQ(::kill(job, SIGINT), 0);
    EXPECT_EQ(Wait(job), 0);
    EXPECT_EQ(ReadFile(CommPath("qvzeldownfile")), "Successful Download of File A.DAT\r\n");

    ::setenv(fake_poll::kDelayMs, "20000", 1);
    const pid_t second = Spawn(ZEL_QVZEL_NT, {"-d"});
    ASSERT_TRUE(WaitUntil(
        [&] { return Calls().find("GetFiles", Calls().find("GetFiles") + 1) != std::string::npos; },
        20000));
    ASSERT_EQ(::kill(second, SIGTERM), 0);
    EXPECT_EQ(Wait(second), -1);  // killed, not exited
}

// ---- Day-end ---------------------------------------------------------------

TEST_F(Jobs, DayEndFoldsOutboundThenReceiptsAndRunsOlmarsDayEnd) {
    Enable();
    Dump();
    WriteFile(CommPath("QV2DLR.DAT"), "OLD;");
    WriteFile(Down("RECEIPTS1.DAT"), "R1;");
    WriteFile(Down("OUTBOUND2.DAT"), "O2;");
    WriteFile(Down("outbound1"), "O1;");
    WriteFile(Down("JSDF01.DAT"), "new jsdf");
    WriteFile(CommPath("JSDF01.DAT"), "old jsdf");
    sfs::create_directories(paths::PubDir());
    WriteFile(Down("barcode.txt"), "bc");
    for (const char* g : {"BACKZEL", "BACKZEL2", "BACKZEL4", "BACKZEL5"}) WriteFile(Cmn(g), g);
    ASSERT_EQ(Run("-p"), 0);

    EXPECT_EQ(ReadFile(CommPath("QV2DLR.DAT")), "OLD;O1;O2;R1;");
    EXPECT_EQ(ReadFile(CommPath("append_file")), "OLD;O1;O2;R1;");
    std::vector<std::string> left;
    ASSERT_EQ(fs::ListMatching(paths::DownloadDir(), "*.*", &left), 0);
    EXPECT_TRUE(left.empty()) << left.front();
    EXPECT_EQ(ReadFile(CommPath("JSDF01.DAT")), "new jsdf");
    EXPECT_EQ(ReadFile(paths::Join(paths::PubDir(), "barcode.txt")), "bc");
    EXPECT_EQ(ReadFile(Cmn("BACKZEL3")), "BACKZEL2");
    EXPECT_EQ(ReadFile(Cmn("BACKZEL5")), "BACKZEL4");
    EXPECT_FALSE(FileExists(Cmn("BACKZEL2")));
    EXPECT_FALSE(FileExists(Cmn("BACKZEL4")));
    EXPECT_EQ(ReadFile(Cmn("BACKZEL1")), "BACKZEL");
    EXPECT_EQ(ReadFile(Cmn("BACKZEL")).substr(0, 20), "olmar day-end report");
    EXPECT_EQ(ReadFile(Path("olmar.log")),
              "-p DAYEND >> " + Cmn("BACKZEL") + " | " + paths::CmnDir() + "\n");
    EXPECT_FALSE(FileExists(CommPath("FROMCRON")));
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), "");
    const std::string log = JobLogText();
    const std::string head =
        "qvzelproc - Checking 'QVZEL = Y' flag\r\n"
        "qvzelproc - replacing append_file with QV2DLR.DAT\r\n"
        "qvzelproc - adding OUTBOUND*.* files to append_file\r\n"
        "qvzelproc - replacing QV2DLR.DAT with append_file\r\n"
        "qvzelproc - removing OUTBOUND*.* files\r\n"
        "qvzelproc - adding RECEIPTS*.* files to append_file\r\n"
        "qvzelproc - replacing QV2DLR.DAT with append_file\r\n"
        "qvzelproc - removing RECEIPTS*.* files\r\n"
        "qvzelproc - " +
        CommPath("FROMQVZEL") + " not found\r\nqvzelproc - creating " + CommPath("FROMCRON") +
        "\r\nOlmar Path\r\n";
    EXPECT_EQ(log.substr(0, head.size()), head);
    EXPECT_TRUE(NoLocks());
}

// A system root with a blank in it: the day-end report path still reaches
// Olmar as one argument, and the report is written there.
TEST_F(Jobs, DayEndUnderASystemRootWithABlankWritesTheReport) {
    const std::string root = Path("dealer root");
    ::setenv("QVIS_ROOT", root.c_str(), 1);
    for (const std::string& d : {paths::DownloadDir(), paths::CmnDir()}) sfs::create_directories(d);
    sfs::copy_file(ZEL_OLMAR, Cmn("olmar"));
    SetOlmarDir(paths::CmnDir());
    Enable();
    Dump();
    ASSERT_EQ(Run("-p"), 0);
    const std::string report = Cmn("BACKZEL");
    EXPECT_EQ(ReadFile(report).rfind("olmar day-end report ", 0), 0u);
    EXPECT_EQ(ReadFile(Path("olmar.log")),
              "-p DAYEND >> " + report + " | " + paths::CmnDir() + "\n");
    EXPECT_NE(JobLogText().find("olmar -p DAYEND >> \"" + report + "\"\r\n"), std::string::npos);
    EXPECT_FALSE(FileExists(Cmn("BACKZEL1")));
}

TEST_F(Jobs, DayEndWithNothingToFoldLeavesNoHandOverFile) {
    Enable();
    Dump();
    WriteFile(CommPath("FROMQVZEL"), "");
    WriteFile(Cmn("BACKZEL"), "b");
    ASSERT_EQ(Run("-p"), 0);
    EXPECT_FALSE(FileExists(CommPath("QV2DLR.DAT")));
    EXPECT_NE(JobLogText().find("qvzelproc - removing empty QV2DLR.DAT file\r\nqvzelproc - " +
                                CommPath("FROMQVZEL") + " found not executing\r\n"),
              std::string::npos);
    // FROMQVZEL: no rotation and no olmar.
    EXPECT_EQ(ReadFile(Cmn("BACKZEL")), "b");
    EXPECT_FALSE(FileExists(Cmn("BACKZEL1")));
    EXPECT_FALSE(FileExists(Path("olmar.log")));
}

TEST_F(Jobs, DayEndAppendFailureKeepsHandOverFileAndOutboundFiles) {
    Enable();
    WriteFile(CommPath("FROMQVZEL"), "");
    WriteFile(CommPath("QV2DLR.DAT"), "OLD;");
    WriteFile(Down("OUTBOUND1"), "O1;");
    ASSERT_EQ(::mkfifo(Down("OUTBOUND2").c_str(), 0644), 0);  // cannot be read as a file
    WriteFile(Down("RECEIPTS1"), "R1;");
    ASSERT_EQ(Run("-p"), 0);
    EXPECT_EQ(ReadFile(CommPath("QV2DLR.DAT")), "OLD;R1;");
    EXPECT_EQ(ReadFile(Down("OUTBOUND1")), "O1;");
    EXPECT_TRUE(FileExists(Down("OUTBOUND2")));
    EXPECT_FALSE(FileExists(Down("RECEIPTS1")));
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), "FAILURE to append file OUTBOUND2 to QV2DLR.DAT");
}

TEST_F(Jobs, DayEndDisabledTouchesNothing) {
    WriteFile(Down("OUTBOUND1"), "O1;");
    ASSERT_EQ(Run("-p"), 0);
    EXPECT_TRUE(FileExists(Down("OUTBOUND1")));
    EXPECT_FALSE(FileExists(CommPath("LOGFIL")));
    EXPECT_FALSE(FileExists(CommPath("append_file")));
    EXPECT_TRUE(NoLocks());
}

}  // namespace
}  // namespace zel::test
