// The operating system's part of the path helpers (not a public header).
#pragma once

namespace zel::paths::detail {

// The system root when QVIS_ROOT does not name one: a directory of the
// system's own on Linux, the drive C: itself on Windows.
const char* DefaultRoot();

}  // namespace zel::paths::detail
