// A real HTTP proxy for the suites that test going through one: Debian's
// tinyproxy, run in the foreground on a loopback address of this process's
// own, with its configuration and log file in a scratch directory, and
// stopped when the holder goes.  Header-only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "tests/common/scratch.h"
#include "tests/common/spawn.h"

namespace zel::test {

inline constexpr const char* kTinyproxy = "/usr/bin/tinyproxy";

// tinyproxy cannot report a port it chose itself, so its port is probed and
// handed to it.  The probe uses a loopback address derived from the pid:
// every other test server binds port 0 on 127.0.0.1 or 127.0.0.2, so none can
// take the probed port before tinyproxy binds it.
inline std::string OwnLoopbackAddress() {
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "127." + std::to_string(100 + (pid >> 16) % 100) + "." +
           std::to_string((pid >> 8) & 0xff) + "." + std::to_string(pid & 0xff);
}

// A port free on address a moment ago (0 when none could be had).
inline int FreePort(const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ::close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

// True when something accepts connections on address:port.
inline bool Accepts(const std::string& address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class Tinyproxy {
  public:
    Tinyproxy() = default;
    ~Tinyproxy() { Stop(); }
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    static bool Installed() { return ::access(kTinyproxy, X_OK) == 0; }

    // Starts it with its files in dir and waits (at most 5 s) until it
    // accepts connections.  False, with *error said, when it did not.
    bool Start(const std::string& dir, std::string* error) {
        host_ = OwnLoopbackAddress();
        port_ = FreePort(host_);
        log_ = dir + "/tinyproxy.log";
        const std::string conf = dir + "/tinyproxy.conf";
        WriteFile(conf, "Port " + std::to_string(port_) + "\nListen " + host_ +
                            "\nTimeout 30\nLogFile \"" + log_ +
                            "\"\nLogLevel Info\nMaxClients 20\n"
                            "Allow 127.0.0.0/8\nDisableViaHeader Yes\n");
        pid_ = Spawn(kTinyproxy, {"-d", "-c", conf});
        if (pid_ <= 0) {
            *error = "tinyproxy could not be started";
            return false;
        }
        if (!WaitUntil([&] { return Accepts(host_, port_); }, 5000)) {
            *error = "tinyproxy did not start: " + ReadFile(log_);
            return false;
        }
        return true;
    }

    // Stops it: asked first, killed after 5 s.
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, 5000)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

    // "host:port", as a proxy setting names it.
    std::string address() const { return host_ + ":" + std::to_string(port_); }
    const std::string& host() const { return host_; }
    int port() const { return port_; }
    const std::string& log_file() const { return log_; }

  private:
    std::string host_;
    int port_ = 0;
    std::string log_;
    pid_t pid_ = -1;
};

}  // namespace zel::test
