// Transport log entries: see log_bridge.h.
#include "transport/log_bridge.h"

#include "transport/status.h"

namespace zel::transport {

HRESULT LogStatus(CEventLog* log, HRESULT status, const char* context) {
    (void)log;
    (void)context;
    return status;
}

}  // namespace zel::transport
