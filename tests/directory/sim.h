// Runs the central-side simulator (the real "$ZEL_BUILD_DIR/tools/zelsim")
// as a child process on 127.0.0.1 for one test: waits (bounded) for its ready
// file, reads its ports, counts the requests in its request log, and stops it
// with SIGTERM when the object goes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zel::test::directory {

class Simulator {
  public:
    // dir: a scratch directory for the ready file and the request log.
    // extra: further zelsim options.  https: also serve HTTPS with cert/key.
    Simulator(const std::string& dir, const std::vector<std::string>& extra,
              const std::string& cert = "", const std::string& key = "")
        : ready_(dir + "/zelsim.ready"), log_(dir + "/zelsim.requests") {
        // A ready file or request log of an earlier simulator must not count.
        std::remove(ready_.c_str());
        std::remove(log_.c_str());
        const char* build = std::getenv("ZEL_BUILD_DIR");
        std::vector<std::string> args = {std::string(build ? build : ".") + "/tools/zelsim",
                                         "--address",
                                         "127.0.0.1",
                                         "--ready-file",
                                         ready_,
                                         "--request-log",
                                         log_};
        if (!cert.empty()) {
            args.insert(args.end(), {"--https-port", "0", "--cert", cert, "--key", key});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid_ <= 0) return;
        // Bounded wait for the ready file (10 s).
        for (int i = 0; i < 400 && http_port_ <= 0; ++i) {
            std::ifstream in(ready_);
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("http_port=", 0) == 0)
                    http_port_ = static_cast<int>(std::strtol(line.c_str() + 10, nullptr, 10));
                if (line.rfind("https_port=", 0) == 0)
                    https_port_ = static_cast<int>(std::strtol(line.c_str() + 11, nullptr, 10));
            }
            if (http_port_ <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
            int status = 0;
            if (http_port_ <= 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
        }
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool ok() const { return pid_ > 0 && http_port_ > 0; }
    int http_port() const { return http_port_; }
    int https_port() const { return https_port_; }

    // Request lines "METHOD TARGET STATUS" received so far (the simulator
    // logs each request before answering it, so the count is exact).
    std::vector<std::string> Requests() const {
        std::vector<std::string> lines;
        std::ifstream in(log_);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }
    std::size_t Count(const std::string& path) const {
        std::size_t n = 0;
        for (const auto& l : Requests()) {
            if (l.find(" " + path + " ") != std::string::npos) ++n;
        }
        return n;
    }

    // An entry-point description naming this simulator's plain HTTP port.
    std::string Description() const {
        return "<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:" +
               std::to_string(http_port_) +
               "</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR>"
               "<SSLP>N</SSLP></R></XML>";
    }

  private:
    std::string ready_;
    std::string log_;
    pid_t pid_ = -1;
    int http_port_ = 0;
    int https_port_ = -1;
};

}  // namespace zel::test::directory
