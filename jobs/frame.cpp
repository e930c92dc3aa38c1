// The shared frame of the job runner: paths, configuration numbers, the
// enable flag, job locks, the job log, the transfer through the Poll
// component, result lines and the Olmar start.  See frame.h.
#include "jobs/frame.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/bstr.h"
#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "poll/ipoll.h"
#include "support/config.h"
#include "support/lock.h"
#include "support/strings.h"

namespace zel::jobs {

namespace {

int g_dump_flag = 0;

constexpr const char* kOlmarKey = "SOFTWARE\\qvis\\olmar";
constexpr const char* kOlmarValue = "OLMAR_EXE";
// The registry value is read into a buffer of this size by the dealer PCs;
// a longer value never worked there and is not used here either.
constexpr std::size_t kOlmarDirMax = 512;

// A BSTR made from narrow text; null when it cannot be made.
CBstr MakeBstr(const std::string& text) {
    CBstr b;
    if (FAILED(GetBSTRFromString(text.c_str(), b.Out()))) b.reset();
    return b;
}

// The Olmar directory, or false when it is not available this time.
bool GetOlmarDirectory(std::string* dir) {
    reg::Key key;
    reg::Disposition disposition{};
    if (reg::CreateKey(reg::Hive::LocalMachine, kOlmarKey, &key, &disposition) != reg::kSuccess) {
        return false;
    }
    if (disposition == reg::Disposition::CreatedNewKey) {
        // First run on this machine: the default is stored for the next
        // run, and this one starts nothing.
        (void)reg::SetString(key, kOlmarValue, paths::CmnDir());
        return false;
    }
    std::string value;
    if (reg::QueryString(key, kOlmarValue, &value) != reg::kSuccess || value.empty() ||
        value.size() >= kOlmarDirMax) {
        return false;
    }
    *dir = std::move(value);
    return true;
}

// The directory that is current once the runner has (in effect) changed
// into dir for a start; empty when even its own cannot be read.
std::string CurrentDirectoryForStart(const std::string& dir) {
    const bool enterable = proc::CanEnterDirectory(dir);
    if (enterable && dir.front() == '/') return dir;
    std::string current;
    if (proc::CurrentDirectory(&current) != 0) return std::string();
    return enterable ? paths::Join(current, dir) : current;
}

}  // namespace

std::string CommFile(const std::string& name) {
    return paths::Join(paths::CommDir(), name);
}
std::string DownloadFile(const std::string& name) {
    return paths::Join(paths::DownloadDir(), name);
}
std::string UploadFile(const std::string& name) {
    return paths::Join(paths::UploadDir(), name);
}
std::string CmnFile(const std::string& name) {
    return paths::Join(paths::CmnDir(), name);
}

void SetDumpFlag(int value) {
    g_dump_flag = value;
}
int DumpFlag() {
    return g_dump_flag;
}

void ReadConfigNumber(const char* key, int* value) {
    ::ReadConfigNumber(CommFile("ferrun.conf").c_str(), key, value);
}

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

bool JobLock::Acquire(int age_minutes) {
    Release();
    // The lock names this process, so that one left by a job that was
    // killed (a reboot, a power cut) is taken over at once instead of
    // holding back every job of its kind until it is age_minutes old.
    held_ = ::LockRecorded(base_.c_str(), age_minutes);
    return held_;
}

void JobLock::Release() {
    if (!held_) return;
    ::Unlock(base_.c_str());
    held_ = false;
}

void JobLog(std::string_view text) {
    if (g_dump_flag == 0) return;
    const std::string path = paths::JobLogFile();
    (void)fs::ClearReadOnly(path);
    std::string line(text);
    line += '\n';
    const std::string bytes = fs::ToTextMode(line);
    // One turn under the file's lock: the cut (in place, once the file
    // reaches kJobLogLimit bytes) and the append.
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

bool NextResultLine(std::string_view data, std::size_t* pos, std::string* line) {
    std::size_t p = *pos;
    if (p >= data.size() || data[p] == '\0') return false;
    std::size_t end = p;
    while (end < data.size() && data[end] != '\0' && data[end] != '\r' && data[end] != '\n') ++end;
    line->assign(data.substr(p, end - p));
    p = end;
    if (p < data.size() && data[p] != '\0') {
        const char first = data[p++];
        const char pair = first == '\r' ? '\n' : '\r';
        if (p < data.size() && data[p] == pair) ++p;
    } else if (p < data.size()) {
        ++p;  // past the NUL; the next call stops at the end of the data anyway
    }
    *pos = p;
    return true;
}

bool ParseResultLine(std::string_view line, ResultLine* out) {
    if (line.size() < 5) return false;
    std::size_t code_len = 4;
    if (line.size() >= 6 && line[4] >= '0' && line[4] <= '9' && line[5] == ' ') {
        bool digits = true;
        for (std::size_t i = 0; i < 5; ++i) digits = digits && line[i] >= '0' && line[i] <= '9';
        if (digits) code_len = 5;
    }
    out->code.assign(line.substr(0, code_len));
    const std::string_view kept = line.substr(0, std::min(line.size(), kResultLineMax));
    out->name.assign(kept.size() > code_len + 1 ? kept.substr(code_len + 1) : std::string_view());
    return true;
}

void RunOlmar(const std::string& args) {
    std::string dir;
    if (!GetOlmarDirectory(&dir)) {
        JobLog("Unable to get olmar path from registry");
        return;
    }
    const std::string command_line = "olmar " + args;
    JobLog("Olmar Path");
    JobLog(dir);
    JobLog(command_line);
    // The child is started in the Olmar directory; the runner's own current
    // directory never changes, so nothing needs to be put back.  The line
    // names the directory current for the start, as it would be after
    // changing into the Olmar directory: that directory when it can be
    // entered, else the runner's own, which a failed change leaves current.
    JobLog(CurrentDirectoryForStart(dir));
    proc::StartOptions options;
    options.working_dir = dir;
    pid_t pid = -1;
    const int err = proc::Start(command_line, options, &pid);
    if (err != 0) {
        JobLog("CreateProcess failed.");
        JobLog(std::strerror(err));
        return;
    }
    (void)proc::Wait(pid);
}

void RemoveFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {

bool ArgIs(const char* arg, const char* option) {
    return ::strcasecmp(arg, option) == 0;
}

}  // namespace

int RunnerMain(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc != 2) return 0;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 0;
    // Ctrl+C must not stop a job half-way; SIGTERM and SIGHUP keep their
    // default action.  Children get default dispositions back.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &previous);
    const char* arg = argv[1];
    if (ArgIs(arg, "-u")) RunUploadJob();
    if (ArgIs(arg, "-d")) RunDownloadJob();
    if (ArgIs(arg, "-p")) RunDayEndJob();
    ::sigaction(SIGINT, &previous, nullptr);
    CoUninitialize();
    return 0;
}

}  // namespace zel::jobs
