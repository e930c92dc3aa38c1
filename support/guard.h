// Guard files: which files are being, or were recently, transferred, so that
// two overlapping runs never send or fetch the same file twice.
//
// A guard file is a small text file of lines "<time> <pid> <text>" + CR LF:
// the writer's clock in seconds since 1970 (UTC), the writer's process ID and
// the entry's key text (a full path or a file name, spaces allowed).  Every
// read-modify-write happens under the guard file's own lock file (lock.h,
// a recorded lock taken with "guard_count" extra attempts); the whole file is
// read and rewritten on every change, purging expired entries.  A run killed
// inside that short step leaves the lock and perhaps a hidden replacement
// file behind: the lock is taken over as soon as its recorded holder has
// ended (one naming no holder once it is older than a few seconds, which no
// update ever lasts), never while the holder runs, and replacement files of
// ended processes are removed under the lock.
// Tuning values come from ferrun.conf on every call: "guard_count" (default
// 3) and "guard_timeout" (seconds, default 345600), plus the caller's timeout
// key.  Nothing here reports to the log, except a key text that holds a line
// break (see GuardAcquire).
#pragma once

// True when the caller may go ahead with the file named by text: no entry of
// the same text younger than the timeout (the value of timeout_key in
// milliseconds, default_timeout_ms when absent, whole seconds counted) was
// found, and the caller's entry was added.  False when such a live entry
// exists (the caller's entry is then not added) or when the guard file's lock
// was not obtained.  Entries of other texts older than "guard_timeout" are
// dropped, as are lines that lack the two separating spaces.  When the guard
// file cannot be rewritten the caller is let through without an entry.
// A missing guard path or text gives false; so does a text that holds a CR
// or LF (it could not be stored as one line), reported to the thread's
// current log as 0x801F811D with the context "GuardAcquire".  A guard file
// that is not a regular file is read as empty.
[[nodiscard]] bool GuardAcquire(const char* guard_path, const char* timeout_key,
                                int default_timeout_ms, const char* text);

// Removes every entry with exactly this text, whatever its age or writer.
// Does nothing when the lock is not obtained or the file cannot be
// rewritten.
void GuardRelease(const char* guard_path, const char* text);
