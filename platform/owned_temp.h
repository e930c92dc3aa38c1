// Temporary names stamped with their owner: the one form every temporary
// file of this system takes, and the one sweep that removes those a process
// which has since ended left behind (killed between making a temporary and
// renaming or removing it).
//
// A name is "<stem>.qvzel_lock.tmp.<pid>.<start>.<n>": the stem says what it
// is for (a hidden ".<name>" beside a file it will replace, "~qvzs" for a
// download's staging file, "<file>.dtzpart" for a half-made pack), pid and
// start (clock ticks after boot, 0 when unknown) identify the process that
// made it, and n tells apart the names one process makes.  The marker is
// ours alone: the upload selection never takes a name holding ".qvzel_lock",
// and the download never places a published file under a name of this form
// (IsOwnedTempName), so a name of this form in a directory where we make
// temporaries was made by us.  Only the exact form is recognised: decimal
// numbers as this code writes them (no leading zeros, no sign, nothing
// after n), so a near miss is left alone.  An owner counts as ended only
// when proc::HasEnded says so for pid and start together: a reused pid does
// not keep a dead run's file, and a zombie is ended.
//
// Temporary directories: the system's temporary directory is $TMPDIR, else
// /tmp (TempDir in fs.h: delete-on-close files, GetTmpFileName).  A
// download's staging file alone is made where the download rule puts it: the
// directory named by $TMP when it exists, else the working directory, else
// "/" (poll/temp_names.h).  No other code reads $TMP.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/fs.h"
#include "platform/process.h"

namespace zel::fs {

// What follows the stem in every owned temporary name.
inline constexpr std::string_view kOwnedTempMarker = ".qvzel_lock.tmp.";

// The name stem + marker + owner + "." + n (stem may be a whole path).
[[nodiscard]] std::string OwnedTempName(std::string_view stem, const proc::ProcessIdentity& owner,
                                        unsigned long long n);

// True when name (a base name, no directory) is exactly of the owned form
// with a non-empty stem; then *stem (when given) is the stem, a view into
// name, and *owner (when given) the identity it records.  Otherwise false
// and the outputs are untouched.
[[nodiscard]] bool ParseOwnedTempName(std::string_view name, std::string_view* stem = nullptr,
                                      proc::ProcessIdentity* owner = nullptr);

// True when name (a base name) could be one of our temporaries: a file to
// be placed under such a name would be taken for one and removed.
[[nodiscard]] inline bool IsOwnedTempName(std::string_view name) {
    return ParseOwnedTempName(name);
}

// A fresh name stem + marker + this process + a counter, for a caller that
// creates the file itself.  Creates nothing.
[[nodiscard]] std::string NewOwnedTempName(std::string_view stem);

// Creates stem + marker + this process + a counter, exclusively (a name
// already in place is stepped over, boundedly), with permissions mode less
// the umask.  Returns 0 with the path in *path and the descriptor (opened
// for writing; the caller owns it) in *out when out is given, else closed.
// Otherwise an errno value (ENOENT, EACCES for the directory...), *path
// empty and nothing created.
[[nodiscard]] int CreateOwnedTemp(const std::string& stem, int mode, std::string* path,
                                  UniqueFd* out = nullptr);

// Removes the owned temporaries in dir (not below it) whose owner has
// ended.  With stems, only names whose stem is one of them (exactly) are
// looked at; without, every owned name.  Names of running processes, this
// one included, and every other name stay.  Returns how many were removed;
// a directory that cannot be listed gives 0.
int RemoveEndedOwnersTemps(const std::string& dir,
                           std::initializer_list<std::string_view> stems = {});

}  // namespace zel::fs
