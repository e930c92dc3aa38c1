// The download job (qvzel_nt -d): fetches what the central side holds for
// the dealer through the Poll component, turns its result file into outcome
// lines in LOGFIL and qvzeldownfile, then runs Olmar for each trigger file
// present in the DOWNLOAD directory.
#include <string>

#include "jobs/job_files.h"
#include "jobs/job_lock.h"
#include "jobs/job_log.h"
#include "jobs/olmar_start.h"
#include "jobs/result_lines.h"
#include "jobs/runner.h"
#include "jobs/transfer.h"
#include "platform/fs.h"

namespace zel::jobs {

void RunDownloadJob() {
    int age = kDefaultLockMinutes;
    ReadConfigNumber(kDownloadJob.lock_minutes, &age);
    JobLock lock(CommFile(kDownloadJob.lock_base));
    if (!lock.Acquire(age)) return;
    int dump = 0;
    ReadConfigNumber("dumpmsg", &dump);
    SetDumpFlag(dump);

    JobLog("qvzeldown - Creating LOGFIL");
    TextFile logfil;
    if (!logfil.Open(CommFile(kLogfilName), false)) return;
    JobLog("qvzeldown - Creating qvzeldownfile");
    TextFile downfile;
    if (!downfile.Open(CommFile(kDownloadJob.outcome_file), true)) return;

    const std::string result_path = DownloadFile(kResultFileName);
    // A result file of an earlier run must never be reported again.
    RemoveFile(result_path);
    JobLog("qvzeldown - Invoking ferrun");
    if (RunTransfer(Transfer::kDownload)) {
        std::string data;
        if (fs::ReadWholeFile(result_path, &data) == 0 && !data.empty()) {
            JobLog("qvzeldown - Processing POLL.RESULT");
            (void)ForEachResultLine(result_path, [&](const ResultLine& r) {
                if (r.code == "0000") {
                    const std::string line = "Successful Download of File " + r.name + "\n";
                    logfil.Write(line);
                    downfile.Write(line);
                } else if (r.code == "1000") {
                    downfile.Write("No Files Available for Download\n");
                } else {
                    const std::string line =
                        "FAILURE in Download of File " + r.name + " - Error Code " + r.code + "\n";
                    logfil.Write(line);
                    downfile.Write(line);
                }
            });
        }
    }
    logfil.Close();
    downfile.Close();
    RemoveFile(result_path);

    JobLog("qvzeldown - Checking for qvzel_on.trigger");
    if (fs::Exists(DownloadFile("qvzel_on.trigger"))) RunOlmar("-p QVZELON");
    JobLog("qvzeldown - Checking for qvzel_off.trigger");
    if (fs::Exists(DownloadFile("qvzel_off.trigger"))) RunOlmar("-p QVZELOFF");

    lock.Release();
    JobLog("qvzeldown - exiting");
}

}  // namespace zel::jobs
