// The support tests' own helper: a report sink that records what the
// routines report.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/report_sink.h"
#include "tests/common/scratch.h"

namespace zel::test::support {

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

}  // namespace zel::test::support
