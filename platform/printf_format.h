// The compiler's check of printf-style functions: ZEL_PRINTF_FORMAT(f, a)
// marks argument f as the format and a as the first checked argument.
//
// On Windows the C runtime that the C++ library uses is MinGW's own printf
// family, which knows the C99 conversions (%zu, %lld); the compiler's plain
// "printf" check there would be the Microsoft runtime's, which does not, so
// the GNU one is named instead.  Elsewhere it is the plain check (clang
// knows no other).
#pragma once

#if defined(_WIN32)
#define ZEL_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define ZEL_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))
#endif
