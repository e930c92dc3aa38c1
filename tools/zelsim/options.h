// zelsim's command line: the settings a run is made of, the fault scripts
// per path, and the usage text.  Owns nothing beyond plain values.
#pragma once

#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelsim {

// One scripted misbehaviour of a path, used for the next `remaining`
// requests of that path.
struct Fault {
    enum class Kind {
        Status,     // answer with an HTTP status and a short text
        SoapFault,  // answer with a SOAP fault carrying an error number
        Cut,        // announce the whole body but send only half of it
        Stall,      // answer nothing for `seconds` (or until stopped)
        Garbage,    // write bytes that are no HTTP answer, then close
    };
    Kind kind = Kind::Status;
    int status = 503;
    int error_number = 0;
    int seconds = 3600;
    int remaining = 1;
};

struct Settings {
    std::string address = "127.0.0.1";
    int http_port = 0;    // 0: any free port
    int https_port = -1;  // -1: no HTTPS
    std::string cert, key;
    std::string poll_host;                   // default: address
    std::optional<bool> poll_secure;         // default: HTTPS on
    std::vector<std::string> extra_servers;  // further server names (e.g. ISERVER)
    std::vector<std::pair<std::string, std::string>> interfaces{{"IPOLL", "Y"}};
    bool omit_qurl = false;
    std::map<std::string, std::string> documents;  // path -> file served instead
    // path -> faults in the order given; the front one applies until used up.
    std::map<std::string, std::deque<Fault>> faults;
    std::string ready_file;
    std::string request_log;
    std::string data_dir;    // DIR/<UnitContract>/ holds the published files
    std::string users_file;  // "user:password" lines; empty: no authentication
    std::string upload_dir;  // accepted uploads go to DIR/<UnitContract>/<name>
    bool no_sync = false;    // accepted uploads are not flushed to disk
    std::string post_log;    // one line per acknowledged file
};

void Usage(FILE* out);

// Parses "KIND[xN]": KIND is an HTTP status (100-599), "fault:NUMBER",
// "cut", "garbage" or "stall[:SECONDS]"; N (default 1, 0 allowed) counts the requests
// it applies to.  Returns false, leaving *fault unspecified, on bad text.
[[nodiscard]] bool ParseFault(const std::string& text, Fault* fault);

// Fills *s from the command line.  Returns 0 on success, 1 when --help or
// --version was printed (the caller exits with 0), 2 after a message on
// standard error.
[[nodiscard]] int ParseArgs(int argc, char** argv, Settings* s);

}  // namespace zelsim
