// The upload job (qvzel_nt -u): sends the files of the UPLOAD directory
// through the Poll component when transfers are enabled, and turns its
// result file into outcome lines in LOGFIL and qvzelupfile.
#include <strings.h>

#include <string>
#include <vector>

#include "jobs/enable_flag.h"
#include "jobs/job_files.h"
#include "jobs/job_lock.h"
#include "jobs/job_log.h"
#include "jobs/result_lines.h"
#include "jobs/runner.h"
#include "jobs/transfer.h"
#include "platform/fs.h"
#include "platform/paths.h"

namespace zel::jobs {

namespace {

// True when the UPLOAD directory holds a file other than the result file.
bool HasFileToUpload() {
    std::vector<std::string> names;
    if (fs::ListMatching(paths::UploadDir(), "*.*", &names, true) != 0) return false;
    for (const std::string& name : names) {
        if (::strcasecmp(name.c_str(), kResultFileName) != 0) return true;
    }
    return false;
}

}  // namespace

void RunUploadJob() {
    int age = kDefaultLockMinutes;
    ReadConfigNumber(kUploadJob.lock_minutes, &age);
    JobLock lock(CommFile(kUploadJob.lock_base));
    if (!lock.Acquire(age)) return;
    int dump = 0;
    ReadConfigNumber("dumpmsg", &dump);
    SetDumpFlag(dump);

    JobLog("qvzelup - Checking 'QVZEL = Y' flag");
    if (!IsTransferEnabled()) return;

    JobLog("qvzelup - Creating LOGFIL");
    TextFile logfil;
    if (!logfil.Open(CommFile(kLogfilName), false)) return;
    JobLog("qvzelup - Creating qvzelupfile");
    TextFile upfile;
    if (!upfile.Open(CommFile(kUploadJob.outcome_file), true)) return;

    JobLog("qvzelup - Checking for file to upload");
    const std::string result_path = UploadFile(kResultFileName);
    // A result file of an earlier run must never be reported again.
    RemoveFile(result_path);
    if (HasFileToUpload()) {
        JobLog("qvzelup - Invoking ferrun");
        if (RunTransfer(Transfer::kUpload)) {
            std::string data;
            if (fs::ReadWholeFile(result_path, &data) == 0 && !data.empty()) {
                JobLog("qvzelup - Processing POLL.RESULT");
                (void)ForEachResultLine(result_path, [&](const ResultLine& r) {
                    const std::string line = r.code == "0000"
                                                 ? "Successful Upload of File " + r.name + "\n"
                                                 : "FAILURE in Upload of File " + r.name +
                                                       " - Error Code " + r.code + "\n";
                    logfil.Write(line);
                    upfile.Write(line);
                });
            }
        }
    }
    lock.Release();
    logfil.Close();
    upfile.Close();
    RemoveFile(result_path);
}

}  // namespace zel::jobs
