// Shared scaffolding of the connection tool's tests: a scratch system root,
// no proxy variables from the environment, the keys the tool reads and
// writes cleared before and after each case (on Windows the registry is the
// wine prefix's, shared by every case), a user interface that records every
// box and answers from a script, and registry helpers for those keys.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "connection_tool/utility.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "tests/common/registry_seed.h"
#include "tests/common/scratch.h"

namespace zel::test::connection_tool {

// One message box as the tool showed it.
struct Box {
    std::string caption;
    std::string text;
    bool question = false;
};

class RecordingUi : public zel::conn::UserInterface {
  public:
    void ShowMessage(const std::string& text, const std::string& caption) override {
        boxes.push_back({caption, text, false});
    }
    void ShowNote(const std::string& text) override { notes.push_back(text); }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        boxes.push_back({caption, text, true});
        if (answers.empty()) return false;
        const bool yes = answers.front();
        answers.pop_front();
        return yes;
    }
    std::vector<Box> boxes;
    std::vector<std::string> notes;
    std::deque<bool> answers;
};

class ToolTest : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        for (const char* v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                              "no_proxy", "NO_PROXY"})
            ::unsetenv(v);
        // The service's environment file: none unless a test writes it.
        ::setenv("ZEL_DEFAULTS_FILE", Path("zelway.default").c_str(), 1);
        ClearToolKeys();
    }
    void TearDown() override {
        ClearToolKeys();
        ScratchRoot::TearDown();
    }

    // The system key and the proxy values of both Internet settings.
    static void ClearToolKeys() {
        (void)zel::reg::DeleteTree(zel::reg::Hive::LocalMachine, zel::conn::kSystemKey);
        for (zel::reg::Hive hive : {zel::reg::Hive::LocalMachine, zel::reg::Hive::CurrentUser}) {
            zel::reg::Key key;
            if (zel::reg::OpenKey(hive, zel::conn::kInternetSettingsUser, &key) !=
                zel::reg::kSuccess)
                continue;
            for (const char* name : {"ProxyEnable", "ProxyServer"})
                (void)zel::reg::DeleteValue(key, name);
        }
    }

    // A system-key value, or -1 when it is missing.
    static long long SystemDword(const char* name) {
        zel::reg::Key key;
        std::uint32_t v = 0;
        if (zel::reg::OpenKey(zel::reg::Hive::LocalMachine, zel::conn::kSystemKey, &key) !=
                zel::reg::kSuccess ||
            zel::reg::QueryDword(key, name, &v) != zel::reg::kSuccess)
            return -1;
        return v;
    }
    // The user's browser proxy settings.
    static void UserProxy(std::uint32_t enable, const std::string& server) {
        SeedValue(zel::conn::kInternetSettingsUser, "ProxyEnable", enable,
                  zel::reg::Hive::CurrentUser);
        SeedValue(zel::conn::kInternetSettingsUser, "ProxyServer", server,
                  zel::reg::Hive::CurrentUser);
    }

    std::string Response() const { return ReadFile(Path("response.txt")); }

    // ISERVER.XML in the install directory naming the entry point address.
    static void WriteEntryPoint(const std::string& address) {
        std::filesystem::create_directories(zel::paths::CommDir());
        WriteFile(zel::paths::Join(zel::paths::CommDir(), "ISERVER.XML"),
                  "<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>" + address +
                      "</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL>"
                      "<SSLR>N</SSLR><SSLP>N</SSLP></R></XML>");
    }

    EnvRestore http_proxy_env_{"http_proxy"};
    EnvRestore https_proxy_env_{"https_proxy"};
    EnvRestore no_proxy_env_{"no_proxy"};
    EnvRestore defaults_env_{"ZEL_DEFAULTS_FILE"};
};

}  // namespace zel::test::connection_tool
