// qvzel_nt with the real Poll component registered in a scratch system root,
// against zelsim: the outcome lines of real uploads and downloads byte for
// byte, nothing published, two download jobs at once, and a day-end over
// what a real download placed.
#include <signal.h>

#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "tests/common/live_central.h"
#include "tests/jobs/jobs_fixture.h"

namespace zel::test {
namespace {

class LiveJobs : public Jobs {
  protected:
    void SetUp() override {
        Jobs::SetUp();
        ASSERT_TRUE(RegisterPoll());
    }
    // The request-log lines of one operation, in order.
    std::vector<std::string> RequestsOf(const std::string& operation) const {
        std::vector<std::string> lines;
        for (const auto& l : central_.sim()->Requests())
            if (l.find("/qvgqa/poll/" + operation + "?") != std::string::npos) lines.push_back(l);
        return lines;
    }
    LiveCentral central_;
};

TEST_F(LiveJobs, UploadReportsEachFileTheServerAcceptedOrRefused) {
    // The server refuses the first file it is sent, and the one repeat of
    // it (a fault answered with status 500), and takes the second.  Files
    // go packed, the last listed first.
    ASSERT_TRUE(central_.Start({"--fault", "PutFileFromDealer=fault:3004x2"}));
    Enable();
    Dump();
    WriteFile(Up("ORDERS1.DAT"), "order one\r\n");
    WriteFile(Up("ORDERS2.DAT"), "order two\r\n");
    WriteFile(Up("POLL.RESULT"), "0000 STALE.DAT\r\n");  // an earlier run's, never reported
    WriteFile(CommPath("LOGFIL"), "earlier\r\n");
    ASSERT_EQ(Run("-u"), 0);
    const std::string lines =
        "FAILURE in Upload of File ORDERS2.DAT.dtz - Error Code 0500\r\n"
        "Successful Upload of File ORDERS1.DAT.dtz\r\n";
    EXPECT_EQ(ReadFile(CommPath("qvzelupfile")), lines);
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), "earlier\r\n" + lines);
    EXPECT_TRUE(FileExists(central_.Uploaded("ORDERS1.DAT.dtz")));
    EXPECT_FALSE(FileExists(central_.Uploaded("ORDERS2.DAT.dtz")));
    // The refused file stays for the next run, the sent one is gone.
    EXPECT_TRUE(FileExists(Up("ORDERS2.DAT.dtz")));
    EXPECT_FALSE(FileExists(Up("ORDERS1.DAT.dtz")));
    EXPECT_FALSE(FileExists(Up("ORDERS1.DAT")));
    EXPECT_EQ(central_.Count("PutFileFromDealer"), 3u);
    EXPECT_FALSE(FileExists(Up("POLL.RESULT")));
    EXPECT_TRUE(NoLocks());
}

TEST_F(LiveJobs, DownloadPlacesFilesReportsThemAndStartsTheTrigger) {
    ASSERT_TRUE(central_.Start());
    Dump();
    central_.Publish("PRICES.DAT", "price list\r\n");
    central_.Publish("qvzel_on.trigger", "on");
    WriteFile(Down("POLL.RESULT"), "0000 OLD.DAT\r\n");  // an earlier run's, never reported
    ASSERT_EQ(Run("-d"), 0);
    const std::string lines =
        "Successful Download of File PRICES.DAT\r\nSuccessful Download of File "
        "qvzel_on.trigger\r\n";
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), lines);
    EXPECT_EQ(ReadFile(CommPath("qvzeldownfile")), lines);
    EXPECT_EQ(ReadFile(Down("PRICES.DAT")), "price list\r\n");
    EXPECT_EQ(ReadFile(Path("olmar.log")), "-p QVZELON | " + paths::CmnDir() + "\n");
    EXPECT_FALSE(FileExists(Down("POLL.RESULT")));
    EXPECT_EQ(central_.Count("GetFileFromQuvaro"), 2u);
    EXPECT_EQ(central_.Count("PostProcessQuvaroFile"), 2u);
    EXPECT_FALSE(FileExists(central_.Published("PRICES.DAT")));
    EXPECT_TRUE(NoLocks());
}

TEST_F(LiveJobs, DownloadWithNothingPublishedWritesOnlyTheNoFilesLine) {
    ASSERT_TRUE(central_.Start());
    WriteFile(CommPath("LOGFIL"), "earlier\r\n");
    WriteFile(CommPath("qvzeldownfile"), "old run\r\n");
    ASSERT_EQ(Run("-d"), 0);
    EXPECT_EQ(ReadFile(CommPath("qvzeldownfile")), "No Files Available for Download\r\n");
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), "earlier\r\n");
    EXPECT_EQ(central_.Count("GetFileListFromQuvaro"), 1u);
    EXPECT_EQ(central_.Count("GetFileFromQuvaro"), 0u);
}

TEST_F(LiveJobs, SecondDownloadWaitsForTheFirstsLockThenFindsNothingNew) {
    // The first job's list request is held for two seconds, long enough for
    // the second job to start while the first holds the download lock.
    ASSERT_TRUE(central_.Start({"--fault", "GetFileListFromQuvaro=stall:2"}));
    central_.Publish("A.DAT", "alpha\r\n");
    const pid_t first = Spawn(ZEL_QVZEL_NT, {"-d"});
    ASSERT_GT(first, 0);
    ASSERT_TRUE(WaitUntil([&] { return RequestsOf("GetFileListFromQuvaro").size() == 1; }, 30000));
    EXPECT_TRUE(FileExists(CommPath("DOWNLOCK.qvzel_lock")));
    const pid_t second = Spawn(ZEL_QVZEL_NT, {"-d"});
    ASSERT_GT(second, 0);
    EXPECT_EQ(Wait(first), 0);
    EXPECT_EQ(Wait(second), 0);

    // One GET in all, and the second list request only after it.
    const auto all = central_.sim()->Requests();
    ASSERT_EQ(central_.Count("GetFileFromQuvaro"), 1u);
    ASSERT_EQ(central_.Count("GetFileListFromQuvaro"), 2u);
    std::size_t get_at = 0, second_list_at = 0, lists = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].find("/GetFileFromQuvaro?") != std::string::npos) get_at = i;
        if (all[i].find("/GetFileListFromQuvaro?") != std::string::npos && ++lists == 2)
            second_list_at = i;
    }
    EXPECT_LT(get_at, second_list_at);
    EXPECT_EQ(ReadFile(Down("A.DAT")), "alpha\r\n");
    EXPECT_EQ(ReadFile(CommPath("LOGFIL")), "Successful Download of File A.DAT\r\n");
    EXPECT_EQ(ReadFile(CommPath("qvzeldownfile")), "No Files Available for Download\r\n");
    EXPECT_TRUE(NoLocks());
}

TEST_F(LiveJobs, DayEndFoldsWhatARealDownloadPlaced) {
    ASSERT_TRUE(central_.Start());
    Enable();
    central_.Publish("OUTBOUND1.DAT", "outbound;");
    central_.Publish("RECEIPTS1.DAT", "receipt;");
    central_.Publish("JSDF1.DAT", "jsdf");
    WriteFile(Cmn("BACKZEL"), "yesterday");
    ASSERT_EQ(Run("-d"), 0);
    ASSERT_EQ(ReadFile(Down("OUTBOUND1.DAT")), "outbound;");
    ASSERT_EQ(Run("-p"), 0);
    EXPECT_EQ(ReadFile(CommPath("QV2DLR.DAT")), "outbound;receipt;");
    EXPECT_EQ(ReadFile(CommPath("JSDF1.DAT")), "jsdf");
    EXPECT_FALSE(FileExists(Down("OUTBOUND1.DAT")));
    EXPECT_FALSE(FileExists(Down("RECEIPTS1.DAT")));
    EXPECT_EQ(ReadFile(Cmn("BACKZEL1")), "yesterday");
    EXPECT_EQ(ReadFile(Path("olmar.log")),
              "-p DAYEND >> " + Cmn("BACKZEL") + " | " + paths::CmnDir() + "\n");
    EXPECT_TRUE(NoLocks());
}

}  // namespace
}  // namespace zel::test
