// One transfer of the jobs through the Poll component, which the runner
// knows only through poll/ipoll.h and the object-model runtime.
#pragma once

namespace zel::jobs {

enum class Transfer { kUpload, kDownload };

// One transfer: SetLogFile, EnableLogging(1), SetResultFile("POLL.RESULT"),
// GetFiles or PutFiles with null arguments, ReleaseLogFile.  True when the
// component was created and ReleaseLogFile succeeded; the status of the
// transfer itself is not looked at (the result file tells what became of
// each file).
[[nodiscard]] bool RunTransfer(Transfer kind);

}  // namespace zel::jobs
