// The system root on Windows (see paths_internal.h): the drive the design
// names, C:.
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
