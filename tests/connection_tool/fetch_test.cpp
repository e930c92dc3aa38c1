// The dialog logic over the system's own HTTP client (libcurl on Linux,
// WinInet on Windows under wine) against the loopback test server: what
// each test button sends and stores, the answers that must fail a test, a
// refused connection, a test the user stops while the server is silent,
// and the HTTPS test's tolerance of certificate name errors but not of an
// unknown CA.  The same cases run on both systems.
#include <chrono>
#include <cstdio>

#include "tests/common/ca_trust.h"
#include "tests/common/test_certs.h"
#include "tests/common/test_server.h"
#include "tests/connection_tool/tool_fixture.h"

using namespace zel::conn;
using namespace zel::test;
using namespace zel::test::connection_tool;

namespace {

class FetchTest : public ToolTest {
  protected:
    void StartServer(TestServer::Options options = {}) {
        server_ = std::make_unique<TestServer>(options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        if (options.tls)
            utility_.SetHttpsTarget(server_->address(), server_->port());
        else
            utility_.SetHttpTarget(server_->address(), server_->port());
    }
    std::vector<std::string> Captions() const {
        std::vector<std::string> c;
        for (const Box& b : ui_.boxes) c.push_back(b.caption);
        return c;
    }

    RecordingUi ui_;
    ConnectionUtility utility_{&ui_};
    std::unique_ptr<TestServer> server_;
};

TEST_F(FetchTest, EachHttpButtonStoresTheWholeDocumentAndYesItsMethod) {
    StartServer();
    // Several of the response file's blocks and a part of one.
    constexpr std::uint64_t kSize = 3 * kResponseBlock + 1234;
    for (Method method :
         {Method::Direct, Method::Preconfig, Method::PreconfigNoAutoProxy, Method::Proxy}) {
        SCOPED_TRACE(MethodLabel(method));
        if (method == Method::Proxy) {
            // Only now: the preconfigured tests read the same settings.  The
            // loopback target never goes through the proxy.
            UserProxy(1, "127.0.0.9:9");
        }
        ScriptedResponse answer;
        answer.generated_size = kSize;
        server_->Enqueue(answer);
        ui_.boxes.clear();
        ui_.answers = {true};
        std::remove(Path("response.txt").c_str());
        EXPECT_EQ(utility_.RunTest(Group::Http, method), TestOutcome::Saved);
        EXPECT_EQ(SystemDword("AccessMethod"), static_cast<long long>(method));
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
        ASSERT_TRUE(FileCrc(Path("response.txt"), &crc, &size));
        EXPECT_EQ(size, kSize);
        EXPECT_EQ(crc, PatternCrc(kSize));
        ASSERT_FALSE(ui_.boxes.empty());
        EXPECT_TRUE(ui_.boxes.back().question);
        EXPECT_EQ(ui_.boxes.back().text, kConfirmText);
    }
    // The request as the design has it: GET of the fixed document, HTTP/1.1,
    // the tool's agent and the referrer "*/*".
    const std::vector<RecordedRequest> requests = server_->Requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const RecordedRequest& r : requests) {
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.target, kHttpPath);
        EXPECT_EQ(r.request_line, std::string("GET ") + kHttpPath + " HTTP/1.1");
        EXPECT_EQ(r.Header("User-Agent"), kAgent);
        EXPECT_EQ(r.Header("Referer"), "*/*");
        EXPECT_EQ(r.body_size, 0u);
    }
}

TEST_F(FetchTest, AnswersThatAreNotTheDocumentFailAndWriteNothing) {
    StartServer();
    // A redirect is not followed: the test fails and the older file stays.
    ScriptedResponse redirect = ScriptedResponse::Text(302, "Found", "moved");
    redirect.headers.push_back({"Location", "/elsewhere"});
    server_->Enqueue(redirect);
    WriteFile(Path("response.txt"), "older");
    ui_.answers = {true};
    EXPECT_EQ(utility_.RunTest(Group::Http, Method::Direct), TestOutcome::Failed);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].caption, "HTTP Status Code");
    EXPECT_EQ(ui_.boxes[0].text, kStatusNot200);
    EXPECT_EQ(ReadFile(Path("response.txt")), "older");
    EXPECT_EQ(server_->RequestCount(), 1u);

    // A 200 whose body breaks off: never offered for saving, and what came
    // of it is kept.
    server_->Enqueue(ScriptedResponse::Raw(
        "HTTP/1.1 200 OK\r\nContent-Length: 50000\r\nConnection: close\r\n\r\n" +
        std::string(1000, 'x')));
    ui_.boxes.clear();
    ui_.answers = {true};
    EXPECT_EQ(utility_.RunTest(Group::Http, Method::Direct), TestOutcome::Failed);
    ASSERT_FALSE(ui_.boxes.empty());
    EXPECT_EQ(ui_.boxes[0].caption, "Error");
    EXPECT_FALSE(ui_.boxes[0].text.empty());
    for (const Box& b : ui_.boxes) EXPECT_FALSE(b.question);
    EXPECT_EQ(ReadFile(Path("response.txt")), std::string(1000, 'x'));
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
}

TEST_F(FetchTest, RefusedConnectionShowsTheSystemsErrorAndWritesNothing) {
    StartServer();
    const int port = server_->port();
    server_->Stop();
    utility_.SetHttpTarget("127.0.0.1", port);
    ui_.answers = {true};
    EXPECT_EQ(utility_.RunTest(Group::Http, Method::Direct), TestOutcome::Failed);
    ASSERT_FALSE(ui_.boxes.empty());
    EXPECT_EQ(ui_.boxes[0].caption, "Error");
    EXPECT_FALSE(ui_.boxes[0].text.empty());
    // The HTTP library's own numbers follow when it has them.
    if (ui_.boxes.size() > 1) {
        EXPECT_EQ(Captions(), (std::vector<std::string>{"Error", "Internet Error"}));
        EXPECT_EQ(ui_.boxes[1].text.rfind("Code:", 0), 0u) << ui_.boxes[1].text;
    }
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
}

// Stops the test once it has run for a second.
class StoppingUi : public RecordingUi {
  public:
    bool KeepTesting(double elapsed_seconds) override {
        ++asked;
        return elapsed_seconds < 1.0;
    }
    int asked = 0;
};

TEST_F(FetchTest, ASilentServerIsLeftWhenTheUserStops) {
    StartServer();
    // The request is taken and never answered.
    server_->Enqueue(ScriptedResponse::Raw("", 60000));
    StoppingUi ui;
    ui.answers = {true};
    ConnectionUtility utility(&ui);
    utility.SetHttpTarget(server_->address(), server_->port());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(utility.RunTest(Group::Http, Method::Direct), TestOutcome::Cancelled);
    // Asked while the request waited, and left soon after the stop.
    EXPECT_GE(ui.asked, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_FALSE(FileExists(Path("response.txt")));
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
}

TEST_F(FetchTest, HttpsToleratesANameErrorButNotAnUnknownCa) {
    TestCerts certs;
    std::string error;
    ASSERT_TRUE(MakeTestCerts(dir_, &certs, &error)) << error;
    // Before the process's first HTTPS request: Windows reads its trusted
    // roots once.
    TrustedTestCa trust(certs.ca_file, Path("tmp"));
    ASSERT_TRUE(trust.ok()) << trust.error();
    TestServer::Options options;
    options.tls = true;
    options.cert_file = certs.wrong_host_cert;
    options.key_file = certs.wrong_host_key;
    StartServer(options);
    server_->Enqueue(ScriptedResponse::Text(200, "OK", "<SystemInformation/>", "text/xml"));
    ui_.answers = {false};
    EXPECT_EQ(utility_.RunTest(Group::Https, Method::Direct), TestOutcome::Declined);
    EXPECT_EQ(ReadFile(Path("response.txt")), "<SystemInformation/>");
    ASSERT_EQ(server_->RequestCount(), 1u);
    EXPECT_EQ(server_->Requests()[0].target, kHttpsPath);

    options.cert_file = certs.untrusted_cert;
    options.key_file = certs.untrusted_key;
    StartServer(options);
    server_->Enqueue(ScriptedResponse::Text(200, "OK", "never", "text/xml"));
    ui_.boxes.clear();
    ui_.answers = {true};
    EXPECT_EQ(utility_.RunTest(Group::Https, Method::Direct), TestOutcome::Failed);
    ASSERT_FALSE(ui_.boxes.empty());
    EXPECT_EQ(ui_.boxes[0].caption, "Error");
    EXPECT_EQ(server_->RequestCount(), 0u);
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
}

}  // namespace
