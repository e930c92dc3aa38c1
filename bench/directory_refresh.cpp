// bench_directory_refresh: times the first hop of a directory refresh (the
// server list) for a list of N distinct versions of server POLL, and checks
// that all of them were stored.
//
//   bench_directory_refresh [--versions N] [--keep]
//
// Runs in a scratch system root made below TMPDIR (removed at the end unless
// --keep): the list is served from "RetrieveServerInformation.xml" in the
// install directory, so no request leaves the process and only the scanning
// and the registry writes are measured.  Prints one line with the time; exit
// status 0 when every version was stored, 1 otherwise.  Owns nothing beyond
// its run.
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "directory/central.h"
#include "directory/server_directory.h"
#include "log/event_log.h"
#include "platform/paths.h"
#include "support/files.h"
#include "support/strings.h"

namespace {

std::string ServerList(long versions) {
    std::string doc = "<m:Results>\r\n";
    for (long v = 1; v <= versions; ++v) {
        const std::string version = std::to_string(1000 + v).substr(1);
        doc += "<R><SRVI>IPOLL</SRVI><SRVV>" + version + "</SRVV><SRVIP>10.0." +
               std::to_string(v / 250) + "." + std::to_string(v % 250) +
               ":8443</SRVIP><SURL>/qvgqa/RetrieveSystemInformation.xml</SURL>"
               "<SSLR>Y</SSLR><SSLP>Y</SSLP></R>\r\n";
    }
    return doc + "</m:Results>\r\n";
}

int Run(long versions, const std::string& root) {
    ::setenv("QVIS_ROOT", root.c_str(), 1);
    CStringHolder install;
    if (FAILED(CheckDirectory(zel::paths::CommDir().c_str(), install.Out()))) {
        std::fprintf(stderr, "bench: cannot create %s\n", zel::paths::CommDir().c_str());
        return 1;
    }
    const std::string list_file = zel::paths::Join(install.get(), "RetrieveServerInformation.xml");
    if (FAILED(WriteStringToFile(list_file.c_str(), ServerList(versions).c_str()))) {
        std::fprintf(stderr, "bench: cannot write %s\n", list_file.c_str());
        return 1;
    }
    CEventLog log;
    if (!log.Open(zel::paths::Join(root, "bench.log").c_str(), false)) return 1;
    SetCurrentLog(&log);

    // The entry point is never contacted: the list file stands in for it.
    const char* description =
        "<SRVIP>127.0.0.1:9</SRVIP><SURL>/qvgqa/RetrieveServerInformation.xml</SURL>"
        "<SSLR>N</SSLR>";
    HRESULT hr = S_OK;
    const auto start = std::chrono::steady_clock::now();
    {
        CQVReg reg(&log);
        hr = RegisterPollNames(&reg);
        if (SUCCEEDED(hr)) hr = reg.LoadInfoFromReg();
        if (SUCCEEDED(hr)) hr = reg.UpdateRegWithServerInfoFromServer(description);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    std::int32_t stored = 0;
    CQVReg check(&log);
    if (SUCCEEDED(check.LoadInfoFromReg())) {
        CQVReg::CServerInfo* info = nullptr;
        if (SUCCEEDED(check.GetServerInfoByName("POLL", false, &info))) {
            (void)info->GetCount(&stored);
        }
    }
    SetCurrentLog(nullptr);
    std::printf("server list of %ld versions: refresh %.3f s, status 0x%08X, %d versions stored\n",
                versions, took.count(), static_cast<unsigned>(hr), stored);
    return SUCCEEDED(hr) && stored == versions ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    long versions = 400;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--versions") == 0 && i + 1 < argc) {
            char* end = nullptr;
            versions = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || versions < 1 || versions > 999) {
                std::fprintf(stderr, "bench: --versions takes 1 to 999\n");
                return 1;
            }
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: bench_directory_refresh [--versions N] [--keep]\n");
            return 1;
        }
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zel-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "bench: cannot make a scratch directory\n");
        return 1;
    }
    const int rc = Run(versions, pattern);
    if (keep) {
        std::printf("scratch root kept: %s\n", pattern.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(pattern, ignored);
    }
    return rc;
}
