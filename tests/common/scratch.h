// Scaffolding shared by every test suite: a scratch directory per test that
// stands for the system root (QVIS_ROOT) and the temporary directory
// (TMPDIR), small whole-file helpers, bounded waits, and the location of
// programs built in the test tree.  Header-only; everything a fixture creates
// is removed when the test ends, and the environment is restored.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/paths.h"

namespace zel::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes (write bits are restored first so a
// test that made something read-only cannot leave it behind).
class ScratchDir {
  public:
    explicit ScratchDir(const char* prefix = "zeltest") {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + ".XXXXXX")).string();
        if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    }
    ~ScratchDir() {
        if (path_.empty()) return;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Restores one environment variable to what it was when constructed.
class EnvRestore {
  public:
    explicit EnvRestore(const char* name) : name_(name) {
        if (const char* v = ::getenv(name)) old_ = v;
    }
    ~EnvRestore() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    EnvRestore(const EnvRestore&) = delete;
    EnvRestore& operator=(const EnvRestore&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

inline void WriteFile(const std::string& path, const std::string& bytes, bool executable = false) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    if (executable) ::chmod(path.c_str(), 0755);
}

inline std::string ReadFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

inline bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Fixture: a scratch system root with its own temporary directory below it
// and the install directory (COMM) made.
class ScratchRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty()) << "mkdtemp failed";
        dir_ = scratch_.path();
        std::filesystem::create_directories(dir_ + "/tmp");
        ::setenv("QVIS_ROOT", dir_.c_str(), 1);
        ::setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
        std::filesystem::create_directories(zel::paths::CommDir());
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string CommPath(const std::string& name) const {
        return zel::paths::Join(zel::paths::CommDir(), name);
    }

    static void WriteFile(const std::string& path, const std::string& bytes,
                          bool executable = false) {
        zel::test::WriteFile(path, bytes, executable);
    }
    static std::string ReadFile(const std::string& path) { return zel::test::ReadFile(path); }
    static bool FileExists(const std::string& path) { return zel::test::FileExists(path); }

    std::string dir_;

  private:
    // Declared before the scratch directory so that the environment still
    // names it while it is removed, and is restored afterwards.
    EnvRestore root_env_{"QVIS_ROOT"};
    EnvRestore tmp_env_{"TMPDIR"};
    ScratchDir scratch_;
};

// Polls pred every 20 ms for at most timeout_ms; true once it holds.
inline bool WaitUntil(const std::function<bool()>& pred, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Sets the file's modification time seconds_ago seconds into the past.
inline void Age(const std::string& path, long seconds_ago) {
    struct timeval times[2];
    ::gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= seconds_ago;
    times[1] = times[0];
    ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

// Seconds since the file was last modified; -1 when it does not exist.
inline long AgeOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long>(::time(nullptr) - st.st_mtime);
}

// True while thread tid of this process sleeps (state S in /proc): it is
// blocked in a wait, not running and not merely still to be scheduled.
// Lets a test act once another thread is really waiting, with no guess at
// how long that takes.
inline bool ThreadSleeping(pid_t tid) {
    const std::string stat = ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::size_t end = stat.rfind(')');  // the name in parentheses may hold anything
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

// A program built in the test tree, such as "tools/qvreg".
inline std::string BuildPath(const std::string& relative) {
    const char* build = ::getenv("ZEL_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/" + relative;
}

}  // namespace zel::test
