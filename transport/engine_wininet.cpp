// The HTTP client on Windows: WinInet underneath CInternetAccess (see
// http_engine.h), the system's own client, used synchronously.
//
// Open makes the Internet handle (InternetOpen) with the access type's open
// type: the preconfigured types read the machine's proxy settings natively;
// the explicit proxy list goes to InternetOpen with a bypass list that
// always holds the loopback names, as the transport promises on every
// system.  A list with no entry that applies goes direct, as it does on
// Linux.  Close
// closes it.  Each request gets its own connection handle (InternetConnect)
// and request handle (HttpOpenRequest); WinInet itself keeps connections
// alive between them where the server allows.
//
// A request: time limits set on the request handle (connect, send and
// receive; the receive and send limits are the idle limit, so that a silent
// server ends the transfer), the headers given to HttpSendRequestEx, the
// body written with InternetWriteFile in pieces of up to 256 KiB,
// HttpEndRequest, then the head taken with HttpQueryInfo (status code,
// status text, every Content-Length, Content-Type) and the body read with
// InternetReadFile in pieces of up to 256 KiB, each no larger than what
// InternetQueryDataAvailable says has arrived, so that the speed watch and
// the deadline are looked at whenever data moves.  A body that ends before
// the Content-Length it was announced with is a body cut short (WinInet
// reports the early close as the end of the data).
//
// HTTPS: the flags the component has always given WinInet, so host-name and
// date errors of the server's certificate are tolerated while the chain must
// lead to a CA the system trusts, as on Linux.
//
// The status callback is installed on the Internet handle and inherited by
// the connection and request handles, whose context is the request's
// WinInetTransfer; it runs on the calling thread inside the WinInet calls
// and turns the notifications into the exchange's traces and byte counts.
// The exchange hears of the request's progress after every piece of either
// body and, from the status callback, about once a second while WinInet
// works inside a call (a silent connection makes no callbacks: its stall is
// seen when the next piece moves or the idle limit ends it).
// The engine owns the Internet handle; each request owns its handles
// (closed request first) and its WinInetTransfer.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

// Only this transport header: the project's status and string types
// (HRESULT, BSTR) and the system's cannot meet in one file.
#include "transport/http_engine.h"

namespace zel::transport {
namespace {

constexpr DWORD kChunk = 262144;
using Clock = std::chrono::steady_clock;

// A time limit that ran out: WinInet's own error, or the socket's, which is
// what wine's WinInet passes on when the receive limit ends a read.
bool IsTimeout(DWORD code) {
    return code == ERROR_INTERNET_TIMEOUT || code == WSAETIMEDOUT;
}

// Owns one HINTERNET; closing it also ends whatever WinInet still does on it.
class InternetHandle {
  public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() { reset(); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    InternetHandle(InternetHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)) {}
    InternetHandle& operator=(InternetHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset() {
        if (handle_ != nullptr) ::InternetCloseHandle(handle_);
        handle_ = nullptr;
    }

  private:
    HINTERNET handle_ = nullptr;
};

// The text the system has for a WinInet or Windows error number, on one
// line ("" when it has none).  WinInet's own numbers come from its module;
// an extended error carries the server's last response text instead.
std::string ErrorText(DWORD code) {
    std::string text;
    if (code == ERROR_INTERNET_EXTENDED_ERROR) {
        DWORD error = 0, length = 0;
        (void)::InternetGetLastResponseInfoA(&error, nullptr, &length);
        if (length > 0) {
            text.resize(length + 1);
            if (::InternetGetLastResponseInfoA(&error, text.data(), &length))
                text.resize(length);
            else
                text.clear();
        }
    } else {
        char* buffer = nullptr;
        const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                            FORMAT_MESSAGE_IGNORE_INSERTS |
                            (code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST
                                 ? FORMAT_MESSAGE_FROM_HMODULE
                                 : 0);
        const DWORD n =
            ::FormatMessageA(flags, ::GetModuleHandleA("wininet.dll"), code, LANG_USER_DEFAULT,
                             reinterpret_cast<char*>(&buffer), 0, nullptr);
        if (n > 0 && buffer != nullptr) text.assign(buffer, n);
        if (buffer != nullptr) ::LocalFree(buffer);
    }
    // On one line, without the line end the system puts after its texts.
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    const std::size_t last = text.find_last_not_of(' ');
    text.erase(last == std::string::npos ? 0 : last + 1);
    return text;
}

// A head value without blanks around it.
std::string Trimmed(const std::string& value) {
    const std::size_t first = value.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return value.substr(first, value.find_last_not_of(" \t") - first + 1);
}

// One header of the answer (or of the request, with
// HTTP_QUERY_FLAG_REQUEST_HEADERS) by its HttpQueryInfo level; index picks
// among repeated headers.  false when the answer has none.
bool QueryText(HINTERNET request, DWORD level, DWORD index, std::string* out) {
    std::string buffer(256, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD at = index;
        if (::HttpQueryInfoA(request, level, buffer.data(), &size, &at)) {
            buffer.resize(size);
            *out = std::move(buffer);
            return true;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        buffer.assign(size + 1, '\0');
    }
    return false;
}

// The state of one request while WinInet runs it: the context of its
// connection and request handles.
struct WinInetTransfer {
    const EngineRequest* request = nullptr;
    ExchangeEvents* events = nullptr;
    bool new_connection = false;  // connecting was seen: no kept connection is used
    bool head_done = false;
    std::int64_t bytes_sent = 0;      // from the request-sent notifications
    std::int64_t bytes_received = 0;  // from the response-received notifications
    // When the exchange last heard of the request's progress.
    Clock::time_point last_progress = Clock::now();

    // Progress after a piece of either body.
    void Moved() {
        last_progress = Clock::now();
        events->Progress();
    }
    // Progress from inside a WinInet call that waits: at most about once a
    // second, so that a slow transfer is seen while it lasts.
    void StillGoing() {
        const Clock::time_point now = Clock::now();
        if (now - last_progress < std::chrono::seconds(1)) return;
        last_progress = now;
        events->Progress();
    }
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* t = reinterpret_cast<WinInetTransfer*>(context);
    if (t == nullptr) return;  // the Internet handle's own notifications
    auto text = [&] {
        return info != nullptr && length > 0
                   ? std::string(static_cast<const char*>(info),
                                 ::strnlen(static_cast<const char*>(info), length))
                   : std::string();
    };
    auto count = [&]() -> std::int64_t {
        return info != nullptr && length >= sizeof(DWORD) ? *static_cast<const DWORD*>(info) : 0;
    };
    switch (status) {
        case INTERNET_STATUS_RESOLVING_NAME:
            t->events->Notify(Notification::kResolving, text());
            break;
        case INTERNET_STATUS_NAME_RESOLVED:
            t->events->Notify(Notification::kAddressFound, text());
            break;
        case INTERNET_STATUS_CONNECTING_TO_SERVER:
            t->new_connection = true;
            t->events->Notify(Notification::kConnecting, "");
            break;
        case INTERNET_STATUS_CONNECTED_TO_SERVER:
            t->events->Notify(Notification::kConnected, "");
            break;
        case INTERNET_STATUS_REQUEST_SENT:
            t->bytes_sent += count();
            break;
        case INTERNET_STATUS_RESPONSE_RECEIVED: {
            const std::int64_t n = count();
            t->bytes_received += n;
            if (n > 0 && !t->head_done) t->events->HeadStarted();
            break;
        }
        case INTERNET_STATUS_CLOSING_CONNECTION:
            t->events->Notify(Notification::kClosing, "");
            break;
        case INTERNET_STATUS_CONNECTION_CLOSED:
            t->events->Notify(Notification::kClosed, "");
            break;
        case INTERNET_STATUS_INTERMEDIATE_RESPONSE:
            t->events->Notify(Notification::kIntermediate, "");
            break;
        default:
            break;
    }
    // WinInet calls back while it connects, sends and receives, though not
    // while a connection stays silent: the exchange's observer hears from
    // the request at those times too.
    t->StillGoing();
}

// A time limit in milliseconds as WinInet takes it.
DWORD Milliseconds(long seconds) {
    constexpr long kMax = static_cast<long>(INT_MAX / 1000);
    return static_cast<DWORD>(std::clamp(seconds, 1L, kMax) * 1000);
}

class WinInetEngine final : public HttpEngine {
  public:
    WinInetEngine() = default;

    bool Open(const SessionSettings& settings, int* error_code, std::string* error_text) override;
    void Close() override { session_.reset(); }
    void Perform(const EngineRequest& request, ExchangeEvents* events,
                 EngineOutcome* outcome) override;

  private:
    // Reads the head of the answer into head (have_status stays false when
    // not even a status code can be had).
    static void ReadHead(HINTERNET request, ResponseHead* head);

    InternetHandle session_;
};

bool WinInetEngine::Open(const SessionSettings& settings, int* error_code,
                         std::string* error_text) {
    DWORD type = static_cast<DWORD>(OpenTypeValue(settings.access_type));
    const char* proxy = nullptr;
    const char* bypass = nullptr;
    std::string bypass_list;
    std::string proxy_list;
    if (type == INTERNET_OPEN_TYPE_PROXY) {
        // The entry for each protocol is the transport's own choice from the
        // list (as on Linux), handed to WinInet in the form every WinInet
        // reads: one address for both, or blank-separated entries per
        // protocol.
        const std::string http = ProxyForScheme(settings.proxy_list, "http");
        const std::string https = ProxyForScheme(settings.proxy_list, "https");
        if (http == https) {
            proxy_list = http;
        } else {
            if (!http.empty()) proxy_list = "http=" + http;
            if (!https.empty()) proxy_list += (proxy_list.empty() ? "https=" : " https=") + https;
        }
        if (proxy_list.empty()) {
            type = INTERNET_OPEN_TYPE_DIRECT;
        } else {
            proxy = proxy_list.c_str();
            bypass_list = "localhost 127.0.0.1 [::1]";
            if (!settings.bypass.empty()) bypass_list += " " + settings.bypass;
            bypass = bypass_list.c_str();
        }
    }
    InternetHandle session(::InternetOpenA(settings.agent.c_str(), type, proxy, bypass, 0));
    if (!session) {
        const DWORD code = ::GetLastError();
        *error_code = static_cast<int>(code);
        *error_text = ErrorText(code);
        return false;
    }
    // Every handle made from this one inherits the callback; notifications
    // come with the context of the handle they concern.
    (void)::InternetSetStatusCallbackA(session.get(), OnStatus);
    session_ = std::move(session);
    return true;
}

void WinInetEngine::ReadHead(HINTERNET request, ResponseHead* head) {
    std::string text;
    if (QueryText(request, HTTP_QUERY_STATUS_CODE, 0, &text)) {
        char* end = nullptr;
        const long code = std::strtol(text.c_str(), &end, 10);
        if (end != text.c_str() && code >= 0 && code <= 999) {
            head->status = static_cast<int>(code);
            head->have_status = true;
        }
    }
    if (QueryText(request, HTTP_QUERY_STATUS_TEXT, 0, &text)) head->reason = Trimmed(text);
    // Every Content-Length the answer carries: one that differs from the
    // first makes the answer untrustworthy.
    for (DWORD index = 0; index < 64 && QueryText(request, HTTP_QUERY_CONTENT_LENGTH, index, &text);
         ++index) {
        text = Trimmed(text);
        if (index == 0) {
            head->have_length = true;
            head->length_text = text;
        } else if (text != head->length_text) {
            head->other_length_text = text;
            break;
        }
    }
    if (QueryText(request, HTTP_QUERY_CONTENT_TYPE, 0, &text)) {
        head->have_type = true;
        head->type_text = Trimmed(text);
    }
}

void WinInetEngine::Perform(const EngineRequest& r, ExchangeEvents* events,
                            EngineOutcome* outcome) {
    EngineOutcome& out = *outcome;
    out.limits = ReadRequestTimeouts(RequestTimeouts::kDefaultConnectTimeout,
                                     RequestTimeouts::kDefaultIdleTimeout);
    const Clock::time_point started = Clock::now();
    SpeedWatch watch(out.limits, started);
    WinInetTransfer t;
    t.request = &r;
    t.events = events;

    auto fail = [&](DWORD code) {
        out.failed = true;
        out.error_code = static_cast<int>(code);
        out.error_text = ErrorText(code);
    };

    // The connection step.  The handles are declared after the transfer so
    // that they are closed first: their notifications point at it.
    const auto context = reinterpret_cast<DWORD_PTR>(&t);
    InternetHandle connection(::InternetConnectA(session_.get(), r.host.c_str(),
                                                 static_cast<INTERNET_PORT>(r.port), nullptr,
                                                 nullptr, INTERNET_SERVICE_HTTP, 0, context));
    if (!connection) {
        out.stage = EngineOutcome::Stage::kConnect;
        fail(::GetLastError());
        return;
    }

    // The request step: a fresh answer every time, redirects not followed,
    // and for HTTPS no authentication dialogs and the tolerated certificate
    // errors.
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (r.secure)
        flags |= INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTH |
                 INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
    InternetHandle request(::HttpOpenRequestA(connection.get(), r.verb, r.resource.c_str(),
                                              r.http11 ? "HTTP/1.1" : "HTTP/1.0", nullptr, nullptr,
                                              flags, context));
    if (!request) {
        out.stage = EngineOutcome::Stage::kOpenRequest;
        fail(::GetLastError());
        return;
    }
    DWORD connect_ms = Milliseconds(out.limits.connect_seconds);
    DWORD idle_ms = Milliseconds(out.limits.idle_seconds);
    (void)::InternetSetOptionA(request.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect_ms,
                               sizeof connect_ms);
    (void)::InternetSetOptionA(request.get(), INTERNET_OPTION_SEND_TIMEOUT, &idle_ms,
                               sizeof idle_ms);
    (void)::InternetSetOptionA(request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &idle_ms,
                               sizeof idle_ms);

    if (!events->StartSending()) return;

    // How long the request may still take, after its size; the length of
    // the answer counts once it is known.
    std::uint64_t announced = static_cast<std::uint64_t>(r.body_length);
    std::uint64_t moved = 0;
    // Whether the request must end now for its time limits.
    auto out_of_time = [&]() {
        const Clock::time_point now = Clock::now();
        const std::chrono::duration<double> elapsed = now - started;
        const double allowed = RequestDeadline(out.limits, announced, moved);
        if (elapsed.count() > allowed) {
            out.failed = true;
            out.past_deadline = true;
            out.deadline_seconds = allowed;
            return true;
        }
        if (watch.TooSlow(moved, now)) {
            out.failed = true;
            out.idle_timeout = true;
            out.error_code = static_cast<int>(ERROR_INTERNET_TIMEOUT);
            out.error_text = ErrorText(ERROR_INTERNET_TIMEOUT);
            return true;
        }
        return false;
    };
    // A connection kept from an earlier request that broke before any
    // answer came: the server had closed it.  (A silent server, a name that
    // does not resolve or a refused connection are no such case.)
    auto note_kept_connection = [&](DWORD code) {
        const bool broke = code == ERROR_INTERNET_CONNECTION_RESET ||
                           code == ERROR_INTERNET_CONNECTION_ABORTED ||
                           code == ERROR_HTTP_INVALID_SERVER_RESPONSE || code == WSAECONNRESET ||
                           code == WSAECONNABORTED;
        out.kept_connection_broke = broke && !t.new_connection && t.bytes_received == 0;
    };
    auto finish_counts = [&] {
        out.bytes_sent = t.bytes_sent;
        out.bytes_received = t.bytes_received;
    };

    // The head goes out with the total length of the body announced.
    std::string head_text;
    for (const std::string& line : r.header_lines) head_text += line + "\r\n";
    head_text += "\r\n";
    INTERNET_BUFFERSA buffers{};
    buffers.dwStructSize = sizeof buffers;
    buffers.lpcszHeader = head_text.c_str();
    buffers.dwHeadersLength = static_cast<DWORD>(head_text.size());
    buffers.dwBufferTotal = r.head ? 0 : static_cast<DWORD>(r.body_length);
    if (!::HttpSendRequestExA(request.get(), &buffers, nullptr, HSR_INITIATE, 0)) {
        const DWORD code = ::GetLastError();
        fail(code);
        note_kept_connection(code);
        finish_counts();
        return;
    }
    std::string sent_head;
    if (QueryText(request.get(), HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS, 0,
                  &sent_head))
        events->Notify(Notification::kRequestHead, sent_head);

    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunk]);
    if (!buffer) {
        fail(ERROR_NOT_ENOUGH_MEMORY);
        finish_counts();
        return;
    }
    if (!r.head && r.body_length > 0) {
        for (;;) {
            const long got = events->ReadBody(buffer.get(), kChunk);
            if (got < 0) {
                finish_counts();
                return;  // recorded by the exchange
            }
            if (got == 0) break;
            DWORD written = 0;
            if (!::InternetWriteFile(request.get(), buffer.get(), static_cast<DWORD>(got),
                                     &written) ||
                written != static_cast<DWORD>(got)) {
                const DWORD code = ::GetLastError();
                fail(code != ERROR_SUCCESS ? code : ERROR_INTERNET_CONNECTION_ABORTED);
                note_kept_connection(code);
                finish_counts();
                return;
            }
            out.body_sent += written;
            moved += written;
            t.Moved();
            if (out_of_time()) {
                finish_counts();
                return;
            }
        }
    }
    if (!::HttpEndRequestA(request.get(), nullptr, 0, 0)) {
        const DWORD code = ::GetLastError();
        fail(code);
        note_kept_connection(code);
        finish_counts();
        return;
    }

    ResponseHead head;
    ReadHead(request.get(), &head);
    if (!head.have_status || head.status == 0) {
        // WinInet ends the request without complaint when the connection
        // closes before an answer: nothing came back at all, or what came
        // was no HTTP answer.
        fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        note_kept_connection(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        finish_counts();
        return;
    }
    events->HeadStarted();
    t.head_done = true;
    if (!events->HeadComplete(head, t.bytes_sent)) {
        finish_counts();
        return;
    }
    // The body's own length, for the deadline and to see a body cut short.
    std::uint64_t length = 0;
    bool length_known = false;
    if (head.have_length && !head.length_text.empty()) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(head.length_text.c_str(), &end, 10);
        if (*end == '\0' && head.length_text[0] >= '0' && head.length_text[0] <= '9') {
            length = value;
            length_known = true;
            announced += length;
        }
    }
    // No body follows the head of an answer to HEAD, nor of 1xx, 204 and 304.
    const bool bodiless = r.head || head.status == 204 || head.status == 304 ||
                          (head.status >= 100 && head.status < 200);
    std::uint64_t received = 0;
    if (!bodiless) {
        for (;;) {
            if (out_of_time()) {
                finish_counts();
                return;
            }
            DWORD available = 0;
            if (!::InternetQueryDataAvailable(request.get(), &available, 0, 0)) {
                const DWORD code = ::GetLastError();
                fail(code);
                out.idle_timeout = IsTimeout(code);
                finish_counts();
                return;
            }
            if (available == 0) break;  // the end of the body
            DWORD got = 0;
            if (!::InternetReadFile(request.get(), buffer.get(), std::min(available, kChunk),
                                    &got)) {
                const DWORD code = ::GetLastError();
                fail(code);
                out.idle_timeout = IsTimeout(code);
                finish_counts();
                return;
            }
            if (got == 0) break;
            if (!events->Body(buffer.get(), got)) {
                finish_counts();
                return;
            }
            received += got;
            moved += got;
            t.Moved();
        }
        if (length_known && received < length) {
            // WinInet ends the data where the server closed the connection.
            fail(ERROR_INTERNET_CONNECTION_ABORTED);
        }
    }
    finish_counts();
}

}  // namespace

// WinInet reports closing connections only inside a request, to the
// request's own events: the engine needs no log of its own.
std::unique_ptr<HttpEngine> MakeHttpEngine(CEventLog*) {
    return std::make_unique<WinInetEngine>();
}

}  // namespace zel::transport
