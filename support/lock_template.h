// Reused lock-file inodes: a lock name that one process takes again and
// again (the log's, the result file's) is made as a further name of a hidden
// template file of that process instead of as a new file each time.
//
// Why: on ext4 without a journal every new inode is searched for past the
// inodes freed in the last minutes, so a run that creates and removes tens of
// thousands of lock files slows down with every one it makes.  A link
// allocates no inode, and removing the name again frees none.
//
// What a lock made this way keeps: its name appears exclusively (the link
// fails with EEXIST exactly where an O_EXCL create would), its modification
// time is the moment it was taken (the template is touched just before the
// link), and a recorded lock holds its holder line from the start (the
// template was written before its first link).  Each template serves one
// lock name only, so taking one lock never makes another held lock look
// younger.
//
// The templates are ".qvzel_lock.tpl.<pid>.<start>.<n>" beside their locks;
// the ".qvzel_lock" in the name keeps every upload selection away from them.
// A process keeps a bounded number of them and removes them when it ends (or
// when the library holding this code is unloaded).  Those of a process that
// was killed are removed by the next process that takes a lock in the same
// directory.  A forked child forgets its parent's templates without
// touching them.
#pragma once

#include <string>

namespace zel::locks {

// What LinkFromTemplate answers when the caller must create the lock file
// itself.
inline constexpr int kNoTemplate = -1;

// Where a template's content comes from: called only when a template is
// made.  nullptr for an empty one.
using ContentFn = std::string (*)();

// Makes lock_file (a full path) as a further name of this process's
// template for that name and content.  Returns 0 when lock_file now exists
// as ours; EEXIST (or EINTR) when something is in its place; kNoTemplate when
// no template serves the name: the first time this process takes it (a name
// taken once only is not worth a template), a relative name, a file system
// without links, or a directory where no template can be made.  The caller then creates the
// lock file the plain way, which also gives the errno of a missing or
// unwritable directory.  Thread-safe.
[[nodiscard]] int LinkFromTemplate(const std::string& lock_file, ContentFn content);

// Removes this process's templates now; later calls make new ones.  For
// tests, and for a process about to leave a directory for good.
void DropTemplates();

// Removes the templates in dir that a process which has since ended left
// behind.  Those of running processes are never touched.  Returns how many
// were removed.
int RemoveAbandonedTemplates(const std::string& dir);

}  // namespace zel::locks
