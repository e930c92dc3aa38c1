// Tuning values from the hand-edited configuration file "ferrun.conf".
//
// The file is optional and nothing in the system writes it.  Every lookup
// reads it afresh, so an edit takes effect at the next lookup without a
// restart.  A lookup never fails: whenever the file, the key or a usable
// value is missing, the caller's default (the value passed in) stays.
// Nothing here reports to the log.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

// Most characters a text value may have; a longer value is refused.
inline constexpr std::size_t kConfigTextMax = 67;

// Full path of ferrun.conf in the install directory (an owned string).
std::string ConfigFilePath();

// Looks up a number.  *value holds the default on entry and is replaced only
// by a value of 0 or more found in the file.  The key is found by a plain,
// case-sensitive text search (also inside a longer word); the one character
// after it is skipped (normally "="), and the text up to the next line feed is
// read like atoi.  A key without a line feed after its value is not read.
// A missing path, key or value pointer leaves everything unchanged.
void ReadConfigNumber(const char* path, const char* key, int* value);

// Several numbers from one reading of the file, each looked up exactly as
// ReadConfigNumber looks it up: for a caller that needs them together.
struct ConfigNumber {
    const char* key;
    int* value;
};
void ReadConfigNumbers(const char* path, std::initializer_list<ConfigNumber> lookups);

// Looks up a text.  buffer holds the default on entry (zero-terminated, at
// most kConfigTextMax characters) and is replaced only when key followed by
// "=" is found: the value runs to the first CR, LF or the end of the file and
// is taken untrimmed.  A value longer than kConfigTextMax characters is
// refused and the default stays.
void ReadConfigText(const char* path, const char* key, char (&buffer)[kConfigTextMax + 1]);
