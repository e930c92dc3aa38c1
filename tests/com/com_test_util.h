// Helpers of the object model's tests: a fixture with a scratch system root
// whose thread is in the object model, and registry shortcuts.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace zel::test
