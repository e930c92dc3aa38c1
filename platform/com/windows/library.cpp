// DynamicLibrary and the library helpers on Windows (see library.h): a
// module handle from LoadLibraryEx, released with FreeLibrary.  Paths are
// text of the ANSI code page, as everywhere in this system on Windows.
#include "platform/com/library.h"

#include <windows.h>

#include <string>
#include <utility>

namespace zel::com {

namespace {

// The system's text for a Win32 error, without its line end.
std::string ErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n > 0 && text != nullptr ? std::string(text, n) : std::string();
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    if (out.empty()) out = "Windows error " + std::to_string(error);
    return out;
}

}  // namespace

void DynamicLibrary::Reset() {
    if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(std::exchange(handle_, nullptr)));
}

DynamicLibrary::LoadError DynamicLibrary::Load(const std::string& path, std::string* message) {
    Reset();
    // As on Linux the name means a file, never one found along the search
    // path; a library's own dependencies are looked for beside it.
    const DWORD attributes =
        path.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (message != nullptr) *message = "no such file";
        return LoadError::NotFound;
    }
    char full[MAX_PATH + 1];
    const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    const std::string target = n > 0 && n < sizeof full ? std::string(full, n) : path;
    // No dialog box for a library the loader refuses.
    const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = ::LoadLibraryExA(target.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = module == nullptr ? ::GetLastError() : 0;
    ::SetErrorMode(previous);
    if (module == nullptr) {
        if (message != nullptr) *message = ErrorText(error);
        return LoadError::NotLoadable;
    }
    handle_ = module;
    return LoadError::None;
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (handle_ == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

bool ModulePathOf(const void* address, std::string* out) {
    HMODULE module = nullptr;
    if (out == nullptr || !::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                static_cast<LPCSTR>(address), &module))
        return false;
    char path[MAX_PATH + 1];
    const DWORD n = ::GetModuleFileNameA(module, path, sizeof path);
    if (n == 0 || n >= sizeof path) return false;
    *out = std::string(path, n);
    return true;
}

std::string ModuleDirectory(const std::string& path) {
    return path.substr(0, path.find_last_of("\\/") + 1);
}

const char* RegistrationTool() {
    return "regsvr32";
}

const char* TypeLibPlatformKey() {
    return "win64";
}

}  // namespace zel::com
