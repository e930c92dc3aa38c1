// The day-end job (qvzel_nt -p): folds the outbound and receipt files left
// in DOWNLOAD into the hand-over file QV2DLR.DAT, moves the JSDF and barcode
// files to where they are consumed, and, unless FROMQVZEL exists, rotates
// the BACKZEL backups and runs Olmar's own day-end.
//
// QV2DLR.DAT only ever changes by a complete copy of a complete append:
// append_file is first made a copy of it, the new files are appended to
// append_file, and only then is QV2DLR.DAT replaced by a copy of append_file.
// Any failure leaves QV2DLR.DAT as it was and the files in DOWNLOAD for the
// next run.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "jobs/dayend.h"
#include "jobs/enable_flag.h"
#include "jobs/job_files.h"
#include "jobs/job_lock.h"
#include "jobs/olmar_start.h"
#include "jobs/runner.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace zel::jobs {

namespace {

constexpr std::size_t kBlock = 4096;

// A fresh, empty file "ZELxxxx.TMP" made exclusively, so no other process
// can be handed the same name.  False when none can be made.
bool MakeTempName(const std::string& beside, std::string* out) {
    std::string dir = fs::TmpVariableDirectory();
    if (dir.empty()) dir = beside.substr(0, beside.rfind('/'));
    static const char kHex[] = "0123456789ABCDEF";
    unsigned start =
        static_cast<unsigned>(proc::CurrentProcessId()) ^ static_cast<unsigned>(std::time(nullptr));
    for (unsigned i = 0; i < 0x10000; ++i) {
        const unsigned n = (start + i) & 0xFFFF;
        if (n == 0) continue;
        std::string name = "ZEL";
        for (int shift = 12; shift >= 0; shift -= 4) name += kHex[(n >> shift) & 0xF];
        name += ".TMP";
        const std::string path = paths::Join(dir, name);
        const int err = fs::CreateExclusive(path);
        if (err == 0) {
            *out = path;
            return true;
        }
        if (err != EEXIST) return false;
    }
    return false;
}

// Copies everything from in to the file open on out, in blocks.
bool CopyData(int in, int out) {
    char buffer[kBlock];
    for (;;) {
        const long n = fs::ReadSome(in, buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) return true;
        if (fs::WriteAll(out, buffer, static_cast<std::size_t>(n)) != 0) return false;
    }
}

// Puts the backup back under the target's name; a backup that cannot be
// put back is the only copy left of the old content and is never deleted.
void RestoreBackup(const std::string& backup, const std::string& target) {
    if (fs::RenameReplace(backup, target) != 0) {
        JobLog("qvzelproc - " + target + " left as " + backup);
    }
}

}  // namespace

bool CopyReplace(const std::string& target, const std::string& source) {
    fs::UniqueFd in;
    if (fs::OpenForReading(source, &in) != 0) {
        // Nothing to copy: the target is made empty, as a copy of nothing.
        fs::UniqueFd out;
        return fs::CreateForWriting(target, &out) == 0;
    }
    // The old content is kept aside, not truncated first: should the copy
    // fail, the target gets it back whole.
    std::string backup;
    const bool had_target = fs::Exists(target);
    if (had_target) {
        if (!MakeTempName(target, &backup)) return false;
        if (fs::RenameReplace(target, backup) != 0) {
            RemoveFile(backup);
            return false;
        }
    }
    fs::UniqueFd out;
    if (fs::CreateForWriting(target, &out) != 0) {
        if (had_target) RestoreBackup(backup, target);
        return false;
    }
    if (!CopyData(in.get(), out.get())) {
        out.reset();
        RemoveFile(target);
        if (had_target) RestoreBackup(backup, target);
        return false;
    }
    if (had_target) RemoveFile(backup);
    return true;
}

bool AppendAll(const std::string& dir, const char* pattern, const std::string& append_file,
               TextFile* logfil, std::vector<AppendedFile>* appended) {
    appended->clear();
    std::vector<std::string> names;
    if (fs::ListMatching(dir, pattern, &names, true) != 0) return false;
    for (const std::string& name : names) {
        fs::UniqueFd in;
        fs::UniqueFd out;
        AppendedFile file{name, {}};
        if (fs::OpenForReading(paths::Join(dir, name), &in) != 0 ||
            fs::IdentityOf(in.get(), &file.id) != 0 ||
            fs::OpenForAppending(append_file, &out) != 0 || !CopyData(in.get(), out.get())) {
            logfil->Write("FAILURE to append file " + name + " to QV2DLR.DAT");
            return false;
        }
        appended->push_back(std::move(file));
    }
    return true;
}

bool RemoveAppended(const std::string& dir, const std::vector<AppendedFile>& files) {
    for (const AppendedFile& file : files) {
        const int err = fs::RemoveIfSameFile(paths::Join(dir, file.name), file.id);
        // Gone already, or replaced by a newer download: nothing of ours to
        // remove.
        if (err != 0 && err != ENOENT && err != ESTALE) return false;
    }
    return true;
}

bool MoveAll(const std::string& dir, const char* pattern, const std::string& target_dir) {
    std::vector<std::string> names;
    if (fs::ListMatching(dir, pattern, &names, true) != 0) return false;
    for (const std::string& name : names) {
        if (fs::RenameReplace(paths::Join(dir, name), paths::Join(target_dir, name)) != 0) {
            return false;
        }
    }
    return true;
}

// Only the files that were appended are removed: the download job runs
// under a lock of its own and may place new ones in DOWNLOAD at any time,
// and a file removed without having been appended would be lost.
void FoldIntoHandOver(const char* pattern, bool log_first_copy, TextFile* logfil,
                      const std::function<void()>& before_removal) {
    const std::string handover = CommFile("QV2DLR.DAT");
    const std::string append_file = CommFile("append_file");
    const std::string names(pattern);
    if (log_first_copy) JobLog("qvzelproc - replacing append_file with QV2DLR.DAT");
    if (!CopyReplace(append_file, handover)) return;
    JobLog("qvzelproc - adding " + names + " files to append_file");
    std::vector<AppendedFile> appended;
    if (!AppendAll(paths::DownloadDir(), pattern, append_file, logfil, &appended)) return;
    JobLog("qvzelproc - replacing QV2DLR.DAT with append_file");
    if (!CopyReplace(handover, append_file)) return;
    JobLog("qvzelproc - removing " + names + " files");
    if (before_removal) before_removal();
    (void)RemoveAppended(paths::DownloadDir(), appended);
}

namespace {

void RotateBackups() {
    const std::string base = CmnFile("BACKZEL");
    if (fs::Exists(base + "5")) RemoveFile(base + "5");
    for (int n = 4; n >= 0; --n) {
        const std::string from = n == 0 ? base : base + std::to_string(n);
        if (fs::Exists(from)) (void)fs::RenameReplace(from, base + std::to_string(n + 1));
    }
}

}  // namespace

void RunDayEndJob() {
    int age = kDefaultLockMinutes;
    ReadConfigNumber(kDayEndJob.lock_minutes, &age);
    JobLock lock(CommFile(kDayEndJob.lock_base));
    if (!lock.Acquire(age)) return;
    int dump = 0;
    ReadConfigNumber("dumpmsg", &dump);
    SetDumpFlag(dump);

    JobLog("qvzelproc - Checking 'QVZEL = Y' flag");
    if (!IsTransferEnabled()) return;
    TextFile logfil;
    if (!logfil.Open(CommFile(kLogfilName), false)) return;

    FoldIntoHandOver("OUTBOUND*.*", true, &logfil);
    FoldIntoHandOver("RECEIPTS*.*", false, &logfil);
    logfil.Close();
    (void)MoveAll(paths::DownloadDir(), "JSDF*.*", paths::CommDir());
    (void)MoveAll(paths::DownloadDir(), "barcode*.*", paths::PubDir());

    const std::string handover = CommFile("QV2DLR.DAT");
    fs::FileStatus st;
    if (fs::StatusOf(handover, &st) == 0 && st.kind == fs::FileKind::kRegular && st.size == 0) {
        JobLog("qvzelproc - removing empty QV2DLR.DAT file");
        RemoveFile(handover);
    }
    const std::string marker = CommFile("FROMQVZEL");
    if (fs::Exists(marker)) {
        JobLog("qvzelproc - " + marker + " found not executing");
    } else {
        const std::string fromcron = CommFile("FROMCRON");
        JobLog("qvzelproc - " + marker + " not found");
        JobLog("qvzelproc - creating " + fromcron);
        {
            fs::UniqueFd fd;
            (void)fs::CreateForWriting(fromcron, &fd);
        }
        RotateBackups();
        // Quoted when the system root holds a blank, so that Olmar still gets
        // the path as one argument.
        RunOlmar("-p DAYEND >> " + proc::QuoteArgument(CmnFile("BACKZEL")));
        RemoveFile(fromcron);
    }
    lock.Release();
}

}  // namespace zel::jobs
