// Thread-local rich error information: see error_info.h.
#include "poll/error_info.h"

#include <optional>

namespace zel::poll {
namespace {
thread_local std::optional<ErrorInfo> g_error_info;
}  // namespace

void ReportErrorInfo(const char* source, const char* description) {
    g_error_info =
        ErrorInfo{source != nullptr ? source : "", description != nullptr ? description : ""};
}

void ClearErrorInfo() {
    g_error_info.reset();
}

bool GetErrorInfo(ErrorInfo* out) {
    if (!g_error_info || out == nullptr) return false;
    *out = *g_error_info;
    return true;
}

}  // namespace zel::poll
