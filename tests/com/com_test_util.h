// Helpers of the runtime's tests: a fixture with a scratch system root whose
// thread is in the object model, registry shortcuts, and running a program
// with its output and exit status.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "platform/com/com.h"
#include "platform/registry.h"
#include "tests/common/scratch.h"

namespace zel::test {

class ComRoot : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    }
    void TearDown() override {
        // Nothing of one test may stay loaded into the next.
        CoFreeAllLibraries();
        CoUninitialize();
        ScratchRoot::TearDown();
    }

    // Writes HKCR\CLSID\{clsid}\InprocServer32 = path by hand.
    static void RegisterPath(REFCLSID clsid, const std::string& path) {
        zel::reg::Key key;
        ASSERT_EQ(
            zel::reg::CreateKey(zel::reg::Hive::ClassesRoot,
                                "CLSID\\" + zel::com::GuidToString(clsid) + "\\InprocServer32",
                                &key, nullptr),
            zel::reg::kSuccess);
        ASSERT_EQ(zel::reg::SetString(key, "", path), zel::reg::kSuccess);
    }

    // The default value of an HKCR key, or "<missing>".
    static std::string DefaultValue(const std::string& subkey, const std::string& name = "") {
        zel::reg::Key key;
        std::string value;
        if (zel::reg::OpenKey(zel::reg::Hive::ClassesRoot, subkey, &key) != zel::reg::kSuccess ||
            zel::reg::QueryString(key, name, &value) != zel::reg::kSuccess)
            return "<missing>";
        return value;
    }
};

struct RunResult {
    int exit_code = -1;
    std::string output;  // standard output and standard error together
};

// Runs a shell command line (bounded by the programs it names, which all end
// by themselves) and collects what it prints.
inline RunResult Run(const std::string& command) {
    RunResult r;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.output.append(buf, n);
    const int status = ::pclose(pipe);
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    return r;
}

}  // namespace zel::test
