// Transactions of the registry store: what another process (the real qvreg)
// sees while one is open, after Commit and after Rollback, and how a failed
// call and nested transactions behave inside one; what a read batch sees of
// its own and other processes' writes.
#include <string>

#include "platform/registry.h"
#include "tests/common/scratch.h"
#include "tests/common/spawn.h"

namespace {

namespace reg = zel::reg;
using reg::Hive;
using RegistryTransaction = zel::test::ScratchRoot;

const std::string kKey = "SOFTWARE\\TxTest";

// Whether another process finds the value (qvreg query exits 0).
bool OtherProcessSees(const std::string& value) {
    pid_t pid = zel::test::Spawn(zel::test::BuildPath("tools/qvreg"),
                                 {"query", "HKLM\\" + kKey, "/v", value});
    return zel::test::Wait(pid) == 0;
}

bool Has(const std::string& value) {
    reg::Key key;
    std::uint32_t n = 0;
    return reg::OpenKey(Hive::LocalMachine, kKey, &key) == reg::kSuccess &&
           reg::QueryDword(key, value, &n) == reg::kSuccess;
}

TEST_F(RegistryTransaction, ChangesAppearAtCommitAndVanishAtRollback) {
    {
        reg::Transaction tx;
        ASSERT_EQ(tx.Begin(), reg::kSuccess);
        reg::Key key;
        ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, kKey, &key, nullptr), reg::kSuccess);
        ASSERT_EQ(reg::SetDword(key, "first", 1), reg::kSuccess);
        ASSERT_EQ(reg::SetDword(key, "second", 2), reg::kSuccess);
        // The writer reads its own changes; another process sees none yet.
        EXPECT_TRUE(Has("second"));
        EXPECT_FALSE(OtherProcessSees("first"));
        ASSERT_EQ(tx.Commit(), reg::kSuccess);
        EXPECT_EQ(tx.Commit(), reg::kInvalidHandle);
    }
    EXPECT_TRUE(OtherProcessSees("first"));
    EXPECT_TRUE(OtherProcessSees("second"));

    {
        reg::Transaction tx;
        ASSERT_EQ(tx.Begin(), reg::kSuccess);
        reg::Key key;
        ASSERT_EQ(reg::OpenKey(Hive::LocalMachine, kKey, &key), reg::kSuccess);
        ASSERT_EQ(reg::SetDword(key, "dropped", 3), reg::kSuccess);
        // Destroyed without Commit: rolled back.
    }
    EXPECT_FALSE(Has("dropped"));
    EXPECT_FALSE(OtherProcessSees("dropped"));
    // Calls after the transaction are their own transactions again.
    reg::Key key;
    ASSERT_EQ(reg::OpenKey(Hive::LocalMachine, kKey, &key), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "after", 4), reg::kSuccess);
    EXPECT_TRUE(OtherProcessSees("after"));
}

TEST_F(RegistryTransaction, FailedCallInsideChangesNothingAndTheRestCommits) {
    reg::Transaction tx;
    ASSERT_EQ(tx.Begin(), reg::kSuccess);
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, kKey, &key, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "kept", 1), reg::kSuccess);
    // A deleted key's handle fails; a bad name fails; neither undoes "kept".
    reg::Key gone;
    ASSERT_EQ(reg::CreateKey(key, "gone", &gone, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::DeleteTree(key, "gone"), reg::kSuccess);
    EXPECT_EQ(reg::SetDword(gone, "lost", 1), reg::kNotFound);
    reg::Key bad;
    EXPECT_EQ(reg::CreateKey(key, "a\\\\b", &bad, nullptr), reg::kInvalidParameter);
    ASSERT_EQ(tx.Commit(), reg::kSuccess);
    EXPECT_TRUE(OtherProcessSees("kept"));
}

TEST_F(RegistryTransaction, InnerRollbackFailsTheOuterCommit) {
    reg::Transaction outer;
    ASSERT_EQ(outer.Begin(), reg::kSuccess);
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, kKey, &key, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "outer", 1), reg::kSuccess);
    {
        reg::Transaction inner;
        ASSERT_EQ(inner.Begin(), reg::kSuccess);
        ASSERT_EQ(reg::SetDword(key, "inner", 2), reg::kSuccess);
        inner.Rollback();
    }
    EXPECT_EQ(outer.Commit(), reg::kAccessDenied);
    EXPECT_FALSE(OtherProcessSees("outer"));
    EXPECT_FALSE(Has("inner"));
}

std::uint32_t Read(const std::string& value) {
    reg::Key key;
    std::uint32_t n = 0;
    if (reg::OpenKey(Hive::LocalMachine, kKey, &key) != reg::kSuccess ||
        reg::QueryDword(key, value, &n) != reg::kSuccess)
        return 0;
    return n;
}

// Another process sets value to n (qvreg add exits 0).
bool OtherProcessSets(const std::string& value, std::uint32_t n) {
    pid_t pid = zel::test::Spawn(
        zel::test::BuildPath("tools/qvreg"),
        {"add", "HKLM\\" + kKey, "/v", value, "/t", "REG_DWORD", "/d", std::to_string(n), "/f"});
    return zel::test::Wait(pid) == 0;
}

TEST_F(RegistryTransaction, ReadBatchSeesOneStateUntilItWritesOrEnds) {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, kKey, &key, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "v", 1), reg::kSuccess);
    {
        reg::ReadBatch batch;
        EXPECT_EQ(Read("v"), 1u);
        // Other processes write while the batch reads; it keeps its state.
        ASSERT_TRUE(OtherProcessSets("v", 2));
        EXPECT_EQ(Read("v"), 1u);
        {
            reg::ReadBatch nested;
            EXPECT_EQ(Read("v"), 1u);
        }
        EXPECT_EQ(Read("v"), 1u);
        // A write of its own goes through at once and the next read sees
        // both it and what others wrote before it.
        ASSERT_EQ(reg::SetDword(key, "w", 5), reg::kSuccess);
        EXPECT_TRUE(OtherProcessSees("w"));
        EXPECT_EQ(Read("v"), 2u);
        EXPECT_EQ(Read("w"), 5u);
        // So does a transaction begun inside it.
        ASSERT_TRUE(OtherProcessSets("v", 3));
        reg::Transaction tx;
        ASSERT_EQ(tx.Begin(), reg::kSuccess);
        ASSERT_EQ(reg::SetDword(key, "t", 6), reg::kSuccess);
        ASSERT_EQ(tx.Commit(), reg::kSuccess);
        EXPECT_EQ(Read("v"), 3u);
        ASSERT_TRUE(OtherProcessSets("v", 4));
        EXPECT_EQ(Read("v"), 3u);
    }
    EXPECT_EQ(Read("v"), 4u);
    EXPECT_TRUE(OtherProcessSees("t"));
}

}  // namespace
