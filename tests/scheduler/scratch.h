// Test helpers for the schedule service suites: a scratch system root per
// test, small file helpers and bounded waits.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>

namespace crontest {

// A fresh mkdtemp directory as QVIS_ROOT with the COMM, CMN and unit
// directories.  ZEL_UNIT_DIR points at the unit directory and ZEL_SYSTEMCTL
// is empty, so no test talks to the real systemd.  Removed afterwards.
class ScratchRoot : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string root_, comm_, cmn_, units_;
};

void WriteFile(const std::string& path, const std::string& text, bool executable = false);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Polls pred every 20 ms for at most timeout_ms; true once it holds.
bool WaitUntil(const std::function<bool()>& pred, int timeout_ms);
// Waits at most timeout_ms for the child, else kills it and returns -1;
// otherwise the waitpid status.
int WaitChild(pid_t pid, int timeout_ms);

}  // namespace crontest
