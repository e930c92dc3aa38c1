// The Poll object's requests and checks against the loopback test server:
// exact query strings, headers and envelopes of the four operations over
// HTTP and HTTPS, retries, server faults, credentials written by the real
// zelpasswd, the first-run bootstrap, the frame's error information and
// outcome record, and the result file.
#include "poll/poll.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "directory/server_directory.h"
#include "platform/com/com_ptr.h"
#include "platform/paths.h"
#include "poll/credentials.h"
#include "poll/poll_status.h"
#include "poll/result_file.h"
#include "support/base64.h"
#include "support/guard.h"
#include "support/result_codes.h"
#include "tests/common/registry_seed.h"
#include "tests/common/scratch.h"
#include "tests/common/test_certs.h"
#include "tests/common/test_server.h"
#include "tests/directory/sim.h"

namespace {

using zel::test::ScriptedResponse;
using zel::test::TestServer;

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());  // ASCII test texts only
}

struct Bstr {
    explicit Bstr(const std::string& s) : b(SysAllocString(Wide(s).c_str())) {}
    ~Bstr() { SysFreeString(b); }
    BSTR b;
};

std::string Basic(const std::string& pair) {
    CBase64 b;
    EXPECT_EQ(b.Encode(pair.c_str()), S_OK);
    return "BASIC " + std::string(b.GetText());
}

std::string PercentDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// The value of name in the query string of target, decoded.
std::string QueryValue(const std::string& target, const std::string& name) {
    std::string query = target.substr(target.find('?') + 1);
    std::size_t pos = 0;
    while (pos <= query.size()) {
        std::size_t amp = query.find('&', pos);
        std::string pair = query.substr(pos, amp == std::string::npos ? amp : amp - pos);
        if (pair.rfind(name + "=", 0) == 0) return PercentDecode(pair.substr(name.size() + 1));
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
    return "<absent>";
}

const char kList[] =
    "<SOAP:Envelope xmlns:SOAP=\"urn:schemas-xmlsoap-org:soap.v1\"><SOAP:Body>"
    "<m:GetFileListFromQuvaro xmlns:m=\"urn:poll-input\"><R1><!-- Dealer Name --><DN>DB</DN>"
    "</R1></m:GetFileListFromQuvaro></SOAP:Body></SOAP:Envelope>";

class PollTest : public zel::test::ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        // The TLS test server may write to a connection the client already
        // closed; that must fail the write, not end the test process.
        ::signal(SIGPIPE, SIG_IGN);
        ::unsetenv("SSL_CERT_FILE");
        ::unsetenv("SSL_CERT_DIR");
        WriteFile(CommPath("CONTROL"), "A,B,C,D,E");
    }

    // The cached directory: server POLL on the loopback server, fresh.
    void SeedDirectory(int port, bool secure) {
        zel::test::SeedServerDirectory(port, secure, "/poll/");
    }

    void StartServer(bool tls = false) {
        TestServer::Options options;
        if (tls) {
            ASSERT_TRUE(zel::test::MakeTestCerts(dir_, &certs_));
            options.tls = true;
            options.cert_file = certs_.leaf_cert;
            options.key_file = certs_.leaf_key;
            ::setenv("SSL_CERT_FILE", certs_.ca_file.c_str(), 1);
        }
        server_ = std::make_unique<TestServer>(options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        SeedDirectory(server_->port(), tls);
    }

    int RunZelpasswd(const std::string& shell_args) {
        const std::string cmd = shell_args + " >/dev/null 2>&1";
        return WEXITSTATUS(std::system(cmd.c_str()));
    }
    std::string Zelpasswd() const { return zel::test::BuildPath("tools/zelpasswd"); }

    zel::test::TestCerts certs_;
    std::unique_ptr<TestServer> server_;
};

TEST_F(PollTest, FourOperationsSendExactRequests) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        StartServer(tls);
        ASSERT_EQ(RunZelpasswd("echo 'dealer7 : s3cret:x' | " + Zelpasswd()), 0);
        CPoll poll;
        const std::string list_body = "<R><FN>a/b/X.DAT</FN></R>";
        server_->Enqueue(ScriptedResponse::Text(200, "OK", list_body, "text/xml"));
        server_->Enqueue(ScriptedResponse::Text(200, "OK", "file-bytes"));
        server_->Enqueue(ScriptedResponse::Text(200, "OK", ""));
        server_->Enqueue(ScriptedResponse::Text(200, "OK", "<ok/>", "text/xml"));

        CStringHolder envelope;
        ASSERT_EQ(BuildListEnvelope(&poll.Log(), "DB", envelope.Out()), S_OK);
        CStringHolder response;
        ASSERT_EQ(poll.DoGetFileListFromQuvaro(envelope.get(), nullptr, response.Out(), true),
                  S_OK);
        EXPECT_EQ(std::string(response.c_str()), list_body);
        EXPECT_EQ(poll.UnitContract(), std::string("DB"));  // fourth field, then second

        const std::string target = Path("X.DAT");
        ASSERT_EQ(poll.DoGetFileFromQuvaro("a/b/X.DAT", false, target.c_str()), S_OK);
        EXPECT_EQ(ReadFile(target), "file-bytes");

        std::filesystem::create_directories(Path("up"));
        WriteFile(Path("up/A.DAT"), "upload-bytes");
        ::chmod(Path("up/A.DAT").c_str(), 0644);
        // An upload that selects nothing sends nothing and makes "up" the
        // upload working directory.
        Bstr up(Path("up"));
        Bstr none("NOTHING*");
        ASSERT_EQ(poll.PutFiles(up.b, none.b, nullptr), S_OK);
        ASSERT_EQ(poll.DoPutFileFromDealer("A.DAT", "/in/", false), S_OK);

        CStringHolder pp;
        ASSERT_EQ(BuildPostProcessEnvelope(&poll.Log(), "DB", "a/b/X.DAT", pp.Out()), S_OK);
        ASSERT_EQ(poll.DoPostProcessQuvaroFile(pp.get(), response.Out(), false), S_OK);
        EXPECT_EQ(std::string(response.c_str()), "<ok/>");

        const auto requests = server_->Requests();
        ASSERT_EQ(requests.size(), 4u);
        const std::string auth = Basic("dealer7:s3cret:x");
        for (const auto& r : requests) EXPECT_EQ(r.Header("Authorization"), auth);

        EXPECT_EQ(requests[0].method, "POST");
        EXPECT_EQ(requests[0].target,
                  "/poll/GetFileListFromQuvaro?UnitContract=DB&QueryVersion=001");
        EXPECT_EQ(requests[0].Header("Content-Type"), "text/xml");
        EXPECT_EQ(requests[0].body, kList);

        EXPECT_EQ(requests[1].method, "GET");
        EXPECT_EQ(requests[1].target,
                  "/poll/GetFileFromQuvaro?UnitContract=DB&FileName=a/b/X.DAT&QueryVersion=001");
        EXPECT_EQ(requests[1].Header("Content-Type"), "application/octet-stream");

        std::uint32_t crc = 0;
        std::uint64_t size = 0;
        ASSERT_TRUE(zel::test::FileCrc(Path("up/A.DAT"), &crc, &size));
        EXPECT_EQ(requests[2].method, "POST");
        EXPECT_EQ(requests[2].target,
                  "/poll/PutFileFromDealer?UnitContract=DB&FileName=/in/A.DAT"
                  "&CheckSum=" +
                      std::to_string(crc) + "&Filter=RW&QueryVersion=001");
        EXPECT_EQ(requests[2].Header("Content-Type"), "application/octet-stream");
        EXPECT_EQ(requests[2].body, "upload-bytes");

        EXPECT_EQ(requests[3].method, "POST");
        EXPECT_EQ(requests[3].target,
                  "/poll/PostProcessQuvaroFile?UnitContract=DB&QueryVersion=001");
        EXPECT_EQ(requests[3].Header("Content-Type"), "text/xml");
        EXPECT_EQ(requests[3].body,
                  "<SOAP:Envelope xmlns:SOAP=\"urn:schemas-xmlsoap-org:soap.v1\"><SOAP:Body>"
                  "<m:PostProcessQuvaroFile xmlns:m=\"urn:poll-input\"><R1><!-- Dealer Name -->"
                  "<DN>DB</DN><!-- File Name --><FN>a/b/X.DAT</FN></R1></m:PostProcessQuvaroFile>"
                  "</SOAP:Body></SOAP:Envelope>");
        server_.reset();
    }
}

TEST_F(PollTest, BusyAnswersAreSentAgainUpToThreeTimes) {
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    CPoll poll;
    CStringHolder envelope;
    ASSERT_EQ(BuildListEnvelope(&poll.Log(), "DB", envelope.Out()), S_OK);
    CStringHolder response;
    server_->Enqueue(ScriptedResponse::Text(503, "Busy", ""));
    server_->Enqueue(ScriptedResponse::Text(504, "Busy", ""));
    server_->Enqueue(ScriptedResponse::Text(200, "OK", "<x/>"));
    EXPECT_EQ(poll.DoGetFileListFromQuvaro(envelope.get(), nullptr, response.Out(), false), S_OK);
    EXPECT_EQ(server_->RequestCount(), 3u);

    for (int i = 0; i < 3; ++i) server_->Enqueue(ScriptedResponse::Text(503, "Busy", ""));
    EXPECT_EQ(poll.DoGetFileListFromQuvaro(envelope.get(), nullptr, response.Out(), false),
              MakeResult(0x80258000 + 503));
    EXPECT_EQ(server_->RequestCount(), 6u);

    // 401 is final even where a second attempt is allowed.
    server_->Enqueue(ScriptedResponse::Text(401, "Unauthorized", ""));
    server_->Enqueue(ScriptedResponse::Text(200, "OK", "<x/>"));
    EXPECT_EQ(poll.DoGetFileListFromQuvaro(envelope.get(), nullptr, response.Out(), true),
              MakeResult(0x80258000 + 401));
    EXPECT_EQ(server_->RequestCount(), 7u);
}

TEST_F(PollTest, ServerFaultsBecomeStatuses) {
    CPoll poll;
    const char fault[] =
        "<faultcode>x</faultcode><errorcode> QVER2001 </errorcode><description> none "
        "</description>";
    EXPECT_EQ(poll.CheckXMLResponse(fault), MakeResult(0x802447D1));
    EXPECT_EQ(poll.CheckXMLResponse("<FN>a</FN>"), S_OK);
    EXPECT_EQ(poll.CheckXMLResponse(nullptr), zel::codes::kInvalidArg);
    EXPECT_EQ(poll.CheckXMLResponse("<faultcode>x</faultcode>"), zel::codes::kXmlInvalid);

    // Through GetFiles, "no files" is one result line and success.
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    server_->Enqueue(ScriptedResponse::Text(200, "OK", fault, "text/xml"));
    Bstr dir(Path("down"));
    EXPECT_EQ(poll.GetFiles(dir.b, nullptr), S_OK);
    EXPECT_EQ(ReadFile(Path("down/Poll.Result")), "1000 NO POLL FILES AVAILABLE.\r\n");
}

// The central side may refuse an upload with status 200 and a fault in the
// answer: the file stays, its line carries the fault number's low 14 bits,
// and the fault is the call's status.  Any other 200 answer is acceptance.
TEST_F(PollTest, UploadRefusedWithStatus200AndAFaultKeepsTheFile) {
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    WriteFile(CommPath("ferrun.conf"), "compression=0\n");
    std::filesystem::create_directories(Path("up"));
    for (const char* n : {"F1", "F2", "F3"}) WriteFile(Path(std::string("up/") + n), n);
    // Sent in reverse listing order: F3, F2, F1.
    const std::string fault =
        "<?xml version=\"1.0\"?><SOAP:Envelope><SOAP:Body><SOAP:Fault><faultcode>SOAP:Server"
        "</faultcode><detail><errorcode>QVPL20005</errorcode><description>Cannot store file"
        "</description></detail></SOAP:Fault></SOAP:Body></SOAP:Envelope>";
    server_->Enqueue(ScriptedResponse::Text(200, "OK", fault, "text/xml"));
    server_->Enqueue(ScriptedResponse::Text(200, "OK", "<R><FN>F2</FN><ST>OK</ST></R>"));
    server_->Enqueue(ScriptedResponse::Text(200, "OK", ""));
    CPoll poll;
    Bstr up(Path("up"));
    EXPECT_EQ(poll.PutFiles(up.b, nullptr, nullptr), MakeResult(0x80244000 + (20005 & 0x3FFF)));
    EXPECT_EQ(ReadFile(Path("up/Poll.Result")), "3621 F3\r\n0000 F2\r\n0000 F1\r\n");
    EXPECT_EQ(server_->RequestCount(), 3u);  // a fault answer is not sent again
    EXPECT_EQ(ReadFile(Path("up/F3")), "F3");
    EXPECT_FALSE(FileExists(Path("up/F2")));
    EXPECT_FALSE(FileExists(Path("up/F1")));
}

TEST_F(PollTest, QueryValuesArriveUnchangedAfterDecoding) {
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    CPoll poll;
    const std::string contract = "A&B C=1+2%#";
    const std::string filter =
        "Gr\xC3\xB6\xC3\x9F"
        "e/*.dat";
    Bstr id(contract);
    poll.SetUserID(id.b);
    CStringHolder envelope;
    ASSERT_EQ(BuildListEnvelope(&poll.Log(), contract.c_str(), envelope.Out()), S_OK);
    CStringHolder response;
    server_->Enqueue(ScriptedResponse::Text(200, "OK", "<x/>"));
    ASSERT_EQ(poll.DoGetFileListFromQuvaro(envelope.get(), filter.c_str(), response.Out(), false),
              S_OK);
    const auto r = server_->Requests().at(0);
    EXPECT_EQ(QueryValue(r.target, "UnitContract"), contract);
    EXPECT_EQ(QueryValue(r.target, "Filter"), filter);
    EXPECT_EQ(QueryValue(r.target, "QueryVersion"), "001");
    EXPECT_NE(r.target.find("e/*.dat"), std::string::npos);  // "/" stays as it is
}

TEST_F(PollTest, BootstrapUsesBuiltInCredentialsAndRestoresThePrevious) {
    StartServer();
    std::size_t length = 0;
    const unsigned char* cipher = zel::poll::BuiltInCredentials(&length);
    std::string built_in(reinterpret_cast<const char*>(cipher), length);
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(built_in.data()), length,
                                 reinterpret_cast<unsigned char*>(built_in.data()));
    ASSERT_NE(built_in.find(':'), std::string::npos);

    CPoll poll;
    std::string mine = "me:pw";
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(mine.data()), mine.size(),
                                 reinterpret_cast<unsigned char*>(mine.data()));
    ASSERT_EQ(poll.GetUserNamePasswordFromEncrStr(mine.c_str()), S_OK);
    server_->Enqueue(ScriptedResponse::Text(200, "OK", "<empty/>"));
    ASSERT_EQ(poll.GetSupportFiles(), S_OK);
    EXPECT_EQ(server_->Requests().at(0).Header("Authorization"), Basic(built_in));
    EXPECT_EQ(poll.UserName(), std::string("me"));

    // A fresh object without IACCESS bootstraps first; the list brought no
    // password file, so the request then fails and no request of its own is
    // made.
    CPoll fresh;
    server_->Enqueue(ScriptedResponse::Text(200, "OK", "<empty/>"));
    Bstr dir(Path("down"));
    EXPECT_EQ(fresh.GetFiles(dir.b, nullptr), MakeResult(0x80208115));
    EXPECT_EQ(server_->RequestCount(), 2u);
    EXPECT_EQ(server_->Requests().at(1).Header("Authorization"), Basic(built_in));
    EXPECT_EQ(fresh.UserName(), nullptr);
}

TEST_F(PollTest, BootstrapAgainstZelsimUsesOnlyTheBuiltInCredentials) {
    std::size_t length = 0;
    const unsigned char* cipher = zel::poll::BuiltInCredentials(&length);
    std::string built_in(reinterpret_cast<const char*>(cipher), length);
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(built_in.data()), length,
                                 reinterpret_cast<unsigned char*>(built_in.data()));
    // zelsim accepts the built-in pair alone and has published nothing.
    WriteFile(Path("users.txt"), built_in + "\n");
    std::filesystem::create_directories(Path("data"));
    zel::test::directory::Simulator sim(dir_,
                                        {"--users", Path("users.txt"), "--data-dir", Path("data")});
    ASSERT_TRUE(sim.ok());
    WriteFile(CommPath("ISERVER.XML"), sim.Description());
    const std::string list = "/qvgqa/poll/GetFileListFromQuvaro?UnitContract=DB&QueryVersion=001";

    CPoll poll;
    std::string mine = "me:pw";
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(mine.data()), mine.size(),
                                 reinterpret_cast<unsigned char*>(mine.data()));
    ASSERT_EQ(poll.GetUserNamePasswordFromEncrStr(mine.c_str()), S_OK);
    Bstr contract("DB");
    poll.SetUserID(contract.b);
    // "No files" is a fault here: the bootstrap brought nothing.
    EXPECT_EQ(poll.GetSupportFiles(), MakeResult(0x802447D1));
    EXPECT_EQ(poll.UserName(), std::string("me"));
    auto lines = sim.Requests();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "POST " + list + " 200 auth=Y type=text/xml length=215");

    // Without IACCESS, GetFiles bootstraps first, says so in the result file
    // and sends no list request with other credentials.
    CPoll fresh;
    Bstr down(Path("down"));
    EXPECT_EQ(fresh.GetFiles(down.b, nullptr), MakeResult(0x802447D1));
    EXPECT_EQ(ReadFile(Path("down/Poll.Result")), "1000 Supporting information not configured\r\n");
    EXPECT_EQ(sim.Count(list), 2u);
    EXPECT_EQ(sim.Requests().back(), "POST " + list + " 200 auth=Y type=text/xml length=215");
    EXPECT_EQ(fresh.UserName(), nullptr);
}

TEST_F(PollTest, PasswordFileFromZelpasswd) {
    // Without ":" the tool refuses and writes nothing.
    EXPECT_EQ(RunZelpasswd(Zelpasswd() + " nocolon"), 1);
    EXPECT_EQ(RunZelpasswd("echo nocolon | " + Zelpasswd()), 1);
    EXPECT_FALSE(FileExists(CommPath("IACCESS")));
    // A pair whose cipher text holds a zero byte must still read back whole:
    // put at one position past "u:" the very byte the key stream has there.
    std::string stream(16, '\0');
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(stream.data()),
                                 stream.size(), reinterpret_cast<unsigned char*>(stream.data()));
    std::string chosen;
    for (std::size_t k = 3; k < stream.size() && chosen.empty(); ++k) {
        const unsigned char c = static_cast<unsigned char>(stream[k]);
        if (c > 0x20 && c < 0x7F && c != '\'' && c != ':') {
            chosen = "u:" + std::string(k - 2, 'p') + static_cast<char>(c) + "q";
        }
    }
    ASSERT_FALSE(chosen.empty());
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " '" + chosen + "'"), 0);
    struct stat st {};
    ASSERT_EQ(::stat(CommPath("IACCESS").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CPoll poll;
    ASSERT_EQ(poll.GetUserNamePasswordFromFile(), S_OK);
    EXPECT_EQ(poll.UserName(), std::string("u"));

    // A deciphered text without ":" fails with its own status, no user left.
    std::string bad = "nocolon";
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(bad.data()), bad.size(),
                                 reinterpret_cast<unsigned char*>(bad.data()));
    EXPECT_EQ(poll.GetUserNamePasswordFromEncrStr(bad.c_str()), zel::codes::kPasswordFormat);
    EXPECT_EQ(poll.UserName(), nullptr);
}

TEST_F(PollTest, SettersReportThroughErrorInfo) {
    CPoll poll;
    Bstr empty("  ");
    EXPECT_EQ(poll.SetLogFile(empty.b), S_OK);
    zel::com::ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    BSTR text = nullptr;
    ASSERT_EQ(info->GetDescription(&text), S_OK);
    EXPECT_EQ(std::u16string(text), u"Input data error~~File name  is invalid.");
    SysFreeString(text);
    ASSERT_EQ(info->GetSource(&text), S_OK);
    EXPECT_EQ(std::u16string(text), u"Poll.Poll.1");
    SysFreeString(text);
    info.Reset();

    EXPECT_EQ(poll.SetResultFile(empty.b), S_OK);
    EXPECT_EQ(poll.ResultFileName(), nullptr);
    Bstr name("R.TXT");
    EXPECT_EQ(poll.SetResultFile(name.b), S_OK);
    EXPECT_EQ(poll.SetLogFile(empty.b), S_OK);  // leaves error information again
    EXPECT_EQ(poll.SetResultFile(name.b), S_OK);
    EXPECT_EQ(GetErrorInfo(0, info.Out()), S_FALSE);  // cleared on entry
    EXPECT_EQ(poll.ResultFileName(), std::string("R.TXT"));
}

TEST_F(PollTest, FailingListRequestLogsTheAnswerThenTheOutcome) {
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:secretpw"), 0);
    CPoll poll;
    Bstr log(Path("poll.log"));
    poll.SetLogFile(log.b);
    // Traces on: the transport's request-header trace must keep the
    // credentials out of the log by itself.
    poll.SetDebugMode(1);
    server_->Enqueue(ScriptedResponse::Text(404, "Not Found", ""));
    Bstr dir(Path("down"));
    EXPECT_TRUE(FAILED(poll.GetFiles(dir.b, nullptr)));
    const std::string text = ReadFile(Path("poll.log"));
    const auto answer = text.find(
        "MessageId: 13720404\r\nMessage: Server response error~~Error response from server. "
        "HTTP response code: 404. \r\nResponse: Not Found.\r\nContext: "
        "GetFiles:CPoll::SendRequest");
    const auto outcome = text.rfind("Message: Operation is not successful.");
    EXPECT_NE(answer, std::string::npos);
    EXPECT_NE(outcome, std::string::npos);
    EXPECT_LT(answer, outcome);
    EXPECT_NE(text.find("Authorization: <not logged>"), std::string::npos);
    EXPECT_EQ(text.find("secretpw"), std::string::npos);
    EXPECT_EQ(text.find(Basic("u:secretpw").substr(6)), std::string::npos);
}
// The answers of one download of a single listed file, content bytes,
// whose list is answered to list_auth (any other list request: "no files"),
// placed and post-processed.  Before the body is sent, on_fetch runs.
TestServer::Handler OneFileDownload(const std::string& name, const std::string& content,
                                    const std::string& list_auth,
                                    std::function<void()> on_fetch = nullptr) {
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(
        0L, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    return [=](const zel::test::RecordedRequest& r) {
        if (r.target.find("/GetFileFromQuvaro?") != std::string::npos) {
            if (on_fetch) on_fetch();
            return ScriptedResponse::Text(200, "OK", content, "application/octet-stream");
        }
        if (r.target.find("/PostProcessQuvaroFile?") != std::string::npos)
            return ScriptedResponse::Text(200, "OK", "<ok/>", "text/xml");
        if (r.Header("Authorization") != list_auth) {
            return ScriptedResponse::Text(
                200, "OK", "<faultcode>x</faultcode><errorcode>QVER2001</errorcode>", "text/xml");
        }
        return ScriptedResponse::Text(
            200, "OK",
            "<R><FN>" + name + "</FN><FT>Static</FT><FC>" + std::to_string(crc) + "</FC></R>",
            "text/xml");
    };
}

// Restores the current directory: the post-processing batch that follows a
// download with placed files leaves the process in the install directory.
struct CwdRestore {
    CwdRestore() : cwd(std::filesystem::current_path()) {}
    ~CwdRestore() { std::filesystem::current_path(cwd); }
    std::filesystem::path cwd;
};

TEST_F(PollTest, ServerFaultTextStaysOneRecordAndSuccessLogsNoError) {
    CwdRestore cwd;
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    CPoll poll;
    Bstr log(Path("poll.log"));
    ASSERT_EQ(poll.SetLogFile(log.b), S_OK);
    Bstr dir(Path("down"));

    // A successful transfer leaves no Error record: finding the password
    // file in place is no failure.
    server_->SetHandler(OneFileDownload("Y.TXT", "why", Basic("u:p")));
    ASSERT_EQ(poll.GetFiles(dir.b, nullptr), S_OK);
    EXPECT_EQ(ReadFile(Path("down/Y.TXT")), "why");
    std::string text = ReadFile(Path("poll.log"));
    EXPECT_NE(text.find("Message: Operation is successfull"), std::string::npos) << text;
    EXPECT_EQ(text.find("Severity: Error"), std::string::npos) << text;

    // A fault description with line breaks is one record on one line.
    std::remove(Path("poll.log").c_str());
    const std::string fault =
        "<faultcode>x</faultcode><errorcode>QVER0042</errorcode><description>bad\r\n"
        "TimeStamp: 01/01/26 00:00:00.000 (1)\r\nUser: u\r\nSeverity: Error\r\n"
        "Message: FORGED RECORD\n\r\nContext: X\r\n\r\n</description>";
    server_->SetHandler(nullptr);
    server_->Enqueue(ScriptedResponse::Text(200, "OK", fault, "text/xml"));
    EXPECT_EQ(poll.GetFiles(dir.b, nullptr), zel::poll::ServerFaultResult(42));
    text = ReadFile(Path("poll.log"));
    EXPECT_NE(text.find("\r\nMessage: bad TimeStamp: 01/01/26 00:00:00.000 (1) User: u Severity: "
                        "Error Message: FORGED RECORD Context: X\r\nContext: "
                        "GetFiles:CPoll::CheckXMLResponse\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("\r\nMessage: FORGED RECORD"), std::string::npos);
    EXPECT_EQ(text.find("(1)\r\n"), std::string::npos);
}

TEST_F(PollTest, BootstrapKeepsThePasswordFileToItsOwner) {
    CwdRestore cwd;
    // Temporaries go to the working directory (the install directory here),
    // where the fetch below can see them.
    zel::test::EnvRestore tmp_env("TMP");
    ::unsetenv("TMP");
    const mode_t old_mask = ::umask(022);
    StartServer();
    const std::string plain = "dealer9:pw9";
    std::string cipher = plain;
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(cipher.data()),
                                 cipher.size(), reinterpret_cast<unsigned char*>(cipher.data()));
    std::size_t length = 0;
    const unsigned char* built_in_cipher = zel::poll::BuiltInCredentials(&length);
    std::string built_in(reinterpret_cast<const char*>(built_in_cipher), length);
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(built_in.data()), length,
                                 reinterpret_cast<unsigned char*>(built_in.data()));
    // The body is about to go into the staging file: it exists now.
    std::vector<unsigned> staging_modes;
    auto on_fetch = [&staging_modes]() {
        for (const auto& e : std::filesystem::directory_iterator(zel::paths::CommDir())) {
            if (e.path().filename().string().rfind("~qvzs", 0) != 0) continue;
            struct stat st {};
            if (::stat(e.path().c_str(), &st) == 0) staging_modes.push_back(st.st_mode & 0777);
        }
    };
    // The bootstrap's list names IACCESS; the dealer's own finds nothing.
    server_->SetHandler(OneFileDownload("IACCESS", cipher, Basic(built_in), on_fetch));
    CPoll poll;
    Bstr dir(Path("down"));
    const HRESULT hr = poll.GetFiles(dir.b, nullptr);
    ::umask(old_mask);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(poll.UserName(), std::string("dealer9"));
    EXPECT_EQ(staging_modes, std::vector<unsigned>{0600u});
    struct stat st {};
    ASSERT_EQ(::stat(CommPath("IACCESS").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFile(CommPath("IACCESS")), cipher);
}

TEST_F(PollTest, ALinkInPlaceOfTheResultFileIsNeverFollowed) {
    // An outside file, read-only and large enough that a cut would rewrite
    // it, behind a link where the result file should be.
    std::string bytes;
    for (int i = 0; bytes.size() < 800000; ++i) bytes += std::to_string(i) + ";";
    bytes.resize(800000);
    const std::string outside = Path("outside.dat");
    WriteFile(outside, bytes);
    ASSERT_EQ(::chmod(outside.c_str(), 0444), 0);
    std::filesystem::create_directories(Path("down"));
    ASSERT_EQ(::symlink(outside.c_str(), Path("down/POLL.RESULT").c_str()), 0);

    EXPECT_EQ(zel::poll::WriteResultLine(Path("down").c_str(), "POLL.RESULT", 1000, "A"),
              zel::codes::kOpenFile);

    // Through a transfer: the transfer itself succeeds, the lost line is
    // logged with the open status.
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    CPoll poll;
    Bstr log(Path("poll.log"));
    ASSERT_EQ(poll.SetLogFile(log.b), S_OK);
    Bstr name("POLL.RESULT");
    ASSERT_EQ(poll.SetResultFile(name.b), S_OK);
    server_->Enqueue(ScriptedResponse::Text(
        200, "OK", "<faultcode>x</faultcode><errorcode>QVER2001</errorcode>", "text/xml"));
    Bstr dir(Path("down"));
    EXPECT_EQ(poll.GetFiles(dir.b, nullptr), S_OK);
    EXPECT_NE(ReadFile(Path("poll.log"))
                  .find("MessageId: 13220277\r\nMessage: File system error\r\n"
                        "Context: GetFiles:WriteResultLine\r\n"),
              std::string::npos)
        << ReadFile(Path("poll.log"));

    struct stat st {};
    ASSERT_EQ(::lstat(Path("down/POLL.RESULT").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(outside.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 800000);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_TRUE(ReadFile(outside) == bytes);
}

// ---- Bounds of the file list and the download guard's cost ---------------

long PeakKb() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A list answer beyond its bounds is refused whole, with the status of a
// malformed list and a record of why, before its text is held in memory or
// any entry is acted on.
TEST_F(PollTest, FileListBeyondItsBoundsIsRefusedWhole) {
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    CPoll poll;
    Bstr log(Path("poll.log"));
    poll.SetLogFile(log.b);
    Bstr dir(Path("down"));

    // Far longer than any list: refused as it stands in the transport's file.
    constexpr std::uint64_t kHuge = 96u << 20;
    ScriptedResponse huge = ScriptedResponse::Text(200, "OK", "", "text/xml");
    huge.generated_size = kHuge;
    server_->Enqueue(huge);
    const long before = PeakKb();
    EXPECT_EQ(poll.GetFiles(dir.b, nullptr), zel::codes::kXmlInvalid);
    EXPECT_LT(PeakKb() - before, 32L * 1024) << "the list was read into memory";
    EXPECT_NE(ReadFile(Path("poll.log")).find("bytes refused"), std::string::npos);
    EXPECT_FALSE(FileExists(Path("down/Poll.Result")));

    // Short, but with one entry too many: none of them is acted on (each
    // would otherwise be refused with a result line of its own).
    std::string many;
    for (std::size_t i = 0; i <= kMaxFileListEntries; ++i)
        many += "<R><FN>..</FN><FT>Static</FT><FC>0</FC></R>";
    ASSERT_LT(many.size(), kMaxFileListBytes);
    EXPECT_EQ(poll.GetFilesInList(many.c_str()), zel::codes::kXmlInvalid);
    EXPECT_NE(ReadFile(Path("poll.log")).find("entries refused"), std::string::npos);
    EXPECT_FALSE(FileExists(Path("down/Poll.Result")));
    EXPECT_EQ(server_->RequestCount(), 1u);
}

// A list walk claims every name it may fetch at once and gives back the
// failed ones at its end: two rewrites of the guard file, however long the
// list.  A run that starts while the walk is under way finds every name of
// the list already claimed.
TEST_F(PollTest, ListWalkRewritesTheDownloadGuardOnceAndClaimsEveryNameAtOnce) {
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    const std::string guard = CommPath("qvzel.down.guard");
    auto crc = [](const std::string& s) {
        return std::to_string(
            crc32(0L, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
    };
    auto entry = [](const std::string& fn, const std::string& ft, const std::string& fc) {
        return "<R><FN>" + fn + "</FN><FT>" + ft + "</FT><FC>" + fc + "</FC></R>";
    };
    std::string list = entry("A.DAT", "Static", crc("aaa")) + entry("B.DAT", "Static", "0") +
                       entry("C.DAT", "Static", crc("ccc"));
    std::vector<std::string> others;  // names of entries that are never fetched
    for (int i = 0; i < 300; ++i) {
        others.push_back("D" + std::to_string(i) + ".DAT");
        list += entry(others.back(), "Dynamic", "0");
    }
    // While A.DAT is being fetched, another run tries the rest of the list.
    std::mutex mu;
    std::vector<bool> second_run;
    server_->SetHandler([&](const zel::test::RecordedRequest& r) {
        if (r.target.find("/GetFileListFromQuvaro?") != std::string::npos)
            return ScriptedResponse::Text(200, "OK", list, "text/xml");
        if (r.target.find("FileName=A.DAT") != std::string::npos) {
            std::lock_guard<std::mutex> hold(mu);
            second_run = GuardAcquireAll(guard.c_str(), "read_timeout", 6900000,
                                         {"B.DAT", "C.DAT", others.back()});
            return ScriptedResponse::Text(200, "OK", "aaa");
        }
        if (r.target.find("FileName=B.DAT") != std::string::npos)
            return ScriptedResponse::Text(404, "Not Found", "");
        if (r.target.find("FileName=C.DAT") != std::string::npos)
            return ScriptedResponse::Text(200, "OK", "ccc");
        return ScriptedResponse::Text(200, "OK", "<ok/>", "text/xml");
    });

    CPoll poll;
    Bstr dir(Path("down"));
    const unsigned long rewrites = guard_test_hooks::RewriteCount();
    EXPECT_EQ(poll.GetFiles(dir.b, nullptr), MakeResult(0x80258000 + 404));
    // The claim, the other run's try and the giving back.
    EXPECT_EQ(guard_test_hooks::RewriteCount() - rewrites, 3u);
    {
        std::lock_guard<std::mutex> hold(mu);
        EXPECT_EQ(second_run, (std::vector<bool>{false, false, false}));
    }
    EXPECT_EQ(ReadFile(Path("down/A.DAT")), "aaa");
    EXPECT_EQ(ReadFile(Path("down/C.DAT")), "ccc");

    // What stays: the fetched names and those never fetched; the failed one
    // is free again.
    std::vector<std::string> kept;
    for (const GuardEntry& e : ParseGuardEntries(ReadFile(guard))) kept.push_back(e.text);
    std::vector<std::string> expected = {"A.DAT", "C.DAT"};
    expected.insert(expected.end(), others.begin(), others.end());
    EXPECT_EQ(kept, expected);
}

// An upload claims every file it will send on the upload guard at once,
// with one rewrite, and frees the failed ones together at its end: a run
// that starts while the first file is being sent finds every file of the
// list claimed, and only the failed file is free afterwards.
TEST_F(PollTest, UploadClaimsEveryFileAtOnceAndGivesBackTheFailedOnesTogether) {
    StartServer();
    ASSERT_EQ(RunZelpasswd(Zelpasswd() + " u:p"), 0);
    WriteFile(CommPath("ferrun.conf"), "compression=0\n");
    const std::string guard = CommPath("qvzel.up.guard");
    std::filesystem::create_directories(Path("up"));
    std::vector<std::string> paths;
    for (int i = 0; i < 20; ++i) {
        const std::string name = "U" + std::to_string(i);
        WriteFile(Path("up/" + name), name);
        paths.push_back(Path("up/" + name));
    }
    std::mutex mu;
    std::vector<bool> second_run;
    int puts = 0;
    server_->SetHandler([&](const zel::test::RecordedRequest& r) {
        std::lock_guard<std::mutex> hold(mu);
        if (puts++ == 0) {
            second_run = GuardAcquireAll(guard.c_str(), "write_timeout", 330000, paths);
        }
        if (r.target.find("FileName=U7&") != std::string::npos)
            return ScriptedResponse::Text(500, "Internal Server Error", "");
        return ScriptedResponse::Text(200, "OK", "");
    });

    CPoll poll;
    Bstr up(Path("up"));
    const unsigned long rewrites = guard_test_hooks::RewriteCount();
    EXPECT_EQ(poll.PutFiles(up.b, nullptr, nullptr), MakeResult(0x80258000 + 500));
    // The scan guard, the upload guard's claim, the other run's try and the
    // giving back.
    EXPECT_EQ(guard_test_hooks::RewriteCount() - rewrites, 4u);
    {
        std::lock_guard<std::mutex> hold(mu);
        EXPECT_GE(puts, 20);
        EXPECT_EQ(second_run, std::vector<bool>(20, false));
    }
    std::vector<std::string> kept;
    for (const GuardEntry& e : ParseGuardEntries(ReadFile(guard))) kept.push_back(e.text);
    std::vector<std::string> sent = paths;
    sent.erase(sent.begin() + 7);
    std::sort(kept.begin(), kept.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(kept, sent);
    EXPECT_EQ(ReadFile(Path("up/U7")), "U7");
}

TEST(ResultFile, LineFormatCutAndControlCharacters) {
    EXPECT_EQ(zel::poll::FormatResultLine(0, "X.DAT"), "0000 X.DAT");
    EXPECT_EQ(zel::poll::FormatResultLine(12345, "x"), "12345 x");
    EXPECT_EQ(zel::poll::FormatResultLine(500, "a\r\n0000 forged\tb"), "0500 a??0000 forged?b");
    const std::string long_text(2000, 'y');
    EXPECT_EQ(zel::poll::FormatResultLine(1, long_text.c_str()).size(), 1024u);
    std::string multibyte(1018, 'z');
    multibyte += "\xC3\xA9\xC3\xA9";  // the cut falls inside the second character
    EXPECT_EQ(zel::poll::FormatResultLine(1, multibyte.c_str()).size(), 1025u - 2);

    zel::test::ScratchDir dir;
    zel::test::WriteFile(dir / "Poll.Result", "0001 earlier\r\n");
    ASSERT_EQ(zel::poll::WriteResultLine(dir.path().c_str(), nullptr, 1000, "A"), S_OK);
    ASSERT_EQ(zel::poll::WriteResultLine(dir.path().c_str(), nullptr, 3, long_text.c_str()), S_OK);
    EXPECT_EQ(zel::test::ReadFile(dir / "Poll.Result"),
              "0001 earlier\r\n1000 A\r\n0003 " + long_text.substr(0, 1019) + "\r\n");
}

// An operation's writer keeps the result file open between lines, but a
// file its reader removed or replaced meanwhile gets no more lines: they go
// to the file under the name.
TEST(ResultFile, WriterFollowsTheNameBetweenLines) {
    zel::test::ScratchDir dir;
    const std::string file = dir / "Poll.Result";
    zel::poll::ResultFileWriter writer;
    ASSERT_EQ(writer.Write(dir.path().c_str(), nullptr, 0, "A"), S_OK);
    ASSERT_EQ(std::rename(file.c_str(), (file + ".taken").c_str()), 0);
    ASSERT_EQ(writer.Write(dir.path().c_str(), nullptr, 0, "B"), S_OK);
    zel::test::WriteFile(file + ".new", "0001 other\r\n");
    ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
    ASSERT_EQ(writer.Write(dir.path().c_str(), nullptr, 0, "C"), S_OK);
    ASSERT_EQ(writer.Write(dir.path().c_str(), nullptr, 0, "D"), S_OK);
    EXPECT_EQ(zel::test::ReadFile(file + ".taken"), "0000 A\r\n");
    EXPECT_EQ(zel::test::ReadFile(file), "0001 other\r\n0000 C\r\n0000 D\r\n");
}

}  // namespace
