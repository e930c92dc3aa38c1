// A stand-in for the Poll component: a component library that registers
// under the real class identifier CLSID_Poll and answers IPoll, so that the
// real ferrun and the real job runner activate it exactly as they would the
// real component.  It records every call and plays back scripted result
// files, for the cases a real server cannot be made to produce; what it
// does is steered by the environment described in fake_poll.h.  Every call
// answers S_OK.
#include "tests/common/fake_poll.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/com/library.h"
#include "platform/com/registration.h"
#include "platform/com/server.h"
#include "platform/paths.h"
#include "poll/ipoll.h"

namespace {

namespace sfs = std::filesystem;
namespace ctl = zel::test::fake_poll;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// The text as UTF-8 (surrogate pairs joined).
std::string Utf8(BSTR text) {
    std::string out;
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
    return out;
}

// An argument as the record shows it: quoted, so that an empty text and
// a missing one (null) differ.
std::string Shown(BSTR text) {
    return text == nullptr ? "null" : "\"" + Utf8(text) + "\"";
}

void Append(const std::string& path, const std::string& text) {
    if (path.empty()) return;
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

void Record(const std::string& line) {
    Append(Env(ctl::kCalls), line + "\n");
}

// Appends the script's bytes to result (once); false when there is none.
bool UseScript(const char* variable, const std::string& result) {
    const std::string script = Env(variable);
    std::error_code ec;
    if (script.empty() || !sfs::exists(script, ec)) return false;
    std::ostringstream bytes;
    bytes << std::ifstream(script, std::ios::binary).rdbuf();
    Append(result, bytes.str());
    sfs::rename(script, script + ".used", ec);
    return true;
}

// Copies the files of the placing directory into DOWNLOAD (once).
void PlaceDownloads(const std::string& down) {
    const std::string place = Env(ctl::kPlaceDir);
    std::error_code ec;
    if (place.empty() || !sfs::is_directory(place, ec)) return;
    for (const auto& e : sfs::directory_iterator(place, ec)) {
        sfs::copy_file(e.path(), down + "/" + e.path().filename().string(),
                       sfs::copy_options::overwrite_existing, ec);
    }
    sfs::rename(place, place + ".used", ec);
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
        Record("SetLogFile " + Shown(name));
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
        Record("GetFiles " + Shown(dir) + " " + Shown(filter));
        const long delay = std::strtol(Env(ctl::kDelayMs).c_str(), nullptr, 10);
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        const std::string down = zel::paths::DownloadDir();
        std::error_code ec;
        sfs::create_directories(down, ec);
        PlaceDownloads(down);
        const std::string result = down + "/" + result_name_;
        if (!UseScript(ctl::kDownScript, result)) {
            Append(result, "1000 NO POLL FILES AVAILABLE.\r\n");
        }
        return S_OK;
    }
    HRESULT PutFiles(BSTR dir, BSTR filter, BSTR dest) override {
        Record("PutFiles " + Shown(dir) + " " + Shown(filter) + " " + Shown(dest));
        const std::string up = zel::paths::UploadDir();
        std::error_code ec;
        sfs::create_directories(up, ec);
        (void)UseScript(ctl::kUpScript, up + "/" + result_name_);
        return S_OK;
    }
    HRESULT SetResultFile(BSTR name) override {
        Record("SetResultFile " + Shown(name));
        if (name != nullptr) result_name_ = Utf8(name);
        return S_OK;
    }
    HRESULT SetUserID(BSTR user) override {
        Record("SetUserID " + Shown(user));
        return S_OK;
    }

    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_IPoll ? S_OK : S_FALSE;
    }

  private:
    std::string result_name_ = "Poll.Result";
};

zel::com::ClassEntry Entries() {
    zel::com::ClassEntry e;
    e.clsid = CLSID_Poll;
    e.description = "Poll Class (stand-in for tests)";
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
