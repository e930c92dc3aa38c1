// Text encodings: the locale's multibyte text ("ANSI" text, UTF-8 in
// practice on Linux, the ANSI code page on Windows) to and from UTF-16, the
// wide text of BSTRs.
#pragma once

#include <cstddef>

namespace zel::charset {

// Converts in_bytes of locale text to UTF-16 in a malloc'd block of *out_units
// units plus a terminating zero unit.  Returns 0, EILSEQ when the text has no
// wide form (also a truncated sequence), or ENOMEM.  *out is the caller's to
// free() on success and untouched on failure.
[[nodiscard]] int LocaleToUtf16(const char* in, std::size_t in_bytes, char16_t** out,
                                std::size_t* out_units);

// Converts in_units of UTF-16 to locale text in a malloc'd, zero-terminated
// block of *out_bytes bytes.  Returns 0, EILSEQ (a character the locale
// cannot write) or ENOMEM as above.
[[nodiscard]] int Utf16ToLocale(const char16_t* in, std::size_t in_units, char** out,
                                std::size_t* out_bytes);

}  // namespace zel::charset
