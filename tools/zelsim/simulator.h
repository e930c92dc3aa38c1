// zelsim's request handling: routes every request of a listening server to
// the scripted faults, the directory documents or one of the four transfer
// operations, and writes the request log.  Owns the settings, the users, the
// file store and the fault counters; the servers it is installed on stay the
// caller's.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "tools/zelsim/options.h"
#include "tools/zelsim/store.h"
#include "tools/zelsim/wire.h"

namespace zelsim {

class Simulator {
  public:
    // users: empty when the operations need no authentication.
    Simulator(Settings s, Users users);

    // Registers the routes on a server.  Documents are built per request from
    // the final ports, so both servers answer alike.
    void Install(httplib::Server& server);
    void SetPorts(int http_port, int https_port) {
        http_port_ = http_port;
        https_port_ = https_port;
    }
    // Ends every stall at once, so the servers can stop; call before
    // stopping them.
    void Stop();

  private:
    struct Outcome {
        std::string note;  // replaces the status in the log (a stall)
        std::uint64_t body_length = 0;
    };

    void Handle(const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader* reader);
    std::optional<Fault> TakeFault(const std::string& path);
    // Holds the request; false when the simulator is stopping.
    bool Stall(int seconds);
    void Answer(const httplib::Request& req, httplib::Response& res, Upload* upload, bool cut);
    void AnswerOperation(const std::string& op, const httplib::Request& req, httplib::Response& res,
                         Upload* upload, bool cut);
    void ListFiles(const Query& q, httplib::Response& res);
    void GetFile(const Query& q, httplib::Response& res, bool cut);
    void PutFile(const Query& q, httplib::Response& res, Upload* upload);
    void PostProcess(const Query& q, const std::string& body, httplib::Response& res);
    bool Authorized(const httplib::Request& req) const;
    void LogRequest(const httplib::Request& req, const httplib::Response& res,
                    const Outcome& outcome);
    void LogPostProcess(const std::string& uc, const std::string& fn);

    Settings s_;
    Users users_;
    Store store_;
    std::mutex mu_;  // fault counters, stop flag, log files
    std::condition_variable stop_cv_;
    bool stopping_ = false;
    std::atomic<int> http_port_{0};
    std::atomic<int> https_port_{-1};
};

// Sends bytes that are no HTTP answer on the request's connection and shuts
// it, so whatever the library answers after that never arrives.
void WriteGarbage(const httplib::Request& req);

// Replaces the prepared answer by one that announces the whole body but
// sends only its first half before the connection closes.
void CutBody(httplib::Response& res);

}  // namespace zelsim
