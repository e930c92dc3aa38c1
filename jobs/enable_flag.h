// The enable flag of the transfers: the file INIT_CTRL in the CMN directory.
#pragma once

#include <string_view>

namespace zel::jobs {

// True when the enable flag file INIT_CTRL holds one of the seven enabling
// texts (exact case, anywhere).  A missing or empty file disables.
[[nodiscard]] bool IsTransferEnabled();
// The same test on a text already read.
[[nodiscard]] bool TextEnablesTransfer(std::string_view text);

}  // namespace zel::jobs
