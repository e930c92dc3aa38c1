// zelsim: a central-side simulator for tests, the demo and support staff.
//
// Serves, on a loopback address, what the dealer PC expects of the central
// side: the server list of the entry point, the system information document
// of the transfer server "POLL" and its query list.  Plain HTTP and HTTPS run
// side by side in one process; the server list advertises "POLL" on the HTTPS
// port when there is one.  Any document can be replaced by a file, and faults
// (an HTTP status for the first N requests of a path) can be injected.  Every
// request is appended as one line to an optional request log before it is
// answered, so tests can count what reached the server.
//
// The program owns its two listening servers and stops both on SIGTERM or
// SIGINT.  It talks to nothing but its own sockets.
#include <httplib.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kServerListPath = "/qvgqa/RetrieveServerInformation.xml";
constexpr const char* kSystemInfoPath = "/qvgqa/RetrieveSystemInformation.xml";
constexpr const char* kQueryListPath = "/qvgqa/RetrieveQueryInformation.xml";
constexpr const char* kQueryBase = "/qvgqa/poll/";
constexpr const char* kOperations[] = {"GetFileListFromQuvaro", "GetFileFromQuvaro",
                                       "PutFileFromDealer", "PostProcessQuvaroFile"};

struct Fault {
    int status = 503;
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
    std::map<std::string, Fault> faults;           // path -> injected status
    std::string ready_file;
    std::string request_log;
};

void Usage(FILE* out) {
    std::fputs(
        "usage: zelsim [options]\n"
        "Central-side simulator: serves the server list, system information and\n"
        "query list documents on a loopback address until SIGTERM/SIGINT.\n"
        "  --address A           address to listen on (default 127.0.0.1)\n"
        "  --http-port N         plain HTTP port, 0 = any free port (default 0)\n"
        "  --https-port N        HTTPS port, 0 = any free port (needs --cert, --key)\n"
        "  --cert FILE --key FILE  PEM certificate chain and key for HTTPS\n"
        "  --poll-host HOST      address advertised for server POLL (default --address)\n"
        "  --poll-secure Y|N     advertise POLL on HTTPS (default Y when HTTPS is on)\n"
        "  --extra-server NAME   also list server NAME (e.g. ISERVER) in the server list\n"
        "  --interface NAME=V    interface element of the system information (default\n"
        "                        IPOLL=Y; repeat; the first use replaces the default)\n"
        "  --omit-qurl           leave QURL out of the system information\n"
        "  --document PATH=FILE  serve FILE's bytes for PATH instead of the built document\n"
        "  --fault PATH=CODE[xN] answer the first N (default 1) requests of PATH with CODE\n"
        "  --ready-file FILE     when listening, write \"http_port=N\" and \"https_port=M\"\n"
        "                        lines to FILE (written whole, then renamed into place)\n"
        "  --request-log FILE    append \"METHOD TARGET STATUS\" per request to FILE\n"
        "Paths: "
        "/qvgqa/RetrieveServerInformation.xml, /qvgqa/RetrieveSystemInformation.xml,\n"
        "       /qvgqa/RetrieveQueryInformation.xml; operations under /qvgqa/poll/.\n",
        out);
}

bool SplitAt(const std::string& text, char sep, std::string* left, std::string* right) {
    auto pos = text.find(sep);
    if (pos == std::string::npos) return false;
    *left = text.substr(0, pos);
    *right = text.substr(pos + 1);
    return true;
}

bool ParsePort(const char* text, int* port) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 65535) return false;
    *port = static_cast<int>(v);
    return true;
}

// Returns 0 on success, 2 with a message on a bad command line.
int ParseArgs(int argc, char** argv, Settings* s) {
    bool interfaces_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto need = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zelsim: %s needs %s\n", a.c_str(), what);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (a == "--address") {
            if (!(v = need("an address"))) return 2;
            s->address = v;
        } else if (a == "--http-port" || a == "--https-port") {
            if (!(v = need("a port"))) return 2;
            int port = 0;
            if (!ParsePort(v, &port)) {
                std::fprintf(stderr, "zelsim: bad port '%s'\n", v);
                return 2;
            }
            (a == "--http-port" ? s->http_port : s->https_port) = port;
        } else if (a == "--cert") {
            if (!(v = need("a file"))) return 2;
            s->cert = v;
        } else if (a == "--key") {
            if (!(v = need("a file"))) return 2;
            s->key = v;
        } else if (a == "--poll-host") {
            if (!(v = need("a host"))) return 2;
            s->poll_host = v;
        } else if (a == "--poll-secure") {
            if (!(v = need("Y or N"))) return 2;
            s->poll_secure = (v[0] == 'Y' || v[0] == 'y' || v[0] == '1');
        } else if (a == "--extra-server") {
            if (!(v = need("a name"))) return 2;
            s->extra_servers.push_back(v);
        } else if (a == "--interface") {
            if (!(v = need("NAME=VALUE"))) return 2;
            std::string name, value;
            if (!SplitAt(v, '=', &name, &value) || name.empty()) {
                std::fprintf(stderr, "zelsim: bad interface '%s'\n", v);
                return 2;
            }
            if (!interfaces_given) s->interfaces.clear();
            interfaces_given = true;
            s->interfaces.emplace_back(name, value);
        } else if (a == "--omit-qurl") {
            s->omit_qurl = true;
        } else if (a == "--document") {
            if (!(v = need("PATH=FILE"))) return 2;
            std::string path, file;
            if (!SplitAt(v, '=', &path, &file) || path.empty() || file.empty()) {
                std::fprintf(stderr, "zelsim: bad document '%s'\n", v);
                return 2;
            }
            s->documents[path] = file;
        } else if (a == "--fault") {
            if (!(v = need("PATH=CODE[xN]"))) return 2;
            std::string path, spec;
            Fault f;
            char extra = 0;
            if (!SplitAt(v, '=', &path, &spec) || path.empty() ||
                std::sscanf(spec.c_str(), "%dx%d%c", &f.status, &f.remaining, &extra) < 1 ||
                extra != 0 || f.status < 100 || f.status > 599 || f.remaining < 0) {
                std::fprintf(stderr, "zelsim: bad fault '%s'\n", v);
                return 2;
            }
            s->faults[path] = f;
        } else if (a == "--ready-file") {
            if (!(v = need("a file"))) return 2;
            s->ready_file = v;
        } else if (a == "--request-log") {
            if (!(v = need("a file"))) return 2;
            s->request_log = v;
        } else {
            std::fprintf(stderr, "zelsim: unknown option '%s' (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (s->https_port >= 0 && (s->cert.empty() || s->key.empty())) {
        std::fprintf(stderr, "zelsim: --https-port needs --cert and --key\n");
        return 2;
    }
    if (s->poll_host.empty()) s->poll_host = s->address;
    return 0;
}

// The central side's documents, built from the settings and the bound ports.
class Documents {
  public:
    Documents(const Settings& s, int http_port, int https_port)
        : s_(s), http_port_(http_port), https_port_(https_port) {}

    bool PollSecure() const { return s_.poll_secure.value_or(https_port_ > 0); }

    std::string ServerList() const {
        const bool secure = PollSecure();
        const int port = secure ? https_port_ : http_port_;
        std::ostringstream o;
        o << "<?xml version=\"1.0\"?>\r\n"
          << "<m:RetrieveServerInformationResponse xmlns:m=\"urn:qvgqa\">\r\n<m:Results>\r\n";
        o << Record("IPOLL", s_.poll_host + ":" + std::to_string(port), kSystemInfoPath, secure);
        for (const auto& name : s_.extra_servers)
            o << Record(name, s_.address + ":" + std::to_string(http_port_), kSystemInfoPath,
                        false);
        o << "</m:Results>\r\n</m:RetrieveServerInformationResponse>\r\n";
        return o.str();
    }

    std::string SystemInfo() const {
        std::ostringstream o;
        o << "<?xml version=\"1.0\"?>\r\n<SystemInformation>\r\n";
        for (const auto& [name, value] : s_.interfaces)
            o << "<" << name << ">" << value << "</" << name << ">\r\n";
        if (!s_.omit_qurl) o << "<QURL>" << kQueryListPath << "</QURL>\r\n";
        o << "</SystemInformation>\r\n";
        return o.str();
    }

    std::string QueryList() const {
        const char* flag = PollSecure() ? "Y" : "N";
        std::ostringstream o;
        o << "<?xml version=\"1.0\"?>\r\n"
          << "<m:RetrieveQueryInformationResponse xmlns:m=\"urn:qvgqa\">\r\n<m:Results>\r\n";
        for (const char* op : kOperations)
            o << "<R><QN>" << op << "</QN><QV>001</QV><QURL>" << kQueryBase << op << "</QURL><SSLP>"
              << flag << "</SSLP><SSLR>" << flag << "</SSLR></R>\r\n";
        o << "</m:Results>\r\n</m:RetrieveQueryInformationResponse>\r\n";
        return o.str();
    }

  private:
    static std::string Record(const std::string& name, const std::string& address,
                              const std::string& url, bool secure) {
        const char* flag = secure ? "Y" : "N";
        return "<R><SRVI>" + name + "</SRVI><SRVV>001</SRVV><SRVIP>" + address + "</SRVIP><SURL>" +
               url + "</SURL><SSLR>" + flag + "</SSLR><SSLP>" + flag + "</SSLP></R>\r\n";
    }

    const Settings& s_;
    int http_port_;
    int https_port_;
};

class Simulator {
  public:
    explicit Simulator(Settings s) : s_(std::move(s)) {}

    // Registers the routes on a server.  Documents are built per request from
    // the final ports, so both servers answer alike.
    void Install(httplib::Server& server) {
        server.set_keep_alive_max_count(100);
        auto handler = [this](const httplib::Request& req, httplib::Response& res) {
            Handle(req, res);
        };
        server.Get(".*", handler);
        server.Post(".*", handler);
        server.Put(".*", handler);
        server.Delete(".*", handler);
    }

    void SetPorts(int http_port, int https_port) {
        http_port_ = http_port;
        https_port_ = https_port;
    }

  private:
    // Answers a request and logs it before the answer goes out, so a client
    // that has its answer always finds its request in the log.
    void Handle(const httplib::Request& req, httplib::Response& res) {
        Answer(req, res);
        LogRequest(req, res);
    }

    void Answer(const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = s_.faults.find(req.path);
            if (it != s_.faults.end() && it->second.remaining > 0) {
                --it->second.remaining;
                res.status = it->second.status;
                res.set_content("simulated fault\r\n", "text/plain");
                return;
            }
        }
        auto doc = s_.documents.find(req.path);
        if (doc != s_.documents.end()) {
            std::ifstream in(doc->second, std::ios::binary);
            if (!in) {
                res.status = 500;
                res.set_content("document file missing\r\n", "text/plain");
                return;
            }
            std::ostringstream body;
            body << in.rdbuf();
            res.set_content(body.str(), "text/xml");
            return;
        }
        Documents docs(s_, http_port_, https_port_);
        if (req.path == kServerListPath) {
            res.set_content(docs.ServerList(), "text/xml");
        } else if (req.path == kSystemInfoPath) {
            res.set_content(docs.SystemInfo(), "text/xml");
        } else if (req.path == kQueryListPath) {
            res.set_content(docs.QueryList(), "text/xml");
        } else {
            res.status = 404;
            res.set_content("not found\r\n", "text/plain");
        }
    }

    void LogRequest(const httplib::Request& req, const httplib::Response& res) {
        if (s_.request_log.empty()) return;
        std::lock_guard<std::mutex> lock(mu_);
        std::ofstream out(s_.request_log, std::ios::app);
        // The library fills in 200 only after the handler when no status was set.
        out << req.method << " " << req.target << " " << (res.status == -1 ? 200 : res.status)
            << "\n";
    }

    Settings s_;
    std::mutex mu_;
    std::atomic<int> http_port_{0};
    std::atomic<int> https_port_{-1};
};

bool WriteReadyFile(const std::string& path, int http_port, int https_port) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << "http_port=" << http_port << "\nhttps_port=" << https_port << "\n";
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

int Bind(httplib::Server& server, const std::string& address, int port) {
    if (port == 0) return server.bind_to_any_port(address);
    return server.bind_to_port(address, port) ? port : -1;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (int rc = ParseArgs(argc, argv, &settings)) return rc;

    // Block the stop signals before any server thread starts, so only the
    // main thread's sigwait receives them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const std::string address = settings.address;
    const int want_http = settings.http_port;
    const int want_https = settings.https_port;
    const std::string cert = settings.cert, key = settings.key;
    const std::string ready_file = settings.ready_file;
    Simulator sim(std::move(settings));

    httplib::Server http;
    sim.Install(http);
    int http_port = Bind(http, address, want_http);
    if (http_port <= 0) {
        std::fprintf(stderr, "zelsim: cannot listen on %s:%d\n", address.c_str(), want_http);
        return 1;
    }

    std::unique_ptr<httplib::SSLServer> https;
    int https_port = -1;
    if (want_https >= 0) {
        https = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
        if (!https->is_valid()) {
            std::fprintf(stderr, "zelsim: cannot load certificate '%s' or key '%s'\n", cert.c_str(),
                         key.c_str());
            return 1;
        }
        sim.Install(*https);
        https_port = Bind(*https, address, want_https);
        if (https_port <= 0) {
            std::fprintf(stderr, "zelsim: cannot listen on %s:%d\n", address.c_str(), want_https);
            return 1;
        }
    }
    sim.SetPorts(http_port, https_port);

    std::thread http_thread([&] { http.listen_after_bind(); });
    std::thread https_thread;
    if (https) https_thread = std::thread([&] { https->listen_after_bind(); });

    std::printf("zelsim: listening on http://%s:%d", address.c_str(), http_port);
    if (https) std::printf(" and https://%s:%d", address.c_str(), https_port);
    std::printf("\n");
    std::fflush(stdout);
    int rc = 0;
    if (!ready_file.empty() && !WriteReadyFile(ready_file, http_port, https_port)) {
        std::fprintf(stderr, "zelsim: cannot write ready file '%s'\n", ready_file.c_str());
        rc = 1;
    } else {
        int sig = 0;
        sigwait(&stop, &sig);
    }

    http.stop();
    if (https) https->stop();
    http_thread.join();
    if (https_thread.joinable()) https_thread.join();
    std::printf("zelsim: stopped\n");
    return rc;
}
