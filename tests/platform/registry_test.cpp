// Registry store behaviour through its public calls, on a real database file.
#include "platform/registry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/paths.h"
#include "platform/system.h"
#include "tests/common/spawn.h"

namespace {

namespace reg = zel::reg;
using reg::Hive;
using RegistryStore = zel::test::ScratchRoot;

std::vector<std::string> SubKeyNames(const reg::Key& key) {
    std::vector<std::string> names;
    std::string name;
    std::uint32_t i = 0;
    while (reg::EnumKey(key, i, &name) == reg::kSuccess) {
        names.push_back(name);
        ++i;
    }
    EXPECT_EQ(reg::EnumKey(key, i, &name), reg::kNoMoreItems);
    return names;
}

std::vector<std::string> ValueNames(const reg::Key& key) {
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; reg::EnumValue(key, i, &name, nullptr) == reg::kSuccess; ++i)
        names.push_back(name);
    return names;
}

TEST_F(RegistryStore, NamesIgnoreCaseButKeepIt) {
    reg::Key a, b;
    reg::Disposition d;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "SOFTWARE\\Quvaro Information Systems", &a, &d),
              reg::kSuccess);
    EXPECT_EQ(d, reg::Disposition::CreatedNewKey);
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "software\\QUVARO information SYSTEMS", &b, &d),
              reg::kSuccess);
    EXPECT_EQ(d, reg::Disposition::OpenedExistingKey);
    EXPECT_EQ(b.Path(), "SOFTWARE\\Quvaro Information Systems");

    ASSERT_EQ(reg::SetString(a, "IPAddress", "10.0.0.1"), reg::kSuccess);
    ASSERT_EQ(reg::SetString(b, "IPADDRESS", "10.0.0.2"), reg::kSuccess);  // same value
    std::string text;
    ASSERT_EQ(reg::QueryString(a, "ipaddress", &text), reg::kSuccess);
    EXPECT_EQ(text, "10.0.0.2");
    EXPECT_EQ(ValueNames(a), std::vector<std::string>{"IPAddress"});

    reg::Key root;
    ASSERT_EQ(reg::OpenKey(Hive::LocalMachine, "SOFTWARE", &root), reg::kSuccess);
    EXPECT_EQ(SubKeyNames(root), std::vector<std::string>{"Quvaro Information Systems"});
    // Bytes outside ASCII are compared exactly.
    reg::Key u1, u2;
    ASSERT_EQ(reg::CreateKey(root, "\xc3\x84rger", &u1, &d), reg::kSuccess);
    ASSERT_EQ(reg::CreateKey(root, "\xc3\xa4rger", &u2, &d), reg::kSuccess);
    EXPECT_EQ(d, reg::Disposition::CreatedNewKey);
}

TEST_F(RegistryStore, CreateReportsDispositionAndMakesEveryLevel) {
    reg::Key key, again, parent;
    reg::Disposition d;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "A\\B\\C", &key, &d), reg::kSuccess);
    EXPECT_EQ(d, reg::Disposition::CreatedNewKey);
    EXPECT_EQ(reg::OpenKey(Hive::LocalMachine, "A\\B", &parent), reg::kSuccess);
    ASSERT_EQ(reg::CreateKey(parent, "C\\", &again, &d), reg::kSuccess);  // trailing "\" is fine
    EXPECT_EQ(d, reg::Disposition::OpenedExistingKey);
    EXPECT_EQ(again.Path(), "A\\B\\C");
    ASSERT_EQ(reg::CreateKey(parent, "", &again, nullptr), reg::kSuccess);
    EXPECT_EQ(again.Path(), "A\\B");
    // A key opened into the handle it was opened from.
    ASSERT_EQ(reg::OpenKey(parent, "C", &parent), reg::kSuccess);
    EXPECT_EQ(parent.Path(), "A\\B\\C");
    EXPECT_EQ(reg::OpenKey(Hive::LocalMachine, "A\\missing", &again), reg::kNotFound);
    EXPECT_EQ(again.Path(), "A\\B");  // untouched on failure
}

TEST_F(RegistryStore, WrongTypeReadsLikeMissing) {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "K", &key, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "Port", 0xFFFFFFFFu), reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "", "default"), reg::kSuccess);
    std::string text = "keep";
    std::uint32_t n = 7;
    EXPECT_EQ(reg::QueryString(key, "Port", &text), reg::kNotFound);
    EXPECT_EQ(reg::QueryDword(key, "", &n), reg::kNotFound);
    EXPECT_EQ(reg::QueryDword(key, "Nothing", &n), reg::kNotFound);
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(n, 7u);
    ASSERT_EQ(reg::QueryDword(key, "port", &n), reg::kSuccess);
    EXPECT_EQ(n, 0xFFFFFFFFu);
    ASSERT_EQ(reg::QueryString(key, "", &text), reg::kSuccess);
    EXPECT_EQ(text, "default");
    // A set may change the type; the old type then reads as missing.
    ASSERT_EQ(reg::SetString(key, "Port", "80"), reg::kSuccess);
    reg::ValueType t;
    ASSERT_EQ(reg::QueryType(key, "Port", &t), reg::kSuccess);
    EXPECT_EQ(t, reg::ValueType::Sz);
    EXPECT_EQ(reg::QueryDword(key, "Port", &n), reg::kNotFound);
    EXPECT_EQ(reg::QueryType(key, "Nothing", &t), reg::kNotFound);
}

TEST_F(RegistryStore, EnumerationOrderIsStable) {
    reg::Key key, sub;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "Servers", &key, nullptr), reg::kSuccess);
    for (const char* name : {"gamma", "Alpha", "DELTA", "beta"})
        ASSERT_EQ(reg::CreateKey(key, name, &sub, nullptr), reg::kSuccess);
    const std::vector<std::string> keys{"Alpha", "beta", "DELTA", "gamma"};
    EXPECT_EQ(SubKeyNames(key), keys);
    EXPECT_EQ(SubKeyNames(key), keys);

    // Values come in creation order; replacing one keeps its place.
    for (const char* name : {"z", "a", "m"}) ASSERT_EQ(reg::SetDword(key, name, 1), reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "A", "x"), reg::kSuccess);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"z", "a", "m"}));
    std::string name;
    EXPECT_EQ(reg::EnumValue(key, 3, &name, nullptr), reg::kNoMoreItems);
}

TEST_F(RegistryStore, DeleteTreeRemovesEverythingBelow) {
    reg::Key top, deep, sibling;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "T\\Q\\v1\\x", &deep, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetString(deep, "s", "1"), reg::kSuccess);
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "T\\Q2", &sibling, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(sibling, "d", 2), reg::kSuccess);
    reg::Key q;
    ASSERT_EQ(reg::OpenKey(Hive::LocalMachine, "T\\Q", &q), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(q, "own", 3), reg::kSuccess);

    ASSERT_EQ(reg::DeleteTree(Hive::LocalMachine, "t\\q"), reg::kSuccess);
    EXPECT_EQ(reg::OpenKey(Hive::LocalMachine, "T\\Q\\v1", &top), reg::kNotFound);
    EXPECT_EQ(reg::DeleteTree(Hive::LocalMachine, "T\\Q"), reg::kNotFound);
    ASSERT_EQ(reg::OpenKey(Hive::LocalMachine, "T", &top), reg::kSuccess);
    EXPECT_EQ(SubKeyNames(top), std::vector<std::string>{"Q2"});
    std::uint32_t n = 0;
    EXPECT_EQ(reg::QueryDword(sibling, "d", &n), reg::kSuccess);

    // Handles left open on deleted keys fail cleanly, even once a key of the
    // same name exists again.
    reg::Key again;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "T\\Q\\v1\\x", &again, nullptr), reg::kSuccess);
    std::string s;
    EXPECT_EQ(reg::SetString(deep, "s", "2"), reg::kNotFound);
    EXPECT_EQ(reg::QueryString(deep, "s", &s), reg::kNotFound);
    EXPECT_EQ(reg::QueryDword(q, "own", &n), reg::kNotFound);
    EXPECT_EQ(reg::EnumKey(q, 0, &s), reg::kNotFound);
    EXPECT_EQ(reg::CreateKey(q, "new", &top, nullptr), reg::kNotFound);
    EXPECT_EQ(reg::DeleteValue(q, "own"), reg::kNotFound);
    EXPECT_EQ(ValueNames(again), std::vector<std::string>{});

    // An empty sub-key empties the key but keeps it (and its handle) usable.
    ASSERT_EQ(reg::OpenKey(Hive::LocalMachine, "T", &top), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(top, "v", 1), reg::kSuccess);
    ASSERT_EQ(reg::DeleteTree(top, ""), reg::kSuccess);
    EXPECT_EQ(SubKeyNames(top), std::vector<std::string>{});
    EXPECT_EQ(ValueNames(top), std::vector<std::string>{});
    EXPECT_EQ(reg::SetDword(top, "v", 2), reg::kSuccess);
}

TEST_F(RegistryStore, DeleteValue) {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "K", &key, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "Value", 1), reg::kSuccess);
    EXPECT_EQ(reg::DeleteValue(key, "VALUE"), reg::kSuccess);
    EXPECT_EQ(reg::DeleteValue(key, "Value"), reg::kNotFound);
}

TEST_F(RegistryStore, RejectsBadNamesAndClosedHandles) {
    reg::Key key, out, closed;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "K", &key, nullptr), reg::kSuccess);
    EXPECT_EQ(reg::CreateKey(key, "a\\\\b", &out, nullptr), reg::kInvalidParameter);
    EXPECT_EQ(reg::CreateKey(key, "\\a", &out, nullptr), reg::kInvalidParameter);
    EXPECT_EQ(reg::CreateKey(key, std::string(256, 'k'), &out, nullptr), reg::kInvalidParameter);
    EXPECT_EQ(reg::CreateKey(key, std::string("a\0b", 3), &out, nullptr), reg::kInvalidParameter);
    EXPECT_EQ(reg::SetString(key, "v", std::string("a\0b", 3)), reg::kInvalidParameter);
    EXPECT_EQ(SubKeyNames(key), std::vector<std::string>{});
    EXPECT_EQ(reg::SetDword(closed, "v", 1), reg::kInvalidHandle);
    EXPECT_EQ(reg::OpenKey(closed, "x", &out), reg::kInvalidHandle);
    key.Close();
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(reg::DeleteTree(key, "x"), reg::kInvalidHandle);
}

TEST_F(RegistryStore, HivesAreSeparateAndNamesParse) {
    reg::Key m, c, u;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "Same", &m, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(m, "v", 1), reg::kSuccess);
    reg::Disposition d;
    ASSERT_EQ(reg::CreateKey(Hive::ClassesRoot, "Same", &c, &d), reg::kSuccess);
    EXPECT_EQ(d, reg::Disposition::CreatedNewKey);
    ASSERT_EQ(reg::CreateKey(Hive::CurrentUser, "Same", &u, &d), reg::kSuccess);
    EXPECT_EQ(d, reg::Disposition::CreatedNewKey);
    EXPECT_EQ(u.GetHive(), Hive::CurrentUser);

    Hive h;
    std::string sub;
    ASSERT_TRUE(reg::ParseKeyName("hkey_local_machine\\SOFTWARE\\qvis\\", &h, &sub));
    EXPECT_EQ(h, Hive::LocalMachine);
    EXPECT_EQ(sub, "SOFTWARE\\qvis");
    ASSERT_TRUE(reg::ParseKeyName("HKCR", &h, &sub));
    EXPECT_EQ(h, Hive::ClassesRoot);
    EXPECT_EQ(sub, "");
    ASSERT_TRUE(reg::ParseKeyName("hkcu\\x", &h, &sub));
    EXPECT_EQ(h, Hive::CurrentUser);
    for (const char* bad :
         {"", "HKLMX\\a", "HKEY_USERS\\a", "\\HKLM\\a", "HKLM\\a\\\\b", "SOFTWARE"})
        EXPECT_FALSE(reg::ParseKeyName(bad, &h, &sub)) << bad;
    EXPECT_STREQ(reg::HiveName(Hive::CurrentUser), "HKEY_CURRENT_USER");
}

TEST_F(RegistryStore, FollowsTheSystemRoot) {
    reg::Key first;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "K", &first, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(first, "v", 1), reg::kSuccess);

    // A root whose directory does not exist yet: the store is created there.
    const std::string other = dir_ + "/other/root";
    setenv("QVIS_ROOT", other.c_str(), 1);
    reg::Key second;
    EXPECT_EQ(reg::OpenKey(Hive::LocalMachine, "K", &second), reg::kNotFound);
    EXPECT_TRUE(std::filesystem::exists(other + "/registry.db"));
    // A handle of the other store is refused, not read in this one.
    EXPECT_EQ(reg::SetDword(first, "v", 2), reg::kInvalidHandle);

    setenv("QVIS_ROOT", dir_.c_str(), 1);
    std::uint32_t n = 0;
    ASSERT_EQ(reg::QueryDword(first, "v", &n), reg::kSuccess);
    EXPECT_EQ(n, 1u);

    // A store file replaced underneath is noticed too.
    std::filesystem::remove(zel::paths::RegistryFile());
    std::filesystem::remove(zel::paths::RegistryFile() + "-wal");
    std::filesystem::remove(zel::paths::RegistryFile() + "-shm");
    EXPECT_EQ(reg::OpenKey(Hive::LocalMachine, "K", &second), reg::kNotFound);
    EXPECT_EQ(reg::QueryDword(first, "v", &n), reg::kInvalidHandle);
}

TEST_F(RegistryStore, UnusableStoreFailsCleanly) {
    std::ofstream(dir_ + "/plain").put('x');
    setenv("QVIS_ROOT", (dir_ + "/plain/root").c_str(), 1);
    reg::Key key;
    EXPECT_EQ(reg::CreateKey(Hive::LocalMachine, "K", &key, nullptr), reg::kAccessDenied);
    std::ofstream(dir_ + "/registry.db") << "not a database at all";
    setenv("QVIS_ROOT", dir_.c_str(), 1);
    EXPECT_EQ(reg::OpenHive(Hive::LocalMachine, &key), reg::kAccessDenied);
    EXPECT_FALSE(key.IsOpen());
}

TEST_F(RegistryStore, TwoThreadsWritingAtOnceLoseNothing) {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "Threads", &key, nullptr), reg::kSuccess);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (const char* prefix : {"a", "b"}) {
        threads.emplace_back([&, prefix] {
            for (int i = 0; i < 200; ++i)
                if (reg::SetDword(key, std::string(prefix).append(std::to_string(i)), i) !=
                    reg::kSuccess)
                    ++failures;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ValueNames(key).size(), 400u);
}

// The process ID that the registry and the log keep rather than ask for each
// time is asked afresh in a forked child: the child gets a connection of its
// own (its writes reach the store, the parent's connection stays usable) and
// names itself, not its parent.
TEST_F(RegistryStore, ForkedChildUsesAConnectionAndAnIdOfItsOwn) {
    reg::Key key;
    reg::Disposition d;
    ASSERT_EQ(reg::CreateKey(Hive::LocalMachine, "SOFTWARE\\Fork", &key, &d), reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "Who", "parent"), reg::kSuccess);
    const long parent_id = zel::sys::ProcessId();
    EXPECT_EQ(parent_id, static_cast<long>(getpid()));
    const pid_t child = fork();
    if (child == 0) {
        int code = zel::sys::ProcessId() == static_cast<long>(getpid()) ? 0 : 10;
        reg::Key mine;
        std::string text;
        if (reg::OpenKey(Hive::LocalMachine, "SOFTWARE\\Fork", &mine) != reg::kSuccess)
            code += 1;
        else if (reg::QueryString(mine, "Who", &text) != reg::kSuccess || text != "parent")
            code += 2;
        else if (reg::SetString(mine, "Who", "child") != reg::kSuccess)
            code += 3;
        _exit(code);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(zel::sys::ProcessId(), parent_id);
    std::string text;
    ASSERT_EQ(reg::QueryString(key, "Who", &text), reg::kSuccess);
    EXPECT_EQ(text, "child");
}

}  // namespace
