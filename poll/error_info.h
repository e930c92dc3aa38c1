// The calling thread's rich error information, as the component sets it.
//
// The object-model runtime will carry this through its own per-thread error
// object; until that layer is wired in, the component keeps the record in a
// thread-local slot here so that its methods, and the tests, work the same
// way.  The glue replaces the bodies of these three functions only.
// The slot owns its texts; nothing here fails loudly.
#pragma once

#include <string>

namespace zel::poll {

struct ErrorInfo {
    std::string source;       // the ProgID of the reporting class
    std::string description;  // 8-bit text; the glue converts it to a wide string
};

// Replaces the thread's error information.
void ReportErrorInfo(const char* source, const char* description);
// Removes it.
void ClearErrorInfo();
// Copies it into *out; false (out untouched) when none is set.
[[nodiscard]] bool GetErrorInfo(ErrorInfo* out);

}  // namespace zel::poll
