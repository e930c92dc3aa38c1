// The operating system's part of the small process facts (not a public
// header).
#pragma once

namespace zel::sys::detail {

// Stops this process where it stands, for the fault campaign to kill it
// (see StopPoint in system.h).
void StopThisProcess();

}  // namespace zel::sys::detail
