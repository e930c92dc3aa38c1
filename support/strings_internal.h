// Helpers shared by the support routines' .cpp files (not a public header).
//
// Character stepping in the locale's multibyte encoding, iconv conversions
// between that encoding and UTF-16, and the one-line failure report.
#pragma once

#include <cstddef>

#include "support/report_sink.h"
#include "support/result_codes.h"

namespace zel::support_detail {

// Reports code once with context and its catalogue number; returns code.
inline HRESULT Fail(HRESULT code, const char* context) {
    return ReportFailure(code, context, zel::codes::MessageIdFor(code));
}

// Bytes of the character starting at p (p points at a non-zero byte): 1 or
// more, never past the terminating zero.  An invalid or incomplete sequence
// counts as one byte.
std::size_t CharLen(const char* p);

// Value of the character of len bytes at p: its bytes as a big-endian number.
unsigned int CharValue(const char* p, std::size_t len);

// Converts in_bytes of locale text to UTF-16 in a malloc'd block of *out_units
// units plus a terminating zero unit.  Returns 0, EILSEQ when the text has no
// wide form, or ENOMEM.  *out is the caller's to free() on success.
int MultibyteToUtf16(const char* in, std::size_t in_bytes, char16_t** out, std::size_t* out_units);

// Converts in_units of UTF-16 to locale text in a malloc'd, zero-terminated
// block of *out_bytes bytes.  Returns 0, EILSEQ or ENOMEM as above.
int Utf16ToMultibyte(const char16_t* in, std::size_t in_units, char** out, std::size_t* out_bytes);

}  // namespace zel::support_detail
