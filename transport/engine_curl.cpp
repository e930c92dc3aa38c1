// The HTTP client on Linux: libcurl underneath CInternetAccess (see
// http_engine.h).
//
// Each request runs on a fresh easy handle that dies with the request;
// connections and TLS sessions outlive it in the engine's share handle, so
// they are reused where the protocol allows.  The share handle stands for
// the Internet handle but lives for the engine's whole life, not from one
// Open to the next: callers initialise the engine afresh for every
// operation, and a TLS session kept only that long would make every HTTPS
// request pay a full handshake.  A fresh easy handle is also what keeps
// Debian 12's libcurl 7.88.1 safe: reusing an easy handle that already
// carried a response reads freed memory when the next answer begins with a
// folded header line.
//
// libcurl runs the whole exchange inside curl_easy_perform, so the steps of
// the exchange happen in its callbacks: the request body is read through the
// exchange's events in 256 KiB pieces, the head of each answer is parsed line
// by line (restarting at every status line: interim and proxy answers come
// the same way) and handed over when the final one is complete, the body is
// passed on as it comes (the exchange hears of the progress after every piece
// of either body and at libcurl's progress calls, about once a second while
// nothing moves), and resolving, connecting, connected, closing and
// the header block sent become the exchange's notifications.  The way to the
// server, TLS and the time limits are the connection policy's
// (connection_policy.h).
//
// The engine owns its share handle; each request owns its easy handle and
// its CurlTransfer.
#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "log/event_log.h"
#include "platform/socket.h"
#include "support/strings.h"
#include "transport/connection_policy.h"
#include "transport/http_engine.h"

namespace zel::transport {
namespace {

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlShareFree {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};

// The state of one request inside libcurl's callbacks: every callback but
// OnCloseSocket gets it as its user pointer.  OnCloseSocket gets the
// engine's log: a cached connection may be closed after the request that
// opened it is over.
struct CurlTransfer {
    const EngineRequest* request = nullptr;
    ExchangeEvents* events = nullptr;
    CURL* curl = nullptr;  // borrowed from the request's CurlEasyPtr
    // URL, headers, error text, time limits and deadline: kept alive here
    // because libcurl reads them during the transfer.
    ConnectionSetup setup;
    // The head of the answer being read, restarted at every status line.
    ResponseHead head;
    // The header block being sent, gathered for the request-header trace.
    std::string sent_head;
};

// The text of a head line between begin and end without its blanks.  A CR
// or LF inside the line ends it there: the status text and the content type
// go into log records and back to the caller, where a line break would start
// a record or a line of the server's making.
std::string Trimmed(const char* begin, const char* end) {
    return OneLine(std::string_view(begin, static_cast<std::size_t>(end - begin)),
                   LineBreak::kEndsText);
}

// CURLOPT_HEADERFUNCTION: one response header line.
std::size_t OnHeader(char* data, std::size_t size, std::size_t nitems, void* user) {
    auto* t = static_cast<CurlTransfer*>(user);
    const std::size_t n = size * nitems;
    const char* end = data + n;
    ResponseHead& head = t->head;
    t->events->HeadStarted();
    if (n >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
        // A status line: everything before belonged to another answer.
        head = ResponseHead{};
        const char* sp = static_cast<const char*>(std::memchr(data, ' ', n));
        if (sp != nullptr) {
            char* after = nullptr;
            long code = std::strtol(sp + 1, &after, 10);
            if (after != sp + 1 && code >= 0 && code <= 999) {
                head.status = static_cast<int>(code);
                head.have_status = true;
                head.reason = Trimmed(after, end);
            }
        }
        return n;
    }
    if (n <= 2 && (n == 0 || data[0] == '\r' || data[0] == '\n')) {
        // End of a head.  An interim answer is followed by another head.
        if (head.have_status && head.status >= 100 && head.status < 200) {
            t->events->Notify(Notification::kIntermediate, "");
            return n;
        }
        // The request went out whole once an answer arrives.
        curl_off_t up = 0;
        long request_size = 0;
        curl_easy_getinfo(t->curl, CURLINFO_SIZE_UPLOAD_T, &up);
        curl_easy_getinfo(t->curl, CURLINFO_REQUEST_SIZE, &request_size);
        return t->events->HeadComplete(head, request_size + up) ? n : 0;
    }
    const char* colon = static_cast<const char*>(std::memchr(data, ':', n));
    if (colon != nullptr) {
        std::string name = Trimmed(data, colon);
        if (strcasecmp(name.c_str(), "Content-Length") == 0) {
            std::string value = Trimmed(colon + 1, end);
            if (!head.have_length) {
                head.have_length = true;
                head.length_text = value;
            } else if (value != head.length_text && head.other_length_text.empty()) {
                // The body is framed by one of them and the length reported
                // from the other: the answer cannot be trusted.
                head.other_length_text = value;
            }
        } else if (strcasecmp(name.c_str(), "Content-Type") == 0 && !head.have_type) {
            head.have_type = true;
            head.type_text = Trimmed(colon + 1, end);
        }
    }
    return n;
}

// CURLOPT_WRITEFUNCTION: a piece of the response body.
std::size_t OnBody(char* data, std::size_t size, std::size_t nmemb, void* user) {
    auto* t = static_cast<CurlTransfer*>(user);
    const std::size_t n = size * nmemb;
    if (!t->events->Body(data, n)) return 0;
    t->events->Progress();
    return n;
}

// CURLOPT_READFUNCTION: the next piece of the request body, never more than
// its announced length.
std::size_t OnReadBody(char* buffer, std::size_t size, std::size_t nitems, void* user) {
    auto* t = static_cast<CurlTransfer*>(user);
    const long got = t->events->ReadBody(buffer, size * nitems);
    if (got < 0) return CURL_READFUNC_ABORT;
    t->events->Progress();
    return static_cast<std::size_t>(got);
}

// CURLOPT_SEEKFUNCTION: libcurl sends a request again on a fresh connection
// when a kept-alive one turns out to have been closed by the server; the
// body then starts over from its beginning.
int OnSeekBody(void* user, curl_off_t offset, int origin) {
    auto* t = static_cast<CurlTransfer*>(user);
    if (origin != SEEK_SET || offset < 0 || offset > t->request->body_length)
        return CURL_SEEKFUNC_CANTSEEK;
    return t->events->RewindBody(static_cast<std::uint64_t>(offset)) ? CURL_SEEKFUNC_OK
                                                                     : CURL_SEEKFUNC_FAIL;
}

// CURLOPT_RESOLVER_START_FUNCTION: "Resolving IP address of server".
int OnResolverStart(void*, void*, void* user) {
    auto* t = static_cast<CurlTransfer*>(user);
    t->events->Notify(Notification::kResolving, t->request->host);
    return 0;
}

// CURLOPT_OPENSOCKETFUNCTION: the address found, then connecting.
curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto* t = static_cast<CurlTransfer*>(user);
    t->events->Notify(Notification::kAddressFound,
                      zel::net::AddressText(address->family, &address->addr));
    t->events->Notify(Notification::kConnecting, "");
    const int socket = zel::net::OpenSocket(address->family, address->socktype, address->protocol);
    return socket < 0 ? CURL_SOCKET_BAD : socket;
}

// CURLOPT_CLOSESOCKETFUNCTION: closes fd between the two closing traces.
int OnCloseSocket(void* user, curl_socket_t fd) {
    auto* log = static_cast<CEventLog*>(user);
    TraceNotification(log, Notification::kClosing, "");
    int r = zel::net::CloseSocket(fd);
    TraceNotification(log, Notification::kClosed, "");
    return r;
}

// CURLOPT_PREREQFUNCTION: "Connected to server." (also on reuse).
int OnPrereq(void* user, char*, char*, int, int) {
    auto* t = static_cast<CurlTransfer*>(user);
    t->events->Notify(Notification::kConnected, "");
    return CURL_PREREQFUNC_OK;
}

// CURLOPT_DEBUGFUNCTION: the header block that went out becomes the
// request-header trace; everything else libcurl reports is ignored.
int OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
    if (type != CURLINFO_HEADER_OUT) return 0;
    auto* t = static_cast<CurlTransfer*>(user);
    // A head may go out in pieces; it is traced once it is whole.  A tunnel
    // request to a proxy is not the request itself and is left out.
    t->sent_head.append(data, size);
    const std::string& head = t->sent_head;
    if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) {
        if (head.rfind("CONNECT ", 0) != 0) t->events->Notify(Notification::kRequestHead, head);
        t->sent_head.clear();
    }
    return 0;
}

class CurlEngine final : public HttpEngine {
  public:
    explicit CurlEngine(CEventLog* log) : log_(log) {}

    bool Open(const SessionSettings& settings, int*, std::string*) override {
        GlobalInit();
        if (!share_ && !NewShare()) return false;
        settings_ = settings;
        return true;
    }

    // Connections and TLS sessions stay for the next Open (see the top of
    // this file); the engine's end closes them.
    void Close() override {}

    void Perform(const EngineRequest& request, ExchangeEvents* events,
                 EngineOutcome* outcome) override;

  private:
    // Sets every option of the request's easy handle; false when libcurl
    // refuses one.
    bool Configure(CurlTransfer* transfer);

    // Replaces the share handle (and with it every kept connection and TLS
    // session) by an empty one; false when libcurl has none to give.  A part
    // that this libcurl cannot share is left out; the requests then simply
    // do not reuse it.
    bool NewShare() {
        std::unique_ptr<CURLSH, CurlShareFree> share(curl_share_init());
        if (!share) return false;
        for (curl_lock_data part :
             {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS})
            (void)curl_share_setopt(share.get(), CURLSHOPT_SHARE, part);
        share_ = std::move(share);
        return true;
    }

    CEventLog* log_;
    SessionSettings settings_;
    // Connections, TLS sessions and resolved names, shared by the requests'
    // handles for the engine's life, as long as the trust stays the same.
    std::unique_ptr<CURLSH, CurlShareFree> share_;
    // The trust (ConnectionSetup::trust) that share_'s connections and
    // sessions were made under.
    std::string share_trust_;
};

bool CurlEngine::Configure(CurlTransfer* transfer) {
    CurlTransfer& t = *transfer;
    const EngineRequest& r = *t.request;
    CURL* curl = t.curl;

    RequestRoute route;
    route.agent = settings_.agent;
    route.access_type = settings_.access_type;
    route.proxy_list = settings_.proxy_list;
    route.bypass = settings_.bypass;
    route.host = r.host;
    route.port = r.port;
    route.secure = r.secure;
    route.resource = r.resource;
    if (ApplyConnectionPolicy(curl, route, r.header_lines, &t.setup) != CURLE_OK) return false;

    // libcurl matches a kept connection or a TLS session to a request by its
    // own settings only, and the trusted CAs now come as a shared store that
    // it cannot see: under another trust, they are all dropped.
    if (t.setup.trust != share_trust_) {
        if (share_trust_.empty()) {
            share_trust_ = t.setup.trust;
        } else if (NewShare()) {
            share_trust_ = t.setup.trust;
        } else {
            return false;
        }
    }
    curl_easy_setopt(curl, CURLOPT_SHARE, share_.get());
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION,
                     r.http11 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0);
    // An HTTP/1.0 request does not ask to keep the connection, so the server
    // may close it after its answer without saying so (many answer in
    // HTTP/1.1 all the same).  A later request sent on it would meet the
    // closing socket part-way through its body, so the connection is never
    // kept after such an exchange.
    if (!r.http11) curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    if (r.fresh_connection) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    constexpr long kChunk = 262144;
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kChunk);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, kChunk);
    // Method and body: every method but HEAD carries the request content
    // with its length, also when it is empty.
    if (r.head) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body_length));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, OnReadBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &t);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, OnSeekBody);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &t);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, r.verb);
    }
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    // Status notifications, and the header block that actually went out.
    curl_easy_setopt(curl, CURLOPT_RESOLVER_START_FUNCTION, OnResolverStart);
    curl_easy_setopt(curl, CURLOPT_RESOLVER_START_DATA, &t);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &t);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, OnCloseSocket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, log_);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, OnPrereq);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, &t);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    return true;
}

void CurlEngine::Perform(const EngineRequest& request, ExchangeEvents* events,
                         EngineOutcome* outcome) {
    EngineOutcome& out = *outcome;
    CurlTransfer t;
    t.request = &request;
    t.events = events;
    // The request step.  The handle is declared after the transfer so that
    // it is cleaned up first: its callbacks point at the transfer.
    CurlEasyPtr curl(curl_easy_init());
    if (!curl) {
        out.stage = EngineOutcome::Stage::kOpenRequest;
        return;
    }
    t.curl = curl.get();
    if (!Configure(&t)) {
        out.stage = EngineOutcome::Stage::kOpenRequest;
        return;
    }
    if (!events->StartSending()) return;
    // libcurl's progress calls go on while nothing moves (about once a
    // second), so the exchange's observer learns of a stall as it lasts,
    // not after it.
    t.setup.keep_going = [events](double) {
        events->Progress();
        return true;
    };

    // Send the request; the answer is taken in the callbacks.
    const CURLcode rc = curl_easy_perform(curl.get());

    curl_off_t up = 0, down = 0;
    long request_size = 0, header_size = 0, new_connections = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_SIZE_UPLOAD_T, &up);
    curl_easy_getinfo(curl.get(), CURLINFO_SIZE_DOWNLOAD_T, &down);
    curl_easy_getinfo(curl.get(), CURLINFO_REQUEST_SIZE, &request_size);
    curl_easy_getinfo(curl.get(), CURLINFO_HEADER_SIZE, &header_size);
    curl_easy_getinfo(curl.get(), CURLINFO_NUM_CONNECTS, &new_connections);
    out.bytes_sent = request_size + up;
    out.bytes_received = header_size + down;
    out.body_sent = static_cast<std::uint64_t>(up);
    out.failed = rc != CURLE_OK;
    out.error_code = static_cast<int>(rc);
    out.error_text = *t.setup.error_text != '\0' ? t.setup.error_text : curl_easy_strerror(rc);
    out.idle_timeout = rc == CURLE_OPERATION_TIMEDOUT;
    out.past_deadline = t.setup.past_deadline;
    out.deadline_seconds = t.setup.deadline_seconds;
    // libcurl itself sends again only when the break shows while reading.
    out.kept_connection_broke = rc == CURLE_SEND_ERROR && new_connections == 0;
    out.limits = t.setup.limits;
}

}  // namespace

std::unique_ptr<HttpEngine> MakeHttpEngine(CEventLog* log) {
    return std::make_unique<CurlEngine>(log);
}

}  // namespace zel::transport
