// The HTTP client underneath CInternetAccess: the one piece of the transport
// that talks to a particular HTTP library.  Everything else of an exchange
// is the transport's own and the same on every system: the request line's
// resource and the header lines, the request body read from the request
// content, the checks of the answer's head, the body stored in the response
// content, the status mapping, the resend of a request that met a closed
// kept-alive connection, the time limits and every log record.
//
// Two engines meet this interface, and CMake builds exactly one of them:
// libcurl's (engine_curl.cpp, Linux) and WinInet's (engine_wininet.cpp,
// Windows, the system's own HTTP client there).  This header names nothing
// of either, nor the system's status and string types, so that an engine
// file can include it beside its library's own headers.  An engine is owned by one
// CInternetAccess and used by one thread at a time; it calls the exchange's
// events synchronously, on that thread, inside Perform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/engine_internal.h"

class CEventLog;

namespace zel::transport {

// The Internet handle's settings: what Initialize was given.
struct SessionSettings {
    std::string agent;             // User-Agent
    std::int32_t access_type = 1;  // ACCESS_TYPE_* of access_method.h
    std::string proxy_list;        // ACCESS_TYPE_PROXY: WinInet-style proxy list
    std::string bypass;            // hosts that never go through the proxy
};

// One request as it goes out.
struct EngineRequest {
    std::string host;  // the server as configured (name or address)
    int port = 80;
    bool secure = false;
    // Starting with "/"; the bytes that cannot stand in a request line
    // (blanks, control characters) and "#" are already percent-encoded.
    std::string resource = "/";
    const char* verb = "GET";
    bool head = false;  // HEAD: no body is sent and none comes back
    bool http11 = false;
    // Every header line but Host and User-Agent, in order, the content
    // headers (Content-Length, Content-Type) last.
    std::vector<std::string> header_lines;
    std::int32_t body_length = 0;  // bytes of request body (0 for HEAD)
    // Sent on a new connection, never on a kept one: a resend after a kept
    // connection turned out to be closed.
    bool fresh_connection = false;
};

// The head of the final answer as the engine found it: the status line and
// the two headers the transport looks at, each with whether it came.
struct ResponseHead {
    bool have_status = false;
    int status = 0;
    std::string reason;  // the status text (the exchange keeps its first line)
    bool have_length = false;
    std::string length_text;  // the first Content-Length value
    // A later Content-Length that says something else ("" when none): the
    // body is framed by one of them and reported with the other.
    std::string other_length_text;
    bool have_type = false;
    std::string type_text;  // the Content-Type value (the exchange keeps its first line)
};

// The status notifications an engine passes on, each a trace of the
// exchange.
enum class Notification {
    kResolving,     // name resolution begins (info: the server)
    kAddressFound,  // the address to connect to (info: the address)
    kConnecting,
    kConnected,     // a connection is ready for the request (also a kept one)
    kIntermediate,  // an interim (1xx) answer came and was passed over
    kRequestHead,   // the header block that went out (info: the block)
    kClosing,       // a connection is being closed
    kClosed,        // a connection was closed
};

// Writes the trace entry of a notification to log (also for connections
// closed after the request that opened them has ended).
void TraceNotification(CEventLog* log, Notification what, const std::string& info);

// The exchange's side of one request, given to Perform.  A method that
// returns false (or -1) has recorded and logged the failure; the engine then
// ends the request at once.
class ExchangeEvents {
  public:
    virtual ~ExchangeEvents() = default;
    // The request is about to go out (connection and request are set up):
    // the request body is placed at its beginning.
    [[nodiscard]] virtual bool StartSending() = 0;
    // The next piece of the request body into buffer: up to max bytes and
    // never beyond the announced length; 0 once it is all sent; -1 when it
    // cannot be read or ended early.
    [[nodiscard]] virtual long ReadBody(char* buffer, std::size_t max) = 0;
    // Back to offset bytes into the request body (a resend by the engine).
    [[nodiscard]] virtual bool RewindBody(std::uint64_t offset) = 0;
    virtual void Notify(Notification what, const std::string& info) = 0;
    // Some bytes of an answer arrived.
    virtual void HeadStarted() = 0;
    // The head of the final answer is complete; bytes_sent is what went out
    // for the request (head and body).  false: the answer is refused.
    [[nodiscard]] virtual bool HeadComplete(const ResponseHead& head, std::int64_t bytes_sent) = 0;
    // The next piece of the response body.
    [[nodiscard]] virtual bool Body(const char* data, std::size_t size) = 0;
    // A piece of either body went out or came in, or about a second passed
    // while the engine waited: the exchange tells its transfer observer
    // (transfer_observer.h) how far the request has come.  Engines call it
    // after every ReadBody and Body and from whatever periodic call their
    // library makes while a request is under way, so that a stall is seen
    // as it lasts.
    virtual void Progress() = 0;
};

// How a request ended, as far as the engine can tell.
struct EngineOutcome {
    // Where a failure happened before anything was sent: making the
    // connection (InternetConnect) or the request (HttpOpenRequest).
    enum class Stage { kExchange, kConnect, kOpenRequest } stage = Stage::kExchange;
    bool failed = false;  // the exchange did not end cleanly
    int error_code = 0;   // the library's or the system's number for it (0: none)
    std::string error_text;
    // Too little moved for the idle limit (limits.idle_seconds at
    // limits.min_speed), or nothing at all for that long.
    bool idle_timeout = false;
    // The request ran past its deadline (deadline_seconds) and was ended.
    bool past_deadline = false;
    double deadline_seconds = 0;
    // The request broke off on a connection kept from an earlier request,
    // with no new connection made for it: the server had closed it.
    bool kept_connection_broke = false;
    std::int64_t bytes_sent = 0;      // request head and body that went out
    std::int64_t bytes_received = 0;  // response heads and body that came in
    std::uint64_t body_sent = 0;      // of those, request body bytes
    RequestTimeouts limits{0, 0};     // the time limits the request ran with
};

class HttpEngine {
  public:
    virtual ~HttpEngine() = default;
    // Opens the Internet handle with the settings.  false on failure, with
    // the system's number and text for it.
    [[nodiscard]] virtual bool Open(const SessionSettings& settings, int* error_code,
                                    std::string* error_text) = 0;
    // Closes the Internet handle (an engine may keep connections and TLS
    // sessions for its whole life instead, where that is cheaper).
    virtual void Close() = 0;
    // Runs one request from connecting to the end of the answer.
    virtual void Perform(const EngineRequest& request, ExchangeEvents* events,
                         EngineOutcome* outcome) = 0;
};

// The engine of the system this is built for; log (borrowed) receives the
// traces of connections that close outside a request.
std::unique_ptr<HttpEngine> MakeHttpEngine(CEventLog* log);

}  // namespace zel::transport
