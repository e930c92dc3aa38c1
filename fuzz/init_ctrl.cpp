// Fuzz target: the enable flag file "INIT_CTRL".  Input: the file's bytes.
// Checked: the file and its text give the same answer, and an enabling
// text enables whatever stands around it (it is looked for anywhere), while
// a text without "QVZEL" never does.
#include "fuzz/fuzz_common.h"
#include "jobs/enable_flag.h"

using namespace zel::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(AsText(data, size));
    WriteBytes(zel::paths::Join(zel::paths::CmnDir(), "INIT_CTRL"), text);

    const bool enabled = zel::jobs::TextEnablesTransfer(text);
    ZEL_FUZZ_CHECK(zel::jobs::IsTransferEnabled() == enabled);
    if (text.find("QVZEL") == std::string::npos) ZEL_FUZZ_CHECK(!enabled);
    if (enabled) {
        ZEL_FUZZ_CHECK(zel::jobs::TextEnablesTransfer("x\r\n" + text + "\r\n"));
    }
    const std::size_t half = size / 2;
    ZEL_FUZZ_CHECK(
        zel::jobs::TextEnablesTransfer(text.substr(0, half) + "QVZEL=Y" + text.substr(half)));
    return 0;
}
