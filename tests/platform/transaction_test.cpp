// Transactions of the registry store: what another process (the real qvreg)
// sees while one is open, after Commit and after Rollback, and how a failed
// call and nested transactions behave inside one.
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

}  // namespace
