// The transport's entries in the event log: error entries for failure
// statuses, trace entries (catalogue texts at severity 4, written only in
// debug mode) and notes (literal texts at severity 3).
//
// Nothing here fails: a missing log or a record that cannot be formed writes
// nothing.
#pragma once

#include "support/result.h"

class CEventLog;

namespace zel::transport {

// Writes the error entry for status (its catalogue text, decoded severity and
// category) with the context, and returns status unchanged.
HRESULT LogStatus(CEventLog* log, HRESULT status, const char* context);

}  // namespace zel::transport
