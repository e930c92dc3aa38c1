// The system root on Linux (see paths_internal.h).
#include "platform/paths_internal.h"

namespace zel::paths::detail {

const char* DefaultRoot() {
    return "/var/lib/qvis";
}

void ToSystemForm(std::string* /*root*/) {}

}  // namespace zel::paths::detail
