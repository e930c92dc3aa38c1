// Test helpers for the schedule service suites (see scratch.h).
#include "scratch.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace crontest {

namespace {
constexpr const char* kVariables[] = {"QVIS_ROOT", "ZEL_UNIT_DIR", "ZEL_SYSTEMCTL", "NOTIFY_SOCKET",
                                      "ZEL_CRON_FIRST_TICK_MS"};
}

void ScratchRoot::SetUp() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelcron.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    comm_ = root_ + "/Apps/QVIS/PROG/COMM";
    cmn_ = root_ + "/Apps/QVIS/PROG/CMN";
    units_ = root_ + "/units";
    for (const std::string& dir : {comm_, cmn_, units_}) std::filesystem::create_directories(dir);
    for (const char* name : kVariables) ::unsetenv(name);
    ::setenv("QVIS_ROOT", root_.c_str(), 1);
    ::setenv("ZEL_UNIT_DIR", units_.c_str(), 1);
    ::setenv("ZEL_SYSTEMCTL", "", 1);
}

void ScratchRoot::TearDown() {
    for (const char* name : kVariables) ::unsetenv(name);
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

void WriteFile(const std::string& path, const std::string& text, bool executable) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    if (executable) ::chmod(path.c_str(), 0755);
}

std::string ReadFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool WaitUntil(const std::function<bool()>& pred, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int WaitChild(pid_t pid, int timeout_ms) {
    int status = 0;
    if (WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms))
        return status;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

}  // namespace crontest
