// What the three jobs of qvzel_nt share: the fixed paths, the tuning values
// of ferrun.conf, the enable flag, the per-job lock, the job log, one
// transfer through the Poll component, the reading of its result file and
// the start of the dealer business system Olmar.
//
// The runner knows the component only through poll/ipoll.h and the object
// model runtime.  Nothing here throws or reports a failure through an exit
// code: what happened goes to the job log (while "dumpmsg" is non-zero) and
// to the jobs' outcome files.  The dump flag is process state: one process
// runs one job.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/fs.h"

namespace zel::jobs {

// The result file name given to the component, and the longest line the
// runner keeps of it (the name part is cut there; the code is always read).
inline constexpr char kResultFileName[] = "POLL.RESULT";
inline constexpr std::size_t kResultLineMax = 243;

// The files each job keeps in the COMM directory, named once here so that
// whatever reports on the jobs reads the very files they write.
inline constexpr char kLogfilName[] = "LOGFIL";  // cumulative outcome file
inline constexpr int kDefaultLockMinutes = 240;  // lock age limit without a configured one
struct JobFiles {
    const char* lock_base;     // lock file: this + ".qvzel_lock"
    const char* lock_minutes;  // ferrun.conf key of its age limit
    const char* outcome_file;  // this run's outcome lines; null for the day-end job
};
inline constexpr JobFiles kUploadJob{"UPLOCK", "uplock_minutes", "qvzelupfile"};
inline constexpr JobFiles kDownloadJob{"DOWNLOCK", "downlock_minutes", "qvzeldownfile"};
inline constexpr JobFiles kDayEndJob{"PROCLOCK", "proclock_minutes", nullptr};

// The job log is cut to its last kJobLogKeep bytes once it reaches
// kJobLogLimit bytes.
inline constexpr long long kJobLogLimit = 32768;
inline constexpr std::size_t kJobLogKeep = 16384;

// Owned paths below the system root.
std::string CommFile(const std::string& name);      // C:\Apps\QVIS\PROG\COMM\name
std::string DownloadFile(const std::string& name);  // ...\COMM\DOWNLOAD\name
std::string UploadFile(const std::string& name);    // ...\COMM\UPLOAD\name
std::string CmnFile(const std::string& name);       // C:\Apps\QVIS\PROG\CMN\name

// The job log is written only while the dump flag is non-zero.
void SetDumpFlag(int value);
int DumpFlag();

// Reads one number of ferrun.conf into *value, which holds the default and
// changes only for a value of 0 or more: the first occurrence of the key
// anywhere, the one character after it skipped, the text up to the next
// line feed read like atoi.
void ReadConfigNumber(const char* key, int* value);

// True when the enable flag file INIT_CTRL holds one of the seven enabling
// texts (exact case, anywhere).  A missing or empty file disables.
[[nodiscard]] bool IsTransferEnabled();
// The same test on a text already read.
[[nodiscard]] bool TextEnablesTransfer(std::string_view text);

// The job lock of a base path (base + ".qvzel_lock").  Acquire waits until
// the lock is held.  The lock file names its holder (pid and start time): a
// lock whose holder has ended is taken over at once; any other (a running
// holder's, or an empty one that names none) once it is older than
// age_minutes (never when 0 or less).  It returns false only when waiting
// cannot help (the lock file cannot be created at all, or a stale one cannot
// be removed); the job then does not run.  The holder gives the lock back
// when it goes, so every way out of a job releases it.
class JobLock {
  public:
    explicit JobLock(std::string base) : base_(std::move(base)) {}
    ~JobLock() { Release(); }
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;

    [[nodiscard]] bool Acquire(int age_minutes);
    void Release();

  private:
    std::string base_;
    bool held_ = false;
};

// One line to the job log $QVIS_ROOT/qvzel.log (nothing while the dump flag
// is 0): the read-only attribute is cleared, a file of kJobLogLimit bytes or
// more is cut to its last kJobLogKeep bytes, then text and a CR LF are
// appended.  Failures are ignored.
void JobLog(std::string_view text);

// A text file that the jobs write outcome lines to: every LF is stored as
// CR LF.  Move-only owner of its descriptor.
class TextFile {
  public:
    // Opens for appending (created when missing) or, with truncate, created
    // empty.  False when it cannot be opened.
    [[nodiscard]] bool Open(const std::string& path, bool truncate);
    // Writes text in text mode; failures are ignored, as the jobs have no
    // one to tell.
    void Write(std::string_view text);
    void Close() { fd_.reset(); }
    bool IsOpen() const { return static_cast<bool>(fd_); }

  private:
    fs::UniqueFd fd_;
};

enum class Transfer { kUpload, kDownload };

// One transfer through the Poll component: SetLogFile, EnableLogging(1),
// SetResultFile("POLL.RESULT"), GetFiles or PutFiles with null arguments,
// ReleaseLogFile.  True when the component was created and ReleaseLogFile
// succeeded; the status of the transfer itself is not looked at (the result
// file tells what became of each file).
[[nodiscard]] bool RunTransfer(Transfer kind);

// Reads the next line of data from *pos into *line: up to a NUL, CR, LF or
// the end; a CR LF or LF CR pair counts as one terminator and *pos moves past
// it.  False (and *line untouched) at or beyond the end, or at a NUL.
[[nodiscard]] bool NextResultLine(std::string_view data, std::size_t* pos, std::string* line);

// The outcome of one result line: its code and the file name after it.
struct ResultLine {
    std::string code;
    std::string name;
};
// Splits a result line.  The code is its first four characters and the name
// runs from the sixth character, cut where the line buffer of kResultLineMax
// characters ends.  A five-digit code followed by a blank (codes above 9999)
// is taken whole, so its last digit never slips into the name.  Lines shorter
// than five characters carry no outcome: false.
[[nodiscard]] bool ParseResultLine(std::string_view line, ResultLine* out);

// Reads the result file at path whole and hands each usable line to the
// callback, in file order.  False when the file is missing or empty.
template <typename F>
bool ForEachResultLine(const std::string& path, F&& each) {
    std::string data;
    if (fs::ReadWholeFile(path, &data) != 0 || data.empty()) return false;
    std::size_t pos = 0;
    std::string line;
    // Every line moves the position by at least one byte, so the loop ends.
    while (NextResultLine(data, &pos, &line)) {
        ResultLine r;
        if (ParseResultLine(line, &r)) each(r);
    }
    return true;
}

// Starts "olmar <args>" in the Olmar directory (HKLM\SOFTWARE\qvis\olmar
// OLMAR_EXE) and waits for it to end.  A key that did not exist is created
// with the default directory and nothing is started this time.  The command
// line is split into arguments by the Windows rules and never handed to a
// shell, so ">> file" reaches Olmar as two arguments.  Failures are logged.
void RunOlmar(const std::string& args);

// Removes a file, ignoring errors (a missing file is fine).
void RemoveFile(const std::string& path);
// True when something exists under the name.
bool Exists(const std::string& path);

// The jobs (one process runs one).
void RunUploadJob();
void RunDownloadJob();
void RunDayEndJob();

// The program: exactly one argument "-u", "-d" or "-p" (any case) runs its
// job; anything else does nothing.  Always returns 0.
int RunnerMain(int argc, char** argv);

}  // namespace zel::jobs
