// Test helpers for the schedule service suites: a scratch system root per
// test, small file helpers and bounded waits.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace crontest {

// A fresh mkdtemp directory set as QVIS_ROOT, with the COMM and CMN
// directories and a unit directory; ZEL_UNIT_DIR points at the latter and
// ZEL_SYSTEMCTL is empty, so no test ever talks to the real systemd.  Every
// variable is restored and the tree removed afterwards.
class ScratchRoot : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string root_;
    std::string comm_;
    std::string cmn_;
    std::string units_;

    // Sets (value) or unsets (nullptr) an environment variable until TearDown.
    void Set(const char* name, const char* value);

  private:
    struct Saved {
        std::string name;
        bool had = false;
        std::string value;
    };
    std::vector<Saved> saved_;
};

void WriteFile(const std::string& path, const std::string& text, bool executable = false);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// Polls pred every 20 ms for at most timeout_ms; true once it holds.
bool WaitUntil(const std::function<bool()>& pred, int timeout_ms);

// Waits at most timeout_ms for the child; kills it when it does not end.
// Returns the waitpid status, or -1 after a kill.
int WaitChild(pid_t pid, int timeout_ms);

}  // namespace crontest
