// The runtime's own parts: GUID text, VARIANT lifetime, rich error
// information per thread, thread initialisation.
#include <thread>

#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "poll/ipoll.h"
#include "tests/com/com_test_util.h"

namespace {

using zel::com::ComPtr;

TEST(GuidText, RoundTripsAndUsesBracedUpperCase) {
    for (const GUID& g :
         {CLSID_Poll, IID_IPoll, DIID__IPollEvents, LIBID_POLLLib, IID_IDispatch, GUID_NULL}) {
        const std::string text = zel::com::GuidToString(g);
        ASSERT_EQ(text.size(), 38u);
        GUID back{};
        ASSERT_TRUE(zel::com::ParseGuid(text, &back)) << text;
        EXPECT_EQ(back, g) << text;
    }
    EXPECT_EQ(zel::com::GuidToString(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
    GUID lower{};
    ASSERT_TRUE(zel::com::ParseGuid("{06de18f4-8b93-4c8c-8cc1-bf782d8944ec}", &lower));
    EXPECT_EQ(lower, CLSID_Poll);

    OLECHAR wide[39];
    ASSERT_EQ(StringFromGUID2(CLSID_Poll, wide, 39), 39);
    CLSID parsed{};
    EXPECT_EQ(CLSIDFromString(wide, &parsed), S_OK);
    EXPECT_EQ(parsed, CLSID_Poll);
    EXPECT_EQ(StringFromGUID2(CLSID_Poll, wide, 38), 0);  // no room for the terminator
}

TEST(GuidText, RefusesBadTextAndLeavesTheOutputAlone) {
    const char* bad[] = {
        "",
        "06DE18F4-8B93-4C8C-8CC1-BF782D8944EC",     // no braces
        "{06DE18F4-8B93-4C8C-8CC1-BF782D8944EC",    // one brace
        "{06DE18F4-8B93-4C8C-8CC1-BF782D8944EC} ",  // trailing blank
        " {06DE18F4-8B93-4C8C-8CC1-BF782D8944EC}",
        "{06DE18F4-8B93-4C8C-8CC1-BF782D8944EG}",  // not hex
        "{06DE18F4-8B93-4C8C8-CC1-BF782D8944EC}",  // dash moved
        "{06DE18F4-8B93-4C8C-8CC1-BF782D8944E}",   // short
        "{+6DE18F4-8B93-4C8C-8CC1-BF782D8944EC}",  // sign
    };
    for (const char* text : bad) {
        GUID g = IID_IPoll;
        EXPECT_FALSE(zel::com::ParseGuid(text, &g)) << "'" << text << "'";
        EXPECT_EQ(g, IID_IPoll) << "'" << text << "'";
    }
    CLSID c = CLSID_Poll;
    EXPECT_EQ(CLSIDFromString(u"{06DE18F4-8B93-4C8C-8CC1-BF782D8944EC}x", &c), CO_E_CLASSSTRING);
    // A character beyond ASCII must not be narrowed into a hex digit.
    EXPECT_EQ(CLSIDFromString(u"{06DE18F4-8B93-4C8C-8CC1-BF782D8944E\u0143}", &c),
              CO_E_CLASSSTRING);
    EXPECT_EQ(c, CLSID_Poll);
    IID i{};
    EXPECT_EQ(IIDFromString(u"nonsense", &i), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromString(nullptr, &c), E_POINTER);
}

TEST(Variant, ClearFreesWhatItOwnsAndCopyDuplicates) {
    // Leaks and double frees here fail the sanitizer build.
    VARIANT a;
    VariantInit(&a);
    a.vt = VT_BSTR;
    a.bstrVal = SysAllocString(u"text");
    VARIANT b;
    VariantInit(&b);
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    ASSERT_EQ(b.vt, VT_BSTR);
    EXPECT_NE(b.bstrVal, a.bstrVal);
    EXPECT_EQ(std::u16string(b.bstrVal), u"text");
    EXPECT_EQ(VariantClear(&a), S_OK);
    EXPECT_EQ(a.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&b), S_OK);

    // A type it does not know is left alone rather than freed as something.
    VARIANT odd;
    VariantInit(&odd);
    odd.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
    EXPECT_EQ(odd.vt, 0x0FFF);
    // By reference owns nothing.
    BSTR owned = SysAllocString(u"mine");
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &owned;
    EXPECT_EQ(VariantClear(&ref), S_OK);
    EXPECT_EQ(std::u16string(owned), u"mine");
    SysFreeString(owned);

    // A 64-bit integer (a byte count beyond 4 GiB) is copied whole.
    VARIANT big;
    VariantInit(&big);
    big.vt = VT_I8;
    big.llVal = (LONGLONG{5} << 32) + 7;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &big), S_OK);
    EXPECT_EQ(copy.vt, VT_I8);
    EXPECT_EQ(copy.llVal, (LONGLONG{5} << 32) + 7);
    EXPECT_EQ(VariantClear(&copy), S_OK);
}

class ErrorInfoTest : public zel::test::ComRoot {};

TEST_F(ErrorInfoTest, IsPerThreadAndTakenByGetErrorInfo) {
    ASSERT_EQ(zel::com::SetErrorDetails(IID_IPoll, u"Poll.Poll.1", u"File name  is invalid."),
              S_OK);

    HRESULT other = E_FAIL;
    std::thread t([&other] {
        ComPtr<IErrorInfo> seen;
        other = GetErrorInfo(0, seen.Out());
    });
    t.join();
    EXPECT_EQ(other, S_FALSE) << "another thread saw this thread's error";

    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    ASSERT_TRUE(info);
    GUID g{};
    EXPECT_EQ(info->GetGUID(&g), S_OK);
    EXPECT_EQ(g, IID_IPoll);
    zel::CBstr source, description;
    EXPECT_EQ(info->GetSource(source.Out()), S_OK);
    EXPECT_EQ(info->GetDescription(description.Out()), S_OK);
    EXPECT_EQ(std::u16string(source.get()), u"Poll.Poll.1");
    EXPECT_EQ(std::u16string(description.get()), u"File name  is invalid.");

    ComPtr<IErrorInfo> again;
    EXPECT_EQ(GetErrorInfo(0, again.Out()), S_FALSE);
    EXPECT_FALSE(again);
}

TEST_F(ErrorInfoTest, SetOnAnotherThreadStaysThereAndLeavingClearsIt) {
    HRESULT seen_there = E_FAIL;
    std::thread t([&seen_there] {
        (void)CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        zel::com::SetErrorDetails(IID_IPoll, u"src", u"there");
        CoUninitialize();  // the thread leaves: its error object goes
        ComPtr<IErrorInfo> info;
        seen_there = GetErrorInfo(0, info.Out());
    });
    t.join();
    EXPECT_EQ(seen_there, S_FALSE);
    ComPtr<IErrorInfo> here;
    EXPECT_EQ(GetErrorInfo(0, here.Out()), S_FALSE);
}

TEST(Apartment, InitialisationCountsAndGuardsActivation) {
    std::thread t([] {
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(CoCreateInstance(CLSID_Poll, nullptr, CLSCTX_ALL, IID_IPoll, &object),
                  CO_E_NOTINITIALIZED);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        CoUninitialize();  // one too many: ignored
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
    t.join();
}

TEST(ResultText, NamesTheStandardCodes) {
    EXPECT_EQ(zel::com::ResultText(REGDB_E_CLASSNOTREG), "Class not registered");
    EXPECT_EQ(zel::com::ResultText(HResultFromWin32(126)),
              "The specified module could not be found");
    EXPECT_EQ(zel::com::ResultText(MakeResult(0x801F8161)), "Unknown error");
}

}  // namespace
