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

namespace zel::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir() {
        std::string tmpl = std::filesystem::temp_directory_path() / "zelsupXXXXXX";
        if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

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
