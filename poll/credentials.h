// The dealer's credentials at rest: the password file "IACCESS" and the
// built-in first-run credentials, both RC4-enciphered under the component's
// fixed key.
//
// The cipher is the same in both directions; the component deciphers, the
// zelpasswd tool enciphers.  The file holds the enciphered bytes of
// "user:password" and nothing else; it is read whole, in binary, because the
// cipher text may hold any byte, a zero or a CR LF pair among them.
// Nothing here logs; functions return result codes and never throw.
#pragma once

#include <cstddef>
#include <string>

#include "support/result.h"

namespace zel::poll {

inline constexpr const char* kPasswordFileName = "IACCESS";

// The component's fixed 8-byte key.
extern const unsigned char kCredentialKey[8];

// Applies the cipher to length bytes of input (in place allowed).
void CipherCredentials(const unsigned char* input, std::size_t length, unsigned char* output);

// The built-in first-run credentials, enciphered (borrowed static bytes).
[[nodiscard]] const unsigned char* BuiltInCredentials(std::size_t* length);

// Reads the whole file at path into *bytes (regular files only).  0, or
// 0x80208115 (the support library's "unable to open file") when it cannot
// be opened or read.
[[nodiscard]] HRESULT ReadFileBytes(const std::string& path, std::string* bytes);

// Writes the password file into directory: the enciphered form of plain
// goes to a temporary name beside it, mode 0600, flushed, then renamed over
// "IACCESS", so a reader never sees a half-written file.  Returns 0 or an
// errno value (the temporary is removed on failure).
[[nodiscard]] int WritePasswordFile(const std::string& directory, const std::string& plain);

}  // namespace zel::poll
