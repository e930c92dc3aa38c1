// A stand-in for the Poll component, for ferrun's tests: a component library
// that registers under the real class identifier CLSID_Poll and answers
// IPoll, so that the real ferrun activates it exactly as it would the real
// component.
//
// Every call is appended, one line each, to the file named by
// ZEL_FAKE_POLL_LOG (texts in double quotes, null BSTRs as "null"), and so
// are the object's creation and its final release.  GetFiles and PutFiles
// answer the status in ZEL_FAKE_POLL_GETFILES / ZEL_FAKE_POLL_PUTFILES
// (hexadecimal, default S_OK); the setters always answer S_OK, as the real
// component's do.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/com/library.h"
#include "platform/com/registration.h"
#include "platform/com/server.h"
#include "poll/ipoll.h"

namespace {

std::string Utf8(BSTR text) {
    if (text == nullptr) return "null";
    std::string out = "\"";
    const unsigned n = SysStringLen(text);
    for (unsigned i = 0; i < n; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out + "\"";
}

void Record(const std::string& line) {
    const char* path = std::getenv("ZEL_FAKE_POLL_LOG");
    if (path == nullptr || *path == '\0') return;
    std::ofstream(path, std::ios::app) << line << '\n';
}

HRESULT Scripted(const char* variable) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') return S_OK;
    return static_cast<HRESULT>(std::strtoul(text, nullptr, 16));
}

class CFakePoll final : public zel::com::ComObject<CFakePoll, IPoll, ISupportErrorInfo> {
  public:
    CFakePoll() { Record("Create"); }
    ~CFakePoll() override { Record("Release"); }

    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }

    HRESULT SetLogFile(BSTR name) override {
        Record("SetLogFile " + Utf8(name));
        return S_OK;
    }
    HRESULT ReleaseLogFile() override {
        Record("ReleaseLogFile");
        return S_OK;
    }
    HRESULT EnableLogging(LONG enable) override {
        Record("EnableLogging " + std::to_string(enable));
        return S_OK;
    }
    HRESULT SetDebugMode(LONG debug) override {
        Record("SetDebugMode " + std::to_string(debug));
        return S_OK;
    }
    HRESULT GetFiles(BSTR dir, BSTR filter) override {
        Record("GetFiles " + Utf8(dir) + " " + Utf8(filter));
        return Scripted("ZEL_FAKE_POLL_GETFILES");
    }
    HRESULT PutFiles(BSTR dir, BSTR filter, BSTR dest) override {
        Record("PutFiles " + Utf8(dir) + " " + Utf8(filter) + " " + Utf8(dest));
        return Scripted("ZEL_FAKE_POLL_PUTFILES");
    }
    HRESULT SetResultFile(BSTR name) override {
        Record("SetResultFile " + Utf8(name));
        return S_OK;
    }
    HRESULT SetUserID(BSTR user) override {
        Record("SetUserID " + Utf8(user));
        return S_OK;
    }

    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_IPoll ? S_OK : S_FALSE;
    }
};

zel::com::ClassEntry Entries() {
    zel::com::ClassEntry e;
    e.clsid = CLSID_Poll;
    e.description = "Poll Class";
    e.threading_model = "Both";
    e.progid = "Poll.Poll.1";
    e.version_independent = "Poll.Poll";
    return e;
}

}  // namespace

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_Poll) return CLASS_E_CLASSNOTAVAILABLE;
    return zel::com::ClassFactory<CFakePoll>::Get(riid, object);
}

extern "C" HRESULT DllCanUnloadNow() {
    return zel::com::ModuleCount::CanUnloadNow();
}

extern "C" HRESULT DllRegisterServer() {
    zel::com::ClassEntry e = Entries();
    if (!zel::com::ModulePathOf(reinterpret_cast<const void*>(&DllGetClassObject), &e.module_path))
        return E_UNEXPECTED;
    return zel::com::RegisterClassEntries(e);
}

extern "C" HRESULT DllUnregisterServer() {
    return zel::com::UnregisterClassEntries(Entries());
}
