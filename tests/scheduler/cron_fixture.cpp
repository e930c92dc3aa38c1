// Test helpers for the schedule service suites (see cron_fixture.h).
#include "tests/scheduler/cron_fixture.h"

#include <stdlib.h>

#include <filesystem>

namespace zel::test::scheduler {

namespace {
// Settings of the service that a test may set; QVIS_ROOT and TMPDIR are the
// shared scratch root's.
constexpr const char* kVariables[] = {"ZEL_UNIT_DIR", "ZEL_VENDOR_UNIT_DIR", "ZEL_SYSTEMCTL",
                                      "NOTIFY_SOCKET", "ZEL_CRON_FIRST_TICK_MS"};
}  // namespace

void ScratchRoot::SetUp() {
    for (const char* name : kVariables) ::unsetenv(name);
    zel::test::ScratchRoot::SetUp();
    if (HasFatalFailure()) return;
    root_ = dir_;
    comm_ = root_ + "/Apps/QVIS/PROG/COMM";
    cmn_ = root_ + "/Apps/QVIS/PROG/CMN";
    units_ = root_ + "/units";
    vendor_units_ = root_ + "/vendor-units";
    for (const std::string& dir : {comm_, cmn_, units_, vendor_units_})
        std::filesystem::create_directories(dir);
    ::setenv("ZEL_UNIT_DIR", units_.c_str(), 1);
    ::setenv("ZEL_VENDOR_UNIT_DIR", vendor_units_.c_str(), 1);
    ::setenv("ZEL_SYSTEMCTL", "", 1);
}

void ScratchRoot::TearDown() {
    for (const char* name : kVariables) ::unsetenv(name);
}

}  // namespace zel::test::scheduler
