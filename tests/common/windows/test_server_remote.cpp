// The loopback test server and the test certificates of the Windows tests:
// both come from the test peer (test_peer.cpp), the native Linux process
// that started this test program under wine, over its control connection
// (peer_protocol.h).  A TestServer here owns one control connection (a
// socket) while it is started; the peer keeps the real server for as long
// as that connection lasts.  Recorded requests come back as copies, as they
// do from the in-process server.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

#include "tests/common/peer_protocol.h"
#include "tests/common/test_certs.h"
#include "tests/common/test_server.h"

namespace zel::test {
namespace {

using peer::Message;

// Winsock for the whole process, started once.
bool SocketsReady() {
    static const bool ready = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

// A new control connection to the peer; INVALID_SOCKET (with a reason)
// when there is none.
SOCKET ConnectToPeer(std::string* error) {
    const char* where = std::getenv(peer::kPeerVariable);
    if (where == nullptr || std::strchr(where, ':') == nullptr) {
        *error = std::string(peer::kPeerVariable) +
                 " is not set: run the test program through zel_test_peer";
        return INVALID_SOCKET;
    }
    if (!SocketsReady()) {
        *error = "WSAStartup failed";
        return INVALID_SOCKET;
    }
    const std::string text = where;
    const std::size_t colon = text.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(peer::Number(text.substr(colon + 1))));
    if (::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) {
        *error = "bad peer address " + text;
        return INVALID_SOCKET;
    }
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET ||
        ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = "cannot reach the test peer at " + text + " (error " +
                 std::to_string(::WSAGetLastError()) + ")";
        if (s != INVALID_SOCKET) ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// One command and its reply; false (with the reason in reply[1] when the
// peer gave one) unless the reply is "ok".
bool Call(SOCKET s, const Message& request, Message* reply) {
    const std::string bytes = peer::Encode(request);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = ::send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    auto read_exact = [s](char* buffer, std::size_t size) {
        while (size > 0) {
            const int n = ::recv(s, buffer, static_cast<int>(size), 0);
            if (n <= 0) return false;
            buffer += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    };
    return peer::Decode(read_exact, reply) && !reply->empty() && (*reply)[0] == "ok";
}

std::string ReadWhole(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

SOCKET AsSocket(std::uintptr_t value) {
    return static_cast<SOCKET>(value);
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
    std::string why;
    auto fail = [&](const std::string& reason) {
        if (error != nullptr) *error = reason;
        return false;
    };
    std::lock_guard<std::mutex> lock(mu_);
    if (peer_ != 0) return fail("already started");
    const SOCKET s = ConnectToPeer(&why);
    if (s == INVALID_SOCKET) return fail(why);
    peer_ = static_cast<std::uintptr_t>(s);
    Message reply;
    const Message request{"start",
                          options_.address,
                          peer::Flag(options_.tls),
                          options_.tls ? ReadWhole(options_.cert_file) : "",
                          options_.tls ? ReadWhole(options_.key_file) : "",
                          std::to_string(options_.io_timeout_ms),
                          std::to_string(options_.max_recorded_body),
                          peer::Flag(options_.one_at_a_time)};
    if (!Call(s, request, &reply) || reply.size() < 2) {
        const std::string reason = reply.size() >= 2 ? reply[1] : "the test peer did not answer";
        ::closesocket(s);
        peer_ = 0;
        return fail(reason);
    }
    port_ = static_cast<int>(peer::Number(reply[1]));
    // Responses queued before the start go to the server first.
    for (const ScriptedResponse& r : queue_) {
        Message m{"enqueue"};
        peer::AppendResponse(r, &m);
        Message ignored;
        (void)Call(s, m, &ignored);
    }
    queue_.clear();
    return true;
}

void TestServer::Stop() {
    std::lock_guard<std::mutex> lock(mu_);
    if (peer_ == 0) return;
    Message ignored;
    (void)Call(AsSocket(peer_), {"stop"}, &ignored);
    ::closesocket(AsSocket(peer_));
    peer_ = 0;
}

void TestServer::SslCtxFree::operator()(ssl_ctx_st*) const {}

void TestServer::Enqueue(ScriptedResponse response) {
    std::lock_guard<std::mutex> lock(mu_);
    if (peer_ == 0) {
        queue_.push_back(std::move(response));
        return;
    }
    Message m{"enqueue"};
    peer::AppendResponse(response, &m);
    Message reply;
    if (!Call(AsSocket(peer_), m, &reply))
        std::fprintf(stderr, "TestServer: the test peer refused a response\n");
}

void TestServer::SetHandler(Handler) {
    // A callback cannot run in the peer: the suites keep such cases
    // Linux-only.
    std::fprintf(stderr, "TestServer::SetHandler is not available on Windows\n");
    std::abort();
}

std::vector<RecordedRequest> TestServer::Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<RecordedRequest> out;
    Message reply;
    if (peer_ == 0 || !Call(AsSocket(peer_), {"requests"}, &reply) || reply.size() < 2) return out;
    const std::uint64_t n = peer::Number(reply[1]);
    std::size_t at = 2;
    for (std::uint64_t i = 0; i < n; ++i) {
        RecordedRequest r;
        if (!peer::ReadRequest(reply, &at, &r)) break;
        out.push_back(std::move(r));
    }
    return out;
}

namespace {
// One of the counts the peer keeps for the server (0 requests, 1
// connections, 2 resumed sessions).
std::size_t Count(std::mutex& mu, std::uintptr_t peer, int which) {
    std::lock_guard<std::mutex> lock(mu);
    Message reply;
    if (peer == 0 || !Call(AsSocket(peer), {"counts"}, &reply) || reply.size() < 4) return 0;
    return static_cast<std::size_t>(peer::Number(reply[1 + which]));
}
}  // namespace

std::size_t TestServer::RequestCount() const {
    return Count(mu_, peer_, 0);
}
std::size_t TestServer::ConnectionCount() const {
    return Count(mu_, peer_, 1);
}
std::size_t TestServer::ResumedSessionCount() const {
    return Count(mu_, peer_, 2);
}

bool MakeTestCerts(const std::string& dir, TestCerts* out, std::string* error) {
    std::string why;
    const SOCKET s = ConnectToPeer(&why);
    if (s == INVALID_SOCKET) {
        if (error != nullptr) *error = why;
        return false;
    }
    Message reply;
    const bool ok = Call(s, {"certs"}, &reply) && reply.size() == 11;
    ::closesocket(s);
    if (!ok) {
        if (error != nullptr)
            *error = reply.size() >= 2 ? reply[1] : "the test peer did not answer";
        return false;
    }
    TestCerts c;
    std::string* const paths[] = {
        &c.ca_file,        &c.other_ca_file, &c.leaf_cert,   &c.leaf_key,       &c.wrong_host_cert,
        &c.wrong_host_key, &c.expired_cert,  &c.expired_key, &c.untrusted_cert, &c.untrusted_key};
    const char* const names[] = {"ca.pem",         "other-ca.pem",   "leaf.pem",    "leaf.key",
                                 "wrong-host.pem", "wrong-host.key", "expired.pem", "expired.key",
                                 "untrusted.pem",  "untrusted.key"};
    for (std::size_t i = 0; i < 10; ++i) {
        *paths[i] = dir + "/" + names[i];
        std::ofstream file(*paths[i], std::ios::binary | std::ios::trunc);
        file << reply[i + 1];
        if (!file.flush()) {
            if (error != nullptr) *error = "writing " + *paths[i] + " failed";
            return false;
        }
    }
    *out = c;
    return true;
}

}  // namespace zel::test
