// The reporting bridge's records: see report.h.
#include "log/report.h"

#include <cstdarg>
#include <string>

#include "support/strings.h"

namespace zel::log {

namespace {
// Every record of the bridge has class digit 2, as all the system's codes do.
constexpr int kClassDigit = 2;
}  // namespace

HRESULT ReportStatus(CEventLog* log, HRESULT status, const char* context) {
    ReportCode(log, status, context, zel::codes::MessageIdFor(status));
    return status;
}

void ReportInfo(CEventLog* log, const char* context, std::int32_t number, const char* text) {
    if (log == nullptr) return;
    log->WriteRecord(kSeverityInformation, kCategoryClientApplication, kClassDigit, context, number,
                     "%s", text != nullptr ? text : "");
}

void Trace(CEventLog* log, int category, const char* context, unsigned message_id, ...) {
    if (log == nullptr || !log->GetDebugMessages()) return;
    va_list args;
    va_start(args, message_id);
    log->VWriteRecordById(kSeverityDebug, category, kClassDigit, context, 0, message_id, args);
    va_end(args);
}

void Note(CEventLog* log, int category, const char* context, const char* format, ...) {
    if (log == nullptr) return;
    va_list args;
    va_start(args, format);
    log->VWriteRecord(kSeverityInformation, category, kClassDigit, context, 0, format, args);
    va_end(args);
}

void DebugNote(CEventLog* log, int category, const char* context, const char* text) {
    if (log == nullptr || !log->GetDebugMessages()) return;
    // The texts noted are the central side's values as they arrived.
    const std::string line = OneLine(text != nullptr ? text : "", LineBreak::kBecomesBlank);
    log->WriteRecord(kSeverityDebug, category, kClassDigit, context, 0, "%s", line.c_str());
}

}  // namespace zel::log
