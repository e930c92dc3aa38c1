// Per-test scratch directory for the transport suites: the shared scratch
// system root (QVIS_ROOT and TMPDIR below one fresh directory).
#pragma once

#include "tests/common/scratch.h"

namespace zel::test {
class ScratchTest : public ScratchRoot {};
}  // namespace zel::test
