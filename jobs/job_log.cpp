// The job log and the outcome files (see job_log.h).
#include "jobs/job_log.h"

#include "platform/paths.h"

namespace zel::jobs {

namespace {

int g_dump_flag = 0;

}  // namespace

void SetDumpFlag(int value) {
    g_dump_flag = value;
}
int DumpFlag() {
    return g_dump_flag;
}

void JobLog(std::string_view text) {
    if (g_dump_flag == 0) return;
    const std::string path = paths::JobLogFile();
    (void)fs::ClearReadOnly(path);
    std::string line(text);
    line += '\n';
    const std::string bytes = fs::ToTextMode(line);
    // One turn under the file's lock: the cut (in place, once the file
    // reaches kJobLogLimit bytes, as the event logs are cut) and the append.
    (void)fs::AppendLocked(path.c_str(), bytes.data(), bytes.size(), fs::Links::kFollow,
                           kJobLogLimit - 1, static_cast<long long>(kJobLogKeep));
}

bool TextFile::Open(const std::string& path, bool truncate) {
    fd_.reset();
    const int err = truncate ? fs::CreateForWriting(path, &fd_) : fs::OpenForAppending(path, &fd_);
    return err == 0;
}

void TextFile::Write(std::string_view text) {
    if (!fd_) return;
    const std::string bytes = fs::ToTextMode(text);
    (void)fs::WriteAll(fd_.get(), bytes.data(), bytes.size());
}

}  // namespace zel::jobs
