// One transfer through the Poll component (see transfer.h).
#include "jobs/transfer.h"

#include <string>

#include "jobs/job_files.h"
#include "jobs/result_lines.h"
#include "platform/com/bstr.h"
#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "poll/ipoll.h"
#include "support/strings.h"

namespace zel::jobs {

namespace {

// A BSTR made from narrow text; null when it cannot be made.
CBstr MakeBstr(const std::string& text) {
    CBstr b;
    if (FAILED(GetBSTRFromString(text.c_str(), b.Out()))) b.reset();
    return b;
}

}  // namespace

bool RunTransfer(Transfer kind) {
    CBstr log_file = MakeBstr(CommFile("qvzel.log"));
    CBstr result_file = MakeBstr(kResultFileName);
    com::ComPtr<IPoll> poll;
    if (FAILED(CoCreateInstance(CLSID_Poll, nullptr, CLSCTX_ALL, IID_IPoll, poll.OutVoid()))) {
        return false;
    }
    (void)poll->SetLogFile(log_file.get());
    (void)poll->EnableLogging(1);
    (void)poll->SetResultFile(result_file.get());
    // Null arguments select the component's default directories; the
    // transfer's own status is deliberately not examined.
    if (kind == Transfer::kDownload) {
        (void)poll->GetFiles(nullptr, nullptr);
    } else {
        (void)poll->PutFiles(nullptr, nullptr, nullptr);
    }
    const HRESULT released = poll->ReleaseLogFile();
    poll.Reset();
    return SUCCEEDED(released);
}

}  // namespace zel::jobs
