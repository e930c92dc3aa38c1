// regsvr on a real component library in a scratch store: what registration
// writes, that removal takes back exactly that, and the tool's output and
// exit status for each outcome.
#include <climits>
#include <cstdlib>

#include "platform/com/com_ptr.h"
#include "platform/com/registration.h"
#include "tests/com/com_test_util.h"
#include "tests/com/run_program.h"
#include "tests/com/test_component.h"

namespace {

using zel::com::ComPtr;

class Regsvr : public zel::test::ComRoot {
  protected:
    static zel::test::RunResult Regsvr_(const std::string& args) {
        return zel::test::Run(std::string(ZEL_REGSVR) + " " + args);
    }
    static std::string ExportClassesRoot() {
        const zel::test::RunResult r = zel::test::Run(std::string(ZEL_QVREG) + " export HKCR");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        return r.output;
    }
    static std::string RealPath(const char* path) {
        char buf[PATH_MAX];
        return ::realpath(path, buf) != nullptr ? buf : path;
    }
    // Unrelated entries of the kinds that registration touches beside.
    static void SeedUnrelated() {
        const std::string other = "{11111111-2222-3333-4444-555555555555}";
        for (const std::string& path :
             {"CLSID\\" + other + "\\InprocServer32", "TypeLib\\" + other + "\\1.0",
              "Interface\\" + other, std::string("Other.Thing.1\\CLSID")}) {
            zel::reg::Key key;
            ASSERT_EQ(zel::reg::CreateKey(zel::reg::Hive::ClassesRoot, path, &key, nullptr),
                      zel::reg::kSuccess);
            ASSERT_EQ(zel::reg::SetString(key, "", "keep me"), zel::reg::kSuccess);
        }
    }
};

TEST_F(Regsvr, RegistersTheComponentAndRemovalTakesBackExactlyThat) {
    SeedUnrelated();
    const std::string before = ExportClassesRoot();

    zel::test::RunResult r = Regsvr_(ZEL_TEST_COMPONENT);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("DllRegisterServer in"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("succeeded."), std::string::npos) << r.output;

    const std::string clsid = "CLSID\\" + zel::com::GuidToString(CLSID_TestGreeter);
    const std::string libid = zel::com::GuidToString(LIBID_TestGreeterLib);
    EXPECT_EQ(DefaultValue(clsid), "TestGreeter Class");
    EXPECT_EQ(DefaultValue(clsid + "\\InprocServer32"), RealPath(ZEL_TEST_COMPONENT));
    EXPECT_EQ(DefaultValue(clsid + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(DefaultValue(clsid + "\\ProgID"), "ZelTest.Greeter.1");
    EXPECT_EQ(DefaultValue(clsid + "\\VersionIndependentProgID"), "ZelTest.Greeter");
    EXPECT_EQ(DefaultValue(clsid + "\\TypeLib"), libid);
    EXPECT_EQ(DefaultValue("ZelTest.Greeter\\CurVer"), "ZelTest.Greeter.1");
    EXPECT_EQ(DefaultValue("ZelTest.Greeter.1\\CLSID"), zel::com::GuidToString(CLSID_TestGreeter));
    EXPECT_EQ(DefaultValue("Interface\\" + zel::com::GuidToString(IID_ITestGreeter) + "\\TypeLib"),
              libid);

    // Activation through the ProgID, as a script client would.
    CLSID found{};
    ASSERT_EQ(CLSIDFromProgID(u"ZelTest.Greeter", &found), S_OK);
    ComPtr<ITestGreeter> greeter;
    ASSERT_EQ(CoCreateInstance(found, nullptr, CLSCTX_ALL, IID_ITestGreeter, greeter.OutVoid()),
              S_OK);
    greeter.Reset();

    // Registering again replaces the class key whole: a stray value goes.
    {
        zel::reg::Key key;
        ASSERT_EQ(zel::reg::OpenKey(zel::reg::Hive::ClassesRoot, clsid, &key), zel::reg::kSuccess);
        ASSERT_EQ(zel::reg::SetString(key, "Stray", "old"), zel::reg::kSuccess);
    }
    r = Regsvr_("/s " + std::string(ZEL_TEST_COMPONENT));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output, "") << "/s prints nothing on success";
    EXPECT_EQ(DefaultValue(clsid, "Stray"), "<missing>");

    r = Regsvr_("/u " + std::string(ZEL_TEST_COMPONENT));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("DllUnregisterServer in"), std::string::npos) << r.output;
    EXPECT_EQ(ExportClassesRoot(), before);
    ComPtr<ITestGreeter> gone;
    CoFreeAllLibraries();
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_ALL, IID_ITestGreeter, gone.OutVoid()),
        REGDB_E_CLASSNOTREG);

    // Removing what is not there is no failure either.
    r = Regsvr_("-U " + std::string(ZEL_TEST_COMPONENT));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(ExportClassesRoot(), before);
}

TEST_F(Regsvr, ReportsEachFailureWithItsResultAndExitsWithOne) {
    struct Case {
        std::string args;
        const char* expected;
    } cases[] = {
        {dir_ + "/missing.so", "0x8007007E The specified module could not be found"},
        {ZEL_TEST_COMPONENT_BADREG, "0x80040201"},
        {ZEL_TEST_NO_ENTRY, "0x8007007F"},
        {"/u " + std::string(ZEL_TEST_NO_ENTRY), "DllUnregisterServer"},
    };
    for (const Case& c : cases) {
        const zel::test::RunResult r = Regsvr_(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << c.args << "\n" << r.output;
        EXPECT_EQ(r.output.find("succeeded"), std::string::npos) << r.output;
    }
    // Even silent, a failure is reported.
    const zel::test::RunResult silent = Regsvr_("/s " + std::string(ZEL_TEST_COMPONENT_BADREG));
    EXPECT_EQ(silent.exit_code, 1);
    EXPECT_NE(silent.output.find("0x80040201"), std::string::npos) << silent.output;
    // A failed registration leaves the store untouched.
    EXPECT_EQ(DefaultValue("CLSID\\" + zel::com::GuidToString(CLSID_TestGreeter)), "<missing>");

    // A wrong command line is a usage error.
    for (const std::string& args :
         {std::string(""), std::string("/x lib.so"), std::string("a b")}) {
        const zel::test::RunResult r = Regsvr_(args);
        EXPECT_EQ(r.exit_code, 2) << "'" << args << "'";
        EXPECT_NE(r.output.find("Usage: regsvr"), std::string::npos) << r.output;
    }
}

TEST_F(Regsvr, HelperRefusesEntriesThatWouldReachOtherKeys) {
    zel::com::ClassEntry e;
    e.clsid = CLSID_TestGreeter;
    e.module_path = "/x/lib.so";
    e.progid = "Other.Thing.1\\CLSID";
    EXPECT_EQ(zel::com::RegisterClassEntries(e), E_INVALIDARG);
    e.progid.clear();
    e.module_path.clear();
    EXPECT_EQ(zel::com::RegisterClassEntries(e), E_INVALIDARG);
    EXPECT_EQ(DefaultValue("CLSID\\" + zel::com::GuidToString(CLSID_TestGreeter)), "<missing>");
}

}  // namespace
