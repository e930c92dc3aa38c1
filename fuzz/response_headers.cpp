// Fuzz target: an HTTP answer as the request engine reads it (status line,
// the headers it picks out, interim answers, the body), through libcurl
// from a real socket.  One server thread in this process listens on
// 127.0.0.1 and answers every connection with the current fuzz input as
// raw bytes, then closes it.  Checked: an answer the engine accepts has a
// status code of three digits at most, a length of 0 or more, a status text
// and a content type without line ends, and a body no longer than the
// bytes sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "fuzz/fuzz_common.h"
#include "log/event_log.h"
#include "transport/internet_access.h"

using namespace zel::fuzz;

namespace {

// The answering side: one listening socket and one thread for the life of
// the process.
class RawServer {
  public:
    RawServer() {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(listen_fd_, 16) != 0 ||
            ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            Fail("loopback server started", __FILE__, __LINE__);
        }
        port_ = ntohs(addr.sin_port);
        // Detached: the process ends with the thread still waiting in accept.
        std::thread([this] { Serve(); }).detach();
    }

    int port() const { return port_; }

    void SetAnswer(std::string bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = std::move(bytes);
    }

  private:
    void Serve() {
        for (;;) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Answer(fd);
            ::close(fd);
        }
    }

    // Reads the request head (bounded in size and time), sends the answer,
    // then lets the client see the end of the connection.
    void Answer(int fd) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        std::string answer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            answer = answer_;
        }
        std::size_t sent = 0;
        while (sent < answer.size()) {
            const ssize_t n = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        // What the client still sends (a body) is read and dropped, so the
        // close does not turn into a reset that hides the answer.
        for (int i = 0; i < 64; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) break;
            if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
        }
    }

    int listen_fd_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::string answer_;
};

RawServer* Server() {
    static RawServer* server = new RawServer();
    return server;
}

bool HasLineEnd(const char* text) {
    return text != nullptr && std::string_view(text).find_first_of("\r\n") != std::string::npos;
}

CEventLog* Log() {
    static CEventLog* log = new CEventLog();
    return log;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    for (const char* v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY",
                          "all_proxy", "ALL_PROXY"}) {
        ::unsetenv(v);
    }
    (void)Server();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The engine's records go to a log file that is cut back now and then.
    static unsigned runs = 0;
    if (runs++ % 1000 == 0) {
        (void)Log()->Open(zel::paths::Join(zel::paths::CommDir(), "client.log").c_str(), false);
    }
    Server()->SetAnswer(std::string(AsText(data, size)));

    CInternetAccess engine(Log());
    ZEL_FUZZ_CHECK(engine.Initialize("Poll", 1, nullptr, nullptr) == S_OK);
    ZEL_FUZZ_CHECK(engine.SetServer("127.0.0.1") == S_OK);
    ZEL_FUZZ_CHECK(engine.SetPort(Server()->port()) == S_OK);
    ZEL_FUZZ_CHECK(engine.SetResource("/qvgqa/poll/GetFileListFromQuvaro") == S_OK);
    // A POST with a small body half the time, as the operations send.
    if (size % 2 == 1) {
        ZEL_FUZZ_CHECK(engine.SetVerb(HTTP_VERB_POST) == S_OK);
        ZEL_FUZZ_CHECK(engine.SetReqContent("<Envelope/>", 11) == S_OK);
    }
    const HRESULT status = engine.Process();
    if (status == S_OK) {
        std::int32_t code = -1;
        ZEL_FUZZ_CHECK(engine.GetStatusCode(&code) == S_OK);
        ZEL_FUZZ_CHECK(code >= 0 && code <= 999);
        std::int32_t length = -1;
        ZEL_FUZZ_CHECK(engine.GetContentLength(&length) == S_OK);
        ZEL_FUZZ_CHECK(length >= 0);
        CStringHolder text;
        ZEL_FUZZ_CHECK(engine.GetStatusText(text.Out()) == S_OK);
        ZEL_FUZZ_CHECK(!HasLineEnd(text.get()));
        CStringHolder type;
        ZEL_FUZZ_CHECK(engine.GetRespContentType(type.Out()) == S_OK);
        ZEL_FUZZ_CHECK(!HasLineEnd(type.get()));
        CInternetAccess::CContentStream* body = nullptr;
        ZEL_FUZZ_CHECK(engine.GetRespContent(&body) == S_OK && body != nullptr);
        std::int32_t body_length = -1;
        ZEL_FUZZ_CHECK(body->GetLength(&body_length) == S_OK);
        ZEL_FUZZ_CHECK(body_length >= 0 && static_cast<std::size_t>(body_length) <= size);
    }
    (void)engine.Uninitialize();
    return 0;
}
