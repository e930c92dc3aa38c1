// The registry store shared by several real processes.
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

// Runs reg_writer with args to its end; true when it succeeded.
bool RunWriter(const std::string& dir, const std::vector<std::string>& args) {
    const std::string err = dir + "/writer.err";
    pid_t pid = zel::test::Spawn(kWriter, args, "", err);
    const int status = pid > 0 ? zel::test::Wait(pid) : -1;
    if (status != 0) ADD_FAILURE() << zel::test::ReadFile(err);
    return status == 0;
}

// Reads repeated in one process are answered from memory while the store is
// unchanged; a change by another process, or by this one, shows in the very
// next read, inside a read batch as outside one.
TEST_F(RegistryProcesses, RepeatedReadsSeeEveryChangeAtOnce) {
    reg::Key key;
    reg::Key sub;
    ASSERT_EQ(reg::CreateKey(reg::Hive::LocalMachine, "SOFTWARE\\Memo", &key, nullptr),
              reg::kSuccess);
    ASSERT_EQ(reg::CreateKey(key, "A", &sub, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "v", "one"), reg::kSuccess);
    std::string text;
    for (int i = 0; i < 3; ++i) {
        reg::ReadBatch batch;
        ASSERT_EQ(reg::QueryString(key, "v", &text), reg::kSuccess);
        EXPECT_EQ(text, "one");
        ASSERT_EQ(reg::EnumKey(key, 0, &text), reg::kSuccess);
        EXPECT_EQ(text, "A");
    }

    ASSERT_TRUE(RunWriter(dir_, {"set", "SOFTWARE\\Memo", "v", "two"}));
    ASSERT_EQ(reg::QueryString(key, "v", &text), reg::kSuccess);
    EXPECT_EQ(text, "two");
    ASSERT_TRUE(RunWriter(dir_, {"set", "SOFTWARE\\Memo", "v", "three"}));
    {
        reg::ReadBatch batch;
        ASSERT_EQ(reg::QueryString(key, "v", &text), reg::kSuccess);
        EXPECT_EQ(text, "three");
        // This process's own write, inside the batch.
        ASSERT_EQ(reg::SetString(key, "v", "four"), reg::kSuccess);
        ASSERT_EQ(reg::QueryString(key, "v", &text), reg::kSuccess);
        EXPECT_EQ(text, "four");
    }
    {
        reg::Transaction tx;
        ASSERT_EQ(tx.Begin(), reg::kSuccess);
        ASSERT_EQ(reg::SetString(key, "v", "five"), reg::kSuccess);
        tx.Rollback();
    }
    ASSERT_EQ(reg::QueryString(key, "v", &text), reg::kSuccess);
    EXPECT_EQ(text, "four");

    // A key deleted elsewhere is gone for every kind of read.
    reg::Key opened;
    ASSERT_EQ(reg::OpenKey(reg::Hive::LocalMachine, "SOFTWARE\\Memo\\A", &opened), reg::kSuccess);
    ASSERT_EQ(reg::SetString(sub, "w", "x"), reg::kSuccess);
    ASSERT_EQ(reg::QueryString(sub, "w", &text), reg::kSuccess);
    ASSERT_TRUE(RunWriter(dir_, {"delete", "SOFTWARE\\Memo\\A"}));
    EXPECT_EQ(reg::OpenKey(reg::Hive::LocalMachine, "SOFTWARE\\Memo\\A", &opened), reg::kNotFound);
    EXPECT_EQ(reg::EnumKey(key, 0, &text), reg::kNoMoreItems);
    EXPECT_EQ(reg::QueryString(sub, "w", &text), reg::kNotFound);
    // And made again there, it is found again.
    ASSERT_TRUE(RunWriter(dir_, {"set", "SOFTWARE\\Memo\\A", "w", "y"}));
    ASSERT_EQ(reg::OpenKey(key, "A", &opened), reg::kSuccess);
    ASSERT_EQ(reg::QueryString(opened, "w", &text), reg::kSuccess);
    EXPECT_EQ(text, "y");
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
