// Shared fixtures of the support tests: a scratch directory per test and a
// sink that records what the routines report.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/report.h"
#include "tests/common/scratch.h"

namespace zel::test {

using ScratchDir = zel::test::ScratchDir;

// Installs itself as the thread's report sink for its lifetime and keeps
// every report.
class RecordingSink : public CReportSink {
  public:
    struct Entry {
        HRESULT code;
        std::string context;
        unsigned id;
    };
    RecordingSink() : previous_(GetCurrentReportSink()) { SetCurrentReportSink(this); }
    ~RecordingSink() override { SetCurrentReportSink(previous_); }
    bool ReportSupportCode(HRESULT code, const char* context, unsigned id) override {
        entries.push_back({code, context != nullptr ? context : "", id});
        return true;
    }
    std::vector<Entry> entries;

  private:
    CReportSink* previous_;
};

}  // namespace zel::test
