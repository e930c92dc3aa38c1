// CEventLog: exact record bytes, suppression rules, outputs, opening and
// cutting the log file, the thread's current log, and four processes
// appending to one file at once.
#include "log/event_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "support/strings.h"
#include "tests/common/records.h"
#include "tests/common/scratch.h"

namespace {

using zel::test::FileExists;
using zel::test::LogRecordOf;
using zel::test::ReadFile;
using zel::test::ScratchRoot;
using zel::test::WriteFile;

// Replaces every "MM/DD/YY HH:MM:SS.mmm (pid)" by "<TS>".  With own_only, a
// stamp with another process's ID is left as it is (and so fails compares).
std::string Mask(const std::string& text, bool own_only = true) {
    static const std::regex stamp(
        R"((0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/[0-9]{2} ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\.[0-9]{3} \(([0-9]+)\))");
    std::string out;
    auto begin = std::sregex_iterator(text.begin(), text.end(), stamp);
    std::size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        out += text.substr(last, static_cast<std::size_t>(m.position(0)) - last);
        out += (!own_only || m[4].str() == std::to_string(::getpid())) ? "<TS>" : m.str(0);
        last = static_cast<std::size_t>(m.position(0) + m.length(0));
    }
    return out + text.substr(last);
}

// The record log_writer_helper writes, with its stamp masked.  Stamps of
// the writer processes are masked by process ID below.
std::string ExpectedRecord(int writer, int number) {
    char id[16];
    std::snprintf(id, sizeof id, "3322%04d", number);
    return "TimeStamp: <TS>\r\n" +
           LogRecordOf("writer", "Information", "Client Application", id,
                       "writer " + std::to_string(writer) + " record " + std::to_string(number) +
                           " " + std::string(300, static_cast<char>('a' + writer)),
                       "Writer::Run");
}

class EventLogTest : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        file_ = CommPath("client.log");
    }
    void OpenLog(bool keep_open = false) { ASSERT_TRUE(log_.Open(file_.c_str(), keep_open)); }

    std::string file_;
    CEventLog log_;
};

TEST(DecodeResultCode, TakesTheCodeApart) {
    DecodedResult d = DecodeResultCode(MakeResult(0x801F811D));
    EXPECT_EQ(d.severity, 1);
    EXPECT_EQ(d.category, 31);
    EXPECT_EQ(d.class_digit, 2);
    EXPECT_EQ(d.number, 285);

    d = DecodeResultCode(MakeResult(0x80258000 + 404));
    EXPECT_EQ(d.category, 37);
    EXPECT_EQ(d.number, 404);
    d = DecodeResultCode(MakeResult(0x80244000 + 2001));
    EXPECT_EQ(d.category, 36);
    EXPECT_EQ(d.number, 2001);

    // Facilities outside 31 and 33-37 are category 32.
    EXPECT_EQ(DecodeResultCode(MakeResult(0x80208162)).category, 32);
    EXPECT_EQ(DecodeResultCode(MakeResult(0x801E0001)).category, 32);

    // Success: information; bit 14 set and bit 15 clear gives class 1.
    d = DecodeResultCode(MakeResult(0x00214005));
    EXPECT_EQ(d.severity, 3);
    EXPECT_EQ(d.category, 33);
    EXPECT_EQ(d.class_digit, 1);
    EXPECT_EQ(d.number, 5);
    EXPECT_EQ(DecodeResultCode(MakeResult(0x00003FFF)).class_digit, 2);
    EXPECT_EQ(DecodeResultCode(MakeResult(0x8000FFFF)).number, 0x3FFF);
}

TEST_F(EventLogTest, FullRecordBytes) {
    OpenLog();
    ASSERT_TRUE(log_.SetUser("  dealer1 \t"));
    EXPECT_STREQ(log_.GetUser(), "dealer1");
    ASSERT_TRUE(
        log_.WriteRecordById(kSeverityError, kCategoryInputData, 2, "CopyString", 285, 225));
    EXPECT_EQ(Mask(ReadFile(file_)),
              "TimeStamp: <TS>\r\n"
              "User: dealer1\r\n"
              "Severity: Error\r\n"
              "Category: Input Data\r\n"
              "MessageId: 13120285\r\n"
              "Message: Input data error\r\n"
              "Context: CopyString\r\n"
              "\r\n");
}

TEST_F(EventLogTest, FullRecordWithOperationAndWithoutUser) {
    OpenLog();
    ASSERT_TRUE(log_.SetOperation(" SetLogFile "));
    ASSERT_TRUE(ReportCode(&log_, MakeResult(0x80208162), "CPoll::SetLogFile", 159));
    ASSERT_TRUE(log_.WriteRecord(kSeverityWarning, 99, 1, nullptr, 12345, nullptr));
    EXPECT_EQ(Mask(ReadFile(file_)),
              "TimeStamp: <TS>\r\n"
              "User: \r\n"
              "Severity: Error\r\n"
              "Category: Client Application\r\n"
              "MessageId: 13220354\r\n"
              "Message: File system error\r\n"
              "Context: SetLogFile:CPoll::SetLogFile\r\n"
              "\r\n"
              "TimeStamp: <TS>\r\n"
              "User: \r\n"
              "Severity: Warning\r\n"
              "Category: Client Application\r\n"
              "MessageId: 299112345\r\n"
              "Message: \r\n"
              "Context: SetLogFile:\r\n"
              "\r\n");
    // An empty operation counts as none.
    ASSERT_TRUE(log_.SetOperation(""));
    ASSERT_TRUE(ReportCodeText(&log_, MakeResult(0x00210001), "Ctx", "n=%d", 7));
    EXPECT_NE(ReadFile(file_).find("Severity: Information\r\nCategory: Client Communication\r\n"
                                   "MessageId: 33320001\r\nMessage: n=7\r\nContext: Ctx\r\n\r\n"),
              std::string::npos);
}

TEST_F(EventLogTest, OneLineRecordBytes) {
    OpenLog();
    ASSERT_TRUE(log_.WriteLine(kSeverityWarning, "Disk %s", "full"));
    // The one-line shape never cuts at "~~".
    ASSERT_TRUE(log_.WriteLineById(kSeverityError, 159));
    ASSERT_TRUE(log_.WriteLine(7, "odd severity"));
    log_.SetNewline(false);
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "no end"));
    log_.SetNewline(true);
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));
    ASSERT_TRUE(log_.WriteLine(kSeverityError, "0500 %s", "ORDERS.DAT"));
    EXPECT_EQ(Mask(ReadFile(file_)),
              "[<TS>] [Warning] : Disk full\r\n"
              "[<TS>] [Error] : File system error~~Unable to open specified log file.\r\n"
              "[<TS>] [Information] : odd severity\r\n"
              "[<TS>] [Information] : no end"
              "0500 ORDERS.DAT\r\n");
}

TEST_F(EventLogTest, DebugMessagesGateSeverityFour) {
    OpenLog();
    EXPECT_FALSE(log_.GetDebugMessages());
    EXPECT_FALSE(log_.WriteRecordById(kSeverityDebug, 32, 2, "CPoll::Initialize", 0, 247));
    EXPECT_FALSE(log_.WriteLine(kSeverityDebug, "trace"));
    EXPECT_EQ(ReadFile(file_), "");

    log_.SetDebugMessages(true);
    EXPECT_TRUE(log_.GetDebugMessages());
    ASSERT_TRUE(log_.WriteRecordById(kSeverityDebug, 32, 2, "CPoll::Initialize", 0, 247));
    ASSERT_TRUE(log_.WriteLine(kSeverityDebug, "trace"));
    const std::string content = Mask(ReadFile(file_));
    EXPECT_NE(content.find("Severity: Information\r\nCategory: Client Application\r\n"
                           "MessageId: 43220000\r\nMessage: Preparing to make request.\r\n"),
              std::string::npos);
    EXPECT_NE(content.find("[<TS>] [Information] : trace\r\n"), std::string::npos);
}

TEST_F(EventLogTest, DebugOutputKeepsTheDetailAndReachesTheDebugger) {
    OpenLog();
    log_.SetDebugOutput(true);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(ReportCode(&log_, MakeResult(0x80208162), "CPoll::SetLogFile", 159));
    const std::string debugger = ::testing::internal::GetCapturedStderr();
    const std::string message = "Message: File system error~~Unable to open specified log file.";
    EXPECT_NE(debugger.find(message + "\n"), std::string::npos);
    EXPECT_NE(ReadFile(file_).find(message + "\r\n"), std::string::npos);

    // A line feed inside a message: LF to the debugger, CR LF in the file.
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(ReportCode(&log_, MakeResult(0x802581F4), "CPoll::SendRequest", 278, 500, "Busy"));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("500. \nResponse: Busy.\n"),
              std::string::npos);
    EXPECT_NE(ReadFile(file_).find("500. \r\nResponse: Busy.\r\n"), std::string::npos);

    // Disabled logging with debug output on: the debugger only.
    log_.SetEnabled(false);
    const std::string before = ReadFile(file_);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "to the debugger"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("] [Information] : to the debugger\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(file_), before);

    // Disabled and no debug output: suppressed.
    log_.SetDebugOutput(false);
    EXPECT_FALSE(log_.WriteLine(kSeverityError, "nowhere"));
    EXPECT_FALSE(log_.WriteRecord(kSeverityError, 32, 2, "C", 1, "nowhere"));
    EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(EventLogTest, OutputModes) {
    OpenLog();
    EXPECT_FALSE(log_.SetOutputMode(0));
    EXPECT_FALSE(log_.SetOutputMode(4));
    EXPECT_FALSE(log_.SetFormatMode(3));
    EXPECT_FALSE(log_.SetFormatMode(0));
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));

    // Still mode 2 after the refusals: the file only.
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "file only"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    ASSERT_TRUE(log_.SetOutputMode(kOutputConsole));
    ::testing::internal::CaptureStdout();
    log_.SetNewline(false);
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "Downloading files from server.%s", ".."));
    log_.SetNewline(true);
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "done"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Downloading files from server...done\n");

    ASSERT_TRUE(log_.SetOutputMode(kOutputBoth));
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "both"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "both\n");
    EXPECT_EQ(ReadFile(file_), "file only\r\nboth\r\n");
}

TEST_F(EventLogTest, TextsAreWrittenVerbatimAndOversizeRecordsDropped) {
    OpenLog();
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "%s", "file%d%s.txt"));
    EXPECT_EQ(ReadFile(file_), "file%d%s.txt\r\n");

    // 1025 characters fit, so a line cut at 1024 fits with its line feed;
    // one more character is dropped whole.
    const std::string cut(1024, 'c');
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "%s", cut.c_str()));
    const std::string max(1025, 'x');
    EXPECT_FALSE(log_.WriteLine(kSeverityInformation, "%s", max.c_str()));
    log_.SetNewline(false);
    EXPECT_TRUE(log_.WriteLine(kSeverityInformation, "%s", max.c_str()));
    EXPECT_FALSE(log_.WriteLine(kSeverityInformation, "%sy", max.c_str()));
    // A message that fits but makes the full record too long.
    EXPECT_FALSE(log_.WriteRecord(kSeverityError, 32, 2, "C", 1, "%s", max.c_str() + 50));
    const std::string kept = "file%d%s.txt\r\n" + cut + "\r\n" + max;
    EXPECT_EQ(ReadFile(file_), kept);

    // Formats that do not exist.
    EXPECT_FALSE(log_.WriteLineById(kSeverityInformation, 9999));
    EXPECT_FALSE(log_.WriteRecordById(kSeverityError, 32, 2, "C", 1, 0));
    EXPECT_FALSE(ReportCode(&log_, MakeResult(0x801F811D), "C", 0));
    EXPECT_FALSE(ReportCode(nullptr, MakeResult(0x801F811D), "C", 225));
    EXPECT_FALSE(ReportCodeText(nullptr, MakeResult(0x801F811D), "C", "x"));
    const char* none = nullptr;
#if defined(__clang__)
// A null format is the point of this check.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-security"
#endif
    EXPECT_FALSE(log_.WriteLine(kSeverityInformation, none));
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    EXPECT_EQ(ReadFile(file_), kept);

    // A full record of exactly 1025 characters is written; one more is not.
    CEventLog sized;
    const std::string sized_file = CommPath("sized.log");
    ASSERT_TRUE(sized.Open(sized_file.c_str(), false));
    ASSERT_TRUE(sized.WriteRecord(kSeverityError, 32, 2, "C", 1, "%s", ""));
    const std::size_t empty = ReadFile(sized_file).size() - 8;  // less its eight CRs
    const std::string fill(1025 - empty, 'm');
    EXPECT_FALSE(sized.WriteRecord(kSeverityError, 32, 2, "C", 1, "%sm", fill.c_str()));
    ASSERT_TRUE(sized.WriteRecord(kSeverityError, 32, 2, "C", 1, "%s", fill.c_str()));
    EXPECT_EQ(ReadFile(sized_file).size(), (empty + 8) + (1025 + 8));
}

TEST_F(EventLogTest, WithoutAnOpenFileRecordsAreFormedButGoNowhere) {
    CEventLog log;
    EXPECT_EQ(log.GetPath(), nullptr);
    EXPECT_TRUE(log.WriteLine(kSeverityInformation, "dropped"));
    EXPECT_FALSE(log.Open(nullptr, false));
    EXPECT_FALSE(log.Open("", false));
    EXPECT_FALSE(log.Open(Path("no/such/dir/client.log").c_str(), false));
    EXPECT_EQ(log.GetPath(), nullptr);
    EXPECT_TRUE(std::filesystem::is_empty(zel::paths::CommDir()));
}

TEST_F(EventLogTest, OpenCutsOnlyFilesAbove512000Bytes) {
    std::string big;
    for (int i = 0; big.size() < 600000; ++i) big += std::to_string(i) + ",";
    big.resize(600000);
    WriteFile(file_, big);
    OpenLog();
    EXPECT_EQ(ReadFile(file_), big.substr(600000 - 256000));
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "next"));
    EXPECT_EQ(ReadFile(file_), big.substr(600000 - 256000) + "next\r\n");

    WriteFile(file_, big.substr(0, 512000));
    OpenLog();
    EXPECT_EQ(ReadFile(file_), big.substr(0, 512000));

    WriteFile(file_, big.substr(0, 512001));
    OpenLog();
    EXPECT_EQ(ReadFile(file_), big.substr(512001 - 256000, 256000));
    EXPECT_FALSE(FileExists(file_ + ".qvzel_lock"));
}

TEST_F(EventLogTest, OpenMakesAReadOnlyFileWritable) {
    WriteFile(file_, "old\r\n");
    ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
    OpenLog();
    struct stat st;
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "new"));
    EXPECT_EQ(ReadFile(file_), "old\r\nnew\r\n");
}

// A file outside the log's directory, as an attacker would aim a link at:
// read-only, and large enough that a cut would rewrite it.
struct OutsideFile {
    explicit OutsideFile(const std::string& at) : path(at) {
        for (int i = 0; bytes.size() < 800000; ++i) bytes += std::to_string(i) + ";";
        bytes.resize(800000);
        WriteFile(path, bytes);
        EXPECT_EQ(::chmod(path.c_str(), 0444), 0);
    }
    // Size, bytes and mode as they were made.
    void ExpectUntouched() const {
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 800000);
        EXPECT_EQ(st.st_mode & 07777, 0444u);
        EXPECT_TRUE(ReadFile(path) == bytes);
    }
    std::string path;
    std::string bytes;
};

TEST_F(EventLogTest, ALinkInTheLogsPlaceIsNeverFollowed) {
    const OutsideFile outside(Path("outside.dat"));
    ASSERT_EQ(::symlink(outside.path.c_str(), file_.c_str()), 0);
    // Open refuses: no read-only bit cleared, no cut, no append.
    EXPECT_FALSE(log_.Open(file_.c_str(), false));
    EXPECT_EQ(log_.GetPath(), nullptr);
    EXPECT_TRUE(log_.WriteLine(kSeverityInformation, "goes nowhere"));
    outside.ExpectUntouched();

    // A link planted after a successful Open: the next record is dropped
    // rather than written through it.
    ASSERT_EQ(::unlink(file_.c_str()), 0);
    OpenLog();
    ASSERT_EQ(::unlink(file_.c_str()), 0);
    ASSERT_EQ(::symlink(outside.path.c_str(), file_.c_str()), 0);
    EXPECT_TRUE(log_.WriteLine(kSeverityInformation, "dropped"));
    outside.ExpectUntouched();

    // A dangling link creates nothing at its target.
    ASSERT_EQ(::unlink(file_.c_str()), 0);
    ASSERT_EQ(::symlink(Path("created-by-us").c_str(), file_.c_str()), 0);
    EXPECT_FALSE(log_.Open(file_.c_str(), false));
    EXPECT_FALSE(FileExists(Path("created-by-us")));
}

TEST_F(EventLogTest, OpenStoresTheFullPath) {
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(zel::paths::CommDir());
    const bool opened = log_.Open("./sub/../rel.log", false);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(opened);
    EXPECT_EQ(std::string(log_.GetPath()), zel::paths::CommDir() + "/rel.log");
    EXPECT_TRUE(FileExists(CommPath("rel.log")));

    // Names differing only in case are different files here.
    ASSERT_TRUE(log_.Open(CommPath("REL.LOG").c_str(), false));
    EXPECT_EQ(std::string(log_.GetPath()), CommPath("REL.LOG"));

    // A failed Open keeps the stored path, and records still reach it.
    EXPECT_FALSE(log_.Open(Path("missing/x.log").c_str(), false));
    EXPECT_EQ(std::string(log_.GetPath()), CommPath("REL.LOG"));
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "still here"));
    EXPECT_EQ(ReadFile(CommPath("REL.LOG")), "still here\r\n");
}

TEST_F(EventLogTest, KeepOpenAndClose) {
    OpenLog(true);
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "one"));
    EXPECT_EQ(ReadFile(file_), "one\r\n");
    // Kept open: without its stream the log writes nothing.
    log_.Close();
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "lost"));
    EXPECT_EQ(ReadFile(file_), "one\r\n");

    // Not kept open: the stored path is opened for each record, also after
    // Close.
    OpenLog(false);
    log_.Close();
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "two"));
    EXPECT_EQ(ReadFile(file_), "one\r\ntwo\r\n");
    EXPECT_FALSE(FileExists(file_ + ".qvzel_lock"));
}

// Another writer holding the file's lock (an flock on its own descriptor)
// holds the append back until it lets go; no lock file is made.
TEST_F(EventLogTest, AppendWaitsForTheFileLock) {
    OpenLog();
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));
    zel::fs::UniqueFd holder;
    ASSERT_EQ(zel::fs::OpenForAppending(file_, &holder), 0);
    ASSERT_EQ(zel::fs::LockExclusive(holder.get()), 0);
    std::atomic<pid_t> writer_tid{0};
    std::atomic<bool> written{false};
    std::thread writer([&] {
        writer_tid = ::gettid();
        (void)log_.WriteLine(kSeverityInformation, "after the holder");
        written = true;
    });
    // Asleep with the lock held here, the writer is waiting for it.
    EXPECT_TRUE(zel::test::WaitUntil(
        [&] { return written || (writer_tid != 0 && zel::test::ThreadSleeping(writer_tid)); },
        30000));
    EXPECT_FALSE(written);
    EXPECT_EQ(ReadFile(file_), "");
    zel::fs::UnlockFile(holder.get());
    writer.join();
    EXPECT_EQ(ReadFile(file_), "after the holder\r\n");

    // A kept-open log takes the lock for each record just the same.
    ASSERT_TRUE(log_.Open(file_.c_str(), true));
    ASSERT_EQ(zel::fs::LockExclusive(holder.get()), 0);
    written = false;
    writer_tid = 0;
    std::thread kept([&] {
        writer_tid = ::gettid();
        (void)log_.WriteLine(kSeverityInformation, "kept");
        written = true;
    });
    EXPECT_TRUE(zel::test::WaitUntil(
        [&] { return written || (writer_tid != 0 && zel::test::ThreadSleeping(writer_tid)); },
        30000));
    EXPECT_FALSE(written);
    holder.reset();  // closing gives the lock back as well
    kept.join();
    EXPECT_EQ(ReadFile(file_), "after the holder\r\nkept\r\n");
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(zel::paths::CommDir()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"client.log"});
}

// How many of this process's descriptors are open on the file at path.
int DescriptorsOn(const std::string& path) {
    int count = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code link_ec;
        if (std::filesystem::read_symlink(e.path(), link_ec).string() == path) ++count;
    }
    return count;
}

// While its file is held, a log writes every record through one descriptor,
// yet each record lands where the path leads at that moment: a log renamed
// away or removed is made anew under its name, and a file cut in place by
// another writer's Open gets the next record at its new end.
TEST_F(EventLogTest, HeldFileServesEveryRecordAndFollowsItsName) {
    OpenLog();
    ASSERT_TRUE(log_.SetFormatMode(kFormatBare));
    EXPECT_EQ(DescriptorsOn(file_), 0);
    log_.HoldFile();
    log_.HoldFile();  // nested
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "one"));
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "two"));
    EXPECT_EQ(ReadFile(file_), "one\r\ntwo\r\n");
    EXPECT_EQ(DescriptorsOn(file_), 1);

    ASSERT_EQ(std::rename(file_.c_str(), (file_ + ".old").c_str()), 0);
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "three"));
    EXPECT_EQ(ReadFile(file_ + ".old"), "one\r\ntwo\r\n");
    EXPECT_EQ(ReadFile(file_), "three\r\n");
    ASSERT_EQ(std::remove(file_.c_str()), 0);
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "four"));
    EXPECT_EQ(ReadFile(file_), "four\r\n");
    // Another file renamed over the name takes the next record.
    { std::ofstream(file_ + ".new", std::ios::binary) << "new\r\n"; }
    ASSERT_EQ(std::rename((file_ + ".new").c_str(), file_.c_str()), 0);
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "four"));
    EXPECT_EQ(ReadFile(file_), "new\r\nfour\r\n");

    // Another writer grows the file past the cut limit and opens it, which
    // cuts it in place to its last 256000 bytes.
    {
        zel::fs::UniqueFd other;
        ASSERT_EQ(zel::fs::OpenForAppending(file_, &other), 0);
        const std::string filler(600000, 'x');
        ASSERT_EQ(zel::fs::WriteAll(other.get(), filler.data(), filler.size()), 0);
    }
    CEventLog cutter;
    ASSERT_TRUE(cutter.Open(file_.c_str(), false));
    ASSERT_EQ(ReadFile(file_).size(), 256000u);
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "five"));
    const std::string content = ReadFile(file_);
    EXPECT_EQ(content.size(), 256000u + 6);
    EXPECT_EQ(content.substr(content.size() - 7), "xfive\r\n");

    log_.ReleaseFile();
    EXPECT_EQ(DescriptorsOn(file_), 1);
    log_.ReleaseFile();
    EXPECT_EQ(DescriptorsOn(file_), 0);
    ASSERT_TRUE(log_.WriteLine(kSeverityInformation, "six"));  // opened for itself
    EXPECT_EQ(DescriptorsOn(file_), 0);
    EXPECT_EQ(ReadFile(file_).substr(256000), "five\r\nsix\r\n");
    log_.ReleaseFile();  // unmatched: nothing to release
}

TEST_F(EventLogTest, SupportRoutinesReportToTheThreadsCurrentLog) {
    OpenLog();
    EXPECT_EQ(GetCurrentLog(), nullptr);
    char* text = nullptr;
    EXPECT_EQ(CopyString("x", nullptr, false), MakeResult(0x801F811D));  // nobody to tell
    SetCurrentLog(&log_);
    EXPECT_EQ(GetCurrentLog(), &log_);
    EXPECT_EQ(CopyString("x", nullptr, false), MakeResult(0x801F811D));
    EXPECT_EQ(Mask(ReadFile(file_)),
              "TimeStamp: <TS>\r\nUser: \r\nSeverity: Error\r\nCategory: Input Data\r\n"
              "MessageId: 13120285\r\nMessage: Input data error\r\nContext: CopyString\r\n\r\n");

    // The slot is per thread.
    CEventLog* seen = &log_;
    std::thread other([&] { seen = GetCurrentLog(); });
    other.join();
    EXPECT_EQ(seen, nullptr);

    SetCurrentLog(nullptr);
    EXPECT_EQ(GetCurrentLog(), nullptr);
    EXPECT_EQ(FreeString(&text), S_OK);
    {
        CEventLog scoped;
        SetCurrentLog(&scoped);
    }
    EXPECT_EQ(GetCurrentLog(), nullptr);  // a destroyed log leaves the slot
}

TEST_F(EventLogTest, UsesTheCatalogueItIsGiven) {
    static constexpr CatalogueEntry kEntries[] = {
        {172, "Info"}, {173, "Err"}, {175, "<"},        {176, ">"},   {177, "{"},
        {178, "}"},    {179, "_"},   {180, "|"},        {181, " - "}, {208, "="},
        {213, "Msg"},  {242, "##"},  {500, "hello %s"},
    };
    static constexpr CMessageCatalogue kCatalogue(kEntries, std::size(kEntries));
    CEventLog log(&kCatalogue);
    EXPECT_EQ(&log.Catalogue(), &kCatalogue);
    EXPECT_EQ(&CEventLog().Catalogue(), &ComponentCatalogue());
    ASSERT_TRUE(log.Open(file_.c_str(), false));
    ASSERT_TRUE(log.WriteLineById(kSeverityError, 500, "you"));
    ASSERT_TRUE(log.WriteRecord(kSeverityError, 31, 2, "C", 1, "Class##detail"));
    EXPECT_FALSE(log.WriteLineById(kSeverityError, 225));
    const std::string content = ReadFile(file_);
    EXPECT_TRUE(std::regex_search(
        content, std::regex(R"(^<[0-9/]{8}_[0-9:.]{12} \([0-9]+\)>\|\{Err\} - hello you\r\n)")))
        << content;
    // Words the catalogue lacks print as empty text; the marker is its own.
    EXPECT_NE(content.find("\r\nMsg=Class\r\n"), std::string::npos) << content;
    EXPECT_NE(content.find("\r\n=\r\n"), std::string::npos) << content;  // the empty "User" label
}

// Four processes append 2,000 records each to one file at once, two opening
// the file for each record and two holding it open: every record arrives
// whole, exactly once.
TEST_F(EventLogTest, FourProcessesAppendWholeRecords) {
    const int writers = 4;
    const int records = 2000;
    const std::string go = Path("go");
    std::vector<pid_t> pids;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = 0;
        std::vector<std::string> argv = {zel::test::BuildPath("tests/log/log_writer_helper"), file_,
                                         std::to_string(w), std::to_string(records), go};
        if (w >= 2) argv.push_back("held");
        ASSERT_EQ(zel::proc::StartArgv(argv, {}, &pid), 0);
        pids.push_back(pid);
    }
    // Every writer has opened the file (which may cut it) before any writes.
    for (int w = 0; w < writers; ++w) {
        const std::string ready = go + ".ready" + std::to_string(w);
        for (int i = 0; i < 30000 && !FileExists(ready); ++i) ::usleep(1000);
        ASSERT_TRUE(FileExists(ready)) << "writer " << w << " did not open the log";
    }
    WriteFile(go, "");
    for (pid_t pid : pids) ASSERT_EQ(zel::proc::Wait(pid), 0);

    // Each record, stamp masked, must be exactly what its writer wrote.
    const std::string content = Mask(ReadFile(file_), false);
    std::map<std::pair<int, int>, int> seen;
    int malformed = 0;
    for (std::size_t at = 0; at < content.size();) {
        std::size_t end = content.find("\r\n\r\n", at);
        ASSERT_NE(end, std::string::npos) << "torn tail at byte " << at;
        const std::string record = content.substr(at, end + 4 - at);
        at = end + 4;
        int writer = -1;
        int number = -1;
        std::size_t message = record.find("Message: writer ");
        if (message == std::string::npos ||
            std::sscanf(record.c_str() + message, "Message: writer %d record %d", &writer,
                        &number) != 2 ||
            record != ExpectedRecord(writer, number)) {
            ++malformed;
            continue;
        }
        ++seen[{writer, number}];
    }
    EXPECT_EQ(malformed, 0);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(writers * records));
    for (const auto& [key, count] : seen) {
        EXPECT_EQ(count, 1) << "writer " << key.first << " record " << key.second;
    }
}

}  // namespace
