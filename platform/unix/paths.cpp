// The system root on Linux (see paths_internal.h).
#include "platform/paths_internal.h"

namespace zel::paths::detail {

const char* DefaultRoot() {
    return "/var/lib/qvis";
}

}  // namespace zel::paths::detail
