// Per-thread reporting slot: see report_sink.h.
#include "support/report_sink.h"

namespace {
thread_local CReportSink* t_current_sink = nullptr;
}

CReportSink* GetCurrentReportSink() {
    return t_current_sink;
}

void SetCurrentReportSink(CReportSink* sink) {
    t_current_sink = sink;
}

HRESULT ReportFailure(HRESULT code, const char* context, unsigned message_id) {
    if (t_current_sink != nullptr) t_current_sink->ReportSupportCode(code, context, message_id);
    return code;
}
