// The object model on Windows, served by the system's own COM: a component
// library registered with the system's regsvr32 and activated by ole32, its
// methods called through its interface and through IDispatch with the
// system's variants, rich error information across the library boundary,
// and removal taking back exactly what registration wrote.  The same for
// Poll.dll where it is built, and ferrun.exe's exit status when the class
// is not registered.
//
// The registry here is the wine prefix's one, shared by every test: the
// suite's cases run one at a time (WINDOWS_LOCK) and each removes what it
// registered.
#include <gtest/gtest.h>

#include <string>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/registry.h"
#include "poll/ipoll.h"
#include "tests/com/com_test_util.h"
#include "tests/com/system_registry.h"
#include "tests/com/test_component.h"

namespace {

using zel::com::ComPtr;
using zel::test::Footprint;
using zel::test::Regsvr32;
using zel::test::SystemPath;
using zel::test::Take;
namespace reg = zel::reg;

const std::string kGreeterClassKey = "CLSID\\" + zel::com::GuidToString(CLSID_TestGreeter);
const std::string kPollClassKey = "CLSID\\" + zel::com::GuidToString(CLSID_Poll);

class SystemCom : public zel::test::ComRoot {
  protected:
    void TearDown() override {
        // Whatever a failed case left registered goes, so the next case and
        // suite find the registry as it was.
        (void)Regsvr32(ZEL_TEST_COMPONENT, true);
        ComRoot::TearDown();
    }
};

TEST_F(SystemCom, Regsvr32RegistersTheLibraryAndRemovalTakesBackExactlyThat) {
    const Footprint before = Take(CLSID_TestGreeter, kTestProgId, kTestVersionIndependentProgId,
                                  LIBID_TestGreeterLib, {IID_ITestGreeter});
    ASSERT_EQ(before.class_key, "<missing>");

    ASSERT_EQ(Regsvr32(ZEL_TEST_COMPONENT, false), 0);
    const std::string module = DefaultValue(kGreeterClassKey + "\\InprocServer32");
    EXPECT_EQ(zel::test::Lower(module), zel::test::Lower(SystemPath(ZEL_TEST_COMPONENT)));
    EXPECT_EQ(DefaultValue(kGreeterClassKey), "TestGreeter Class");
    EXPECT_EQ(DefaultValue(kGreeterClassKey + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(DefaultValue(kGreeterClassKey + "\\ProgID"), kTestProgId);
    EXPECT_EQ(DefaultValue(kGreeterClassKey + "\\VersionIndependentProgID"),
              kTestVersionIndependentProgId);
    EXPECT_EQ(DefaultValue("ZelTest.Greeter\\CurVer"), kTestProgId);
    const std::string libid = zel::com::GuidToString(LIBID_TestGreeterLib);
    EXPECT_EQ(DefaultValue("TypeLib\\" + libid + "\\1.0\\0\\win64"), module);
    EXPECT_EQ(DefaultValue("TypeLib\\" + libid + "\\1.0\\HELPDIR"),
              module.substr(0, module.rfind('\\') + 1));

    ASSERT_EQ(Regsvr32(ZEL_TEST_COMPONENT, true), 0);
    EXPECT_EQ(Take(CLSID_TestGreeter, kTestProgId, kTestVersionIndependentProgId,
                   LIBID_TestGreeterLib, {IID_ITestGreeter}),
              before);
    // Removing what is not there is no failure.
    EXPECT_EQ(Regsvr32(ZEL_TEST_COMPONENT, true), 0);
}

TEST_F(SystemCom, ActivatesThroughTheSystemAndCallsByVtableAndByDispatch) {
    ASSERT_EQ(Regsvr32(ZEL_TEST_COMPONENT, false), 0);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"ZelTest.Greeter", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestGreeter);

    ComPtr<ITestGreeter> greeter;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_ITestGreeter, greeter.OutVoid()),
              S_OK);
    // A BSTR of the system's allocator goes in, one comes back out.
    zel::CBstr name(SysAllocString(u"Ann"));
    ASSERT_EQ(greeter->Greet(name.get(), 2), S_OK);
    zel::CBstr greeting;
    LONG count = 0;
    ASSERT_EQ(greeter->Peek(greeting.Out(), &count), S_OK);
    EXPECT_EQ(std::u16string(greeting.get()), u"Hello, Ann");
    EXPECT_EQ(greeting.Length(), 10u);
    EXPECT_EQ(count, 2);

    // The same object through IDispatch, with the system's variants.
    ComPtr<IDispatch> disp;
    ASSERT_EQ(greeter.As(&disp), S_OK);
    OLECHAR member[] = u"GREET";
    LPOLESTR names[] = {member};
    DISPID id = 0;
    ASSERT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_I4;
    args[0].lVal = 5;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(u"Bob");
    DISPPARAMS params{args, nullptr, 2, 0};
    ASSERT_EQ(disp->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(VariantClear(&args[1]), S_OK);
    EXPECT_EQ(args[1].vt, VT_EMPTY);
    ASSERT_EQ(greeter->Peek(greeting.Out(), &count), S_OK);
    EXPECT_EQ(std::u16string(greeting.get()), u"Hello, Bob");
    EXPECT_EQ(count, 5);

    // A failing method: its status, and the rich error information it set
    // inside the library reaches this side through the system.
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(greeter.As(&support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ITestGreeter), S_OK);
    EXPECT_EQ(greeter->Fail(static_cast<LONG>(E_ACCESSDENIED)), E_ACCESSDENIED);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    zel::CBstr text;
    ASSERT_EQ(info->GetDescription(text.Out()), S_OK);
    EXPECT_EQ(std::u16string(text.get()), u"Greeter failed");
    ASSERT_EQ(info->GetSource(text.Out()), S_OK);
    EXPECT_EQ(std::u16string(text.get()), u"ZelTest.Greeter.1");
    GUID iid{};
    ASSERT_EQ(info->GetGUID(&iid), S_OK);
    EXPECT_EQ(iid, IID_ITestGreeter);
    // Taken: a second look finds none.
    EXPECT_EQ(GetErrorInfo(0, info.Out()), S_FALSE);

    // Through Invoke the failure comes back as an exception with the text.
    VARIANT code;
    VariantInit(&code);
    code.vt = VT_I4;
    code.lVal = static_cast<LONG>(E_FAIL);
    DISPPARAMS fail{&code, nullptr, 1, 0};
    EXCEPINFO excep{};
    EXPECT_EQ(disp->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &fail, nullptr, &excep, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_FAIL);
    ASSERT_NE(excep.bstrDescription, nullptr);
    EXPECT_EQ(std::u16string(excep.bstrDescription), u"Greeter failed");
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);

    greeter.Reset();
    disp.Reset();
    support.Reset();
    CoFreeUnusedLibraries();
}

TEST_F(SystemCom, AnUnregisteredClassIsClassNotRegisteredAndSaysWhichKey) {
    ComPtr<ITestGreeter> greeter;
    (void)SetErrorInfo(0, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_ALL, IID_ITestGreeter,
                               greeter.OutVoid()),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(greeter);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    zel::CBstr text;
    ASSERT_EQ(info->GetDescription(text.Out()), S_OK);
    const std::u16string description(text.get());
    EXPECT_NE(description.find(u"is not registered"), std::u16string::npos);
    EXPECT_NE(description.find(u"\\InprocServer32"), std::u16string::npos);

    // Nor is its ProgID known (the system answers CO_E_CLASSSTRING).
    CLSID clsid{};
    EXPECT_TRUE(FAILED(CLSIDFromProgID(u"ZelTest.Greeter", &clsid)));
}

// A registered class whose library file has gone: a failure (the system
// says REGDB_E_CLASSNOTREG or ERROR_MOD_NOT_FOUND), with a description
// naming the file.
TEST_F(SystemCom, AMissingLibraryIsNamedInTheErrorInformation) {
    const std::string gone = SystemPath(Path("gone.dll"));
    RegisterPath(CLSID_TestGreeter, gone);
    ComPtr<ITestGreeter> greeter;
    const HRESULT hr = CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_ALL, IID_ITestGreeter,
                                        greeter.OutVoid());
    EXPECT_TRUE(FAILED(hr));
    EXPECT_FALSE(greeter);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    zel::CBstr text;
    ASSERT_EQ(info->GetDescription(text.Out()), S_OK);
    const std::string description(text.get(), text.get() + text.Length());
    EXPECT_NE(description.find(gone + " is missing"), std::string::npos) << description;
    EXPECT_EQ(reg::DeleteTree(reg::Hive::ClassesRoot, kGreeterClassKey), reg::kSuccess);
}

// The console client when the class is not registered: one line naming the
// cause, and exit status 1, as on Linux.
TEST_F(SystemCom, FerrunExitsWithOneWhenThePollClassIsNotRegistered) {
    ASSERT_EQ(DefaultValue(kPollClassKey + "\\InprocServer32"), "<missing>");
    int code = -1;
    const std::string out = zel::test::RunCaptured(SystemPath(ZEL_FERRUN) + " -d", &code);
    EXPECT_EQ(code, 1) << out;
    EXPECT_NE(out.find("cannot create the Poll component"), std::string::npos) << out;
    EXPECT_NE(out.find("(0x80040154)"), std::string::npos) << out;
    EXPECT_NE(out.find("\"regsvr32 LIBRARY\" registers the component"), std::string::npos) << out;
}

}  // namespace
