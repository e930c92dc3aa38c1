// Result codes: the one status type of the system.
//
// A 32-bit value in the layout of a COM HRESULT: 0 success, bit 31 failure,
// bits 16-28 the log category (31 to 37), bits 0-13 the number.  Every
// routine that can fail returns one; callers pass it on unchanged
// (`if (FAILED(hr)) return hr;`).  Codes are only ever added, never renumbered.
// The codes themselves, with the catalogue numbers of their texts, are the
// generated header support/result_codes.h (from log/codes.txt).
#pragma once

#include <cstdint>

#include "platform/hresult.h"

// An HTTP error answer: 0x80258000 plus the HTTP status code (its low 14
// bits, so that no status can reach the facility bits).
constexpr HRESULT HttpStatusResult(std::int32_t http_status) {
    return MakeResult(0x80258000u + static_cast<std::uint32_t>(http_status & 0x3FFF));
}
