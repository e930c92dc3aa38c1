// Transport log entries: see log_bridge.h.
#include "transport/log_bridge.h"

#include <cstdarg>

#include "log/event_log.h"
#include "support/support_messages.h"
#include "transport/status.h"

namespace zel::transport {

HRESULT LogStatus(CEventLog* log, HRESULT status, const char* context) {
    unsigned id = TransportMessageId(status);
    if (id == 0) id = SupportMessageId(status);
    ReportCode(log, status, context, id);
    return status;
}

void LogInfo(CEventLog* log, const char* context, std::int32_t number, const char* text) {
    if (log == nullptr) return;
    log->WriteRecord(kSeverityInformation, kCategoryClientApplication, 2, context, number, "%s",
                     text != nullptr ? text : "");
}

void Trace(CEventLog* log, int category, const char* context, unsigned message_id, ...) {
    if (log == nullptr || !log->GetDebugMessages()) return;
    va_list args;
    va_start(args, message_id);
    log->VWriteRecordById(kSeverityDebug, category, 2, context, 0, message_id, args);
    va_end(args);
}

void Note(CEventLog* log, int category, const char* context, const char* format, ...) {
    if (log == nullptr) return;
    va_list args;
    va_start(args, format);
    log->VWriteRecord(kSeverityInformation, category, 2, context, 0, format, args);
    va_end(args);
}

}  // namespace zel::transport
