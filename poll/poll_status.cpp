// Status-to-message table of the Poll component and its log helpers: see
// poll_status.h.
#include "poll/poll_status.h"

#include <cstdarg>

#include "log/event_log.h"
#include "support/result_codes.h"

namespace zel::poll {

unsigned PollMessageId(HRESULT status) {
    switch (ResultBits(status)) {
        case ResultBits(kInvalidFileName):
            return 157;
        case ResultBits(kOpenClientKey):
            return 150;
        case ResultBits(kGetWorkDir):
            return 151;
        case ResultBits(kOpenLogFile):
            return 159;
        case ResultBits(kPasswordFormat):
            return 229;
        case ResultBits(kChecksumMismatch):
            return 231;
        case ResultBits(kXmlInvalid):
            return 230;
        default:
            return 0;
    }
}

unsigned MessageIdFor(HRESULT status) {
    const unsigned id = PollMessageId(status);
    return id != 0 ? id : zel::codes::MessageIdFor(status);
}

HRESULT LogStatus(CEventLog* log, HRESULT status, const char* context) {
    ReportCode(log, status, context, MessageIdFor(status));
    return status;
}

void Trace(CEventLog* log, const char* context, unsigned message_id, ...) {
    if (log == nullptr || !log->GetDebugMessages()) return;
    va_list args;
    va_start(args, message_id);
    log->VWriteRecordById(kSeverityDebug, kCategoryClientApplication, 2, context, 0, message_id,
                          args);
    va_end(args);
}

}  // namespace zel::poll
