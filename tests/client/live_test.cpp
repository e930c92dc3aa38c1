// The real ferrun with the real Poll component registered in a scratch
// system root, against zelsim: what a dealer sees on the console for a
// download and an upload (on a terminal too, with the progress line), a
// server failure, and a component that is not registered.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <filesystem>
#include <regex>

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

    // Runs ferrun with standard output and error on a new terminal of 80
    // columns, as a person at a terminal would; everything it wrote there
    // (line ends as the terminal turns them: CR LF).
    FerrunResult FerrunOnTerminal(const std::vector<std::string>& args) {
        FerrunResult r;
        int master = -1;
        int slave = -1;
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
            ADD_FAILURE() << "openpty failed";
            return r;
        }
        const std::string terminal = ::ttyname(slave);
        const pid_t pid = Spawn(ZEL_FERRUN, args, terminal, terminal);
        if (pid < 0) ADD_FAILURE() << "cannot start ferrun";
        // Read while it runs: a terminal holds only a few KiB unread.
        auto drain = [&] {
            char buffer[4096];
            pollfd ready{master, POLLIN, 0};
            while (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n <= 0) break;
                r.out.append(buffer, static_cast<std::size_t>(n));
            }
        };
        int status = 0;
        const bool ended = pid > 0 && WaitUntil(
                                          [&] {
                                              drain();
                                              return ::waitpid(pid, &status, WNOHANG) == pid;
                                          },
                                          60000);
        if (pid > 0 && !ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "ferrun did not end";
        }
        drain();
        if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
        ::close(slave);
        ::close(master);
        return r;
    }
};

// On a terminal the file on its way is shown on standard error, redrawn in
// place, with the seconds since data last came while the server is silent;
// each file leaves its final line, and the console's lines stay as they
// are around it.  --quiet, and standard error that is no terminal, show
// exactly what a run always showed.
TEST_F(FerrunLive, ProgressLineOnATerminalOnly) {
    // The server keeps the file's answer back for 2 s.
    ASSERT_TRUE(central_.Start({"--fault", "GetFileFromQuvaro=stall:2"}));
    const std::string big(3 << 20, 'b');
    central_.Publish("BIG.DAT", big);
    FerrunResult r = FerrunOnTerminal({"-d", Path("in")});
    EXPECT_EQ(r.exit_code, 0);
    ASSERT_EQ(ReadFile(Path("in/BIG.DAT")).size(), big.size());
    const std::string head =
        "Creating instance of Poll COM component...done\r\nDownloading files from server...\r\n"
        "\rBIG.DAT  0 B/?  0 B/s  idle 0s";
    EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\rBIG\\.DAT  0 B/\\?  0 B/s  idle [12]s")))
        << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("\rBIG\\.DAT  3\\.0 MiB/3\\.0 MiB  [0-9.]+ [KM]iB/s  in [0-9.]+s *"
                          "\r\ndone\r\n$")))
        << r.out;

    // An upload likewise, under the name the file travels by.
    WriteFile(Path("out/ORDERS1.TXT"), "order one\r\n");
    r = FerrunOnTerminal({"-p", Path("out")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^Creating instance of Poll COM component"
                                                    "\\.\\.\\.done\r\nUploading files to "
                                                    "server\\.\\.\\.\r\n\rORDERS1\\.TXT\\.dtz  ")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\rORDERS1\\.TXT\\.dtz  ([0-9]+) B/\\1 B  "
                                                    "[^\r]* in [0-9.]+s *\r\ndone\r\n$")))
        << r.out;

    // --quiet on the terminal, then a download with standard error a file:
    // nothing but the console's lines.  (New names each time: a fetched
    // name stays claimed on the download guard.)
    central_.Publish("BIG2.DAT", big);
    r = FerrunOnTerminal({"--quiet", "-d", Path("in")});
    EXPECT_EQ(r.out,
              "Creating instance of Poll COM component...done\r\n"
              "Downloading files from server...done\r\n");
    central_.Publish("BIG3.DAT", big);
    r = Ferrun({"-d", Path("in")});
    EXPECT_EQ(r.out, std::string(kCreated) + "Downloading files from server...done\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(Path("in/BIG3.DAT")).size(), big.size());
    EXPECT_EQ(central_.Count("GetFileFromQuvaro"), 3u);
}

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
