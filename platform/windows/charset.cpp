// Text encodings on Windows (see charset.h): the ANSI code page to and from
// UTF-16 through MultiByteToWideChar and WideCharToMultiByte, refusing what
// has no exact form instead of putting a default character in its place.
// Owns nothing beyond the blocks it hands out.
#include "platform/charset.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace zel::charset {

int LocaleToUtf16(const char* in, std::size_t in_bytes, char16_t** out, std::size_t* out_units) {
    if (in_bytes > INT_MAX) return ENOMEM;
    const int bytes = static_cast<int>(in_bytes);
    int units = 0;
    if (bytes > 0) {
        units = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in, bytes, nullptr, 0);
        if (units <= 0) return EILSEQ;
    }
    auto* block = static_cast<char16_t*>(std::malloc((static_cast<std::size_t>(units) + 1) * 2));
    if (block == nullptr) return ENOMEM;
    if (units > 0 && ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in, bytes,
                                           reinterpret_cast<wchar_t*>(block), units) != units) {
        std::free(block);
        return EILSEQ;
    }
    block[units] = 0;
    *out = block;
    *out_units = static_cast<std::size_t>(units);
    return 0;
}

int Utf16ToLocale(const char16_t* in, std::size_t in_units, char** out, std::size_t* out_bytes) {
    if (in_units > INT_MAX) return ENOMEM;
    const int units = static_cast<int>(in_units);
    const auto* wide = reinterpret_cast<const wchar_t*>(in);
    int bytes = 0;
    BOOL lossy = FALSE;
    if (units > 0) {
        bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, nullptr, 0,
                                      nullptr, &lossy);
        if (bytes <= 0 || lossy) return EILSEQ;
    }
    auto* block = static_cast<char*>(std::malloc(static_cast<std::size_t>(bytes) + 1));
    if (block == nullptr) return ENOMEM;
    if (units > 0 && ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, block, bytes,
                                           nullptr, &lossy) != bytes) {
        std::free(block);
        return EILSEQ;
    }
    block[bytes] = '\0';
    *out = block;
    *out_bytes = static_cast<std::size_t>(bytes);
    return 0;
}

}  // namespace zel::charset
