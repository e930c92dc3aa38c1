// zelsim: a central-side simulator for tests, the demo and support staff.
//
// Serves, on a loopback address, what the dealer PC expects of the central
// side: the server list of the entry point, the system information document
// of the transfer server "POLL", its query list, and the four transfer
// operations under /qvgqa/poll/ (the file list, a file, an upload and its
// acknowledgement).  Plain HTTP and HTTPS run side by side in one process;
// the server list advertises "POLL" on the HTTPS port when there is one.
// Faults can be scripted per path, and every request is appended as one line
// to an optional request log before it is answered, so tests can count what
// reached the server.
//
// The program owns its two listening servers and stops both on SIGTERM or
// SIGINT.  It talks to nothing but its own sockets.
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tools/zelsim/options.h"
#include "tools/zelsim/simulator.h"
#include "tools/zelsim/wire.h"

namespace {

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

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Checks what the settings name on disk and loads the users file.  0, or
// the exit status after a message on standard error.
int CheckFiles(const zelsim::Settings& settings, zelsim::Users* users) {
    for (const std::string* dir : {&settings.data_dir, &settings.upload_dir}) {
        if (!dir->empty() && !IsDirectory(*dir)) {
            std::fprintf(stderr, "zelsim: '%s' is not a directory\n", dir->c_str());
            return 2;
        }
    }
    if (!settings.users_file.empty() && !zelsim::LoadUsers(settings.users_file, users)) {
        std::fprintf(stderr, "zelsim: cannot read users file '%s'\n", settings.users_file.c_str());
        return 2;
    }
    if (!settings.users_file.empty() && users->empty()) {
        // An empty users file would otherwise switch authentication off.
        std::fprintf(stderr, "zelsim: users file '%s' names no user\n",
                     settings.users_file.c_str());
        return 2;
    }
    return 0;
}

// Blocks the stop signals before any server thread starts, so only the
// main thread's sigwait receives them.  Returns the set to wait for.
sigset_t BlockStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return stop;
}

// Makes the HTTPS server with the certificate and key and binds it.  The
// bound port, or -1 after a message on standard error.
int ListenHttps(zelsim::Simulator& sim, const std::string& address, int want_https,
                const std::string& cert, const std::string& key,
                std::unique_ptr<httplib::SSLServer>* https) {
    *https = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!(*https)->is_valid()) {
        std::fprintf(stderr, "zelsim: cannot load certificate '%s' or key '%s'\n", cert.c_str(),
                     key.c_str());
        return -1;
    }
    sim.Install(**https);
    const int port = Bind(**https, address, want_https);
    if (port <= 0) {
        std::fprintf(stderr, "zelsim: cannot listen on %s:%d\n", address.c_str(), want_https);
        return -1;
    }
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    zelsim::Settings settings;
    if (int rc = zelsim::ParseArgs(argc, argv, &settings)) return rc == 1 ? 0 : rc;
    zelsim::Users users;
    if (int rc = CheckFiles(settings, &users)) return rc;
    sigset_t stop = BlockStopSignals();

    const std::string address = settings.address;
    const int want_http = settings.http_port;
    const int want_https = settings.https_port;
    const std::string cert = settings.cert, key = settings.key;
    const std::string ready_file = settings.ready_file;
    zelsim::Simulator sim(std::move(settings), std::move(users));

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
        https_port = ListenHttps(sim, address, want_https, cert, key, &https);
        if (https_port <= 0) return 1;
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

    // Stalled requests hold server threads; end them first.
    sim.Stop();
    http.stop();
    if (https) https->stop();
    http_thread.join();
    if (https_thread.joinable()) https_thread.join();
    std::printf("zelsim: stopped\n");
    return rc;
}
