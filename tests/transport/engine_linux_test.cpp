// Request engine cases that need Linux itself (a sysfs file whose size says
// more than it holds, a file size limit with setrlimit and SIGXFSZ), and
// those about what only libcurl's engine can see of an answer: WinInet
// passes over an interim answer without a notification under wine, and it
// takes a head that the connection cuts short for a whole one (the checks
// of the answer then still fail a 200).  Also what the libcurl engine keeps
// of the trusted CAs between connections: one parsed store shared while the
// CA file and directory stay the same, and nothing of it, nor any kept
// connection or TLS session, once they change.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "platform/fs.h"
#include "tests/common/test_certs.h"
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

class TrustStoreTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        // The test server's TLS side writes with plain write(): a client
        // that refuses the chain and hangs up must not end the test process.
        ::signal(SIGPIPE, SIG_IGN);
        std::string error;
        ASSERT_TRUE(MakeTestCerts(dir_, &certs_, &error)) << error;
        ASSERT_EQ(zel::fs::MakeDirectory(Path("cadir")), 0);
    }
    // A server with the test CA's leaf that answers count requests, each
    // over a connection of its own or all over one.
    void StartServer(TestServer* server, int count, bool close) {
        for (int i = 0; i < count; ++i) {
            ScriptedResponse r = ScriptedResponse::Text(200, "OK", "x");
            r.close = close;
            server->Enqueue(r);
        }
        std::string error;
        ASSERT_TRUE(server->Start(&error)) << error;
    }
    static TestServer::Options Tls(const TestCerts& certs) {
        TestServer::Options o;
        o.tls = true;
        o.cert_file = certs.leaf_cert;
        o.key_file = certs.leaf_key;
        return o;
    }
    static void Trust(const std::string& file, const std::string& dir) {
        ::setenv("SSL_CERT_FILE", file.c_str(), 1);
        ::setenv("SSL_CERT_DIR", dir.c_str(), 1);
    }
    TestCerts certs_;
};

TEST_F(TrustStoreTest, CaFileRewrittenOrRemovedInsideOneProcessIsHonoured) {
    // One engine, one CA file path.  The file is rewritten with a CA that
    // signed nothing we serve (a byte longer, as a copy with a trailing
    // line break can be), and later removed: neither the parsed store, nor
    // the kept connection, nor the TLS session of the first request may get
    // a request through.  Put back, the right CA works again.
    TestServer server(Tls(certs_));
    StartServer(&server, 3, false);
    const std::string ca = Path("trusted.pem");
    const std::string right = ReadFile(certs_.ca_file);
    const std::string wrong = ReadFile(certs_.other_ca_file) + "\n";
    WriteFile(ca, right);
    Trust(ca, Path("cadir"));
    auto e = Engine(server);
    ASSERT_EQ(e->SetSecure(true), S_OK);
    ASSERT_EQ(e->SetHTTPVersion(HTTP_VERSION_1_1), S_OK);
    ASSERT_EQ(e->Process(), S_OK);

    WriteFile(ca, wrong);
    EXPECT_EQ(e->Process(), kSendFailed);
    ASSERT_EQ(std::remove(ca.c_str()), 0);
    EXPECT_EQ(e->Process(), kSendFailed);
    EXPECT_EQ(server.RequestCount(), 1u);

    WriteFile(ca, right);
    EXPECT_EQ(e->Process(), S_OK);
    EXPECT_EQ(server.RequestCount(), 2u);
}

TEST_F(TrustStoreTest, CaFoundOnlyInTheDirectoryIsTrustedAcrossManyConnections) {
    // The CA file holds only the unrelated CA; the test CA is in the
    // directory under its hashed name, where it is looked up while a chain
    // is checked.  Every request needs a connection of its own, and the
    // later ones still resume the TLS session.
    const std::string dir = Path("cadir");
    {
        std::FILE* f = std::fopen(certs_.ca_file.c_str(), "r");
        ASSERT_NE(f, nullptr);
        X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
        std::fclose(f);
        ASSERT_NE(cert, nullptr);
        char name[16];
        std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert));
        X509_free(cert);
        WriteFile(dir + "/" + name, ReadFile(certs_.ca_file));
    }
    Trust(certs_.other_ca_file, dir);
    constexpr int kRequests = 4;
    TestServer server(Tls(certs_));
    StartServer(&server, kRequests, true);
    auto e = Engine(server);
    ASSERT_EQ(e->SetSecure(true), S_OK);
    for (int i = 0; i < kRequests; ++i) ASSERT_EQ(e->Process(), S_OK) << i;
    EXPECT_EQ(server.RequestCount(), static_cast<std::size_t>(kRequests));
    EXPECT_EQ(server.ResumedSessionCount(), static_cast<std::size_t>(kRequests - 1));

    // Without the directory the same file trusts nothing we serve.
    Trust(certs_.other_ca_file, Path("tmp"));
    EXPECT_EQ(e->Process(), kSendFailed);
}

}  // namespace
