// Loopback HTTP/HTTPS test server: see test_server.h.
#include "tests/common/test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace zel::test {
namespace {

constexpr std::size_t kChunk = 262144;

// One accepted connection, plain or TLS.  Owns the SSL object; the
// descriptor is owned by the server's connection thread.
class Conn {
  public:
    Conn(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    ~Conn() {
        if (ssl_ != nullptr) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    // >0 bytes, 0 at end of stream, -1 on error or timeout.
    long Read(char* buf, std::size_t n) {
        if (ssl_ != nullptr) {
            int r = SSL_read(ssl_, buf, static_cast<int>(std::min<std::size_t>(n, 1 << 30)));
            if (r > 0) return r;
            return SSL_get_error(ssl_, r) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        }
        for (;;) {
            ssize_t r = ::recv(fd_, buf, n, 0);
            if (r < 0 && errno == EINTR) continue;
            return r;
        }
    }

    bool WriteAll(const char* buf, std::size_t n) {
        while (n > 0) {
            long w;
            if (ssl_ != nullptr) {
                int r = SSL_write(ssl_, buf, static_cast<int>(std::min<std::size_t>(n, 1 << 30)));
                w = r > 0 ? r : -1;
            } else {
                w = ::send(fd_, buf, n, MSG_NOSIGNAL);
                if (w < 0 && errno == EINTR) continue;
            }
            if (w <= 0) return false;
            buf += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    }
    bool WriteAll(const std::string& s) { return WriteAll(s.data(), s.size()); }

    // Waits until data can be read, the stop flag rises or timeout_ms pass.
    bool WaitReadable(const std::atomic<bool>& stopping, int timeout_ms) {
        if (ssl_ != nullptr && SSL_pending(ssl_) > 0) return true;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!stopping.load()) {
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, 100);
            if (r > 0) return true;
            if (r < 0 && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() >= deadline) return false;
        }
        return false;
    }

  private:
    int fd_;
    SSL* ssl_;
};

bool IEquals(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

}  // namespace

TestServer::TestServer() : TestServer(Options{}) {}
TestServer::TestServer(Options options) : options_(std::move(options)) {}
TestServer::~TestServer() {
    Stop();
}

std::string TestServer::BaseUrl() const {
    return std::string(options_.tls ? "https://" : "http://") + options_.address + ":" +
           std::to_string(port_);
}

bool TestServer::Start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        if (listen_fd_ >= 0) ::close(listen_fd_);
        listen_fd_ = -1;
        return false;
    };
    if (options_.tls) {
        ssl_ctx_.reset(SSL_CTX_new(TLS_server_method()));
        if (!ssl_ctx_) return fail("SSL_CTX_new failed");
        SSL_CTX* ctx = ssl_ctx_.get();
        if (SSL_CTX_use_certificate_chain_file(ctx, options_.cert_file.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, options_.key_file.c_str(), SSL_FILETYPE_PEM) != 1)
            return fail("cannot load server certificate or key");
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return fail("socket failed");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    if (::inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1)
        return fail("bad address " + options_.address);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return fail(std::string("bind failed: ") + std::strerror(errno));
    if (::listen(listen_fd_, 64) != 0) return fail("listen failed");
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    stopping_ = false;
    accept_thread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void TestServer::Stop() {
    stopping_ = true;
    if (accept_thread_.joinable()) accept_thread_.join();
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mu_);
        workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    ssl_ctx_.reset();
}

void TestServer::SslCtxFree::operator()(ssl_ctx_st* ctx) const {
    SSL_CTX_free(ctx);
}

void TestServer::AcceptLoop() {
    while (!stopping_.load()) {
        pollfd p{listen_fd_, POLLIN, 0};
        int r = ::poll(&p, 1, 100);
        if (r <= 0) continue;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        timeval tv{options_.io_timeout_ms / 1000, (options_.io_timeout_ms % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        // Head and body go out in separate writes: without this the body
        // waits for the client's delayed acknowledgement of the head.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::unique_lock<std::mutex> lock(mu_);
        ++connections_;
        open_fds_.insert(fd);
        if (options_.one_at_a_time) {
            lock.unlock();
            Serve(fd);
            continue;
        }
        workers_.emplace_back([this, fd] { Serve(fd); });
    }
}

void TestServer::Enqueue(ScriptedResponse response) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(response));
}

void TestServer::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> TestServer::Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

std::size_t TestServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_.size();
}

std::size_t TestServer::ResumedSessionCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return resumed_;
}

std::size_t TestServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return connections_;
}

ScriptedResponse TestServer::NextResponse(const RecordedRequest& request) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(request);
        if (!queue_.empty()) {
            ScriptedResponse r = std::move(queue_.front());
            queue_.pop_front();
            return r;
        }
        handler = handler_;
    }
    if (handler) return handler(request);
    return ScriptedResponse::Text(500, "No scripted response", "");
}

void TestServer::Serve(int fd) {
    SSL* ssl = nullptr;
    bool ok = true;
    if (ssl_ctx_) {
        ssl = SSL_new(ssl_ctx_.get());
        ok = ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1;
        if (!ok) ERR_clear_error();
        if (ok && SSL_session_reused(ssl) == 1) {
            std::lock_guard<std::mutex> lock(mu_);
            ++resumed_;
        }
    }
    {
        Conn conn(fd, ok ? ssl : nullptr);
        if (!ok && ssl != nullptr) SSL_free(ssl);
        std::string pending;  // bytes read beyond the previous request
        // One buffer per serving thread: a fresh 256 KiB for every connection
        // costs more than the exchange itself when connections are short.
        thread_local std::vector<char> buf(kChunk);
        while (ok && !stopping_.load()) {
            // Read one request head.
            std::size_t head_end;
            bool have_head = false;
            while (!stopping_.load()) {
                head_end = pending.find("\r\n\r\n");
                if (head_end != std::string::npos) {
                    have_head = true;
                    break;
                }
                if (pending.size() > 1 << 20) break;
                if (!conn.WaitReadable(stopping_, options_.io_timeout_ms)) break;
                long n = conn.Read(buf.data(), buf.size());
                if (n <= 0) break;
                pending.append(buf.data(), static_cast<std::size_t>(n));
            }
            if (!have_head) break;
            RecordedRequest req;
            req.head = pending.substr(0, head_end + 4);
            pending.erase(0, head_end + 4);
            req.request_line = req.head.substr(0, req.head.find("\r\n"));
            std::size_t sp1 = req.request_line.find(' ');
            std::size_t sp2 = req.request_line.find(' ', sp1 + 1);
            req.method = req.request_line.substr(0, sp1);
            if (sp1 != std::string::npos)
                req.target = req.request_line.substr(sp1 + 1, sp2 - sp1 - 1);

            if (IEquals(req.Header("Expect"), "100-continue"))
                ok = conn.WriteAll("HTTP/1.1 100 Continue\r\n\r\n");

            // Read the body announced by Content-Length, streaming.
            std::uint64_t want = 0;
            std::string cl = req.Header("Content-Length");
            if (!cl.empty()) want = std::strtoull(cl.c_str(), nullptr, 10);
            uLong crc = crc32(0L, Z_NULL, 0);
            auto take = [&](const char* p, std::size_t n) {
                crc = crc32(crc, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n));
                std::size_t room = options_.max_recorded_body > req.body.size()
                                       ? options_.max_recorded_body - req.body.size()
                                       : 0;
                req.body.append(p, std::min(room, n));
                req.body_size += n;
            };
            std::size_t from_pending =
                static_cast<std::size_t>(std::min<std::uint64_t>(want, pending.size()));
            take(pending.data(), from_pending);
            pending.erase(0, from_pending);
            while (ok && req.body_size < want) {
                std::size_t room = static_cast<std::size_t>(
                    std::min<std::uint64_t>(buf.size(), want - req.body_size));
                long n = conn.Read(buf.data(), room);
                if (n <= 0) {
                    req.body_complete = false;
                    break;
                }
                take(buf.data(), static_cast<std::size_t>(n));
            }
            req.body_crc = static_cast<std::uint32_t>(crc);
            bool complete = req.body_complete;
            std::string method = req.method;
            ScriptedResponse resp = NextResponse(req);
            if (!complete) break;

            if (resp.raw) {
                conn.WriteAll(resp.raw_bytes);
                auto until =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(resp.stall_ms);
                while (!stopping_.load() && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                break;
            }
            std::uint64_t body_len =
                resp.generated_size > 0 ? resp.generated_size : resp.body.size();
            std::string head =
                "HTTP/1.1 " + std::to_string(resp.status) + " " + resp.reason + "\r\n";
            for (auto& [n, v] : resp.headers) head += n + ": " + v + "\r\n";
            if (resp.content_length) head += "Content-Length: " + std::to_string(body_len) + "\r\n";
            // Without a length the body ends with the connection.
            bool close = resp.close || !resp.content_length;
            if (close) head += "Connection: close\r\n";
            head += "\r\n";
            ok = conn.WriteAll(head);
            if (ok && method != "HEAD") {
                if (resp.trickle_ms > 0) {
                    // Paced on purpose: this is the slow peer under test.
                    std::string all = resp.body;
                    if (resp.generated_size > 0) {
                        all.resize(static_cast<std::size_t>(body_len));
                        FillPattern(0, reinterpret_cast<unsigned char*>(all.data()), all.size());
                    }
                    const std::size_t step = std::max<std::size_t>(1, resp.trickle_bytes);
                    for (std::size_t off = 0; ok && off < all.size() && !stopping_.load();
                         off += step) {
                        ok = conn.WriteAll(all.data() + off, std::min(step, all.size() - off));
                        std::this_thread::sleep_for(std::chrono::milliseconds(resp.trickle_ms));
                    }
                } else if (resp.generated_size > 0) {
                    std::vector<unsigned char> chunk(kChunk);
                    for (std::uint64_t off = 0; ok && off < body_len;) {
                        std::size_t n = static_cast<std::size_t>(
                            std::min<std::uint64_t>(kChunk, body_len - off));
                        FillPattern(off, chunk.data(), n);
                        ok = conn.WriteAll(reinterpret_cast<char*>(chunk.data()), n);
                        off += n;
                    }
                } else {
                    ok = conn.WriteAll(resp.body);
                }
            }
            if (close) break;
            if (resp.close_silently) {
                // Closed as a busy server closes it: only when the client
                // comes back (with its next request or its own close), with
                // whatever it sent left unread.
                (void)conn.WaitReadable(stopping_, 1000);
                break;
            }
        }
    }
    std::lock_guard<std::mutex> lock(mu_);
    open_fds_.erase(fd);
    ::close(fd);
}

}  // namespace zel::test
