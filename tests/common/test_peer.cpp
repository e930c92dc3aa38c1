// zel_test_peer: runs one Windows test program under wine and serves it, on
// loopback, what cannot run inside wine: the loopback HTTP/HTTPS test
// servers (test_server.h) and the test certificates (test_certs.h), both
// made with OpenSSL, which the Windows build does not have.
//
//   zel_test_peer PROGRAM [ARGUMENTS...]
//
// Listens on 127.0.0.1 at an ephemeral port, names it in the environment
// variable ZEL_TEST_PEER, starts the program with its arguments (CTest's
// emulator line: cmake/wine-run.sh and the test program), answers the
// program's control connections (peer_protocol.h) while it runs, and exits
// with its exit status (128 plus the signal number when a signal ended it).
// Each control connection may own one server, stopped when the connection
// closes; certificates and server key files live in a scratch directory of
// the peer's own, removed at the end.  A native Linux program, built with
// the host's compiler beside the Windows build (tests/common/peer).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/common/peer_protocol.h"
#include "tests/common/test_certs.h"
#include "tests/common/test_server.h"

namespace {

using zel::test::ScriptedResponse;
using zel::test::TestServer;
using zel::test::peer::Message;

std::string g_scratch;
std::atomic<unsigned> g_next_file{0};

bool ReadExact(int fd, char* buffer, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::recv(fd, buffer, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool Send(int fd, const Message& message) {
    const std::string bytes = zel::test::peer::Encode(message);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadWhole(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// A new file in the scratch directory holding text; its path.
std::string WriteScratch(const std::string& text, const char* suffix) {
    const std::string path = g_scratch + "/file" + std::to_string(g_next_file++) + suffix;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return path;
}

Message Certs() {
    const std::string dir = g_scratch + "/certs" + std::to_string(g_next_file++);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    zel::test::TestCerts c;
    std::string error;
    if (!zel::test::MakeTestCerts(dir, &c, &error)) return {"error", error};
    Message reply{"ok"};
    for (const std::string* path :
         {&c.ca_file, &c.other_ca_file, &c.leaf_cert, &c.leaf_key, &c.wrong_host_cert,
          &c.wrong_host_key, &c.expired_cert, &c.expired_key, &c.untrusted_cert, &c.untrusted_key})
        reply.push_back(ReadWhole(*path));
    return reply;
}

// One control connection: its commands in turn, with at most one server.
void Serve(int fd) {
    std::unique_ptr<TestServer> server;
    Message m;
    auto read_exact = [fd](char* buffer, std::size_t size) { return ReadExact(fd, buffer, size); };
    while (zel::test::peer::Decode(read_exact, &m) && !m.empty()) {
        const std::string& command = m[0];
        Message reply{"ok"};
        if (command == "start" && m.size() == 8 && !server) {
            TestServer::Options o;
            o.address = m[1];
            o.tls = m[2] == "1";
            if (o.tls) {
                o.cert_file = WriteScratch(m[3], ".pem");
                o.key_file = WriteScratch(m[4], ".key");
            }
            o.io_timeout_ms = static_cast<int>(zel::test::peer::Number(m[5]));
            o.max_recorded_body = static_cast<std::size_t>(zel::test::peer::Number(m[6]));
            o.one_at_a_time = m[7] == "1";
            server = std::make_unique<TestServer>(o);
            std::string error;
            if (server->Start(&error)) {
                reply.push_back(std::to_string(server->port()));
            } else {
                reply = {"error", error};
                server.reset();
            }
        } else if (command == "enqueue" && server) {
            ScriptedResponse r;
            std::size_t at = 1;
            if (zel::test::peer::ReadResponse(m, &at, &r))
                server->Enqueue(std::move(r));
            else
                reply = {"error", "malformed response"};
        } else if (command == "requests" && server) {
            const auto requests = server->Requests();
            reply.push_back(std::to_string(requests.size()));
            for (const auto& r : requests) zel::test::peer::AppendRequest(r, &reply);
        } else if (command == "counts" && server) {
            reply.push_back(std::to_string(server->RequestCount()));
            reply.push_back(std::to_string(server->ConnectionCount()));
            reply.push_back(std::to_string(server->ResumedSessionCount()));
        } else if (command == "stop") {
            server.reset();
        } else if (command == "certs") {
            reply = Certs();
        } else {
            reply = {"error", "unknown or misplaced command " + command};
        }
        if (!Send(fd, reply)) break;
    }
    server.reset();
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zel_test_peer PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string scratch =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zel_test_peer.XXXXXX";
    if (::mkdtemp(scratch.data()) == nullptr) {
        std::perror("zel_test_peer: mkdtemp");
        return 2;
    }
    g_scratch = scratch;

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("zel_test_peer: listen");
        return 2;
    }
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ::setenv(zel::test::peer::kPeerVariable, where.c_str(), 1);

    std::atomic<bool> stopping{false};
    std::thread acceptor([&] {
        while (!stopping.load()) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            // Ended with the process: a connection's server stops when the
            // test program closes it, and at the latest when the peer exits.
            std::thread(Serve, fd).detach();
        }
    });

    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(argv[1], argv + 1);
        std::perror("zel_test_peer: exec");
        ::_exit(127);
    }
    // A server writing to a connection the test program has closed gets an
    // error, not the end of the peer (set after the fork, so that the
    // program keeps the default).
    ::signal(SIGPIPE, SIG_IGN);
    int status = 0;
    int code = 2;
    if (child > 0) {
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        std::perror("zel_test_peer: fork");
    }
    stopping = true;
    acceptor.join();
    std::error_code ec;
    std::filesystem::remove_all(g_scratch, ec);
    std::fflush(stdout);
    // Servers still running on detached threads end with the process.
    ::_exit(code);
}
