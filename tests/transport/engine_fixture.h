// Shared set-up of the request engine suites: a scratch system root (so the
// registry and ferrun.conf are the test's own), an event log file with debug
// messages on, and helpers to run one exchange against a loopback server.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "log/event_log.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "support/result_codes.h"
#include "tests/common/registry_seed.h"
#include "tests/common/scratch.h"
#include "tests/common/test_server.h"
#include "transport/internet_access.h"

namespace zel::test::transport {

class EngineTest : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        std::filesystem::create_directories(zel::paths::CommDir());
        log_ = std::make_unique<CEventLog>();
        ASSERT_TRUE(log_->Open(Path("client.log").c_str(), false));
        log_->SetDebugMessages(true);
        ::unsetenv("SSL_CERT_FILE");
        ::unsetenv("SSL_CERT_DIR");
        for (const char* v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY",
                              "all_proxy", "ALL_PROXY"})
            ::unsetenv(v);
        // The response switches start from their default (the registry is
        // the scratch root's on Linux, the one of the wine prefix on Windows).
        ClearResponses();
    }
    void TearDown() override {
        ClearResponses();
        log_.reset();
        ScratchRoot::TearDown();
    }

    // An engine initialised for direct access, aimed at server.
    std::unique_ptr<CInternetAccess> Engine(const TestServer& server, const char* resource = "/",
                                            std::int32_t access = 1, const char* proxy = nullptr) {
        auto e = std::make_unique<CInternetAccess>(log_.get());
        EXPECT_EQ(e->Initialize("Poll", access, proxy, nullptr), S_OK);
        EXPECT_EQ(e->SetServer(server.address().c_str()), S_OK);
        EXPECT_EQ(e->SetPort(server.port()), S_OK);
        EXPECT_EQ(e->SetResource(resource), S_OK);
        return e;
    }

    static std::string Body(CInternetAccess& e) {
        CInternetAccess::CContentStream* s = nullptr;
        EXPECT_EQ(e.GetRespContent(&s), S_OK);
        CStringHolder text;
        EXPECT_EQ(GetStringFromByteStream(s, false, text.Out()), S_OK);
        return text.c_str();
    }

    std::string LogText() { return ReadFile(Path("client.log")); }

    // The last system errors the engine logged ("GetLastError = [...]" and
    // their texts), for the message of a failed expectation: which failure
    // it was tells a refused connection from a refused certificate.
    std::string LastErrorsLogged() {
        const std::string text = LogText();
        std::string lines[4];
        std::size_t kept = 0;
        std::size_t begin = 0;
        while (begin < text.size()) {
            std::size_t end = text.find('\n', begin);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(begin, end - begin);
            if (line.find("GetLastError = [") != std::string::npos ||
                line.find("Message = [") != std::string::npos)
                lines[kept++ % 4] = line;
            begin = end + 1;
        }
        std::string out;
        for (std::size_t i = kept > 4 ? kept - 4 : 0; i < kept; ++i) out += lines[i % 4] + "\n";
        return out.empty() ? "no system error logged\n" : out;
    }

    void WriteConfig(const std::string& text) {
        WriteFile(zel::paths::Join(zel::paths::CommDir(), "ferrun.conf"), text);
    }

    // The value the engine keeps under the Responses key (named like the key).
    static constexpr const char* kResponsesKey =
        "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Responses";
    static void SetResponses(std::uint32_t value) {
        SeedValue(kResponsesKey, kResponsesKey, value);
    }
    static void ClearResponses() {
        (void)zel::reg::DeleteTree(zel::reg::Hive::LocalMachine, kResponsesKey);
    }

    std::unique_ptr<CEventLog> log_;
};

}  // namespace zel::test::transport
