// zeldir: refreshes the server directory from the central side now, or only
// when it is stale, and prints the records the registry then holds.  For
// support staff, the demo and scripts.
//
// Works exactly like the transfer component before a request: the entry
// point comes from "ISERVER.XML" in the install directory (written with the
// built-in description when missing), the records go to the registry store.
// Its log is "zeldir.log" in the install directory unless --log names
// another file.  Exit status 0 on success, 1 on failure, 2 for a bad
// command line.  Owns nothing beyond its run.
#include <getopt.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "directory/central.h"
#include "directory/server_directory.h"
#include "log/event_log.h"
#include "platform/paths.h"
#include "platform/version.h"
#include "support/files.h"

namespace {

constexpr const char* kUsage =
    "usage: zeldir [--if-stale] [--show] [--operation NAME] [--log FILE] [--debug]\n"
    "       zeldir --help | --version\n"
    "Refreshes the server directory from the central side and prints the\n"
    "records stored under HKLM\\SOFTWARE\\Quvaro Information Systems\\QVDataAccess.\n"
    "  --if-stale        refresh only when the cache is missing or a day old\n"
    "                    (as a transfer would), instead of always\n"
    "  --show            do not refresh; print what the registry holds\n"
    "  --operation NAME  operation whose query record the staleness check\n"
    "                    needs (default GetFileListFromQuvaro)\n"
    "  --log FILE        log file (default: zeldir.log in the install directory)\n"
    "  --debug           write trace entries to the log as well\n"
    "  --help            print this text\n"
    "  --version         print the program's version\n"
    "The entry point is named in ISERVER.XML in the install directory.\n"
    "Exit status: 0 on success, 1 when the refresh or the reading failed,\n"
    "2 for a bad command line.\n";

std::string Text(char* owned) {
    CStringHolder h(owned);
    return h.c_str();
}

std::string Time(std::uint32_t t) {
    if (t == 0) return "never";
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    char buf[64];
    if (gmtime_r(&tt, &tm) == nullptr ||
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) {
        return std::to_string(t);
    }
    return std::to_string(t) + " (" + buf + ")";
}

void Print(CQVReg& reg) {
    for (std::int32_t i = 0; i < reg.GetServerInfoCount(); ++i) {
        CQVReg::CServerInfo* info = reg.GetServerInfoAt(i);
        std::int32_t count = 0;
        (void)info->GetCount(&count);
        for (std::int32_t v = 0; v < count; ++v) {
            char* text = nullptr;
            std::int32_t port = 0, secure_port = 0, required = 0, pub = 0;
            std::uint32_t updated = 0;
            (void)info->GetVersion(v, &text);
            std::string version = Text(text);
            (void)info->GetIPAddress(v, &text);
            std::string address = Text(text);
            (void)info->GetSystemInfoLocation(v, &text);
            std::string location = Text(text);
            (void)info->GetPort(v, &port);
            (void)info->GetSecurePort(v, &secure_port);
            (void)info->GetSSLRequired(v, &required);
            (void)info->GetSSLPublic(v, &pub);
            (void)info->GetLastUpdatedTime(v, &updated);
            std::printf(
                "server %s version %s: address %s, port %d, secure port %d, SSL required %s, "
                "SSL public %s, system info %s, last updated %s\n",
                info->Name(), version.c_str(), address.c_str(), port, secure_port,
                required ? "Y" : "N", pub ? "Y" : "N", location.c_str(), Time(updated).c_str());
        }
    }
    for (std::int32_t i = 0; i < reg.GetQueryInfoCount(); ++i) {
        CQVReg::CQueryInfo* info = reg.GetQueryInfoAt(i);
        std::int32_t count = 0;
        (void)info->GetCount(&count);
        for (std::int32_t v = 0; v < count; ++v) {
            char* text = nullptr;
            std::int32_t required = 0, pub = 0;
            (void)info->GetVersion(v, &text);
            std::string version = Text(text);
            (void)info->GetQueryLocation(v, &text);
            std::string location = Text(text);
            (void)info->GetSSLRequired(v, &required);
            (void)info->GetSSLPublic(v, &pub);
            std::printf("query %s version %s: location %s, SSL required %s, SSL public %s\n",
                        info->Name(), version.c_str(), location.c_str(), required ? "Y" : "N",
                        pub ? "Y" : "N");
        }
    }
}

// What the command line asks for.
struct Request {
    bool if_stale = false;
    bool show = false;
    bool debug = false;
    std::string operation = "GetFileListFromQuvaro";
    std::string log_file;
};

// Reads the command line into *req.  -1 to go on, otherwise the exit status
// (after the help, the version or a message on standard error).
int ReadCommandLine(int argc, char** argv, Request* req) {
    static const option kOptions[] = {
        {"if-stale", no_argument, nullptr, 's'},  {"show", no_argument, nullptr, 'S'},
        {"debug", no_argument, nullptr, 'd'},     {"operation", required_argument, nullptr, 'o'},
        {"log", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},   {nullptr, 0, nullptr, 0}};
    opterr = 0;  // the message below names the argument as it was given
    int at = optind;
    for (int c; (c = getopt_long(argc, argv, "+h", kOptions, nullptr)) != -1; at = optind) {
        switch (c) {
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case 'V':
                std::printf("zeldir %s\n", zel::kVersion);
                return 0;
            case 's':
                req->if_stale = true;
                break;
            case 'S':
                req->show = true;
                break;
            case 'd':
                req->debug = true;
                break;
            case 'o':
                req->operation = optarg;
                break;
            case 'l':
                req->log_file = optarg;
                break;
            default:
                std::fprintf(stderr, "zeldir: bad argument '%s'\n%s", argv[at], kUsage);
                return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "zeldir: bad argument '%s'\n%s", argv[optind], kUsage);
        return 1;
    }
    return -1;
}

// Fills reg from the registry (--show), or refreshes the directory first
// (always, or with --if-stale only when it is stale) and says which.
// *refreshed tells whether a refresh was made.
HRESULT LoadDirectory(const Request& req, CQVReg* reg, bool* refreshed) {
    HRESULT hr = S_OK;
    if (req.show) {
        hr = RegisterPollNames(reg);
        if (SUCCEEDED(hr)) hr = reg->LoadInfoFromReg();
        return hr;
    }
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    hr = LoadAndRefreshDirectory(reg, req.operation.c_str(), !req.if_stale, now, refreshed);
    // The outcome is printed once it is known: a failed refresh is
    // reported as a failure only.
    if (SUCCEEDED(hr)) {
        std::printf("zeldir: %s\n", *refreshed ? "refreshed from the central side"
                                               : "cache is fresh, nothing requested");
        // Print what the registry now holds, not what this run happened to learn.
        hr = reg->LoadInfoFromReg();
    }
    return hr;
}

}  // namespace

int main(int argc, char** argv) {
    // "ANSI" text is the locale's encoding: take the user's, not "C", so
    // that names beyond ASCII convert.
    std::setlocale(LC_CTYPE, "");
    Request req;
    if (int rc = ReadCommandLine(argc, argv, &req); rc >= 0) return rc;

    CStringHolder install;
    if (FAILED(CheckDirectory(zel::paths::CommDir().c_str(), install.Out()))) {
        std::fprintf(stderr, "zeldir: cannot create the install directory %s\n",
                     zel::paths::CommDir().c_str());
        return 1;
    }
    std::string log_file = req.log_file;
    if (log_file.empty()) log_file = zel::paths::Join(install.get(), "zeldir.log");
    CEventLog log;
    if (!log.Open(log_file.c_str(), false)) {
        std::fprintf(stderr, "zeldir: cannot open the log file %s\n", log_file.c_str());
        return 1;
    }
    log.SetDebugMessages(req.debug);
    (void)log.SetOperation("zeldir");
    SetCurrentLog(&log);

    CQVReg reg(&log);
    bool refreshed = false;
    const HRESULT hr = LoadDirectory(req, &reg, &refreshed);
    if (FAILED(hr)) {
        std::fflush(stdout);
        std::fprintf(stderr, "zeldir: %s with 0x%08X (details in %s)\n",
                     refreshed ? "refresh failed" : "failed", static_cast<unsigned>(hr),
                     log_file.c_str());
        SetCurrentLog(nullptr);
        return 1;
    }
    Print(reg);
    SetCurrentLog(nullptr);
    return 0;
}
