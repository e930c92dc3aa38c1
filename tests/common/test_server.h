// Loopback HTTP/HTTPS test server for the test suites.
//
// Runs in-process: one accepting thread on 127.0.0.1 (or another 127.x
// address) at an ephemeral port, and one thread per connection.  Every
// request is recorded with its exact head bytes (request line, headers, blank
// line) and its body (the first bytes kept, the whole body counted and
// checksummed), and answered from a queue of scripted responses or by a
// handler callback.  Responses can be normal (status, headers, a literal or a
// generated body streamed on the fly so that large bodies never sit in
// memory) or raw (any bytes, then a close or a stall that sends nothing).
//
// Bounded: accept polls its stop flag, every read and write carries a
// timeout, and Stop() (also run by the destructor) shuts every connection
// down and joins every thread.  The server owns its sockets, TLS context and
// threads; recorded requests are returned as copies.
//
// The Windows tests, which run under wine, use the same class, but the
// server itself runs natively in the test peer (test_peer.cpp), a Linux
// process that starts the test program and serves it on loopback: each
// TestServer there is one control connection to the peer, which keeps the
// real server for as long as that connection lasts (test_server_remote.cpp).
// A handler callback cannot cross to the peer: SetHandler is for Linux
// tests only.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace zel::test {

struct RecordedRequest {
    std::string head;          // request line through the blank line, exact bytes
    std::string request_line;  // without its CR LF
    std::string method;
    std::string target;
    std::string body;             // the first bytes of the body (up to the server's limit)
    std::uint64_t body_size = 0;  // bytes of body received
    std::uint32_t body_crc = 0;   // zlib crc32 of the whole body received
    bool body_complete = true;    // false when the peer closed before Content-Length arrived

    // Value of the first header named name (ASCII case-insensitive), "" when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

struct ScriptedResponse {
    int status = 200;
    std::string reason = "OK";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::uint64_t generated_size = 0;  // non-zero: a pattern body of this size instead of body
    bool content_length = true;        // send a Content-Length header for the body
    bool close = false;                // close the connection after this response
    // Close the connection after this response without a "Connection: close"
    // header, as a server that takes an HTTP/1.0 request for the end of it:
    // once the client sends more or closes (at most 1 s later), leaving
    // anything it sent unread.
    bool close_silently = false;
    // trickle_ms > 0: the body goes out trickle_bytes at a time (at least 1),
    // one piece every trickle_ms milliseconds, until it ends or Stop().
    int trickle_ms = 0;
    std::size_t trickle_bytes = 1;
    // Raw mode: raw_bytes go out verbatim, then the server waits stall_ms
    // (sending nothing, until Stop) and closes the connection.
    bool raw = false;
    std::string raw_bytes;
    int stall_ms = 0;

    static ScriptedResponse Text(int status, std::string reason, std::string body,
                                 std::string content_type = "text/plain");
    static ScriptedResponse Raw(std::string bytes, int stall_ms = 0);
};

// The byte at offset i of every generated body; PatternCrc is the crc32 of
// the first size bytes.  WritePatternFile writes such a body to a file in
// 256 KiB pieces (true on success).
unsigned char PatternByte(std::uint64_t i);
// The n pattern bytes from offset on into buf.
void FillPattern(std::uint64_t offset, unsigned char* buf, std::size_t n);
std::uint32_t PatternCrc(std::uint64_t size);
bool WritePatternFile(const std::string& path, std::uint64_t size);
// crc32 and size of a whole file, read in pieces; false when unreadable.
bool FileCrc(const std::string& path, std::uint32_t* crc, std::uint64_t* size);

class TestServer {
  public:
    struct Options {
        std::string address = "127.0.0.1";
        bool tls = false;
        std::string cert_file;  // PEM server certificate (tls)
        std::string key_file;   // PEM private key (tls)
        int io_timeout_ms = 15000;
        std::size_t max_recorded_body = 1 << 20;
        // Serve each connection on the accepting thread, one after the
        // other: for clients that make many short connections in turn.
        bool one_at_a_time = false;
    };
    using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

    TestServer();
    explicit TestServer(Options options);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Binds, listens and starts the accepting thread.  false (with a reason
    // in *error) when the address cannot be bound or TLS cannot be set up.
    bool Start(std::string* error = nullptr);
    // Ends every connection and joins every thread; safe to call twice.
    void Stop();

    int port() const { return port_; }
    const std::string& address() const { return options_.address; }
    // "http://127.0.0.1:PORT" or "https://..."
    std::string BaseUrl() const;

    // Responses are taken from the queue first, then from the handler; with
    // neither, a 500 "No scripted response" answers.
    void Enqueue(ScriptedResponse response);
    void SetHandler(Handler handler);

    std::vector<RecordedRequest> Requests() const;
    std::size_t RequestCount() const;
    std::size_t ConnectionCount() const;
    // TLS connections whose handshake resumed an earlier session.
    std::size_t ResumedSessionCount() const;

    struct Impl;

  private:
    void AcceptLoop();
    void Serve(int fd);
    ScriptedResponse NextResponse(const RecordedRequest& request);

    Options options_;
    int listen_fd_ = -1;
    int port_ = 0;
    struct SslCtxFree {
        void operator()(ssl_ctx_st* ctx) const;
    };
    std::unique_ptr<ssl_ctx_st, SslCtxFree> ssl_ctx_;
    std::atomic<bool> stopping_{false};
    std::thread accept_thread_;

    mutable std::mutex mu_;
    std::vector<std::thread> workers_;
    std::set<int> open_fds_;
    std::deque<ScriptedResponse> queue_;
    Handler handler_;
    std::vector<RecordedRequest> requests_;
    std::size_t connections_ = 0;
    std::size_t resumed_ = 0;
    // Windows: the control connection to the test peer (a socket), 0 when
    // none is open.
    std::uintptr_t peer_ = 0;
};

}  // namespace zel::test
