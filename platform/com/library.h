// DynamicLibrary: owner of one loaded shared library (a dlopen handle on
// Linux, a module handle on Windows), and what else depends on the system's
// form of libraries.
//
// Used by activation for component libraries and by regsvr.  The library is
// unloaded when the owner goes or is reset.  Exported from the runtime so
// tools above the platform need no loader calls of their own.
#pragma once

#include <string>

#include "platform/com/export.h"

namespace zel::com {

class ZEL_COM_API DynamicLibrary {
  public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& o) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& o) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    enum class LoadError { None, NotFound, NotLoadable };
    // Loads path (binding every symbol at once, kept local to the library).
    // NotFound when no file is there, NotLoadable when it exists but the
    // loader refuses it; *message (may be null) then gets the loader's text.
    [[nodiscard]] LoadError Load(const std::string& path, std::string* message);

    // The address of an exported symbol, or null.
    [[nodiscard]] void* Symbol(const char* name) const;
    // The opaque handle, which identifies the library: loading the same file
    // twice gives the same handle.
    void* handle() const { return handle_; }
    void Reset();

  private:
    void* handle_ = nullptr;
};

// The absolute, symlink-free path of the shared object (or program) that
// holds address; false when it cannot be found.
[[nodiscard]] ZEL_COM_API bool ModulePathOf(const void* address, std::string* out);

// The directory part of a library's path, up to and including its last
// separator ("/"; on Windows "\" or "/"); empty when it has none.
[[nodiscard]] ZEL_COM_API std::string ModuleDirectory(const std::string& path);

// The system's command that registers a component library: "regsvr" (this
// system's own tool) on Linux, "regsvr32" on Windows.  For messages.
[[nodiscard]] ZEL_COM_API const char* RegistrationTool();

// The platform key under a type library's locale key in the registry
// ("linux64", "win64").
[[nodiscard]] ZEL_COM_API const char* TypeLibPlatformKey();

}  // namespace zel::com
