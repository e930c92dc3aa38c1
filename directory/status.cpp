// Directory result codes and log entries: see status.h.
#include "directory/status.h"

#include <cstdarg>

#include "log/event_log.h"
#include "support/support_messages.h"
#include "transport/status.h"

namespace zel::directory {

namespace {

struct Entry {
    HRESULT status;
    unsigned message_id;
};

constexpr Entry kTable[] = {
    {kServerInfoNotFound, 126},
    {kQueryInfoNotFound, 127},
    {kOpenServersKey, 128},
    {kOpenServerInfoKey, 129},
    {kNoIPAddress, 130},
    {kNoProxy, 131},
    {kOpenQueriesKey, 132},
    {kOpenQueryInfoKey, 133},
    {kNoQueryLocation, 134},
    {kNoQueryVersion, 135},
    {kNoSSLRequired, 136},
    {kNoSSLPublic, 137},
    {kCreateKey, 139},
    {kCreateQueryInfoKey, 141},
    {kInterfaceNotSupported, 153},
    {kQueryVersionNotFound, 232},
    {kServerVersionNotFound, 233},
    {kOpenServerVersionKey, 234},
    {kOpenQueryVersionKey, 235},
    {kCreateQueryVersionKey, 236},
    {kCreateServerInfoKey, 237},
    {kCreateServerVersionKey, 238},
    {kQueryXmlInvalid, 140},
    {kNoQueryUrl, 155},
    {kSystemInfoXmlInvalid, 156},
    {kServerXmlInvalid, 239},
};

}  // namespace

unsigned DirectoryMessageId(HRESULT status) {
    for (const Entry& e : kTable) {
        if (e.status == status) return e.message_id;
    }
    return 0;
}

unsigned MessageIdFor(HRESULT status) {
    unsigned id = DirectoryMessageId(status);
    if (id == 0) id = zel::transport::TransportMessageId(status);
    if (id == 0) id = SupportMessageId(status);
    return id;
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

void Note(CEventLog* log, const char* context, const char* format, ...) {
    if (log == nullptr) return;
    va_list args;
    va_start(args, format);
    log->VWriteRecord(kSeverityInformation, kCategoryClientApplication, 2, context, 0, format,
                      args);
    va_end(args);
}

void DebugNote(CEventLog* log, const char* context, const char* text) {
    if (log == nullptr || !log->GetDebugMessages()) return;
    log->WriteRecord(kSeverityDebug, kCategoryClientApplication, 2, context, 0, "%s",
                     text != nullptr ? text : "");
}

}  // namespace zel::directory
