// The directory of Olmar, the dealer's business system: where the job runner
// starts "olmar" and the schedule service starts the batch files.  It is the
// string value "OLMAR_EXE" of HKLM keys::kOlmarKey.
#pragma once

#include <cstddef>
#include <string>

namespace zel::paths {

inline constexpr const char* kOlmarDirectoryValue = "OLMAR_EXE";
// The dealer PCs read the value into a buffer of this many bytes: a value of
// this length or longer never worked there and is not used here either.
inline constexpr std::size_t kOlmarDirectoryMax = 512;

// The Olmar directory into *dir (owned by the caller), or false when it is
// not available this time: the key cannot be opened or made, the value is
// missing, empty or too long.  A key that did not exist is created with the
// value set to the CMN directory, for the next caller; this one gets false
// (a first run starts nothing).
[[nodiscard]] bool GetOlmarDirectory(std::string* dir);

}  // namespace zel::paths
