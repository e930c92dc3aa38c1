// regsvr: registers or unregisters a component library, like regsvr32.
//
//   regsvr [/u] [/s] LIBRARY
//
// Loads the library, calls its DllRegisterServer (or DllUnregisterServer
// with /u) and reports the outcome: a success line on standard output, or
// the failing result code in hexadecimal with its text on standard error.
// /s suppresses the success line only: a failure is always reported.  Exit
// status 0 on success, 2 for a wrong command line (the usage text goes to
// standard error), 1 for any other failure.  Owns nothing beyond its run.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/com/com.h"
#include "platform/com/library.h"
#include "platform/version.h"

namespace {

constexpr const char* kUsage =
    "Usage: regsvr [/u] [/s] LIBRARY\n"
    "       regsvr --help | --version\n"
    "  Calls DllRegisterServer of the component library LIBRARY, which writes\n"
    "  its registry entries (HKEY_CLASSES_ROOT in $QVIS_ROOT/registry.db).\n"
    "  /u  call DllUnregisterServer instead, which removes them\n"
    "  /s  silent: print nothing on success (failures are still reported)\n"
    "Options may start with \"/\" or \"-\" and ignore case; an argument of more\n"
    "than two characters that begins with \"/\" is the library's path.\n"
    "Exit status: 0 on success, 2 for a wrong command line, 1 for any other\n"
    "failure (the failing result code and its text on standard error).\n";

constexpr int kUsageError = 2;

constexpr HRESULT kModuleNotFound = HResultFromWin32(126);     // ERROR_MOD_NOT_FOUND
constexpr HRESULT kProcedureNotFound = HResultFromWin32(127);  // ERROR_PROC_NOT_FOUND

int Fail(HRESULT hr, const std::string& what) {
    std::fprintf(stderr, "regsvr: %s: 0x%08X %s\n", what.c_str(), static_cast<unsigned>(hr),
                 zel::com::ResultText(hr).c_str());
    return 1;
}

bool IsOption(std::string_view arg, char letter) {
    return arg.size() == 2 && (arg[0] == '/' || arg[0] == '-') &&
           (arg[1] == letter || arg[1] == letter - 'a' + 'A');
}

// The library's absolute path, so that the component records where it is;
// the text as given when it cannot be resolved (the load then says why).
std::string Absolute(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

// Keeps the thread initialised while the library's code runs.
class ComScope {
  public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    HRESULT result() const { return hr_; }

  private:
    HRESULT hr_;
};

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    bool silent = false;
    std::string library;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (IsOption(arg, 'u')) {
            unregister = true;
        } else if (IsOption(arg, 's')) {
            silent = true;
        } else if (arg == "--help" || IsOption(arg, '?') || IsOption(arg, 'h')) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("regsvr %s\n", zel::kVersion);
            return 0;
        } else if (!arg.empty() && arg[0] != '-' && (arg[0] != '/' || arg.size() > 2) &&
                   library.empty()) {
            // Absolute paths begin with "/" too: only a slash and one letter
            // is an option.
            library = arg;
        } else {
            std::fprintf(stderr, "regsvr: %s '%s'\n%s",
                         library.empty() ? "unknown option" : "unexpected argument", argv[i],
                         kUsage);
            return kUsageError;
        }
    }
    if (library.empty()) {
        std::fprintf(stderr, "regsvr: no LIBRARY given\n%s", kUsage);
        return kUsageError;
    }

    ComScope com;
    if (FAILED(com.result())) return Fail(com.result(), "CoInitializeEx failed");

    zel::com::DynamicLibrary lib;
    std::string why;
    switch (lib.Load(Absolute(library), &why)) {
        case zel::com::DynamicLibrary::LoadError::None:
            break;
        case zel::com::DynamicLibrary::LoadError::NotFound:
            return Fail(kModuleNotFound, "cannot load \"" + library + "\"");
        case zel::com::DynamicLibrary::LoadError::NotLoadable:
            return Fail(CO_E_BADLIBRARY, "cannot load \"" + library + "\" (" + why + ")");
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    using EntryFn = HRESULT (*)();
    auto call = reinterpret_cast<EntryFn>(lib.Symbol(entry));
    if (call == nullptr)
        return Fail(kProcedureNotFound,
                    "\"" + library + "\" was loaded but has no entry point " + entry);
    const HRESULT hr = call();
    if (FAILED(hr)) return Fail(hr, std::string(entry) + " in \"" + library + "\" failed");
    if (!silent) std::printf("%s in \"%s\" succeeded.\n", entry, library.c_str());
    return 0;
}
