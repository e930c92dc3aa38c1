// The transport's entries in the event log: error entries for failure
// statuses, information records, trace entries (catalogue texts at severity
// 4, written only while the log's debug messages are on) and notes (literal
// texts at severity 3).
//
// Nothing here fails: a missing log or a record that cannot be formed writes
// nothing.
#pragma once

#include <cstdint>

#include "support/result.h"

class CEventLog;

namespace zel::transport {

// Writes the error entry for status (its catalogue text, decoded severity and
// category) with the context, and returns status unchanged.
HRESULT LogStatus(CEventLog* log, HRESULT status, const char* context);

// An information record of the category Client Application with a number
// and a literal text.
void LogInfo(CEventLog* log, const char* context, std::int32_t number, const char* text);

// A trace entry: catalogue text message_id with printf arguments.
void Trace(CEventLog* log, int category, const char* context, unsigned message_id, ...);

// A note: a literal printf text at severity 3.
void Note(CEventLog* log, int category, const char* context, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace zel::transport
