// A small component library for the runtime's tests, built with
// zel_add_component: the class TestGreeter with ITestGreeter (dual),
// ISupportErrorInfo and IConnectionPointContainer.  Built twice: the second
// copy (ZEL_TEST_REGISTER_FAILS) refuses registration.
#include "tests/com/test_component.h"

#include <string>
#include <vector>

#include "platform/com/library.h"
#include "platform/com/registration.h"
#include "platform/com/server.h"

using zel::com::ComObject;

namespace {

class CTestGreeter;

HRESULT CallGreet(CTestGreeter& self, const zel::com::DispArg* args);
HRESULT CallSetCount(CTestGreeter& self, const zel::com::DispArg* args);
HRESULT CallFail(CTestGreeter& self, const zel::com::DispArg* args);

const zel::com::DispMember<CTestGreeter> kMembers[] = {
    {u"Greet", 1, 2, {VT_BSTR, VT_I4}, &CallGreet},
    {u"SetCount", 2, 1, {VT_I4}, &CallSetCount},
    {u"Fail", 3, 1, {VT_I4}, &CallFail},
};

class CTestGreeter final
    : public ComObject<CTestGreeter, ITestGreeter, ISupportErrorInfo, IConnectionPointContainer> {
  public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return zel::com::DispGetIDsOfNames<CTestGreeter>(kMembers, riid, names, count, ids);
    }
    HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excep, UINT* arg_error) override {
        return zel::com::DispInvoke<CTestGreeter>(kMembers, *this, id, riid, flags, params, result,
                                                  excep, arg_error);
    }

    HRESULT Greet(BSTR name, LONG times) override {
        greeting_.assign(u"Hello, ");
        if (name != nullptr) greeting_.append(name, SysStringLen(name));
        count_ = times;
        return S_OK;
    }
    HRESULT SetCount(LONG count) override {
        count_ = count;
        return S_OK;
    }
    HRESULT Fail(LONG code) override {
        zel::com::SetErrorDetails(IID_ITestGreeter, u"ZelTest.Greeter.1", u"Greeter failed");
        return static_cast<HRESULT>(code);
    }
    HRESULT Peek(BSTR* greeting, LONG* count) override {
        if (greeting == nullptr || count == nullptr) return E_POINTER;
        *greeting = SysAllocStringLen(greeting_.data(), static_cast<unsigned>(greeting_.size()));
        *count = count_;
        return S_OK;
    }

    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_ITestGreeter ? S_OK : S_FALSE;
    }

    HRESULT EnumConnectionPoints(IEnumConnectionPoints** out) override {
        if (out != nullptr) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (riid != events_.iid()) return CONNECT_E_NOCONNECTION;
        return events_.QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(out));
    }

  private:
    std::u16string greeting_;
    LONG count_ = 0;
    zel::com::EmbeddedConnectionPoint events_{this, DIID_ITestGreeterEvents};
};

HRESULT CallGreet(CTestGreeter& self, const zel::com::DispArg* args) {
    return self.Greet(args[0].bstr, args[1].i4);
}
HRESULT CallSetCount(CTestGreeter& self, const zel::com::DispArg* args) {
    return self.SetCount(args[0].i4);
}
HRESULT CallFail(CTestGreeter& self, const zel::com::DispArg* args) {
    return self.Fail(args[0].i4);
}

zel::com::ClassEntry Entries() {
    zel::com::ClassEntry e;
    e.clsid = CLSID_TestGreeter;
    e.description = "TestGreeter Class";
    e.threading_model = "Both";
    e.progid = kTestProgId;
    e.version_independent = kTestVersionIndependentProgId;
    e.programmable = true;
    e.typelib.libid = LIBID_TestGreeterLib;
    e.typelib.help_string = "TestGreeter 1.0 Type Library";
    e.typelib.interfaces = {{IID_ITestGreeter, "ITestGreeter"}};
    return e;
}

}  // namespace

// Not an entry point: the export map must keep it inside the library even
// though it asks for default visibility.
extern "C" __attribute__((visibility("default"))) int ZelTestInternalHelper() {
    return 42;
}

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_TestGreeter) return CLASS_E_CLASSNOTAVAILABLE;
    return zel::com::ClassFactory<CTestGreeter>::Get(riid, object);
}

extern "C" HRESULT DllCanUnloadNow() {
    return zel::com::ModuleCount::CanUnloadNow();
}

extern "C" HRESULT DllRegisterServer() {
#ifdef ZEL_TEST_REGISTER_FAILS
    return SELFREG_E_CLASS;
#else
    zel::com::ClassEntry e = Entries();
    if (!zel::com::ModulePathOf(reinterpret_cast<const void*>(&DllGetClassObject), &e.module_path))
        return E_UNEXPECTED;
    e.typelib.path = e.module_path;
    return zel::com::RegisterClassEntries(e);
#endif
}

extern "C" HRESULT DllUnregisterServer() {
    return zel::com::UnregisterClassEntries(Entries());
}
