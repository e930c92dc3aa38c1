// A test double of the Poll component, registered under CLSID_Poll in a
// scratch system root, so that the job runner's side of a transfer is tested
// exactly.  Driven by the environment the runner passes on:
//   ZEL_FAKE_POLL_CALLS   file that gets one line per IPoll call, in order
//   ZEL_FAKE_POLL_DOWN    file whose bytes GetFiles appends to the result
//                         file in DOWNLOAD (used once: renamed to *.used);
//                         without it GetFiles writes the "nothing published"
//                         line
//   ZEL_FAKE_POLL_UP      the same for PutFiles and UPLOAD (no default line)
//   ZEL_FAKE_POLL_PLACE   directory whose files GetFiles copies into DOWNLOAD
//                         (once: renamed to *.used), as placed downloads
//   ZEL_FAKE_POLL_DELAY_MS  GetFiles first waits that long (lock tests)
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

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// ASCII is all the tests pass; anything else shows as '?'.
std::string Narrow(BSTR b) {
    if (b == nullptr) return "<null>";
    std::string out;
    for (unsigned i = 0; i < SysStringLen(b); ++i)
        out += b[i] < 128 ? static_cast<char>(b[i]) : '?';
    return out;
}

void Append(const std::string& path, const std::string& text) {
    if (path.empty()) return;
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

void Record(const std::string& line) {
    Append(Env("ZEL_FAKE_POLL_CALLS"), line + "\n");
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

class CFakePoll final : public zel::com::ComObject<CFakePoll, IPoll> {
  public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count != nullptr) *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT SetLogFile(BSTR name) override {
        Record("SetLogFile " + Narrow(name));
        return S_OK;
    }
    HRESULT ReleaseLogFile() override {
        Record("ReleaseLogFile");
        return S_OK;
    }
    HRESULT EnableLogging(LONG on) override {
        Record("EnableLogging " + std::to_string(on));
        return S_OK;
    }
    HRESULT SetDebugMode(LONG on) override {
        Record("SetDebugMode " + std::to_string(on));
        return S_OK;
    }
    HRESULT SetResultFile(BSTR name) override {
        Record("SetResultFile " + Narrow(name));
        if (name != nullptr) result_name_ = Narrow(name);
        return S_OK;
    }
    HRESULT SetUserID(BSTR id) override {
        Record("SetUserID " + Narrow(id));
        return S_OK;
    }
    HRESULT GetFiles(BSTR dir, BSTR filter) override {
        Record("GetFiles " + Narrow(dir) + " " + Narrow(filter));
        const long delay = std::strtol(Env("ZEL_FAKE_POLL_DELAY_MS").c_str(), nullptr, 10);
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        const std::string down = zel::paths::DownloadDir();
        std::error_code ec;
        sfs::create_directories(down, ec);
        const std::string place = Env("ZEL_FAKE_POLL_PLACE");
        if (!place.empty() && sfs::is_directory(place, ec)) {
            for (const auto& e : sfs::directory_iterator(place, ec)) {
                sfs::copy_file(e.path(), down + "/" + e.path().filename().string(),
                               sfs::copy_options::overwrite_existing, ec);
            }
            sfs::rename(place, place + ".used", ec);
        }
        const std::string result = down + "/" + result_name_;
        if (!UseScript("ZEL_FAKE_POLL_DOWN", result)) {
            Append(result, "1000 NO POLL FILES AVAILABLE.\r\n");
        }
        return S_OK;
    }
    HRESULT PutFiles(BSTR dir, BSTR filter, BSTR dest) override {
        Record("PutFiles " + Narrow(dir) + " " + Narrow(filter) + " " + Narrow(dest));
        const std::string up = zel::paths::UploadDir();
        std::error_code ec;
        sfs::create_directories(up, ec);
        (void)UseScript("ZEL_FAKE_POLL_UP", up + "/" + result_name_);
        return S_OK;
    }

  private:
    std::string result_name_ = "Poll.Result";
};

zel::com::ClassEntry Entries() {
    zel::com::ClassEntry e;
    e.clsid = CLSID_Poll;
    e.description = "Poll Class (test double)";
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
