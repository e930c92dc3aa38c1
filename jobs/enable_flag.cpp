// The transfers' enable flag (see enable_flag.h).
#include "jobs/enable_flag.h"

#include <string>

#include "jobs/job_files.h"
#include "platform/fs.h"

namespace zel::jobs {

bool TextEnablesTransfer(std::string_view text) {
    static constexpr const char* kEnabling[] = {"QVZEL = Y", "QVZEL =Y",  "QVZEL= Y", "QVZEL Y",
                                                "QVZEL  Y",  "QVZEL   Y", "QVZEL=Y"};
    for (const char* t : kEnabling) {
        if (text.find(t) != std::string_view::npos) return true;
    }
    return false;
}

bool IsTransferEnabled() {
    std::string text;
    if (fs::ReadWholeFile(CmnFile("INIT_CTRL"), &text) != 0) return false;
    return TextEnablesTransfer(text);
}

}  // namespace zel::jobs
