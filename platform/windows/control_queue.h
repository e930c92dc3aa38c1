// The controls waiting for the service loop (Windows): the service control
// manager's handler and the console's Ctrl+C handler run on threads of
// their own and only queue what they were asked; the loop's thread takes the
// controls one by one between ticks (service_loop.h).  One queue per
// process, as the signals of the Linux side are per process.
#pragma once

#include <windows.h>

#include "platform/service_loop.h"

namespace zel::svc::detail {

// Queues a control; from any thread.
void PostControl(Control control);

// Takes the oldest queued control; false when none is queued.
[[nodiscard]] bool TakeControl(Control* control);

// True while a control is queued.
[[nodiscard]] bool ControlQueued();

// An event that is signalled while a control is queued, for the loop to
// wait on; null when it could not be made.  Owned by the queue.
HANDLE ControlEvent();

}  // namespace zel::svc::detail
