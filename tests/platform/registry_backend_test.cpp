// What the registry interface gives alike over the Linux store and the
// Windows registry (under wine, the scratch prefix's own): keys made once
// and then opened, string and number values with their types, sub-keys
// listed, values and whole trees deleted.  The keys live below
// HKEY_CURRENT_USER\Software\ZelwayTests\<test>, removed at the end.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "platform/system.h"
#include "tests/common/scratch.h"

namespace {

namespace reg = zel::reg;

class RegistryBackend : public zel::test::ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        base_ = "Software\\ZelwayTests\\" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                std::to_string(zel::sys::ProcessId());
    }
    void TearDown() override { (void)reg::DeleteTree(reg::Hive::CurrentUser, base_); }
    std::string base_;
};

TEST_F(RegistryBackend, KeysAreMadeOnceThenOpened) {
    reg::Key key;
    reg::Disposition how{};
    ASSERT_EQ(reg::CreateKey(reg::Hive::CurrentUser, base_ + "\\a\\b", &key, &how), reg::kSuccess);
    EXPECT_EQ(how, reg::Disposition::CreatedNewKey);
    EXPECT_EQ(key.Path(), base_ + "\\a\\b");
    ASSERT_EQ(reg::CreateKey(reg::Hive::CurrentUser, base_ + "\\A\\B", &key, &how), reg::kSuccess);
    EXPECT_EQ(how, reg::Disposition::OpenedExistingKey);

    reg::Key parent;
    ASSERT_EQ(reg::OpenKey(reg::Hive::CurrentUser, base_, &parent), reg::kSuccess);
    reg::Key child;
    ASSERT_EQ(reg::CreateKey(parent, "z", &child, nullptr), reg::kSuccess);
    std::string name;
    ASSERT_EQ(reg::EnumKey(parent, 0, &name), reg::kSuccess);
    EXPECT_EQ(name, "a");
    ASSERT_EQ(reg::EnumKey(parent, 1, &name), reg::kSuccess);
    EXPECT_EQ(name, "z");
    EXPECT_EQ(reg::EnumKey(parent, 2, &name), reg::kNoMoreItems);
    EXPECT_EQ(reg::OpenKey(parent, "missing", &child), reg::kNotFound);
    EXPECT_EQ(reg::EnumKey(reg::Key(), 0, &name), reg::kInvalidHandle);
}

TEST_F(RegistryBackend, ValuesKeepTheirTypes) {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(reg::Hive::CurrentUser, base_, &key, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "Directory", "C:\\Apps\\QVIS\\PROG\\CMN"), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "Count", 42), reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "", "default"), reg::kSuccess);

    std::string text;
    ASSERT_EQ(reg::QueryString(key, "directory", &text), reg::kSuccess);
    EXPECT_EQ(text, "C:\\Apps\\QVIS\\PROG\\CMN");
    ASSERT_EQ(reg::QueryString(key, "", &text), reg::kSuccess);
    EXPECT_EQ(text, "default");
    std::uint32_t number = 0;
    ASSERT_EQ(reg::QueryDword(key, "Count", &number), reg::kSuccess);
    EXPECT_EQ(number, 42u);
    // A read of the wrong type fails like a missing value.
    EXPECT_EQ(reg::QueryDword(key, "Directory", &number), reg::kNotFound);
    EXPECT_EQ(reg::QueryString(key, "Count", &text), reg::kNotFound);
    reg::ValueType type{};
    ASSERT_EQ(reg::QueryType(key, "Count", &type), reg::kSuccess);
    EXPECT_EQ(type, reg::ValueType::Dword);
    EXPECT_EQ(reg::SetString(key, "Bad", std::string("a\0b", 3)), reg::kInvalidParameter);

    ASSERT_EQ(reg::DeleteValue(key, "Count"), reg::kSuccess);
    EXPECT_EQ(reg::QueryDword(key, "Count", &number), reg::kNotFound);
    EXPECT_EQ(reg::DeleteValue(key, "Count"), reg::kNotFound);
}

TEST_F(RegistryBackend, TreesAreDeletedWhole) {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(reg::Hive::CurrentUser, base_ + "\\x\\y\\z", &key, nullptr),
              reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "v", 1), reg::kSuccess);
    key.Close();
    ASSERT_EQ(reg::DeleteTree(reg::Hive::CurrentUser, base_ + "\\x"), reg::kSuccess);
    EXPECT_EQ(reg::OpenKey(reg::Hive::CurrentUser, base_ + "\\x", &key), reg::kNotFound);
    EXPECT_EQ(reg::DeleteTree(reg::Hive::CurrentUser, base_ + "\\x"), reg::kNotFound);
    ASSERT_EQ(reg::OpenKey(reg::Hive::CurrentUser, base_, &key), reg::kSuccess);

    reg::Hive hive{};
    std::string subkey;
    ASSERT_TRUE(reg::ParseKeyName("hklm\\SOFTWARE\\qvis\\olmar\\", &hive, &subkey));
    EXPECT_EQ(hive, reg::Hive::LocalMachine);
    EXPECT_EQ(subkey, "SOFTWARE\\qvis\\olmar");
    EXPECT_FALSE(reg::ParseKeyName("HKXX\\a", &hive, &subkey));
    EXPECT_STREQ(reg::HiveName(reg::Hive::ClassesRoot), "HKEY_CLASSES_ROOT");
}

}  // namespace
