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

#include <string>
#include <string_view>
#include <vector>

// The guard files of the transfer component, in its install directory, with
// the configuration key of each one's entry timeout (milliseconds) and the
// timeout used when the key is absent.
struct GuardFileKind {
    const char* name;
    const char* timeout_key;
    int default_timeout_ms;
};
// Upload candidates, by full path, as the upload scan lists them.
inline constexpr GuardFileKind kScanGuard{"qvzel.scan.guard", "write_timeout", 330000};
// Files being uploaded, by full path.
inline constexpr GuardFileKind kUploadGuard{"qvzel.up.guard", "write_timeout", 330000};
// Files being downloaded, by name.
inline constexpr GuardFileKind kDownloadGuard{"qvzel.down.guard", "read_timeout", 6900000};

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

// GuardAcquire for several texts under one lock, with one reading and one
// rewrite of the guard file: the outcome, entry for entry and answer for
// answer, is that of calling GuardAcquire for each text in order with the
// lock held throughout.  A text that appears twice takes part once (the
// later copy is answered false); one holding a CR or LF is answered false
// and reported as GuardAcquire reports it.  All false when the lock was not
// obtained.  Returns one answer per text, in the order given.
[[nodiscard]] std::vector<bool> GuardAcquireAll(const char* guard_path, const char* timeout_key,
                                                int default_timeout_ms,
                                                const std::vector<std::string>& texts);

// Removes every entry with exactly this text, whatever its age or writer.
// Does nothing when the lock is not obtained or the file cannot be
// rewritten.
void GuardRelease(const char* guard_path, const char* text);

// GuardRelease for several texts under one lock, with one reading and one
// rewrite of the guard file: every entry whose text is one of texts goes.
// Nothing is done for an empty list.
void GuardReleaseAll(const char* guard_path, const std::vector<std::string>& texts);

// A run's claims on one guard file for the whole list of files it will
// transfer: every text claimed in one update of the file (with the answers of
// GuardAcquireAll), kept live while the run works through the list, and the
// ones given back released together, so that the file is rewritten once per
// run rather than once per file.  Another run finds each text claimed from
// the first update on, as it would once this run had reached it.
//
// A claim protects its file only while its entry is younger than the
// timeout; a long run would outlive the entries of the files it has not yet
// reached.  So Hold renews the claims still waiting (neither held nor given
// back) in one update once they have lived a quarter of their timeout: each
// file is taken up with at least three quarters of its timeout ahead, as
// with an entry made just before it.  A text another run holds by then (its
// entry had expired, say while this process was stopped) is lost to that
// run.  The renewed entries are this run's own by process ID and time; no
// other writer's entry is ever taken for one.
//
// The object does not lock; one run (one thread) uses it.  Destruction
// releases what was given back (Finish).
class GuardClaims {
  public:
    GuardClaims(std::string guard_path, const GuardFileKind& kind);
    ~GuardClaims();
    GuardClaims(const GuardClaims&) = delete;
    GuardClaims& operator=(const GuardClaims&) = delete;

    // Claims texts (replacing any earlier list, whose given-back texts are
    // released first): one GuardAcquireAll.  Returns one answer per text.
    std::vector<bool> Claim(std::vector<std::string> texts);
    // Called just before the work on texts[i] begins: true when it was
    // claimed and the claim is still this run's, renewed first (with every
    // other waiting claim) when it has aged a quarter of its timeout.  The
    // text is held from then on: its entry stays until it expires, unless
    // it is given back.  A text already held answers true again.
    [[nodiscard]] bool Hold(std::size_t i);
    // texts[i] was not transferred after all: its entries go at the next
    // update (a renewal, or Finish at the latest).  Nothing for a text that
    // was not claimed.
    void GiveBack(std::size_t i);
    // Releases the given-back texts in one update (none when there are
    // none).
    void Finish();

  private:
    enum class State { kRefused, kWaiting, kHeld, kGivenBack };
    void Renew();

    std::string path_;
    GuardFileKind kind_;
    std::vector<std::string> texts_;
    std::vector<State> states_;
    long long stamp_ = 0;    // the time on this run's waiting entries
    long long timeout_ = 0;  // their timeout in seconds, as last read
};

// One entry of a guard file as read back: the writer's clock (seconds since
// 1970), its process ID and the key text.
struct GuardEntry {
    long long time = 0;
    long long pid = 0;
    std::string text;
};

// The entries of a guard file's whole content, in file order, read by the
// same rules as GuardAcquire (every line end accepted; lines without their
// two separating spaces are not entries).  Pure; never fails.
[[nodiscard]] std::vector<GuardEntry> ParseGuardEntries(std::string_view content);

// Test hooks.  RewriteCount: how many times this process has replaced a
// guard file (any guard file) so far, so that a test can tell how often a
// transfer rewrote one.  Not for production code.
namespace guard_test_hooks {
[[nodiscard]] unsigned long RewriteCount();
// Moves this process's guard clock (the times written and compared, and the
// age of claims) by seconds, so that a test can let claims age without
// waiting.  Not for production code.
void ShiftClock(long long seconds);
}  // namespace guard_test_hooks
