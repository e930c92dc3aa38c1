// The reporting bridge: how the transport, the directory and the component
// write their failures, traces and notes to a CEventLog.
//
// A failure is reported once, by the routine that detects it, with the
// catalogue text the result-code table gives its code; callers pass the code
// on without reporting it again.  Traces are catalogue texts at severity 4,
// written only while the log's debug messages are on; notes are literal
// printf texts at severity 3.  Categories are the kCategory constants of
// event_log.h and catalogue numbers the kMsg constants of
// support/result_codes.h, so no call spells a bare number.
//
// Nothing here fails or owns anything: a missing log or a record that cannot
// be formed writes nothing.
#pragma once

#include <cstdint>

#include "log/event_log.h"
#include "platform/printf_format.h"
#include "support/result.h"
#include "support/result_codes.h"

namespace zel::log {

// Writes the error entry for status (its catalogue text from the result-code
// table, decoded severity and category) with the context, and returns status
// unchanged.  A status without a catalogue text writes nothing.
HRESULT ReportStatus(CEventLog* log, HRESULT status, const char* context);

// An information record of the category Client Application with a number
// and a literal text (none counts as empty).
void ReportInfo(CEventLog* log, const char* context, std::int32_t number, const char* text);

// A trace: catalogue text message_id with printf arguments, at severity 4 in
// category, written only while debug messages are on.
void Trace(CEventLog* log, int category, const char* context, unsigned message_id, ...);

// A note: a literal printf text at severity 3 in category.
void Note(CEventLog* log, int category, const char* context, const char* format, ...)
    ZEL_PRINTF_FORMAT(4, 5);

// A debug note: a literal text (not a format; none counts as empty) at
// severity 4 in category, written only while debug messages are on.  The
// text is a peer's value: it is written on one line (OneLine, line breaks
// become blanks), so it can never make up a record of its own.
void DebugNote(CEventLog* log, int category, const char* context, const char* text);

}  // namespace zel::log
