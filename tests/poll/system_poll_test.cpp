// Poll.dll on Windows, as the system's tools and COM see it: regsvr32
// writes the component's registry entries and removal takes back exactly
// those, CoCreateInstance of Poll.Poll gives the IPoll object, a setter's
// failure reaches the client as rich error information, and ferrun.exe
// drives the registered component.
//
// The registry here is the wine prefix's one, shared by every test: the
// cases run one at a time (WINDOWS_LOCK) and remove what they registered.
#include <gtest/gtest.h>

#include <string>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "poll/ipoll.h"
#include "tests/com/com_test_util.h"
#include "tests/com/system_registry.h"

namespace {

using zel::com::ComPtr;
using zel::test::Regsvr32;
using zel::test::SystemPath;
using zel::test::Take;

const std::string kClassKey = "CLSID\\" + zel::com::GuidToString(CLSID_Poll);

zel::test::Footprint PollFootprint() {
    return Take(CLSID_Poll, "Poll.Poll.1", "Poll.Poll", LIBID_POLLLib,
                {IID_IPoll, DIID__IPollEvents});
}

class SystemPoll : public zel::test::ComRoot {
  protected:
    void TearDown() override {
        (void)Regsvr32(ZEL_POLL_DLL, true);
        ComRoot::TearDown();
    }
};

TEST_F(SystemPoll, Regsvr32WritesTheEntriesAndRemovalTakesBackExactlyThose) {
    const zel::test::Footprint before = PollFootprint();
    ASSERT_EQ(before.class_key, "<missing>");

    ASSERT_EQ(Regsvr32(ZEL_POLL_DLL, false), 0);
    const std::string clsid = zel::com::GuidToString(CLSID_Poll);
    EXPECT_EQ(DefaultValue("Poll.Poll.1"), "Poll Class");
    EXPECT_EQ(DefaultValue("Poll.Poll.1\\CLSID"), clsid);
    EXPECT_EQ(DefaultValue("Poll.Poll"), "Poll Class");
    EXPECT_EQ(DefaultValue("Poll.Poll\\CLSID"), clsid);
    EXPECT_EQ(DefaultValue("Poll.Poll\\CurVer"), "Poll.Poll.1");
    EXPECT_EQ(DefaultValue(kClassKey), "Poll Class");
    EXPECT_EQ(DefaultValue(kClassKey + "\\ProgID"), "Poll.Poll.1");
    EXPECT_EQ(DefaultValue(kClassKey + "\\VersionIndependentProgID"), "Poll.Poll");
    EXPECT_EQ(zel::test::Dump(kClassKey + "\\Programmable"), "[" + kClassKey + "\\Programmable]\n");
    EXPECT_EQ(zel::test::Lower(DefaultValue(kClassKey + "\\InprocServer32")),
              zel::test::Lower(SystemPath(ZEL_POLL_DLL)));
    EXPECT_EQ(DefaultValue(kClassKey + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(DefaultValue(kClassKey + "\\TypeLib"), zel::com::GuidToString(LIBID_POLLLib));

    ASSERT_EQ(Regsvr32(ZEL_POLL_DLL, true), 0);
    EXPECT_EQ(PollFootprint(), before);
}

TEST_F(SystemPoll, CreatesTheObjectAndReportsASetterFailureAsRichErrorInformation) {
    ASSERT_EQ(Regsvr32(ZEL_POLL_DLL, false), 0);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Poll.Poll", &clsid), S_OK);
    ComPtr<IPoll> poll;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IPoll, poll.OutVoid()), S_OK);

    // An empty log file name: S_OK, and the reason as rich error
    // information of IPoll from Poll.Poll.1.
    zel::CBstr empty(SysAllocString(u""));
    EXPECT_EQ(poll->SetLogFile(empty.get()), S_OK);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    zel::CBstr text;
    ASSERT_EQ(info->GetDescription(text.Out()), S_OK);
    EXPECT_EQ(std::u16string(text.get()), u"Input data error~~File name  is invalid.");
    ASSERT_EQ(info->GetSource(text.Out()), S_OK);
    EXPECT_EQ(std::u16string(text.get()), u"Poll.Poll.1");
    GUID iid{};
    ASSERT_EQ(info->GetGUID(&iid), S_OK);
    EXPECT_EQ(iid, IID_IPoll);
    EXPECT_EQ(poll->SetResultFile(nullptr), S_OK);

    // Its dispatch names and the event interface's connection point.
    OLECHAR member[] = u"GetFiles";
    LPOLESTR names[] = {member};
    DISPID id = 0;
    ASSERT_EQ(poll->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, DISPID_IPoll_GetFiles);
    ComPtr<IConnectionPointContainer> points;
    ASSERT_EQ(poll.As(&points), S_OK);
    ComPtr<IConnectionPoint> events;
    EXPECT_EQ(points->FindConnectionPoint(DIID__IPollEvents, events.Out()), S_OK);
}

// The console client with the component registered: it is created, the
// download fails for want of the dealer's files, and the exit status is 0
// (the outcome is in the log and the result file).
TEST_F(SystemPoll, FerrunDrivesTheRegisteredComponent) {
    ASSERT_EQ(Regsvr32(ZEL_POLL_DLL, false), 0);
    int code = -1;
    const std::string out = zel::test::RunCaptured(SystemPath(ZEL_FERRUN) + " -d", &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("Creating instance of Poll COM component...done"), std::string::npos) << out;
    EXPECT_NE(out.find("download failed"), std::string::npos) << out;
}

}  // namespace
