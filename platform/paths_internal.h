// The operating system's part of the path helpers (not a public header).
#pragma once

#include <string>

namespace zel::paths::detail {

// The system root when QVIS_ROOT does not name one: a directory of the
// system's own on Linux, the drive C: itself on Windows.
const char* DefaultRoot();

// Puts a root taken from QVIS_ROOT into the form the system's own paths
// take: as given on Linux; with "/" for "\\" on Windows, where the paths
// this system builds and hands out use "/" (see platform/windows/fs.cpp).
void ToSystemForm(std::string* root);

}  // namespace zel::paths::detail
