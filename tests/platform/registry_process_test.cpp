// The registry store shared by several real processes.
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "platform/paths.h"
#include "platform/registry.h"
#include "tests/common/spawn.h"

namespace {

namespace reg = zel::reg;
using RegistryProcesses = zel::test::ScratchRoot;

const std::string kWriter = zel::test::BuildPath("tests/platform/reg_writer");

TEST_F(RegistryProcesses, TwoWritersLoseNoValue) {
    const std::string err_a = dir_ + "/a.err", err_b = dir_ + "/b.err", go = dir_ + "/go";
    pid_t a = zel::test::Spawn(kWriter, {"values", "SOFTWARE\\Race", "a", "500", go}, "", err_a);
    pid_t b = zel::test::Spawn(kWriter, {"values", "software\\race", "b", "500", go}, "", err_b);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    std::ofstream(go).put('x');
    // This process writes too, so that the writers really meet.
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(reg::Hive::LocalMachine, "SOFTWARE\\Race", &key, nullptr),
              reg::kSuccess);
    for (std::uint32_t i = 0; i < 500; ++i)
        EXPECT_EQ(reg::SetDword(key, std::string("c").append(std::to_string(i)), i), reg::kSuccess);
    EXPECT_EQ(zel::test::Wait(a), 0) << zel::test::ReadFile(err_a);
    EXPECT_EQ(zel::test::Wait(b), 0) << zel::test::ReadFile(err_b);

    int found = 0;
    for (const char* prefix : {"a", "b", "c"}) {
        for (std::uint32_t i = 0; i < 500; ++i) {
            std::uint32_t n = 0xdead;
            if (reg::QueryDword(key, std::string(prefix).append(std::to_string(i)), &n) ==
                    reg::kSuccess &&
                n == i)
                ++found;
        }
    }
    EXPECT_EQ(found, 1500);
}

TEST_F(RegistryProcesses, KilledWriterLeavesReadableStore) {
    const std::string err = dir_ + "/churn.err";
    pid_t pid = zel::test::Spawn(kWriter, {"churn", "SOFTWARE\\Churn"}, "", err);
    ASSERT_GT(pid, 0);
    // Let it get well into its writes, then kill it wherever it is.
    std::uint32_t counter = 0;
    reg::Key key;
    for (int i = 0; i < 3000 && counter < 300; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!key.IsOpen() &&
            reg::OpenKey(reg::Hive::LocalMachine, "SOFTWARE\\Churn", &key) != reg::kSuccess)
            continue;
        if (reg::QueryDword(key, "counter", &counter) != reg::kSuccess) counter = 0;
    }
    ASSERT_GE(counter, 300u) << zel::test::ReadFile(err);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    // The file is sound and every committed step is whole: each key up to
    // the last counter has its value.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(zel::paths::RegistryFile().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    sqlite3_close(db);

    ASSERT_EQ(reg::QueryDword(key, "counter", &counter), reg::kSuccess);
    for (std::uint32_t i = 0; i <= counter; ++i) {
        reg::Key sub;
        std::string text;
        ASSERT_EQ(reg::OpenKey(key, std::to_string(i), &sub), reg::kSuccess) << i;
        ASSERT_EQ(reg::QueryString(sub, "data", &text), reg::kSuccess) << i;
        EXPECT_EQ(text, std::string("value ").append(std::to_string(i)));
    }
    EXPECT_EQ(reg::SetDword(key, "after", 1), reg::kSuccess);
}

}  // namespace
