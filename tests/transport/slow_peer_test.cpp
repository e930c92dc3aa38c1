// The request engine against peers that trickle or that drop connections
// without saying so: the speed limit, the request deadline, connections
// that the server closes right after its answer, and what a transfer
// observer hears of a slow answer.
#include <chrono>
#include <string>
#include <vector>

#include "tests/transport/engine_fixture.h"

using namespace zel::test;
using namespace zel::test::transport;
using namespace zel::codes;

namespace {

using Clock = std::chrono::steady_clock;

// A 200 answer of size bytes that goes out piece bytes every every_ms.
ScriptedResponse Trickled(std::size_t size, int every_ms, std::size_t piece) {
    ScriptedResponse r = ScriptedResponse::Text(200, "OK", std::string(size, 'x'));
    r.trickle_ms = every_ms;
    r.trickle_bytes = piece;
    return r;
}

TEST_F(EngineTest, TricklingAnswerEndsAtTheSpeedLimit) {
    // Ten bytes a second would take half a minute for this body; it is far
    // below the default minimum speed, so the transfer ends after the idle
    // limit with the transport's failure.
    WriteConfig("idle_timeout=2\n");
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(Trickled(300, 100, 1));
    auto e = Engine(server);
    const auto start = Clock::now();
    EXPECT_EQ(e->Process(), kSendFailed);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(12));
    const std::string log = LogText();
    EXPECT_NE(log.find("less than 1024 bytes per second received from server for 2 seconds"),
              std::string::npos)
        << log;
}

TEST_F(EngineTest, RequestDeadlineFollowsTheAnnouncedSize) {
    // At 100 bytes a second the idle limit of 30 s would end this answer
    // only when it is complete; the deadline, 1 s plus 3000 announced bytes
    // at 1000 bytes a second, ends it after 4 s.
    WriteConfig("idle_timeout=30\nmin_speed=1000\nrequest_deadline=1\n");
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(Trickled(3000, 100, 10));
    auto e = Engine(server);
    const auto start = Clock::now();
    EXPECT_EQ(e->Process(), kSendFailed);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(3500));  // the size counts, not the floor alone
    EXPECT_LT(took, std::chrono::seconds(12));
    const std::string log = LogText();
    EXPECT_NE(log.find("request not finished within its time limit of 4 seconds"),
              std::string::npos)
        << log;
}

TEST_F(EngineTest, SlowButSteadyTransfersAreNotCut) {
    // About 5 KB a second, well above the minimum speed, for longer than
    // both the idle limit and the deadline's floor: with a known length and
    // with a body that only ends with the connection.
    WriteConfig("idle_timeout=1\nrequest_deadline=1\n");
    SetResponses(0xFFFFFFFEu);  // a missing length is no failure
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(Trickled(10000, 100, 500));
    ScriptedResponse unsized = Trickled(10000, 100, 500);
    unsized.content_length = false;
    server.Enqueue(unsized);
    auto e = Engine(server);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const auto start = Clock::now();
        ASSERT_EQ(e->Process(), S_OK) << LogText();
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1500));
        EXPECT_EQ(Body(*e), std::string(10000, 'x'));
    }
}

TEST_F(EngineTest, ConnectionsClosedAfterTheAnswerCauseNoFailures) {
    // The server answers every request in HTTP/1.1 without
    // "Connection: close" and closes the connection at once.  No upload may
    // go out on such a connection afterwards.
    log_->SetDebugMessages(false);
    ASSERT_TRUE(WritePatternFile(Path("upload.dtz"), 4096));
    TestServer::Options options;
    options.one_at_a_time = true;
    TestServer server(options);
    ASSERT_TRUE(server.Start());
    server.SetHandler([](const RecordedRequest&) {
        ScriptedResponse r = ScriptedResponse::Text(200, "OK", "<ok/>", "text/xml");
        r.close_silently = true;
        return r;
    });
    auto e = Engine(server, "/qvgqa/poll/PutFileFromDealer?UnitContract=1&FileName=a.dtz");
    ASSERT_EQ(e->SetVerb(HTTP_VERB_POST), S_OK);
    ASSERT_EQ(e->AddReqHeader("Authorization", "Basic dXNlcjpwdw==", nullptr), S_OK);
    ASSERT_EQ(e->SetReqContentType("application/octet-stream"), S_OK);
    ASSERT_EQ(e->SetReqRedirect(Path("upload.dtz").c_str(), false, true), S_OK);
    constexpr int kUploads = 2000;
    int failures = 0;
    for (int i = 0; i < kUploads; ++i)
        if (FAILED(e->Process())) ++failures;
    EXPECT_EQ(failures, 0);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(kUploads));
    for (const RecordedRequest& r : {requests.front(), requests.back()}) {
        EXPECT_EQ(r.body_size, 4096u);
        EXPECT_EQ(r.body_crc, PatternCrc(4096));
    }

    // An HTTP/1.1 request keeps its connection, so it meets the closing
    // socket; when the break shows while the body goes out, the request is
    // sent once more on a new connection.
    ASSERT_EQ(e->SetHTTPVersion(HTTP_VERSION_1_1), S_OK);
    failures = 0;
    for (int i = 0; i < kUploads / 4; ++i)
        if (FAILED(e->Process())) ++failures;
    EXPECT_EQ(failures, 0);
    EXPECT_GT(server.ConnectionCount(), static_cast<std::size_t>(kUploads + kUploads / 8));
}

}  // namespace

// A transfer observer hears both bodies grow to their lengths, the length
// the answer announced, and, while nothing moves, a call about once a
// second, so that a stall shows while it lasts.
TEST_F(EngineTest, TransferObserverHearsTheBodiesAndTheSilenceBetween) {
    struct Heard {
        TransferProgress progress;
        Clock::time_point at;
    };
    struct Recorder final : CTransferObserver {
        std::vector<Heard> heard;
        void OnTransferProgress(const TransferProgress& progress) noexcept override {
            heard.push_back({progress, Clock::now()});
        }
    } observer;
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Enqueue(Trickled(1000, 1500, 500));  // half, 1.5 s of silence, the rest
    auto e = Engine(server);
    const std::string request(300000, 'r');
    ASSERT_EQ(e->SetReqContent(request.data(), static_cast<std::int32_t>(request.size())), S_OK);
    e->SetTransferObserver(&observer);
    ASSERT_EQ(e->Process(), S_OK) << LogText();
    e->SetTransferObserver(nullptr);

    ASSERT_FALSE(observer.heard.empty());
    const TransferProgress& last = observer.heard.back().progress;
    EXPECT_EQ(last.sent, request.size());
    EXPECT_EQ(last.send_total, request.size());
    EXPECT_EQ(last.received, 1000u);
    EXPECT_EQ(last.receive_total, 1000);
    Clock::time_point half{};
    bool heard_in_silence = false;
    for (std::size_t i = 0; i < observer.heard.size(); ++i) {
        const Heard& h = observer.heard[i];
        if (i > 0) {
            EXPECT_GE(h.progress.sent, observer.heard[i - 1].progress.sent);
            EXPECT_GE(h.progress.received, observer.heard[i - 1].progress.received);
        }
        if (h.progress.received > 0) {
            EXPECT_EQ(h.progress.receive_total, 1000);
        }
        if (h.progress.received > 0 && h.progress.received < 1000) {
            if (half == Clock::time_point{}) half = h.at;
            if (h.at - half >= std::chrono::milliseconds(700)) heard_in_silence = true;
        }
    }
    EXPECT_TRUE(heard_in_silence);

    // Without an observer the next request tells nobody.
    const std::size_t calls = observer.heard.size();
    server.Enqueue(ScriptedResponse::Text(200, "OK", "done"));
    ASSERT_EQ(e->Process(), S_OK);
    EXPECT_EQ(observer.heard.size(), calls);
}
