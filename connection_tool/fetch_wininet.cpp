// The connection tool's single GET on Windows (see fetch.h): the transport's
// WinInet engine (transport/http_engine.h) runs it, so a test opens its
// Internet handle with the button's open type (the preconfigured ones read
// the system's Internet settings; the proxy one takes the address with the
// loopback names and "<local>" bypassed), connects, opens the request with
// the flags every transfer uses (a fresh answer, no redirects followed; for
// HTTPS no authentication dialogs and certificate name and date errors
// tolerated), sends it with no headers but the referrer and no body, ends
// it, and reads the status and the body under the time limits of
// ferrun.conf, exactly as a transfer would.
//
// What is the tool's own: the answer must be 200 (anything else is not read
// further), the body goes to the response file in 32 KiB blocks, and a
// failure is described with the system's text for its error and, for a
// WinInet error, the server's last response information (extended error and
// text) from the thread that made the request.  The request runs on a
// worker thread that owns the engine, the response file and copies of its
// settings (see Fetch).
// Windows sockets before the rest of the system's headers.
#include <winsock2.h>
//
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "connection_tool/fetch.h"
#include "connection_tool/response_file.h"
#include "transport/http_engine.h"

namespace zel::conn {
namespace {

using Clock = std::chrono::steady_clock;

// WinInet's own error numbers; for these the server's last response
// information is asked for.
constexpr DWORD kFirstInternetError = 12001;
constexpr DWORD kLastInternetError = 12171;
// The most of that information that is shown.
constexpr DWORD kMaxResponseInfo = 8192;

// The exchange's side of the one request: the status check, the response
// file, and the caller's wish to stop.
class TestExchange final : public transport::ExchangeEvents {
  public:
    TestExchange(const std::string* response_path, const std::atomic<bool>* stop)
        : file(response_path), stop_(stop) {}

    bool StartSending() override { return StillWanted(); }
    long ReadBody(char*, std::size_t) override { return 0; }  // a GET has no body
    bool RewindBody(std::uint64_t) override { return true; }
    void Notify(transport::Notification, const std::string&) override {}
    void HeadStarted() override {}
    bool HeadComplete(const transport::ResponseHead& head, std::int64_t) override {
        status = head.status;
        // The body of an answer other than 200 is not wanted, and the file
        // is not touched.
        if (status != 200) {
            stopped_for_status = true;
            return false;
        }
        return StillWanted() && file.Open();
    }
    bool Body(const char* data, std::size_t size) override {
        if (!StillWanted()) return false;
        return file.Add(data, size);
    }
    void Progress() override {}

    long status = 0;
    bool stopped_for_status = false;
    bool cancelled = false;
    ResponseFile file;

  private:
    bool StillWanted() {
        if (stop_->load()) cancelled = true;
        return !cancelled;
    }

    const std::atomic<bool>* stop_;
};

// One fetch as the worker thread runs it: its own copies of what it needs,
// so that a worker left behind by a stopped test (it ends when WinInet
// returns) touches nothing of its caller's.
struct FetchJob {
    InternetHandle handle;
    Target target;
    std::string response_path;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished_cv;
    bool finished = false;
    FetchResult result;  // once finished
};

// The server's last response information of this thread, for a WinInet
// error: false when there is none to be had.
bool LastResponseInfo(DWORD* extended, std::string* text) {
    std::string buffer(kMaxResponseInfo + 1, '\0');
    DWORD length = kMaxResponseInfo;
    if (!::InternetGetLastResponseInfoA(extended, buffer.data(), &length)) return false;
    buffer.resize(length < kMaxResponseInfo ? length : kMaxResponseInfo);
    *text = buffer;
    return true;
}

// Fills the transport failure of result from the error number and text.
void SetTransportFailure(int code, const std::string& text, FetchResult* result) {
    result->kind = FetchResult::Kind::Transport;
    result->error_code = code;
    result->error_text = text.empty() ? "Error " + std::to_string(code) + "." : text;
    const auto number = static_cast<DWORD>(code);
    if (number >= kFirstInternetError && number <= kLastInternetError) {
        DWORD extended = 0;
        std::string info;
        if (LastResponseInfo(&extended, &info)) {
            result->internet_error = true;
            result->extended_error = static_cast<long>(extended);
            result->failure = info;
        }
    }
}

// The request itself, on the worker thread (WinInet's handles and its last
// response information belong to the thread that makes the calls).
FetchResult Run(FetchJob* job) {
    const InternetHandle& handle = job->handle;
    const Target& target = job->target;
    const std::string& response_path = job->response_path;
    FetchResult result;
    std::unique_ptr<transport::HttpEngine> engine = transport::MakeHttpEngine(nullptr);
    transport::SessionSettings session;
    session.agent = handle.agent;
    session.access_type = static_cast<std::int32_t>(handle.open_type);
    session.proxy_list = handle.proxy;
    session.bypass = handle.bypass;
    int code = 0;
    std::string text;
    if (!engine->Open(session, &code, &text)) {
        SetTransportFailure(code, text, &result);
        return result;
    }
    if (handle.open_type == OpenType::Proxy) result.proxy_used = handle.proxy;

    transport::EngineRequest request;
    request.host = target.host;
    request.port = target.port;
    request.secure = target.secure;
    request.resource = target.path;
    request.verb = "GET";
    request.http11 = true;
    request.header_lines = {"Referer: */*"};
    TestExchange exchange(&response_path, &job->stop);
    transport::EngineOutcome outcome;
    engine->Perform(request, &exchange, &outcome);
    engine->Close();

    result.status = exchange.status;
    result.status_text = std::to_string(exchange.status);
    if (exchange.file.error() != 0) {
        result.kind = FetchResult::Kind::File;
        result.file_error = exchange.file.error();
        return result;
    }
    if (exchange.cancelled) {
        // What arrived stays, as with any other broken-off body.
        if (exchange.file.is_open()) (void)exchange.file.Flush();
        result.kind = FetchResult::Kind::Cancelled;
        result.body_bytes = exchange.file.stored();
        return result;
    }
    if (exchange.stopped_for_status) {
        result.kind = FetchResult::Kind::BadStatus;
        return result;
    }
    if (outcome.failed || !exchange.file.is_open()) {
        // Also a body that broke off after a 200: what arrived is not the
        // document, and the test must not pass; but it is kept, as it shows
        // how far the answer came.
        const bool flushed = !exchange.file.is_open() || exchange.file.Flush();
        SetTransportFailure(outcome.error_code != 0
                                ? outcome.error_code
                                : static_cast<int>(ERROR_INTERNET_INTERNAL_ERROR),
                            outcome.error_text, &result);
        std::string why;
        if (outcome.past_deadline) {
            why = "The request was not finished within its time limit of " +
                  std::to_string(static_cast<long long>(outcome.deadline_seconds)) + " seconds.";
        } else if (outcome.idle_timeout) {
            why = "Less than " + std::to_string(outcome.limits.min_speed) +
                  " bytes per second came from the server for " +
                  std::to_string(outcome.limits.idle_seconds) + " seconds.";
        } else if (exchange.file.is_open()) {
            why = "The connection closed before the whole response body arrived.";
        }
        if (exchange.file.is_open())
            why += " " + std::to_string(exchange.file.stored()) +
                   " bytes of the body arrived and are kept in " + response_path + ".";
        if (!why.empty()) {
            if (why.front() == ' ') why.erase(0, 1);
            result.failure += result.failure.empty() ? why : " " + why;
        }
        if (!flushed) {
            result.kind = FetchResult::Kind::File;
            result.file_error = exchange.file.error();
        }
        result.body_bytes = exchange.file.stored();
        return result;
    }
    if (!exchange.file.Flush()) {
        result.kind = FetchResult::Kind::File;
        result.file_error = exchange.file.error();
        return result;
    }
    result.kind = FetchResult::Kind::Ok;
    result.body_bytes = exchange.file.stored();
    return result;
}

}  // namespace

// WinInet cannot be interrupted inside a call, and a silent server or an
// address that never answers keeps a call waiting for as long as the time
// limits allow.  So the request runs on a thread of its own while this one
// asks keep_going five times a second (the dialog stays alive meanwhile); a
// stop ends the test at once, and the worker, told to stop, ends by itself
// once WinInet returns, storing nothing more.
FetchResult Fetch(const InternetHandle& handle, const Target& target,
                  const std::string& response_path, const std::function<bool(double)>& keep_going) {
    auto job = std::make_shared<FetchJob>();
    job->handle = handle;
    job->handle.machine_environment = nullptr;  // borrowed, and not WinInet's
    job->target = target;
    job->response_path = response_path;
    std::thread worker;
    try {
        worker = std::thread([job] {
            FetchResult result = Run(job.get());
            const std::lock_guard<std::mutex> lock(job->mutex);
            job->result = std::move(result);
            job->finished = true;
            job->finished_cv.notify_all();
        });
    } catch (const std::system_error&) {
        // No thread to be had: the request runs here, without stopping.
        return Run(job.get());
    }
    const Clock::time_point started = Clock::now();
    std::unique_lock<std::mutex> lock(job->mutex);
    for (;;) {
        if (job->finished_cv.wait_for(lock, std::chrono::milliseconds(200),
                                      [&] { return job->finished; }))
            break;
        if (!keep_going) continue;
        lock.unlock();
        const std::chrono::duration<double> elapsed = Clock::now() - started;
        const bool go = keep_going(elapsed.count());
        lock.lock();
        if (!go && !job->finished) {
            job->stop = true;
            lock.unlock();
            worker.detach();
            FetchResult result;
            result.kind = FetchResult::Kind::Cancelled;
            return result;
        }
    }
    lock.unlock();
    worker.join();
    return job->result;
}

// WinInet reads the machine's own Internet settings for the preconfigured
// open types.
bool PreconfigUsesEnvironment() {
    return false;
}

NetworkLibrary::NetworkLibrary() {
    WSADATA data;
    ok_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
NetworkLibrary::~NetworkLibrary() {
    if (ok_) (void)::WSACleanup();
}

}  // namespace zel::conn
