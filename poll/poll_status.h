// The Poll component's built statuses and how a status is taken apart.
//
// The component's listed codes and catalogue numbers live in the one
// result-code table (support/result_codes.h, namespace zel::codes, generated
// from log/codes.txt, the component's entries first) and are reported
// through the bridge in log/report.h.  What remains here is arithmetic on
// statuses that are built rather than listed: server faults and the fields
// the rich error information and the outcome record are made from.  Nothing
// here fails or owns anything.
#pragma once

#include <cstdint>

#include "support/result.h"

namespace zel::poll {

// A fault answered by the server: 0x80244000 plus its error number.
constexpr HRESULT ServerFaultResult(std::uint32_t number) {
    return MakeResult(0x80244000u + (number & 0x3FFFu));
}
// Category (bits 16-28) and number (bits 0-13) of a status.
constexpr int StatusCategory(HRESULT status) {
    return static_cast<int>((ResultBits(status) >> 16) & 0x1FFFu);
}
constexpr int StatusNumber(HRESULT status) {
    return static_cast<int>(ResultBits(status) & 0x3FFFu);
}

}  // namespace zel::poll
