// Test helpers for the schedule service suites: a scratch system root per
// test, small file helpers and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/common/scratch.h"

namespace zel::test::scheduler {

// A fresh mkdtemp directory as QVIS_ROOT with the COMM, CMN and unit
// directories.  ZEL_UNIT_DIR points at the unit directory, ZEL_VENDOR_UNIT_DIR
// at an empty stand-in for a package's unit directory, and ZEL_SYSTEMCTL is
// empty, so no test talks to the real systemd.  Removed afterwards.
class ScratchRoot : public zel::test::ScratchRoot {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string root_, comm_, cmn_, units_, vendor_units_;
};

using zel::test::FileExists;
using zel::test::ReadFile;
using zel::test::WaitUntil;
using zel::test::WriteFile;

}  // namespace zel::test::scheduler
