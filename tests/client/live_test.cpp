// The real ferrun with the real Poll component registered in a scratch
// system root, against zelsim: what a dealer sees on the console for a
// download and an upload, a server failure, and a component that is not
// registered.
#include <filesystem>

#include "support/compress.h"
#include "tests/client/ferrun_fixture.h"
#include "tests/common/live_central.h"

namespace zel::test::client {
namespace {

const char kCreated[] = "Creating instance of Poll COM component...done\n";

class FerrunLive : public FerrunRoot {
  protected:
    void SetUp() override {
        FerrunRoot::SetUp();
        ASSERT_TRUE(RegisterPoll());
        std::filesystem::create_directories(Path("in"));
        std::filesystem::create_directories(Path("out"));
    }
    LiveCentral central_;
};

TEST_F(FerrunLive, DownloadPlacesThePublishedFilesAndReportsEach) {
    ASSERT_TRUE(central_.Start());
    central_.Publish("A.DAT", "alpha\n");
    central_.Publish("B.TXT", "bravo\n");
    const FerrunResult r = Ferrun({"-d", Path("in") + ":*.DAT", "-r", "down.res"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string(kCreated) + "Downloading files from server...done\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(Path("in/A.DAT")), "alpha\n");
    EXPECT_FALSE(FileExists(Path("in/B.TXT")));  // not matched by the filter
    EXPECT_EQ(ReadFile(Path("in/down.res")), "0000 A.DAT\r\n");
    EXPECT_EQ(central_.Count("GetFileFromQuvaro"), 1u);
    // Acknowledged, so no longer published; the unmatched file still is.
    EXPECT_FALSE(FileExists(central_.Published("A.DAT")));
    EXPECT_TRUE(FileExists(central_.Published("B.TXT")));
}

TEST_F(FerrunLive, UploadSendsTheMatchingFilesToTheDestination) {
    ASSERT_TRUE(central_.Start());
    WriteFile(Path("out/ORDERS1.TXT"), "order one\r\n");
    WriteFile(Path("out/NOTES.DOC"), "not sent");
    const FerrunResult r = Ferrun({"-p", Path("out") + ":*.TXT::/inbound"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string(kCreated) + "Uploading files to server...done\n");
    EXPECT_EQ(r.err, "");
    // Packed for the journey, stored below the destination directory; the
    // sent file is gone, the other one stays.
    const std::string sent = central_.Uploaded("inbound/ORDERS1.TXT.dtz");
    ASSERT_EQ(DecompressFile(sent.c_str(), Path("unpacked").c_str()), kCompressOk);
    EXPECT_EQ(ReadFile(Path("unpacked")), "order one\r\n");
    EXPECT_EQ(ReadFile(Path("out/Poll.Result")), "0000 ORDERS1.TXT.dtz\r\n");
    EXPECT_FALSE(FileExists(Path("out/ORDERS1.TXT")));
    EXPECT_EQ(ReadFile(Path("out/NOTES.DOC")), "not sent");
    EXPECT_FALSE(FileExists(central_.Uploaded("inbound/NOTES.DOC")));
    EXPECT_EQ(central_.Count("PutFileFromDealer"), 1u);
}

TEST_F(FerrunLive, ServerErrorsPrintFailedAndStillExitZero) {
    // Both attempts of the list request (before and after the forced
    // directory refresh) are answered 500.
    ASSERT_TRUE(central_.Start({"--fault", "GetFileListFromQuvaro=500x2"}));
    central_.Publish("A.DAT", "alpha\n");
    const FerrunResult r = Ferrun({"-d", Path("in") + ":*.DAT"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string(kCreated) + "Downloading files from server...failed.\n");
    EXPECT_NE(r.err.find("download failed: refused by the server: HTTP status 500"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(FileExists(Path("in/A.DAT")));
    EXPECT_EQ(central_.Count("GetFileListFromQuvaro"), 2u);
    EXPECT_EQ(central_.Count("GetFileFromQuvaro"), 0u);

    // An upload the server refuses (and the one repeat) fails the same way.
    ASSERT_TRUE(central_.Start({"--fault", "PutFileFromDealer=500x2"}));
    WriteFile(Path("out/ORDERS1.TXT"), "order one\r\n");
    const FerrunResult up = Ferrun({"-p", Path("out")});
    EXPECT_EQ(up.exit_code, 0);
    EXPECT_EQ(up.out, std::string(kCreated) + "Uploading files to server...failed.\n");
    EXPECT_EQ(ReadFile(Path("out/Poll.Result")), "0500 ORDERS1.TXT.dtz\r\n");
}

// The first run after an installation, before the control file was put in
// place: the console says "failed.", standard error says which file.
TEST_F(FerrunLive, MissingControlFileIsNamed) {
    const FerrunResult r = Ferrun({"-d", Path("in")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string(kCreated) + "Downloading files from server...failed.\n");
    EXPECT_EQ(r.err, "ferrun: download failed: cannot read the control file " +
                         CommPath("CONTROL") + ": No such file or directory (details in " +
                         CommPath("qvzel.log") + ")\n");
}

TEST_F(FerrunLive, UnregisteredComponentFailsCreationAndExitsOne) {
    ASSERT_TRUE(central_.Start());
    ASSERT_TRUE(UnregisterPoll());
    const FerrunResult r = Ferrun({"-d", Path("in")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Creating instance of Poll COM component...failed.\n");
    EXPECT_TRUE(central_.sim()->Requests().empty());
}

}  // namespace
}  // namespace zel::test::client
