// Request engine cases that need Linux itself (a sysfs file whose size says
// more than it holds, a file size limit with setrlimit and SIGXFSZ), and
// those about what only libcurl's engine can see of an answer: WinInet
// passes over an interim answer without a notification under wine, and it
// takes a head that the connection cuts short for a whole one (the checks
// of the answer then still fail a 200).
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "tests/transport/engine_fixture.h"

using namespace zel::test;
using namespace zel::test::transport;
using namespace zel::codes;

namespace {

TEST_F(EngineTest, RequestBodyEndingBeforeItsLengthFailsAtOnce) {
    // A sysfs file claims a size of one page but reads far shorter: the
    // request body runs out before the length that was announced for it.
    const char* short_file = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st {};
    if (::stat(short_file, &st) != 0 || st.st_size != 4096 || ::access(short_file, R_OK) != 0)
        GTEST_SKIP() << "no sysfs file to send";
    WriteConfig("idle_timeout=60\n");
    TestServer server;
    ASSERT_TRUE(server.Start());
    auto e = Engine(server);
    ASSERT_EQ(e->SetVerb(HTTP_VERB_POST), S_OK);
    ASSERT_EQ(e->SetReqRedirect(short_file, false, true), S_OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e->Process(), kSendFailed);
    // Not left to the idle limit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(LogText().find("request body ended after"), std::string::npos);
}

TEST_F(EngineTest, BodyThatCannotBeStoredFailsWithOneReport) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    ScriptedResponse big;
    big.generated_size = 1024 * 1024;
    big.headers.emplace_back("Content-Type", "application/octet-stream");
    server.Enqueue(big);
    auto e = Engine(server);
    ASSERT_EQ(e->SetRespRedirect(Path("download.bin").c_str()), S_OK);
    // A file size limit makes the second 256 KiB piece fail to land.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 300000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    HRESULT hr = e->Process();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(hr, kRespStreamWrite);
    std::string log = LogText();
    std::size_t reports = 0;
    for (std::size_t at = 0; (at = log.find("Context: CInternetAccess::WriteToRespStreamFromNet",
                                            at)) != std::string::npos;
         ++at)
        ++reports;
    EXPECT_EQ(reports, 1u) << log;
}

TEST_F(EngineTest, InterimAnswerIsTraced) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Raw(
        "HTTP/1.1 100 Continue\r\nContent-Type: wrong/one\r\n\r\n"
        "HTTP/1.1 201 Created\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok"));
    auto e = Engine(server);
    ASSERT_EQ(e->Process(), S_OK);
    EXPECT_NE(LogText().find("Received intermediate response code from server."),
              std::string::npos);
}

TEST_F(EngineTest, AnswerCutOffInsideItsHeadersIsACommunicationFailure) {
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(ScriptedResponse::Raw("HTTP/1.1 200 OK\r\nContent-Type: text/pl"));
    server.Enqueue(ScriptedResponse::Raw("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n"));
    auto e = Engine(server);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(e->Process(), kSendFailed) << round;
        std::int32_t code = -1;
        ASSERT_EQ(e->GetStatusCode(&code), S_OK);
        EXPECT_EQ(code, 0);
    }
    EXPECT_NE(LogText().find("Communication error: connection closed before the response "
                             "headers were complete, headers cut short."),
              std::string::npos)
        << LogText();
}

}  // namespace
