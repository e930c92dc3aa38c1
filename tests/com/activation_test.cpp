// Activation of a real component library: CoCreateInstance from the
// registry store, QueryInterface, dispatch, connection points, unloading,
// and each way activation can fail.
#include <dlfcn.h>

#include <atomic>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/server.h"
#include "platform/paths.h"
#include "tests/com/com_test_util.h"
#include "tests/com/run_program.h"
#include "tests/com/test_component.h"

namespace {

using zel::com::ComPtr;

constexpr CLSID kUnknownClass{
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

class Activation : public zel::test::ComRoot {
  protected:
    void SetUp() override {
        ComRoot::SetUp();
        RegisterPath(CLSID_TestGreeter, ZEL_TEST_COMPONENT);
    }

    static HRESULT Create(REFCLSID clsid, ComPtr<ITestGreeter>* out, DWORD context = CLSCTX_ALL) {
        return CoCreateInstance(clsid, nullptr, context, IID_ITestGreeter, out->OutVoid());
    }

    // Whether the component is mapped in the process right now.
    static bool ComponentMapped() {
        void* h = ::dlopen(ZEL_TEST_COMPONENT, RTLD_NOW | RTLD_NOLOAD);
        if (h == nullptr) return false;
        ::dlclose(h);
        return true;
    }
    static HRESULT ComponentCanUnloadNow() {
        void* h = ::dlopen(ZEL_TEST_COMPONENT, RTLD_NOW | RTLD_NOLOAD);
        if (h == nullptr) return E_UNEXPECTED;
        auto fn = reinterpret_cast<HRESULT (*)()>(::dlsym(h, "DllCanUnloadNow"));
        const HRESULT hr = fn != nullptr ? fn() : E_UNEXPECTED;
        ::dlclose(h);
        return hr;
    }
};

// A sink for the connection point that counts its references.
class Sink final : public IUnknown {
  public:
    explicit Sink(const IID& answers) : answers_(answers) {}
    HRESULT QueryInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (riid != IID_IUnknown && riid != answers_) return E_NOINTERFACE;
        AddRef();
        *object = this;
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    std::atomic<ULONG> refs{1};

  private:
    IID answers_;
};

TEST_F(Activation, CreatesTheObjectAndAnswersItsInterfaces) {
    ComPtr<ITestGreeter> greeter;
    ASSERT_EQ(Create(CLSID_TestGreeter, &greeter), S_OK);
    ASSERT_TRUE(greeter);

    zel::CBstr name(SysAllocString(u"Ann"));
    EXPECT_EQ(greeter->Greet(name.get(), 2), S_OK);
    zel::CBstr greeting;
    LONG count = 0;
    ASSERT_EQ(greeter->Peek(greeting.Out(), &count), S_OK);
    EXPECT_EQ(std::u16string(greeting.get()), u"Hello, Ann");
    EXPECT_EQ(count, 2);

    // Every interface leads to the same identity; IDispatch comes with the
    // dual interface.
    ComPtr<IUnknown> id1, id2;
    ComPtr<IDispatch> disp;
    ComPtr<ISupportErrorInfo> support;
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(greeter.As(&id1), S_OK);
    ASSERT_EQ(greeter.As(&disp), S_OK);
    ASSERT_EQ(greeter.As(&support), S_OK);
    ASSERT_EQ(greeter.As(&cpc), S_OK);
    ASSERT_EQ(support.As(&id2), S_OK);
    EXPECT_EQ(id1.get(), id2.get());
    EXPECT_EQ(static_cast<IDispatch*>(greeter.get()), disp.get());
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ITestGreeter), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(greeter->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
}

TEST_F(Activation, FindsTheClassByProgIdOnceRegistered) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"ZelTest.Greeter.1", &clsid), REGDB_E_CLASSNOTREG);
    zel::reg::Key key;
    ASSERT_EQ(
        zel::reg::CreateKey(zel::reg::Hive::ClassesRoot, "ZelTest.Greeter.1\\CLSID", &key, nullptr),
        zel::reg::kSuccess);
    ASSERT_EQ(zel::reg::SetString(key, "", zel::com::GuidToString(CLSID_TestGreeter)),
              zel::reg::kSuccess);
    EXPECT_EQ(CLSIDFromProgID(u"zeltest.greeter.1", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestGreeter);
    EXPECT_EQ(CLSIDFromProgID(u"ZelTest.Greeter.1\\CLSID", &clsid), CO_E_CLASSSTRING);
}

TEST_F(Activation, InvokesByNameWithStringAndIntegerArguments) {
    ComPtr<IDispatch> disp;
    ASSERT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               disp.OutVoid()),
              S_OK);
    OLECHAR greet_name[] = u"gReEt";
    LPOLESTR names[] = {greet_name};
    DISPID id = 0;
    ASSERT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, 1);
    OLECHAR unknown_name[] = u"Shout";
    names[0] = unknown_name;
    DISPID unknown = 0;
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &unknown), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(unknown, DISPID_UNKNOWN);

    // Greet("Bob", 3): arguments arrive last one first.
    zel::CBstr bob(SysAllocString(u"Bob"));
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_I4;
    args[0].lVal = 3;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = bob.get();
    DISPPARAMS params{args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    result.vt = VT_I4;
    ASSERT_EQ(disp->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_EMPTY);
    ComPtr<ITestGreeter> greeter;
    ASSERT_EQ(disp.As(&greeter), S_OK);
    zel::CBstr greeting;
    LONG count = 0;
    ASSERT_EQ(greeter->Peek(greeting.Out(), &count), S_OK);
    EXPECT_EQ(std::u16string(greeting.get()), u"Hello, Bob");
    EXPECT_EQ(count, 3);

    // An integer by reference, as script hosts pass it.
    LONG seven = 7;
    VARIANT byref;
    VariantInit(&byref);
    byref.vt = VT_BYREF | VT_I4;
    byref.plVal = &seven;
    DISPPARAMS one{&byref, nullptr, 1, 0};
    EXPECT_EQ(disp->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr), S_OK);
    ASSERT_EQ(greeter->Peek(greeting.Out(), &count), S_OK);
    EXPECT_EQ(count, 7);

    // Wrong count, wrong type (reported at its rgvarg index), unknown member.
    EXPECT_EQ(disp->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    std::swap(args[0], args[1]);
    UINT bad_arg = 99;
    EXPECT_EQ(disp->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &bad_arg),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bad_arg, 1u);
    EXPECT_EQ(disp->Invoke(9, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(disp->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    ASSERT_EQ(greeter->Peek(greeting.Out(), &count), S_OK);
    EXPECT_EQ(count, 7) << "a refused call must not reach the method";

    // A failing method: its status and rich error information in EXCEPINFO.
    VARIANT code;
    VariantInit(&code);
    code.vt = VT_I4;
    code.lVal = static_cast<LONG>(E_ACCESSDENIED);
    DISPPARAMS fail{&code, nullptr, 1, 0};
    EXCEPINFO excep{};
    EXPECT_EQ(disp->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &fail, nullptr, &excep, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_ACCESSDENIED);
    ASSERT_NE(excep.bstrDescription, nullptr);
    EXPECT_EQ(std::u16string(excep.bstrDescription), u"Greeter failed");
    EXPECT_EQ(std::u16string(excep.bstrSource), u"ZelTest.Greeter.1");
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    EXPECT_EQ(disp->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &fail, nullptr, nullptr, nullptr),
              E_ACCESSDENIED);
}

TEST_F(Activation, ConnectionPointKeepsAdviseAndUnadvise) {
    Sink sink(DIID_ITestGreeterEvents);
    Sink stranger(IID_IDispatch);
    {
        ComPtr<ITestGreeter> greeter;
        ASSERT_EQ(Create(CLSID_TestGreeter, &greeter), S_OK);
        ComPtr<IConnectionPointContainer> cpc;
        ASSERT_EQ(greeter.As(&cpc), S_OK);
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(cpc->FindConnectionPoint(IID_IDispatch, point.Out()), CONNECT_E_NOCONNECTION);
        ASSERT_EQ(cpc->FindConnectionPoint(DIID_ITestGreeterEvents, point.Out()), S_OK);
        IID iid{};
        EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
        EXPECT_EQ(iid, DIID_ITestGreeterEvents);

        DWORD cookie = 0, second = 0, none = 5;
        ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
        ASSERT_EQ(point->Advise(&sink, &second), S_OK);
        EXPECT_NE(cookie, 0u);
        EXPECT_NE(cookie, second);
        EXPECT_EQ(sink.refs, 3u);
        EXPECT_EQ(point->Advise(&stranger, &none), CONNECT_E_CANNOTCONNECT);
        EXPECT_EQ(none, 0u);
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
        EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
        EXPECT_EQ(sink.refs, 2u);
    }
    // The object's end drops the connection still advised.
    EXPECT_EQ(sink.refs, 1u);
    EXPECT_EQ(stranger.refs, 1u);
}

TEST_F(Activation, UnloadsTheLibraryOnlyOnceNothingOfItLives) {
    ComPtr<ITestGreeter> greeter;
    ASSERT_EQ(Create(CLSID_TestGreeter, &greeter), S_OK);
    EXPECT_EQ(zel::com::LoadedLibraryCount(), 1);
    EXPECT_EQ(ComponentCanUnloadNow(), S_FALSE);
    CoFreeAllLibraries();
    EXPECT_TRUE(ComponentMapped()) << "unloaded under a live object";

    // A second object comes from the library already loaded.
    ComPtr<ITestGreeter> other;
    ASSERT_EQ(Create(CLSID_TestGreeter, &other), S_OK);
    EXPECT_EQ(zel::com::LoadedLibraryCount(), 1);
    greeter.Reset();
    EXPECT_EQ(ComponentCanUnloadNow(), S_FALSE);
    other.Reset();
    EXPECT_EQ(ComponentCanUnloadNow(), S_OK);

    // A held class factory and a server lock keep it too.
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestGreeter, CLSCTX_ALL, nullptr, IID_IClassFactory,
                               factory.OutVoid()),
              S_OK);
    EXPECT_EQ(factory->LockServer(1), S_OK);
    factory.Reset();
    CoFreeAllLibraries();
    EXPECT_TRUE(ComponentMapped()) << "unloaded under a server lock";
    ASSERT_EQ(CoGetClassObject(CLSID_TestGreeter, CLSCTX_ALL, nullptr, IID_IClassFactory,
                               factory.OutVoid()),
              S_OK);
    EXPECT_EQ(factory->LockServer(0), S_OK);
    factory.Reset();

    CoFreeAllLibraries();
    EXPECT_EQ(zel::com::LoadedLibraryCount(), 0);
    EXPECT_FALSE(ComponentMapped());

    // And it loads again on demand.
    ASSERT_EQ(Create(CLSID_TestGreeter, &greeter), S_OK);
    EXPECT_EQ(zel::com::LoadedLibraryCount(), 1);
}

TEST_F(Activation, EachFailureHasItsOwnResult) {
    const std::string missing = dir_ + "/nowhere/libgone.so";
    const std::string not_elf = dir_ + "/text.so";
    WriteFile(not_elf, "this is no library\n");
    constexpr CLSID kMissing{0xA1, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    constexpr CLSID kNotElf{0xA2, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};
    constexpr CLSID kNoEntry{0xA3, 0, 0, {0, 0, 0, 0, 0, 0, 0, 3}};
    constexpr CLSID kNotServed{0xA4, 0, 0, {0, 0, 0, 0, 0, 0, 0, 4}};
    constexpr CLSID kEmptyPath{0xA5, 0, 0, {0, 0, 0, 0, 0, 0, 0, 5}};
    constexpr CLSID kNoInproc{0xA6, 0, 0, {0, 0, 0, 0, 0, 0, 0, 6}};
    RegisterPath(kMissing, missing);
    RegisterPath(kNotElf, not_elf);
    RegisterPath(kNoEntry, ZEL_TEST_NO_ENTRY);
    RegisterPath(kNotServed, ZEL_TEST_COMPONENT);
    RegisterPath(kEmptyPath, "");
    zel::reg::Key bare;
    ASSERT_EQ(zel::reg::CreateKey(zel::reg::Hive::ClassesRoot,
                                  "CLSID\\" + zel::com::GuidToString(kNoInproc), &bare, nullptr),
              zel::reg::kSuccess);

    // The runtime's own failures also say why in the rich error
    // information, naming the store or the library.
    const std::string store = zel::paths::RegistryFile();
    const std::string not_registered = "not registered (no HKEY_CLASSES_ROOT";
    struct Case {
        const char* what;
        CLSID clsid;
        DWORD context;
        HRESULT expected;
        std::string says;  // in the error description; empty: no description
    } cases[] = {
        {"unregistered", kUnknownClass, CLSCTX_ALL, REGDB_E_CLASSNOTREG, not_registered},
        {"no InprocServer32", kNoInproc, CLSCTX_ALL, REGDB_E_CLASSNOTREG, store},
        {"empty path", kEmptyPath, CLSCTX_ALL, REGDB_E_CLASSNOTREG, not_registered},
        {"local server only", CLSID_TestGreeter, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG, ""},
        {"missing file", kMissing, CLSCTX_ALL, CO_E_DLLNOTFOUND, missing + " is missing"},
        {"not a library", kNotElf, CLSCTX_ALL, CO_E_BADLIBRARY, not_elf + " cannot be loaded: "},
        {"no DllGetClassObject", kNoEntry, CLSCTX_ALL, CO_E_ERRORINDLL, "no DllGetClassObject"},
        {"class not served", kNotServed, CLSCTX_ALL, CLASS_E_CLASSNOTAVAILABLE, ""},
    };
    for (const Case& c : cases) {
        ComPtr<ITestGreeter> out;
        (void)SetErrorInfo(0, nullptr);
        EXPECT_EQ(Create(c.clsid, &out, c.context), c.expected) << c.what;
        EXPECT_FALSE(out) << c.what;
        ComPtr<IErrorInfo> info;
        const bool has_info = GetErrorInfo(0, info.Out()) == S_OK && info;
        EXPECT_EQ(has_info, !c.says.empty()) << c.what;
        if (!has_info) continue;
        zel::CBstr text;
        ASSERT_EQ(info->GetDescription(text.Out()), S_OK);
        const std::string description(text.get(), text.get() + text.Length());
        EXPECT_NE(description.find(c.says), std::string::npos) << c.what << ": " << description;
    }
    // Libraries that failed are not kept loaded.
    EXPECT_EQ(zel::com::LoadedLibraryCount(), 1);  // the component, for "class not served"

    ComPtr<IUnknown> outer;
    ASSERT_EQ(
        CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_ALL, IID_IUnknown, outer.OutVoid()),
        S_OK);
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, outer.get(), CLSCTX_ALL, IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_ALL, IID_IClassFactory, &object),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr),
              E_POINTER);
}

TEST(ComponentExports, OnlyTheFourEntryPointsLeaveTheLibrary) {
    void* h = ::dlopen(ZEL_TEST_COMPONENT, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << ::dlerror();
    for (const char* entry :
         {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
        EXPECT_NE(::dlsym(h, entry), nullptr) << entry;
    EXPECT_EQ(::dlsym(h, "ZelTestInternalHelper"), nullptr);
    ::dlclose(h);

    const zel::test::RunResult nm =
        zel::test::Run(std::string("nm -D --defined-only ") + ZEL_TEST_COMPONENT);
    ASSERT_EQ(nm.exit_code, 0) << nm.output;
    std::istringstream lines(nm.output);
    std::string line;
    int entries = 0;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(line.find_last_of(' ') + 1);
        const bool entry = name == "DllGetClassObject" || name == "DllCanUnloadNow" ||
                           name == "DllRegisterServer" || name == "DllUnregisterServer";
        entries += entry ? 1 : 0;
        EXPECT_TRUE(entry) << "exported: " << line;
    }
    EXPECT_EQ(entries, 4);
}

}  // namespace
