// Fuzz target: the dealer's identity files, the control file "CONTROL"
// (the unit contract) and the enciphered password file "IACCESS".  Input:
// control text, NUL, password file bytes.  Checked: the unit contract is the
// control file's fourth field and then its second, as the schedule service
// reads it too, within its buffer; credentials that are read are trimmed and
// the user name holds no ":"; and "user:password" enciphered as the
// zelpasswd tool does reads back as itself.
#include "poll/credentials.h"

#include <string>

#include "fuzz/fuzz_common.h"
#include "poll/poll.h"
#include "scheduler/schedule.h"
#include "support/config.h"

using namespace zel::fuzz;

namespace {

CPoll* Poll() {
    static CPoll* poll = [] {
        auto* p = new CPoll();
        p->Log().SetEnabled(false);
        return p;
    }();
    return poll;
}

std::string Trimmed(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

void WritePasswordFile(const std::string& plain) {
    std::string cipher(plain.size(), '\0');
    zel::poll::CipherCredentials(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                                 reinterpret_cast<unsigned char*>(cipher.data()));
    WriteBytes(GetPollLayout().password_file, cipher);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    (void)Poll();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts = SplitAtNul(data, size, 2);
    parts.resize(2);
    const std::string& control = parts[0];
    const std::string& password_file = parts[1];
    CPoll* poll = Poll();
    const PollLayout layout = GetPollLayout();

    WriteBytes(layout.control_file, control);
    ZEL_FUZZ_CHECK(SUCCEEDED(poll->GetUnitContractFromControlFile()));
    const std::string contract = poll->UnitContract() != nullptr ? poll->UnitContract() : "";
    ZEL_FUZZ_CHECK(contract.size() <= kConfigTextMax);
    if (control.find('\r') == std::string::npos) {
        std::string expected = zel::cron::UnitContractFromControl(control);
        if (expected.size() > kConfigTextMax) expected.resize(kConfigTextMax);
        ZEL_FUZZ_CHECK(contract == expected);
    }

    WriteBytes(layout.password_file, password_file);
    if (SUCCEEDED(poll->GetUserNamePasswordFromFile())) {
        const std::string user = poll->UserName() != nullptr ? poll->UserName() : "";
        ZEL_FUZZ_CHECK(user == Trimmed(user));
        ZEL_FUZZ_CHECK(user.find(':') == std::string::npos);
    }

    // A user name and a password made from the input, as zelpasswd writes
    // them, come back as they were (trimmed).
    const std::string user = Trimmed(control.substr(0, control.find_first_of(":")));
    const std::string password = Trimmed(password_file.substr(0, password_file.find('\0')));
    WritePasswordFile(user + ":" + password);
    ZEL_FUZZ_CHECK(poll->GetUserNamePasswordFromFile() == S_OK);
    ZEL_FUZZ_CHECK(poll->UserName() != nullptr && std::string(poll->UserName()) == user);
    return 0;
}
