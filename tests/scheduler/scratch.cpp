// Test helpers for the schedule service suites (see scratch.h).
#include "scratch.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace crontest {

void ScratchRoot::SetUp() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelcron.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    comm_ = root_ + "/Apps/QVIS/PROG/COMM";
    cmn_ = root_ + "/Apps/QVIS/PROG/CMN";
    units_ = root_ + "/units";
    std::filesystem::create_directories(comm_);
    std::filesystem::create_directories(cmn_);
    std::filesystem::create_directories(units_);
    Set("QVIS_ROOT", root_.c_str());
    Set("ZEL_UNIT_DIR", units_.c_str());
    Set("ZEL_SYSTEMCTL", "");
    Set("NOTIFY_SOCKET", nullptr);
    Set("ZEL_CRON_FIRST_TICK_MS", nullptr);
}

void ScratchRoot::TearDown() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->had)
            ::setenv(it->name.c_str(), it->value.c_str(), 1);
        else
            ::unsetenv(it->name.c_str());
    }
    saved_.clear();
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

void ScratchRoot::Set(const char* name, const char* value) {
    Saved s;
    s.name = name;
    if (const char* old = ::getenv(name)) {
        s.had = true;
        s.value = old;
    }
    saved_.push_back(s);
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

void WriteFile(const std::string& path, const std::string& text, bool executable) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    if (executable) ::chmod(path.c_str(), 0755);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool WaitUntil(const std::function<bool()>& pred, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int WaitChild(pid_t pid, int timeout_ms) {
    int status = 0;
    bool done = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    if (done) return status;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

}  // namespace crontest
