// DynamicLibrary and ModulePathOf: see library.h.
#include "platform/com/library.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <utility>

namespace zel::com {

void DynamicLibrary::Reset() {
    if (handle_ != nullptr) ::dlclose(std::exchange(handle_, nullptr));
}

DynamicLibrary::LoadError DynamicLibrary::Load(const std::string& path, std::string* message) {
    Reset();
    // A name without "/" would make the loader search its library path; the
    // registry and regsvr always mean a file, so look at the file itself.
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        if (message != nullptr) *message = "no such file";
        return LoadError::NotFound;
    }
    std::string target = path;
    if (target.find('/') == std::string::npos) target = "./" + target;
    ::dlerror();
    handle_ = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        if (message != nullptr) {
            const char* why = ::dlerror();
            *message = why != nullptr ? why : "cannot be loaded";
        }
        return LoadError::NotLoadable;
    }
    return LoadError::None;
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (handle_ == nullptr || name == nullptr) return nullptr;
    return ::dlsym(handle_, name);
}

bool ModulePathOf(const void* address, std::string* out) {
    Dl_info info{};
    if (out == nullptr || ::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return false;
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) == nullptr) return false;
    *out = resolved;
    return true;
}

std::string ModuleDirectory(const std::string& path) {
    return path.substr(0, path.find_last_of('/') + 1);
}

const char* RegistrationTool() {
    return "regsvr";
}

const char* TypeLibPlatformKey() {
    return "linux64";
}

}  // namespace zel::com
