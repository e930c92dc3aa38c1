// The system root on Linux (see paths_internal.h), and what makes a path
// absolute there.
#include "platform/paths.h"

#include "platform/paths_internal.h"

namespace zel::paths::detail {

const char* DefaultRoot() {
    return "/var/lib/qvis";
}

void ToSystemForm(std::string* /*root*/) {}

}  // namespace zel::paths::detail

namespace zel::paths {

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

}  // namespace zel::paths
