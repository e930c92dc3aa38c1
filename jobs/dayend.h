// The file operations of the day-end job, exposed for its tests.  Every path
// is a full path; each returns true on success.  See dayend_job.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "jobs/job_log.h"
#include "platform/fs.h"

namespace zel::jobs {

// Replaces target by a copy of source.  A source that cannot be opened
// leaves target empty (success).  Otherwise the old target is kept under a
// fresh temporary "ZEL" name (in $TMPDIR when that is a directory, else
// beside target) until the copy is complete: on any failure the target is
// put back as it was, so a failed copy never loses what the target held.  A
// backup that cannot be put back stays under its temporary name (logged).
[[nodiscard]] bool CopyReplace(const std::string& target, const std::string& source);

// A file that AppendAll appended: its name in dir and which file it was.
struct AppendedFile {
    std::string name;
    fs::FileId id;
};

// Appends every file of dir matching pattern, in listing order, to
// append_file, and lists in *appended (replaced) each file whose bytes went
// in whole.  A file or append_file that cannot be opened, or a failed write,
// writes "FAILURE to append file NAME to QV2DLR.DAT" to logfil and stops with
// false.
[[nodiscard]] bool AppendAll(const std::string& dir, const char* pattern,
                             const std::string& append_file, TextFile* logfil,
                             std::vector<AppendedFile>* appended);

// Removes from dir the files that AppendAll appended, and nothing else: a
// file that a download placed meanwhile, also under a name that was
// appended, stays for the next run.  Stops at the first that cannot be
// removed (false).
[[nodiscard]] bool RemoveAppended(const std::string& dir, const std::vector<AppendedFile>& files);

// One pass of the day-end job over pattern ("OUTBOUND*.*", "RECEIPTS*.*"):
// append_file becomes a copy of QV2DLR.DAT, the files of DOWNLOAD matching
// pattern are appended to it, QV2DLR.DAT becomes a copy of it, and the
// appended files are removed.  Any failure leaves QV2DLR.DAT as it was and
// the files in DOWNLOAD.  before_removal, when given, runs just before the
// removal (for tests: a download placing a file at that moment).
void FoldIntoHandOver(const char* pattern, bool log_first_copy, TextFile* logfil,
                      const std::function<void()>& before_removal = {});

// Moves every file of dir matching pattern into target_dir under the same
// name, replacing a file of that name there; stops at the first that cannot
// be moved (false).
[[nodiscard]] bool MoveAll(const std::string& dir, const char* pattern,
                           const std::string& target_dir);

}  // namespace zel::jobs
