// The started children of this process as the service loop waits on them
// (Windows): Linux tells a process of a child's end with SIGCHLD; here the
// loop waits on the children's process handles itself.  Implemented in
// process.cpp, which keeps the children.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace zel::proc::detail {

// Duplicates of the process handles of at most max children that were
// started and not yet collected (Wait, ReapFinished), in no set order.  The
// caller closes them.
std::vector<HANDLE> ChildHandles(std::size_t max);

}  // namespace zel::proc::detail
