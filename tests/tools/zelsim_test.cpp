// The simulator's transfer operations, driven over plain HTTP/1.0 from a
// small socket client: the list answer, fetched bytes, upload checks,
// authentication, acknowledgement and every kind of scripted fault.  Each
// test runs its own simulator on 127.0.0.1 with a scratch directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/scratch.h"
#include "tests/directory/sim.h"

namespace zel::test {
namespace {

using zel::test::directory::Simulator;

using Clock = std::chrono::steady_clock;

const std::string kOps = "/qvgqa/poll/";

struct Reply {
    int status = 0;
    std::string headers;
    std::string body;
    long content_length = -1;
    bool closed = false;  // the server closed the connection
};

std::string Crc(const std::string& bytes) {
    uLong c = crc32(0L, Z_NULL, 0);
    c = crc32(c, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
    return std::to_string(c);
}

std::string Basic(const std::string& user_password) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < user_password.size(); i += 3) {
        unsigned v = (unsigned char)user_password[i] << 16 |
                     (unsigned char)user_password[i + 1] << 8 | (unsigned char)user_password[i + 2];
        for (int s = 18; s >= 0; s -= 6) out += a[(v >> s) & 63];
    }
    if (i < user_password.size()) {
        unsigned v = (unsigned char)user_password[i] << 16;
        if (i + 1 < user_password.size()) v |= (unsigned char)user_password[i + 1] << 8;
        out += a[(v >> 18) & 63];
        out += a[(v >> 12) & 63];
        out += i + 1 < user_password.size() ? a[(v >> 6) & 63] : '=';
        out += '=';
    }
    return "BASIC " + out;
}

// One HTTP/1.0 exchange: sends the request and reads until the server
// closes or `wait` passes.
class Client {
  public:
    explicit Client(int port) : port_(port) {}

    Reply Send(const std::string& method, const std::string& target, const std::string& body = "",
               const std::string& extra_headers = "",
               std::chrono::milliseconds wait = std::chrono::seconds(20)) {
        Reply r;
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return r;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port_));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd);
            return r;
        }
        std::string req = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                          extra_headers + "Content-Length: " + std::to_string(body.size()) +
                          "\r\n\r\n" + body;
        for (std::size_t sent = 0; sent < req.size();) {
            ssize_t n = ::send(fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        std::string raw;
        const auto deadline = Clock::now() + wait;
        char buf[65536];
        while (Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                r.closed = true;
                break;
            }
            raw.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        auto end = raw.find("\r\n\r\n");
        if (end == std::string::npos) return r;
        r.headers = raw.substr(0, end + 2);
        r.body = raw.substr(end + 4);
        if (r.headers.rfind("HTTP/1.", 0) == 0) r.status = std::stoi(r.headers.substr(9, 3));
        auto cl = r.headers.find("Content-Length: ");
        if (cl != std::string::npos) r.content_length = std::stol(r.headers.substr(cl + 16));
        return r;
    }

  private:
    int port_;
};

std::string ListEnvelope(const std::string& uc) {
    return "<SOAP:Envelope xmlns:SOAP=\"urn:schemas-xmlsoap-org:soap.v1\"><SOAP:Body>"
           "<m:GetFileListFromQuvaro xmlns:m=\"urn:poll-input\"><R1><!-- Dealer Name --><DN>" +
           uc + "</DN></R1></m:GetFileListFromQuvaro></SOAP:Body></SOAP:Envelope>";
}

std::string PostEnvelope(const std::string& uc, const std::string& fn) {
    return "<SOAP:Envelope xmlns:SOAP=\"urn:schemas-xmlsoap-org:soap.v1\"><SOAP:Body>"
           "<m:PostProcessQuvaroFile xmlns:m=\"urn:poll-input\"><R1><!-- Dealer Name --><DN>" +
           uc + "</DN><!-- File Name --><FN>" + fn +
           "</FN></R1></m:PostProcessQuvaroFile></SOAP:Body></SOAP:Envelope>";
}

const std::string kXml = "Content-Type: text/xml\r\n";
const std::string kOctets = "Content-Type: application/octet-stream\r\n";

class ZelsimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        data_ = dir_ / "data";
        std::filesystem::create_directories(data_ + "/D100/sub");
        std::filesystem::create_directories(dir_ / "up");
        WriteFile(data_ + "/D100/A.DAT", "plain text\r\n");
        dtz_.assign(600 * 1024, '\0');  // larger than one 256 KiB piece
        for (std::size_t i = 0; i < dtz_.size(); ++i) dtz_[i] = static_cast<char>(i * 7 + i / 9);
        WriteFile(data_ + "/D100/sub/B.DAT.dtz", dtz_);
        WriteFile(data_ + "/D100/.filetypes", "sub/B.DAT.dtz Static R\n");
        ::chmod((data_ + "/D100/A.DAT").c_str(), 0644);
    }

    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--data-dir", data_,        "--upload-dir",
                                         dir_ / "up",  "--post-log", dir_ / "post.log"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<Simulator>(dir_.path(), args);
        ASSERT_TRUE(sim_->ok());
        client_ = std::make_unique<Client>(sim_->http_port());
    }

    Reply List(const std::string& query = "UnitContract=D100&QueryVersion=001") {
        return client_->Send("POST", kOps + "GetFileListFromQuvaro?" + query, ListEnvelope("D100"),
                             kXml);
    }

    ScratchDir dir_{"zelsim"};
    std::string data_;
    std::string dtz_;
    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<Client> client_;
};

TEST_F(ZelsimTest, ListNamesEveryPublishedFileWithTypeChecksumAndPermissions) {
    Start();
    Reply r = List();
    ASSERT_EQ(r.status, 200);
    EXPECT_NE(
        r.body.find("<m:Results>\r\n<R><FN>A.DAT</FN><FT>Static</FT><FC>" + Crc("plain text\r\n") +
                    "</FC><FP>RW</FP></R>\r\n<R><FN>sub/B.DAT.dtz" + "</FN><FT>Static</FT><FC>" +
                    Crc(dtz_) + "</FC><FP>R</FP></R>\r\n</m:Results>"),
        std::string::npos)
        << r.body;
    EXPECT_EQ(r.body.find("faultcode"), std::string::npos);

    // A filter selects by base name; nothing published is the "no files"
    // fault, answered with 200 so that the dealer side reads its number.
    r = List("UnitContract=D100&Filter=%2A.dtz&QueryVersion=001");
    EXPECT_NE(r.body.find("<FN>sub/B.DAT.dtz</FN>"), std::string::npos);
    EXPECT_EQ(r.body.find("A.DAT<"), std::string::npos);
    r = List("UnitContract=D999&QueryVersion=001");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<faultcode>"), std::string::npos);
    EXPECT_NE(r.body.find("<errorcode>QVPL2001</errorcode>"), std::string::npos);
    EXPECT_NE(r.body.find("<description>"), std::string::npos);
}

TEST_F(ZelsimTest, FetchServesStoredBytesAndNothingOutsideTheContract) {
    WriteFile(data_ + "/D100/X+Y.DAT", "plus");
    WriteFile(data_ + "/D100/EMPTY.DAT", "");
    WriteFile(dir_ / "secret", "do not serve");
    Start();
    Reply r = client_->Send("GET", kOps +
                                       "GetFileFromQuvaro?UnitContract=D100&FileName=sub/"
                                       "B.DAT.dtz&QueryVersion=001");
    ASSERT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("Content-Type: application/octet-stream"), std::string::npos);
    EXPECT_EQ(r.body.size(), dtz_.size());
    EXPECT_TRUE(r.body == dtz_);

    // Query values are percent-decoded, and "+" stays a plus.
    r = client_->Send(
        "GET", kOps + "GetFileFromQuvaro?UnitContract=D100&FileName=X%2BY.DAT&QueryVersion=001");
    EXPECT_EQ(r.body, "plus");
    r = client_->Send("GET", kOps + "GetFileFromQuvaro?UnitContract=D100&FileName=X+Y.DAT");
    EXPECT_EQ(r.body, "plus");
    // An empty file still announces its length, as a client needs it.
    r = client_->Send("GET", kOps + "GetFileFromQuvaro?UnitContract=D100&FileName=EMPTY.DAT");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("Content-Length: 0\r\n"), std::string::npos) << r.headers;

    for (const char* name : {"../../secret", "..%2F..%2Fsecret", "%2E%2E/%2E%2E/secret",
                             ".filetypes", "missing.DAT"}) {
        r = client_->Send("GET", kOps + "GetFileFromQuvaro?UnitContract=D100&FileName=" + name);
        EXPECT_EQ(r.status, 500) << name;
        EXPECT_NE(r.body.find("<faultcode>"), std::string::npos) << name;
        EXPECT_EQ(r.body.find("do not serve"), std::string::npos) << name;
    }
    r = client_->Send("GET", kOps + "GetFileFromQuvaro?UnitContract=..&FileName=secret");
    EXPECT_EQ(r.status, 500);
}

TEST_F(ZelsimTest, UploadIsStoredOnlyWhenItsChecksumMatches) {
    Start();
    const std::string body = "dealer data";
    const std::string good = kOps +
                             "PutFileFromDealer?UnitContract=D100&FileName=/in/A.DAT&"
                             "CheckSum=" +
                             Crc(body) + "&Filter=RW&QueryVersion=001";
    Reply r = client_->Send("POST", good, body, kOctets);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("faultcode"), std::string::npos);
    EXPECT_EQ(ReadFile(dir_ / "up/D100/in/A.DAT"), body);

    // A mismatch is refused with a failing HTTP status (the uploader does not
    // read the answer) and the fault number; the stored copy stays as it was.
    r = client_->Send("POST",
                      kOps + "PutFileFromDealer?UnitContract=D100&FileName=/in/A.DAT&CheckSum=" +
                          Crc(body + "x") + "&Filter=RW&QueryVersion=001",
                      "changed", kOctets);
    EXPECT_EQ(r.status, 500);
    EXPECT_NE(r.body.find("<errorcode>QVPL3001</errorcode>"), std::string::npos);
    EXPECT_EQ(ReadFile(dir_ / "up/D100/in/A.DAT"), body);
    r = client_->Send("POST", kOps + "PutFileFromDealer?UnitContract=D100&FileName=B.DAT", "b",
                      kOctets);
    EXPECT_EQ(r.status, 500);  // no CheckSum: cannot be verified
    r = client_->Send(
        "POST",
        kOps + "PutFileFromDealer?UnitContract=D100&FileName=../../evil&CheckSum=" + Crc("e"), "e",
        kOctets);
    EXPECT_EQ(r.status, 500);
    EXPECT_FALSE(FileExists(dir_ / "evil"));
    std::size_t left = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir_ / "up")) {
        left += e.is_regular_file();
    }
    EXPECT_EQ(left, 1u);  // no temporary file stays behind

    // The request log has the exact query string, type and length.
    auto lines = sim_->Requests();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "POST " + good + " 200 auth=N type=application/octet-stream length=11");
}

TEST_F(ZelsimTest, OperationsRequireKnownUserAndPasswordWhenUsersAreGiven) {
    WriteFile(dir_ / "users", "# dealers\r\nDLR100 : s3cr:et \r\n");
    Start({"--users", dir_ / "users"});
    const std::string target = kOps + "GetFileListFromQuvaro?UnitContract=D100&QueryVersion=001";
    Reply r = client_->Send("POST", target, ListEnvelope("D100"), kXml);
    EXPECT_EQ(r.status, 401);
    EXPECT_NE(r.headers.find("WWW-Authenticate: Basic"), std::string::npos);
    r = client_->Send("POST", target, ListEnvelope("D100"),
                      kXml + "Authorization: " + Basic("DLR100:wrong") + "\r\n");
    EXPECT_EQ(r.status, 401);
    r = client_->Send("POST", target, ListEnvelope("D100"),
                      kXml + "Authorization: " + Basic("DLR100:s3cr:et") + "\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<FN>A.DAT</FN>"), std::string::npos);
    // The directory documents stay open to all.
    EXPECT_EQ(client_->Send("GET", "/qvgqa/RetrieveQueryInformation.xml").status, 200);

    auto lines = sim_->Requests();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(" 401 auth=N "), std::string::npos);
    EXPECT_NE(lines[2].find(" 200 auth=Y "), std::string::npos);
    for (const auto& l : lines) EXPECT_EQ(l.find("s3cr"), std::string::npos);
}

TEST_F(ZelsimTest, AcknowledgedFileIsNoLongerPublished) {
    Start();
    const std::string target = kOps + "PostProcessQuvaroFile?UnitContract=D100&QueryVersion=001";
    Reply r = client_->Send("POST", target, PostEnvelope("D100", "sub/B.DAT.dtz"), kXml);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("faultcode"), std::string::npos);
    EXPECT_EQ(ReadFile(dir_ / "post.log"), "D100\tsub/B.DAT.dtz\n");
    r = List();
    EXPECT_EQ(r.body.find("B.DAT.dtz"), std::string::npos);
    EXPECT_NE(r.body.find("<FN>A.DAT</FN>"), std::string::npos);

    // A second acknowledgement finds nothing; with the last file gone the
    // list is the "no files" fault.
    r = client_->Send("POST", target, PostEnvelope("D100", "sub/B.DAT.dtz"), kXml);
    EXPECT_NE(r.body.find("<errorcode>QVPL3003</errorcode>"), std::string::npos);
    r = client_->Send("POST", target, PostEnvelope("D100", "A.DAT"), kXml);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(List().body.find("<errorcode>QVPL2001</errorcode>"), std::string::npos);
    EXPECT_EQ(ReadFile(dir_ / "post.log"), "D100\tsub/B.DAT.dtz\nD100\tA.DAT\n");
}

TEST_F(ZelsimTest, ScriptedFaultsRunInOrderThenTheOperationAnswers) {
    Start({"--fault", "GetFileListFromQuvaro=503x2", "--fault", "GetFileListFromQuvaro=fault:2001",
           "--fault", "GetFileFromQuvaro=cut", "--fault", kOps + "PutFileFromDealer=fault:77"});
    EXPECT_EQ(List().status, 503);
    EXPECT_EQ(List().status, 503);
    Reply r = List();
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<errorcode>QVPL2001</errorcode>"), std::string::npos);
    EXPECT_NE(List().body.find("<FN>A.DAT</FN>"), std::string::npos);

    // Cut: the whole length is announced, half arrives, the connection ends.
    const std::string get =
        kOps + "GetFileFromQuvaro?UnitContract=D100&FileName=sub/B.DAT.dtz&QueryVersion=001";
    r = client_->Send("GET", get);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.content_length, static_cast<long>(dtz_.size()));
    EXPECT_TRUE(r.closed);
    EXPECT_LT(r.body.size(), dtz_.size());
    EXPECT_TRUE(dtz_.compare(0, r.body.size(), r.body) == 0);
    EXPECT_EQ(client_->Send("GET", get).body.size(), dtz_.size());

    // A SOAP fault on an upload fails the HTTP status too, and stores nothing.
    r = client_->Send(
        "POST", kOps + "PutFileFromDealer?UnitContract=D100&FileName=C.DAT&CheckSum=" + Crc("c"),
        "c", kOctets);
    EXPECT_EQ(r.status, 500);
    EXPECT_NE(r.body.find("<errorcode>QVPL77</errorcode>"), std::string::npos);
    EXPECT_FALSE(FileExists(dir_ / "up/D100/C.DAT"));
    EXPECT_EQ(sim_->Count(kOps + "GetFileListFromQuvaro?UnitContract=D100&QueryVersion=001"), 4u);
}

TEST_F(ZelsimTest, StallAnswersNothingAndEndsWhenTheSimulatorStops) {
    Start({"--fault", "GetFileListFromQuvaro=stall"});
    Reply r = client_->Send("POST", kOps + "GetFileListFromQuvaro?UnitContract=D100",
                            ListEnvelope("D100"), kXml, std::chrono::milliseconds(1500));
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.closed);
    auto lines = sim_->Requests();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" stall "), std::string::npos);
    const auto start = Clock::now();
    sim_.reset();  // SIGTERM, then waits for the process
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
}

TEST_F(ZelsimTest, GarbageAnswersNoHttpThenClosesAndStoresNothing) {
    Start({"--fault", "GetFileFromQuvaro=garbagex1", "--fault", "PutFileFromDealer=garbage"});
    const std::string get =
        kOps + "GetFileFromQuvaro?UnitContract=D100&FileName=A.DAT&QueryVersion=001";
    Reply r = client_->Send("GET", get);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.headers.rfind("\x7f", 0), 0u) << r.headers;
    EXPECT_EQ(r.headers.find("HTTP/"), std::string::npos);
    EXPECT_EQ(client_->Send("GET", get).body, "plain text\r\n");

    // The upload was read whole but is never committed.
    r = client_->Send(
        "POST", kOps + "PutFileFromDealer?UnitContract=D100&FileName=C.DAT&CheckSum=" + Crc("c"),
        "c", kOctets);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.closed);
    EXPECT_FALSE(FileExists(dir_ / "up/D100/C.DAT"));
    const auto lines = sim_->Requests();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" garbage "), std::string::npos);
    EXPECT_NE(lines[1].find(" 200 "), std::string::npos);
    EXPECT_NE(lines[2].find(" garbage "), std::string::npos);
}

TEST(ZelsimCommandLine, RefusesBadFaultsAndMissingUsersFile) {
    ScratchDir dir("zelsim");
    for (std::vector<std::string> bad : {std::vector<std::string>{"--fault", "/x=fault:abc"},
                                         {"--fault", "/x=99"},
                                         {"--fault", "/x=stall:1x"},
                                         {"--fault", "/x=garbage:1"},
                                         {"--users", dir / "none"}}) {
        Simulator sim(dir.path(), bad);
        EXPECT_FALSE(sim.ok()) << bad[1];
    }
}

// A value missing at the end, and a word that is no option, are named with
// the option as the table spells it; both end with status 2.
TEST(ZelsimCommandLine, NamesAMissingValueAndAStrayWord) {
    const std::string zelsim = zel::test::BuildPath("tools/zelsim");
    auto run = [&](const std::string& args, std::string* out) {
        FILE* p = ::popen((zelsim + " " + args + " 2>&1").c_str(), "r");
        if (p == nullptr) return -1;
        char buf[4096];
        out->clear();
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
        const int status = ::pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    EXPECT_EQ(run("--no-sync --address", &out), 2);
    EXPECT_NE(out.find("zelsim: --address needs an address"), std::string::npos) << out;
    EXPECT_EQ(run("--no-sync stray", &out), 2);
    EXPECT_NE(out.find("zelsim: unknown option 'stray'"), std::string::npos) << out;
    EXPECT_EQ(run("--bogus", &out), 2);
    EXPECT_NE(out.find("zelsim: unknown option '--bogus'"), std::string::npos) << out;
}

}  // namespace
}  // namespace zel::test
