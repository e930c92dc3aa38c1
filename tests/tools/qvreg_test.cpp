// The qvreg tool, run as a real program against a scratch store.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/paths.h"
#include "platform/registry.h"
#include "tests/common/spawn.h"

namespace {

namespace reg = zel::reg;

struct Result {
    int rc;
    std::string out;
    std::string err;
};

class Qvreg : public zel::test::ScratchRoot {
  protected:
    Result Run(const std::vector<std::string>& args) {
        const std::string out = dir_ + "/qvreg.out", err = dir_ + "/qvreg.err";
        pid_t pid = zel::test::Spawn(zel::test::BuildPath("tools/qvreg"), args, out, err);
        EXPECT_GT(pid, 0);
        Result r{zel::test::Wait(pid), zel::test::ReadFile(out), zel::test::ReadFile(err)};
        return r;
    }
    // Runs a command that must fail: exit 1 (2 for a wrong command line), one
    // line on stderr naming what.
    void ExpectError(const std::vector<std::string>& args, const std::string& what,
                     int status = 1) {
        Result r = Run(args);
        EXPECT_EQ(r.rc, status) << args[0] << " " << args[1];
        EXPECT_NE(r.err.find(what), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
    void ExpectUsageError(const std::vector<std::string>& args, const std::string& what) {
        ExpectError(args, what, 2);
    }
};

TEST_F(Qvreg, RoundTripsEveryValueType) {
    const std::string key = "HKLM\\SOFTWARE\\qvis\\olmar";
    EXPECT_EQ(Run({"add", key, "/v", "OLMAR_EXE", "/t", "REG_SZ", "/d", "/opt/my olmar"}).rc, 0);
    EXPECT_EQ(Run({"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "0x1F90"}).rc, 0);
    EXPECT_EQ(Run({"add", key, "/v", "Big", "/t", "reg_dword", "/d", "4294967295"}).rc, 0);
    EXPECT_EQ(Run({"add", key, "/ve", "/d", "C:\\path \"quoted\""}).rc, 0);

    Result r = Run({"query", "HKEY_LOCAL_MACHINE\\software\\QVIS\\olmar", "/v", "port"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\qvis\\olmar\n    Port    REG_DWORD    0x1f90\n");
    r = Run({"query", key});
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\qvis\\olmar\n"
              "    OLMAR_EXE    REG_SZ    /opt/my olmar\n"
              "    Port    REG_DWORD    0x1f90\n"
              "    Big    REG_DWORD    0xffffffff\n"
              "    (Default)    REG_SZ    C:\\path \"quoted\"\n\n");

    // The store holds what qvreg wrote, and qvreg shows what the store holds.
    reg::Key k;
    ASSERT_EQ(reg::OpenKey(reg::Hive::LocalMachine, "SOFTWARE\\qvis\\olmar", &k), reg::kSuccess);
    std::string text;
    std::uint32_t n = 0;
    ASSERT_EQ(reg::QueryString(k, "OLMAR_EXE", &text), reg::kSuccess);
    EXPECT_EQ(text, "/opt/my olmar");
    ASSERT_EQ(reg::QueryDword(k, "Port", &n), reg::kSuccess);
    EXPECT_EQ(n, 8080u);
    reg::Key sub;
    ASSERT_EQ(reg::CreateKey(k, "Zeta\\Inner", &sub, nullptr), reg::kSuccess);
    ASSERT_EQ(reg::SetString(sub, "line", "a\tb"), reg::kSuccess);
    ASSERT_EQ(reg::CreateKey(k, "alpha", &sub, nullptr), reg::kSuccess);

    r = Run({"export", "HKLM\\SOFTWARE\\qvis"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out,
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\qvis]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\qvis\\olmar]\n"
              "\"OLMAR_EXE\"=\"/opt/my olmar\"\n"
              "\"Port\"=dword:00001f90\n"
              "\"Big\"=dword:ffffffff\n"
              "@=\"C:\\\\path \\\"quoted\\\"\"\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\qvis\\olmar\\alpha]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\qvis\\olmar\\Zeta]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\qvis\\olmar\\Zeta\\Inner]\n"
              "\"line\"=\"a\\tb\"\n\n");
}

TEST_F(Qvreg, AddRefusesToOverwriteWithoutForce) {
    const std::string key = "HKCU\\Settings";
    ASSERT_EQ(Run({"add", key, "/v", "Mode", "/d", "old"}).rc, 0);
    ExpectError({"add", key, "/v", "MODE", "/d", "new"}, "\"MODE\"");
    EXPECT_NE(Run({"query", key, "/v", "Mode"}).out.find("REG_SZ    old"), std::string::npos);
    ASSERT_EQ(Run({"add", key, "/v", "mode", "/t", "REG_DWORD", "/d", "3", "/f"}).rc, 0);
    EXPECT_NE(Run({"query", key, "/v", "Mode"}).out.find("Mode    REG_DWORD    0x3"),
              std::string::npos);
}

TEST_F(Qvreg, DeletesValuesAndTrees) {
    ASSERT_EQ(Run({"add", "HKLM\\A\\B\\C", "/v", "x", "/d", "1"}).rc, 0);
    ASSERT_EQ(Run({"add", "HKLM\\A", "/v", "y", "/d", "2"}).rc, 0);
    EXPECT_EQ(Run({"delete", "HKLM\\A", "/v", "Y"}).rc, 0);
    ExpectError({"delete", "HKLM\\A", "/v", "y"}, "\"y\"");
    EXPECT_EQ(Run({"delete", "HKLM\\a\\b"}).rc, 0);
    ExpectError({"query", "HKLM\\A\\B\\C"}, "HKEY_LOCAL_MACHINE\\A\\B\\C");
    EXPECT_EQ(Run({"query", "HKLM\\A"}).out, "HKEY_LOCAL_MACHINE\\A\n\n");
    ExpectError({"delete", "HKLM"}, "HKEY_LOCAL_MACHINE");
}

TEST_F(Qvreg, BadInputFailsWithAClearMessage) {
    ExpectUsageError({"query", "HKXX\\SOFTWARE"}, "HKXX\\SOFTWARE");
    ExpectUsageError({"add", "HKLM\\a\\\\b"}, "HKLM\\a\\\\b");
    ExpectError({"query", "HKLM\\Missing"}, "HKEY_LOCAL_MACHINE\\Missing");
    ExpectUsageError({"add", "HKLM\\K", "/v", "b", "/t", "REG_BINARY", "/d", "00"}, "REG_BINARY");
    for (const char* bad : {"12ab", "0x", "-1", "4294967296", "0x100000000", ""})
        ExpectUsageError({"add", "HKLM\\K", "/v", "d", "/t", "REG_DWORD", "/d", bad}, "\"d\"");
    ExpectUsageError({"add", "HKLM\\K", "/v", "d", "/t", "REG_DWORD"}, "\"d\"");
    // Nothing was written by the failed adds.
    ExpectError({"query", "HKLM\\K"}, "HKEY_LOCAL_MACHINE\\K");
    ASSERT_EQ(Run({"add", "HKLM\\K"}).rc, 0);
    ExpectError({"query", "HKLM\\K", "/v", "Nope"}, "\"Nope\"");
    ExpectError({"query", "HKLM\\K", "/ve"}, "default value");
    ExpectUsageError({"frobnicate", "HKLM\\K"}, "frobnicate");
    ExpectUsageError({"add", "HKLM\\K", "/x"}, "/x");
    ExpectUsageError({"add", "HKLM\\K", "/d", "x"}, "/v");
    Result help = Run({"--help"});
    EXPECT_EQ(help.rc, 0);
    EXPECT_NE(help.out.find("/f"), std::string::npos);
}

// A store that cannot be used is named with the reason, whoever runs qvreg.
TEST_F(Qvreg, UnusableStoreIsNamedWithTheReason) {
    ASSERT_EQ(Run({"add", "HKLM\\K", "/v", "x", "/d", "1"}).rc, 0);
    const std::string store = zel::paths::RegistryFile();

    // No permission: as root the store is tried as "nobody".
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(store.c_str(), 0600), 0);
    if (::geteuid() == 0) {
        const std::string out = dir_ + "/qvreg.out", err = dir_ + "/qvreg.err";
        const std::string command = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                    zel::test::BuildPath("tools/qvreg") + " query 'HKLM\\K' >" +
                                    out + " 2>" + err;
        if (::access("/usr/bin/setpriv", X_OK) == 0) {
            EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1);
            const std::string text = zel::test::ReadFile(err);
            EXPECT_NE(text.find(store), std::string::npos) << text;
            EXPECT_NE(text.find("permission denied"), std::string::npos) << text;
            EXPECT_NE(text.find("mode 0600"), std::string::npos) << text;
        }
    } else {
        ASSERT_EQ(::chmod(store.c_str(), 0), 0);
        const Result r = Run({"query", "HKLM\\K"});
        EXPECT_EQ(r.rc, 1);
        EXPECT_NE(r.err.find("permission denied"), std::string::npos) << r.err;
    }
    ASSERT_EQ(::chmod(store.c_str(), 0644), 0);

    // Not a store at all (damaged or replaced).
    for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(store + suffix);
    zel::test::WriteFile(store, std::string(4096, 'x'));
    const Result r = Run({"query", "HKLM\\K"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find(store + ": the file is not a registry store"), std::string::npos) << r.err;
}

}  // namespace
