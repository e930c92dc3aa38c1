// The file operations of the day-end job, exposed for its tests.  Every path
// is a full path; each returns true on success.  See dayend_job.cpp.
#pragma once

#include <string>

#include "jobs/frame.h"

namespace zel::jobs {

// Replaces target by a copy of source.  A source that cannot be opened
// leaves target empty (success).  Otherwise the old target is kept under a
// fresh temporary "ZEL" name (in $TMPDIR when that is a directory, else
// beside target) until the copy is complete: on any failure the target is
// put back as it was, so a failed copy never loses what the target held.  A
// backup that cannot be put back stays under its temporary name (logged).
[[nodiscard]] bool CopyReplace(const std::string& target, const std::string& source);

// Appends every file of dir matching pattern, in listing order, to
// append_file.  A file or append_file that cannot be opened, or a failed
// write, writes "FAILURE to append file NAME to QV2DLR.DAT" to logfil and
// stops with false.
[[nodiscard]] bool AppendAll(const std::string& dir, const char* pattern,
                             const std::string& append_file, TextFile* logfil);

// Removes every file of dir matching pattern; stops at the first that
// cannot be removed (false).
[[nodiscard]] bool RemoveAll(const std::string& dir, const char* pattern);

// Moves every file of dir matching pattern into target_dir under the same
// name, replacing a file of that name there; stops at the first that cannot
// be moved (false).
[[nodiscard]] bool MoveAll(const std::string& dir, const char* pattern,
                           const std::string& target_dir);

}  // namespace zel::jobs
