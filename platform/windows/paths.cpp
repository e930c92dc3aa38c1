// The system root on Windows (see paths_internal.h): the drive the design
// names, C:; and what makes a path absolute there.
#include "platform/paths.h"

#include "platform/paths_internal.h"

namespace zel::paths::detail {

const char* DefaultRoot() {
    return "C:";
}

void ToSystemForm(std::string* root) {
    for (char& c : *root) {
        if (c == '\\') c = '/';
    }
}

}  // namespace zel::paths::detail

namespace zel::paths {

bool IsAbsolute(const std::string& path) {
    auto separator = [](char c) { return c == '/' || c == '\\'; };
    if (!path.empty() && separator(path[0])) return true;
    // "C:x" is relative to drive C:'s own current directory.
    const bool letter = path.size() >= 3 &&
                        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return letter && path[1] == ':' && separator(path[2]);
}

}  // namespace zel::paths
