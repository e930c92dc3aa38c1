// The reporting slot of the support routines.
//
// Support routines report each failure once to "the thread's current log".
// The log itself lives above this library, so support only declares the
// small interface it calls and a per-thread slot holding the current sink;
// the event log implements the interface and fills the slot.  When the slot
// is empty nothing is reported.
#pragma once

#include "support/result.h"

class CReportSink {
  public:
    virtual ~CReportSink() = default;
    // Writes a full record for code with the context (the routine's name) and
    // the text message_id of the support catalogue.  Returns true when a
    // record was written.  Never fails loudly.
    virtual bool ReportSupportCode(HRESULT code, const char* context, unsigned message_id) = 0;
};

// The calling thread's current sink, or null.  The caller keeps ownership.
CReportSink* GetCurrentReportSink();
void SetCurrentReportSink(CReportSink* sink);

// Reports code to the current sink, if any; returns code so that a routine
// can write `return ReportFailure(hr, "CopyString", id);`.
HRESULT ReportFailure(HRESULT code, const char* context, unsigned message_id);
