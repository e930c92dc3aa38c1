// The request engine against the real loopback server: request bytes,
// response handling, checks, streaming, timeouts, proxies, TLS.  The same
// cases run over libcurl on Linux and over WinInet on Windows (under wine,
// against servers in the test peer); a few that only one engine can meet
// are named in CMakeLists.txt.
#include <chrono>
#include <fstream>

#include "tests/common/ca_trust.h"
#include "tests/common/machine_proxy.h"
#include "tests/common/test_certs.h"
#include "tests/transport/engine_fixture.h"
#include "transport/access_method.h"

using namespace zel::test;
using namespace zel::test::transport;
using namespace zel::codes;

namespace {

std::string HostHeader(const TestServer& s) {
    return "Host: " + s.address() + ":" + std::to_string(s.port()) + "\r\n";
}

// The log stores every line break of a message as CR LF: compare without CRs.
std::string WithoutCr(std::string text) {
    std::erase(text, '\r');
    return text;
}

TEST_F(EngineTest, GetWithoutBodySendsExactHead) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Text(200, "OK", "hello"));
    auto e = Engine(server, "/qvgqa/RetrieveServerInformation.xml?x=1");
    ASSERT_EQ(e->Process(), S_OK);
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    // Host and User-Agent come from the HTTP client, the rest is ours:
    // Content-Length and Content-Type also on a GET with an empty body.
    EXPECT_EQ(reqs[0].head, "GET /qvgqa/RetrieveServerInformation.xml?x=1 HTTP/1.0\r\n" +
                                HostHeader(server) +
                                "User-Agent: Poll\r\n"
                                "Content-Length: 0\r\n"
                                "Content-Type: application/octet-stream\r\n\r\n");
    std::int32_t code = 0, length = -1;
    ASSERT_EQ(e->GetStatusCode(&code), S_OK);
    ASSERT_EQ(e->GetContentLength(&length), S_OK);
    EXPECT_EQ(code, 200);
    EXPECT_EQ(length, 5);
    CStringHolder text, type;
    ASSERT_EQ(e->GetStatusText(text.Out()), S_OK);
    ASSERT_EQ(e->GetRespContentType(type.Out()), S_OK);
    EXPECT_STREQ(text.get(), "OK");
    EXPECT_STREQ(type.get(), "text/plain");
    EXPECT_EQ(Body(*e), "hello");
    // The response content is read-only outside a request.
    CInternetAccess::CContentStream* resp = nullptr;
    ASSERT_EQ(e->GetRespContent(&resp), S_OK);
    std::int32_t n = 0;
    EXPECT_EQ(resp->Write("x", 1, &n), kStreamReadOnly);

    std::string log = LogText();
    // The request-header trace shows the header block in the order it went out.
    EXPECT_NE(WithoutCr(log).find(WithoutCr("Message: Request header: " + HostHeader(server) +
                                            "User-Agent: Poll\r\n"
                                            "Content-Length: 0\r\n"
                                            "Content-Type: application/octet-stream\r\n\r\n.\r\n")),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("HTTP response status code: 200."), std::string::npos);
    EXPECT_NE(log.find("Connected to server."), std::string::npos);
}

TEST_F(EngineTest, QueryValuesWithBlanksAndHashesReachTheServer) {
    // Query values go into the resource unescaped; the bytes that cannot
    // stand in a request line are sent percent-encoded, everything else as
    // it is.
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Text(200, "OK", "x"));
    auto e = Engine(server, "/q?UnitContract=12 34&FileName=a b#1.dtz&Filter=%41|{}");
    ASSERT_EQ(e->Process(), S_OK);
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].request_line,
              "GET /q?UnitContract=12%2034&FileName=a%20b%231.dtz&Filter=%41|{} HTTP/1.0");
}

TEST_F(EngineTest, PostWithHeadersAndBodySendsExactBytes) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Text(200, "OK", "<ok/>", "text/xml"));
    auto e = Engine(server, "/q/PutFileFromDealer");
    ASSERT_EQ(e->SetVerb(HTTP_VERB_POST), S_OK);
    ASSERT_EQ(e->SetHTTPVersion(HTTP_VERSION_1_1), S_OK);
    std::int32_t index = -1;
    ASSERT_EQ(e->AddReqHeader("  Authorization ", " Basic dXNlcjpwdw== ", &index), S_OK);
    EXPECT_EQ(index, 0);
    ASSERT_EQ(e->AddReqHeader("SOAPAction", "\"GetFileListFromQuvaro\"", &index), S_OK);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(e->AddReqHeader("X-Empty", "   ", nullptr), kInvalidArg);
    EXPECT_EQ(e->AddReqHeader(nullptr, "v", nullptr), kInvalidArg);
    EXPECT_EQ(e->AddReqHeader("X-Split", "a\r\nX-Injected: 1", nullptr), kInvalidArg);
    ASSERT_EQ(e->SetReqContentType("text/xml; charset=utf-8"), S_OK);
    const std::string body = "<Envelope>payload</Envelope>";
    ASSERT_EQ(e->SetReqContent(body.data(), static_cast<std::int32_t>(body.size())), S_OK);
    ASSERT_EQ(e->Process(), S_OK);
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].head, "POST /q/PutFileFromDealer HTTP/1.1\r\n" + HostHeader(server) +
                                "User-Agent: Poll\r\n"
                                "Authorization: Basic dXNlcjpwdw==\r\n"
                                "SOAPAction: \"GetFileListFromQuvaro\"\r\n"
                                "Content-Length: 28\r\n"
                                "Content-Type: text/xml; charset=utf-8\r\n\r\n");
    EXPECT_EQ(reqs[0].body, body);
    EXPECT_EQ(Body(*e), "<ok/>");
    // The trace names the credentials' header but keeps its value out of the log.
    std::string log = LogText();
    EXPECT_NE(WithoutCr(log).find(WithoutCr("Request header: " + HostHeader(server) +
                                            "User-Agent: Poll\r\n"
                                            "Authorization: <not logged>\r\n"
                                            "SOAPAction: \"GetFileListFromQuvaro\"\r\n"
                                            "Content-Length: 28\r\n"
                                            "Content-Type: text/xml; charset=utf-8\r\n\r\n.")),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("dXNlcjpwdw=="), std::string::npos);

    // The same configuration runs again over the same connection.
    server.Enqueue(ScriptedResponse::Text(200, "OK", "again"));
    ASSERT_EQ(e->Process(), S_OK);
    EXPECT_EQ(Body(*e), "again");
    EXPECT_EQ(server.RequestCount(), 2u);
    EXPECT_EQ(server.ConnectionCount(), 1u);
    EXPECT_EQ(server.Requests()[1].body, body);

    // The server drops the kept-alive connection without answering: the
    // request goes again on a fresh connection, body and all.
    server.Enqueue(ScriptedResponse::Raw(""));
    server.Enqueue(ScriptedResponse::Text(200, "OK", "third"));
    ASSERT_EQ(e->Process(), S_OK);
    EXPECT_EQ(Body(*e), "third");
    auto all = server.Requests();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[3].body, body);
    EXPECT_EQ(all[3].Header("Content-Length"), "28");
}

TEST_F(EngineTest, ErrorAnswerWithoutContentTypeKeepsItsBody) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Text(404, "Not Found", "no such query", ""));
    auto e = Engine(server, "/missing");
    ASSERT_EQ(e->Process(), S_OK);
    std::int32_t code = 0;
    ASSERT_EQ(e->GetStatusCode(&code), S_OK);
    EXPECT_EQ(code, 404);
    EXPECT_EQ(Body(*e), "no such query");
    CStringHolder type;
    ASSERT_EQ(e->GetRespContentType(type.Out()), S_OK);
    EXPECT_EQ(type.get(), nullptr);
    EXPECT_NE(LogText().find("Context: CInternetAccess::GetHTTPResponseContentType"),
              std::string::npos);
}

TEST_F(EngineTest, InterimAnswerIsSkippedAndHeadCarriesNoBody) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Raw(
        "HTTP/1.1 100 Continue\r\nContent-Type: wrong/one\r\n\r\n"
        "HTTP/1.1 201 Created\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok"));
    auto e = Engine(server);
    ASSERT_EQ(e->SetVerb(HTTP_VERB_DELETE), S_OK);
    ASSERT_EQ(e->Process(), S_OK);
    std::int32_t code = 0;
    ASSERT_EQ(e->GetStatusCode(&code), S_OK);
    EXPECT_EQ(code, 201);
    CStringHolder type, text;
    ASSERT_EQ(e->GetRespContentType(type.Out()), S_OK);
    ASSERT_EQ(e->GetStatusText(text.Out()), S_OK);
    EXPECT_STREQ(type.get(), "text/plain");
    EXPECT_STREQ(text.get(), "Created");
    EXPECT_EQ(Body(*e), "ok");
    EXPECT_EQ(server.Requests().at(0).method, "DELETE");

    ScriptedResponse head = ScriptedResponse::Text(200, "OK", "not sent for HEAD");
    server.Enqueue(head);
    ASSERT_EQ(e->SetVerb(HTTP_VERB_HEAD), S_OK);
    ASSERT_EQ(e->Process(), S_OK);
    std::int32_t length = 0;
    ASSERT_EQ(e->GetContentLength(&length), S_OK);
    EXPECT_EQ(length, 17);
    EXPECT_EQ(Body(*e), "");
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].method, "HEAD");
    EXPECT_EQ(reqs[1].Header("Content-Length"), "0");
}

TEST_F(EngineTest, MissingContentLengthFollowsTheRegistrySwitch) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nunsized body";
    server.Enqueue(ScriptedResponse::Raw(answer));
    auto e = Engine(server);
    // Default: the value is created with every bit set, and a 200 without
    // a length is refused.
    EXPECT_EQ(e->Process(), kNoContentLength);
    EXPECT_EQ(Body(*e), "");
    {
        const char* path = "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Responses";
        zel::reg::Key key;
        ASSERT_EQ(zel::reg::OpenKey(zel::reg::Hive::LocalMachine, path, &key), zel::reg::kSuccess);
        std::uint32_t v = 0;
        ASSERT_EQ(zel::reg::QueryDword(key, path, &v), zel::reg::kSuccess);
        EXPECT_EQ(v, 0xFFFFFFFFu);
    }
    EXPECT_NE(LogText().find("MessageId: 13620215\r\nMessage: Server response error\r\n"
                             "Context: CInternetAccess::GetHTTPResponseContentLength"),
              std::string::npos);

    // Bit 0 clear: the caller's switch does not matter, the registry decides.
    SetResponses(2);
    e->SetContentLengthSwitch(true);
    server.Enqueue(ScriptedResponse::Raw(answer));
    ASSERT_EQ(e->Process(), S_OK);
    std::int32_t length = -1;
    ASSERT_EQ(e->GetContentLength(&length), S_OK);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(Body(*e), "unsized body");
    EXPECT_TRUE(e->GetContentLengthSwitch());

    // Bit 1 clear too: the content type is not taken from the answer.
    SetResponses(0);
    server.Enqueue(ScriptedResponse::Raw(answer));
    ASSERT_EQ(e->Process(), S_OK);
    CStringHolder type;
    ASSERT_EQ(e->GetRespContentType(type.Out()), S_OK);
    EXPECT_STREQ(type.get(), "*/*");
}

TEST_F(EngineTest, InitializeAndConfigurationChecks) {
    CInternetAccess e(log_.get());
    EXPECT_EQ(e.Process(), kNotInitialized);
    EXPECT_EQ(e.Initialize("Poll", 1, nullptr, nullptr), S_OK);
    EXPECT_EQ(e.Initialize("Other", 4, "p:1", nullptr), S_FALSE);
    EXPECT_EQ(e.Uninitialize(), S_OK);
    EXPECT_EQ(e.Initialize("Poll", 2, nullptr, nullptr), S_OK);

    std::int32_t v = 0;
    EXPECT_EQ(e.SetProtocol(2), kUnsupportedProtocol);
    EXPECT_EQ(e.SetProtocol(3), kUnsupportedProtocol);
    EXPECT_EQ(e.SetProtocol(0), kBadProtocol);
    EXPECT_EQ(e.SetProtocol(4), kBadProtocol);
    ASSERT_EQ(e.GetProtocol(&v), S_OK);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(e.SetPort(0), kBadPort);
    EXPECT_EQ(e.SetPort(65536), kBadPort);
    EXPECT_EQ(e.SetPort(65535), S_OK);
    ASSERT_EQ(e.GetPort(&v), S_OK);
    EXPECT_EQ(v, 65535);
    EXPECT_EQ(e.SetHTTPVersion(0), kBadVersion);
    EXPECT_EQ(e.SetHTTPVersion(3), kBadVersion);
    ASSERT_EQ(e.GetHTTPVersion(&v), S_OK);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(e.SetVerb(0), kBadVerb);
    EXPECT_EQ(e.SetVerb(6), kBadVerb);
    EXPECT_EQ(e.SetVerb(HTTP_VERB_HEAD), S_OK);
    ASSERT_EQ(e.GetVerb(&v), S_OK);
    EXPECT_EQ(v, HTTP_VERB_HEAD);
    EXPECT_EQ(e.GetPort(nullptr), kInvalidArg);
    EXPECT_EQ(e.GetRespContent(nullptr), kInvalidArg);

    // Texts are trimmed copies; wide forms convert both ways.
    ASSERT_EQ(e.SetServer("  central.example  "), S_OK);
    zel::CBstr wide;
    ASSERT_EQ(e.GetServer(wide.Out()), S_OK);
    CStringHolder back;
    ASSERT_EQ(GetStringFromWSTR(wide.get(), back.Out(), false), S_OK);
    EXPECT_STREQ(back.get(), "central.example");
    ASSERT_EQ(e.SetResource(u" /a b "), S_OK);
    CStringHolder res;
    ASSERT_EQ(e.GetResource(res.Out()), S_OK);
    EXPECT_STREQ(res.get(), "/a b");
    CStringHolder none;
    ASSERT_EQ(e.GetStatusText(none.Out()), S_OK);
    EXPECT_EQ(none.get(), nullptr);

    // Request header list by index.
    ASSERT_EQ(e.AddReqHeader(u"A", u"1", nullptr), S_OK);
    ASSERT_EQ(e.AddReqHeader("B", "2", nullptr), S_OK);
    ASSERT_EQ(e.RemoveReqHeader(0), S_OK);
    ASSERT_EQ(e.GetReqHeaderCount(&v), S_OK);
    EXPECT_EQ(v, 1);
    CStringHolder name, value;
    ASSERT_EQ(e.GetReqHeader(0, name.Out(), value.Out()), S_OK);
    EXPECT_STREQ(name.get(), "B");
    EXPECT_STREQ(value.get(), "2");
    EXPECT_EQ(e.GetReqHeader(1, name.Out(), value.Out()), kInvalidArg);
    EXPECT_EQ(e.RemoveReqHeader(5), kInvalidArg);
    ASSERT_EQ(e.GetHeaderCount(&v), S_OK);
    EXPECT_EQ(v, 0);

    // A connection that cannot be made fails the send.
    ASSERT_EQ(e.SetServer("127.0.0.1"), S_OK);
    ASSERT_EQ(e.SetPort(1), S_OK);
    ASSERT_EQ(e.SetVerb(HTTP_VERB_GET), S_OK);
    EXPECT_EQ(e.Process(), kSendFailed);
    EXPECT_NE(LogText().find("GetLastError = ["), std::string::npos);
    // Without a server there is nothing to connect to.
    CInternetAccess bare(log_.get());
    ASSERT_EQ(bare.Initialize("Poll", 1, nullptr, nullptr), S_OK);
    EXPECT_EQ(bare.Process(), kConnectFailed);
    // Another protocol does nothing on the network.
    CInternetAccess other(log_.get());
    ASSERT_EQ(other.Initialize("Poll", 1, nullptr, nullptr), S_OK);
}

TEST_F(EngineTest, ExplicitProxyCarriesRequestsButNeverForLoopback) {
    // The loopback server plays the proxy: a request for another host
    // reaches it with the whole URL in its request line, as a proxy gets it.
    TestServer proxy;
    ASSERT_TRUE(proxy.Start());
    proxy.Enqueue(ScriptedResponse::Text(200, "OK", "via proxy"));
    proxy.Enqueue(ScriptedResponse::Text(200, "OK", "via proxy again"));
    const std::string list = "127.0.0.1:" + std::to_string(proxy.port());
    CInternetAccess e(log_.get());
    ASSERT_EQ(e.Initialize("Poll", ACCESS_TYPE_PROXY, list.c_str(), nullptr), S_OK);
    ASSERT_EQ(e.SetServer("central.example"), S_OK);
    ASSERT_EQ(e.SetPort(8080), S_OK);
    ASSERT_EQ(e.SetResource("/qvgqa/poll?UnitContract=1"), S_OK);
    ASSERT_EQ(e.Process(), S_OK);
    EXPECT_EQ(Body(e), "via proxy");
    // A list per protocol: its "http=" entry serves plain HTTP.
    ASSERT_EQ(e.Uninitialize(), S_OK);
    const std::string per_protocol = "https=127.0.0.1:1;http=" + list;
    ASSERT_EQ(e.Initialize("Poll", ACCESS_TYPE_PROXY, per_protocol.c_str(), nullptr), S_OK);
    ASSERT_EQ(e.Process(), S_OK);
    EXPECT_EQ(Body(e), "via proxy again");
    auto reqs = proxy.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    for (const RecordedRequest& r : reqs) {
        EXPECT_EQ(r.request_line,
                  "GET http://central.example:8080/qvgqa/poll?UnitContract=1 HTTP/1.0");
        EXPECT_EQ(r.Header("Host"), "central.example:8080");
    }

    // A loopback server is reached directly, proxy or not.
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Text(200, "OK", "direct"));
    CInternetAccess local(log_.get());
    ASSERT_EQ(local.Initialize("Poll", ACCESS_TYPE_PROXY, list.c_str(), nullptr), S_OK);
    ASSERT_EQ(local.SetServer("127.0.0.1"), S_OK);
    ASSERT_EQ(local.SetPort(server.port()), S_OK);
    ASSERT_EQ(local.Process(), S_OK);
    EXPECT_EQ(Body(local), "direct");
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(proxy.RequestCount(), 2u);
}

TEST_F(EngineTest, PreconfiguredAccessTakesTheMachineProxy) {
    // (The type without automatic proxy discovery reads the same settings;
    // wine's WinInet takes it for direct access, so it is not tried here.)
    TestServer proxy;
    ASSERT_TRUE(proxy.Start());
    proxy.Enqueue(ScriptedResponse::Text(200, "OK", "machine proxy"));
    MachineProxy machine("127.0.0.1:" + std::to_string(proxy.port()));
    ASSERT_TRUE(machine.ok());
    CInternetAccess e(log_.get());
    ASSERT_EQ(e.Initialize("Poll", ACCESS_TYPE_PRECONFIG, nullptr, nullptr), S_OK);
    ASSERT_EQ(e.SetServer("central.example"), S_OK);
    ASSERT_EQ(e.SetPort(8080), S_OK);
    ASSERT_EQ(e.SetResource("/qvgqa/RetrieveServerInformation.xml"), S_OK);
    ASSERT_EQ(e.Process(), S_OK);
    EXPECT_EQ(Body(e), "machine proxy");
    auto reqs = proxy.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].request_line,
              "GET http://central.example:8080/qvgqa/RetrieveServerInformation.xml HTTP/1.0");
}

TEST_F(EngineTest, ResponseRedirectedToFileAndRequestFromFile) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Text(200, "OK", "file content"));
    auto e = Engine(server);
    WriteFile(Path("target"), "old content that is longer");
    ASSERT_EQ(e->SetRespRedirect(Path("target").c_str()), S_OK);
    WriteFile(Path("upload"), "dealer file");
    ASSERT_EQ(e->SetReqRedirect(Path("upload").c_str(), false, true), S_OK);
    ASSERT_EQ(e->SetVerb(HTTP_VERB_PUT), S_OK);
    ASSERT_EQ(e->Process(), S_OK);
    EXPECT_EQ(ReadFile(Path("target")), "file content");
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].method, "PUT");
    EXPECT_EQ(reqs[0].body, "dealer file");
    EXPECT_FALSE(reqs[0].HasHeader("Expect"));
    EXPECT_EQ(ReadFile(Path("upload")), "dealer file");
}

TEST_F(EngineTest, BodyCutShortFails) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Raw(
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1000\r\n\r\nonly this"));
    auto e = Engine(server);
    EXPECT_EQ(e->Process(), kSendFailed);
    EXPECT_NE(
        LogText().find("MessageId: 13320212\r\nMessage: Communication error: connection "
                       "closed before the whole response body arrived, body cut short "
                       "after 9 bytes.\r\nContext: CInternetAccess::WriteToRespStreamFromNet"),
        std::string::npos);
    // What arrived stays readable.
    EXPECT_EQ(Body(*e), "only this");
}

TEST_F(EngineTest, FoldedFirstHeaderAfterANormalAnswerFailsCleanly) {
    // A header line that starts with a blank continues a previous line; as
    // the first header it continues nothing.  On an engine that has already
    // carried an answer this must end as a communication failure.
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Text(200, "OK", "first"));
    server.Enqueue(
        ScriptedResponse::Raw("HTTP/1.1 200 OK\r\n\tfolded: value\r\nContent-Type: text/plain\r\n"
                              "Content-Length: 2\r\n\r\nok"));
    server.Enqueue(
        ScriptedResponse::Raw("HTTP/1.1 200 OK\r\n folded\r\nContent-Length: 2\r\n\r\nok"));
    server.Enqueue(ScriptedResponse::Text(200, "OK", "fourth"));
    for (std::int32_t version : {HTTP_VERSION_1_0, HTTP_VERSION_1_1}) {
        auto e = Engine(server);
        ASSERT_EQ(e->SetHTTPVersion(version), S_OK);
        if (version == HTTP_VERSION_1_0) {
            ASSERT_EQ(e->Process(), S_OK);
            EXPECT_EQ(Body(*e), "first");
        }
        EXPECT_EQ(e->Process(), kSendFailed);
        if (version == HTTP_VERSION_1_1) {
            ASSERT_EQ(e->Process(), S_OK);
            EXPECT_EQ(Body(*e), "fourth");
        }
    }
}

TEST_F(EngineTest, ContentLengthThatCannotBeTrustedIsRefused) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    // Two different lengths: whichever the body follows, the other is wrong.
    server.Enqueue(ScriptedResponse::Raw(
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
        "Content-Length: 3\r\n\r\nabc"));
    // The same length twice says one thing.
    server.Enqueue(
        ScriptedResponse::Raw("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n"
                              "Content-Length: 3\r\n\r\nabc"));
    // Beyond 2^31-1 the length cannot be reported; it must not wrap negative.
    server.Enqueue(ScriptedResponse::Raw(
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3000000000\r\n\r\n"
        "abc"));
    auto e = Engine(server);
    std::int32_t length = -1;
    EXPECT_EQ(e->Process(), kSendFailed);
    ASSERT_EQ(e->GetContentLength(&length), S_OK);
    EXPECT_EQ(length, 0);
    EXPECT_NE(LogText().find("Communication error: the response carries different "
                             "Content-Length values (10 and 3)."),
              std::string::npos)
        << LogText();

    ASSERT_EQ(e->Process(), S_OK);
    ASSERT_EQ(e->GetContentLength(&length), S_OK);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(Body(*e), "abc");

    EXPECT_EQ(e->Process(), kNoContentLength);
    ASSERT_EQ(e->GetContentLength(&length), S_OK);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(Body(*e), "");
}

TEST_F(EngineTest, StalledServerEndsWithinTheIdleLimit) {
    WriteConfig("idle_timeout=2\nconnect_timeout=5\n");
    TestServer server;
    ASSERT_TRUE(server.Start());
    // Silent before any answer, then silent in the middle of a body.
    server.Enqueue(ScriptedResponse::Raw("", 60000));
    server.Enqueue(ScriptedResponse::Raw(
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100\r\n\r\nabc", 60000));
    auto e = Engine(server);
    for (int round = 0; round < 2; ++round) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(e->Process(), kSendFailed);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(20));
    }
    EXPECT_NE(LogText().find("less than 1024 bytes per second received from server for 2 seconds"),
              std::string::npos);
}

// The peak resident size of this process in KiB, after resetting it when
// reset is set; -1 where the system does not show it (Windows).
long PeakResidentKiB(bool reset) {
    if (reset) std::ofstream("/proc/self/clear_refs") << "5";
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

TEST_F(EngineTest, LargeBodiesStreamWithFlatMemory) {
    constexpr std::uint64_t kSize = 50ull * 1024 * 1024;
    ASSERT_TRUE(WritePatternFile(Path("upload.bin"), kSize));
    TestServer::Options options;
    options.max_recorded_body = 0;
    TestServer server(options);
    ASSERT_TRUE(server.Start());
    ScriptedResponse big;
    big.generated_size = kSize;
    big.headers.emplace_back("Content-Type", "application/octet-stream");
    server.Enqueue(big);
    auto e = Engine(server);
    ASSERT_EQ(e->SetVerb(HTTP_VERB_POST), S_OK);
    ASSERT_EQ(e->SetReqRedirect(Path("upload.bin").c_str(), false, true), S_OK);
    ASSERT_EQ(e->SetRespRedirect(Path("download.bin").c_str()), S_OK);

    // Reset the peak resident size so that only this transfer counts.
    const long peak_before = PeakResidentKiB(true);
    ASSERT_EQ(e->Process(), S_OK);
    const long peak_after = PeakResidentKiB(false);
    if (peak_before >= 0 && peak_after >= 0) {
        EXPECT_LT(peak_after - peak_before, 20 * 1024)
            << "peak RSS grew by " << peak_after - peak_before << " KiB";
    }
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].body_size, kSize);
    EXPECT_EQ(reqs[0].body_crc, PatternCrc(kSize));
    EXPECT_FALSE(reqs[0].HasHeader("Expect"));
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    ASSERT_TRUE(FileCrc(Path("download.bin"), &crc, &size));
    EXPECT_EQ(size, kSize);
    EXPECT_EQ(crc, PatternCrc(kSize));
    std::int32_t length = 0;
    ASSERT_EQ(e->GetContentLength(&length), S_OK);
    EXPECT_EQ(length, static_cast<std::int32_t>(kSize));
}

class TlsEngineTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        std::string error;
        ASSERT_TRUE(MakeTestCerts(dir_, &certs_, &error)) << error;
    }
    TestCerts certs_;
};

TEST_F(TlsEngineTest, HostMismatchAndExpiryAreToleratedUnknownCaIsNot) {
    TrustedTestCa trust(certs_.ca_file, Path("tmp"));
    ASSERT_TRUE(trust.ok()) << trust.error();
    struct Case {
        std::string cert, key;
        HRESULT expected;
    } cases[] = {
        {certs_.leaf_cert, certs_.leaf_key, S_OK},
        {certs_.wrong_host_cert, certs_.wrong_host_key, S_OK},
        {certs_.expired_cert, certs_.expired_key, S_OK},
        // A chain that leads to a CA nobody trusts.
        {certs_.untrusted_cert, certs_.untrusted_key, kSendFailed},
    };
    for (const Case& c : cases) {
        TestServer::Options o;
        o.tls = true;
        o.cert_file = c.cert;
        o.key_file = c.key;
        TestServer server(o);
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        server.Enqueue(ScriptedResponse::Text(200, "OK", "secret"));
        auto e = Engine(server);
        ASSERT_EQ(e->SetSecure(true), S_OK);
        EXPECT_EQ(e->Process(), c.expected) << c.cert << "\n" << LastErrorsLogged();
        if (c.expected == S_OK) {
            EXPECT_EQ(Body(*e), "secret");
        } else {
            EXPECT_EQ(server.RequestCount(), 0u);
        }
    }
}

TEST_F(TlsEngineTest, LaterRequestsResumeTheTlsSessionAcrossInitialize) {
    // Callers initialise the engine afresh for every operation; the TLS
    // session must outlive that, or every request pays a full handshake.
    TestServer::Options o;
    o.tls = true;
    o.cert_file = certs_.leaf_cert;
    o.key_file = certs_.leaf_key;
    TestServer server(o);
    ASSERT_TRUE(server.Start());
    for (int i = 0; i < 3; ++i) {
        ScriptedResponse r = ScriptedResponse::Text(200, "OK", "x");
        r.close = true;  // each request needs a new connection and handshake
        server.Enqueue(r);
    }
    TrustedTestCa trust(certs_.ca_file, Path("tmp"));
    ASSERT_TRUE(trust.ok()) << trust.error();
    auto e = Engine(server);
    ASSERT_EQ(e->SetSecure(true), S_OK);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(e->Process(), S_OK) << i;
        ASSERT_EQ(e->Uninitialize(), S_OK);
        ASSERT_EQ(e->Initialize("Poll", 1, nullptr, nullptr), S_OK);
    }
    EXPECT_EQ(server.ResumedSessionCount(), 2u);
}

TEST_F(TlsEngineTest, LeniencyDoesNotCarryTrustOverToTheNextRequest) {
    // An expired certificate was accepted on this handle; once its CA is no
    // longer trusted the same handle must not get through on the earlier
    // connection or TLS session.
    TestServer::Options o;
    o.tls = true;
    o.cert_file = certs_.expired_cert;
    o.key_file = certs_.expired_key;
    TestServer server(o);
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Text(200, "OK", "first"));
    server.Enqueue(ScriptedResponse::Text(200, "OK", "second"));
    ::setenv("SSL_CERT_FILE", certs_.ca_file.c_str(), 1);
    ::setenv("SSL_CERT_DIR", Path("tmp").c_str(), 1);
    auto e = Engine(server);
    ASSERT_EQ(e->SetSecure(true), S_OK);
    ASSERT_EQ(e->SetHTTPVersion(HTTP_VERSION_1_1), S_OK);
    ASSERT_EQ(e->Process(), S_OK);
    ::setenv("SSL_CERT_FILE", certs_.other_ca_file.c_str(), 1);
    EXPECT_EQ(e->Process(), kSendFailed);
    EXPECT_EQ(server.RequestCount(), 1u);
}

}  // namespace

namespace {

TEST_F(EngineTest, LineBreaksInsideHeadLinesNeverReachTheTexts) {
    // A bare CR inside the status line or the Content-Type value ends the
    // text there, so no line of the server's making reaches the log or the
    // caller.
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Raw(
        "HTTP/1.1 404 Not Found\rFAKE RECORD\r\nContent-Type: text/xml\rX: y\r\n"
        "Content-Length: 2\r\n\r\nno"));
    auto e = Engine(server);
    ASSERT_EQ(e->Process(), S_OK);
    std::int32_t code = 0;
    ASSERT_EQ(e->GetStatusCode(&code), S_OK);
    EXPECT_EQ(code, 404);
    CStringHolder text;
    ASSERT_EQ(e->GetStatusText(text.Out()), S_OK);
    EXPECT_STREQ(text.c_str(), "Not Found");
    CStringHolder type;
    ASSERT_EQ(e->GetRespContentType(type.Out()), S_OK);
    EXPECT_STREQ(type.c_str(), "text/xml");
    EXPECT_EQ(LogText().find("FAKE RECORD"), std::string::npos);
}

}  // namespace
