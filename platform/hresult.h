// The status type of the system and of its object model: a 32-bit value in
// the layout of a COM HRESULT (0 success, bit 31 failure).  It lives in the
// platform layer because the object-model runtime below every library
// speaks it too; the system's own codes are in support/result.h and the
// generated support/result_codes.h.
#pragma once

#include <cstdint>

using HRESULT = std::int32_t;

// Builds a code from its documented hexadecimal spelling (0x801F811D).
constexpr HRESULT MakeResult(std::uint32_t bits) {
    return static_cast<HRESULT>(bits);
}
constexpr std::uint32_t ResultBits(HRESULT hr) {
    return static_cast<std::uint32_t>(hr);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;

constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}
constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
