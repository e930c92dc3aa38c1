// ferrun's stand-alone unpack mode ("-z FILE"): one ".dtz" file unpacked
// into the name with the first ".dtz" of its file name cut out, reported on
// the console.
#pragma once

#include <cstdio>

namespace zel::client {

// Unpacks name (a ".dtz" file, matched case-sensitively) into the same path
// with its file name (the part after the last "/") cut at the first ".dtz"
// in it, printing the exact progress and outcome texts to out; a file name
// without ".dtz" (even in a directory whose name holds one) only gets the
// "dtz files only" text.  The
// unpacking removes a partly written target on a write or read failure.
// Returns the exit code, which is 0 for every outcome.
[[nodiscard]] int RunDecompressMode(const char* name, std::FILE* out);

}  // namespace zel::client
