// DynamicLibrary's ownership, the same on every system: see library.h.  How
// a library is loaded, looked up and freed is each system's own
// (unix/library.cpp, windows/library.cpp).
#include "platform/com/library.h"

#include <utility>

namespace zel::com {

DynamicLibrary::~DynamicLibrary() {
    Reset();
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& o) noexcept
    : handle_(std::exchange(o.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& o) noexcept {
    if (this != &o) {
        Reset();
        handle_ = std::exchange(o.handle_, nullptr);
    }
    return *this;
}

}  // namespace zel::com
