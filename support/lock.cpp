// Lock files: see lock.h.
//
// Creating the lock file exclusively is the only atomic step.  Taking over a
// stale lock is made safe against a second waiter that judged the same file
// stale a moment earlier: the stale file is removed only while holding a
// short-lived companion lock ("<lock file>.takeover"), and only after checking
// again, under it, that the file there is still stale.  Otherwise the slower
// waiter could remove the fresh lock that the faster one had just created,
// and both would go ahead.  Likewise a lock file that vanished between the
// failed attempt and the age check is simply tried again, never removed.
// The same companion guards the removal of a recorded lock whose holder has
// ended; that companion records its own maker, so that one left by a taker
// killed in this short step is cleared as soon as that taker is gone: by the
// next taker, and by whoever next takes or clears the lock itself, since a
// taker killed after its removal leaves no stale lock to lead anyone there.
#include "support/lock.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <string_view>
#include <thread>

#include "platform/fs.h"
#include "platform/process.h"

namespace {

// 0 when created, else the errno of the failed creation.
int CreateLockFile(const std::string& lock_file) {
    return zel::fs::CreateExclusive(lock_file);
}

// Errors after which another attempt may succeed.
bool WorthRetrying(int err) {
    return err == EEXIST || err == EINTR;
}

enum class LockState { kGone, kFresh, kStale };

// The lock file's modification time; false when nothing is there.  The
// entry itself is looked at: a dangling symbolic link in the lock's place
// still blocks exclusive creation, so it must count as present, not as gone.
bool ModifiedAt(const std::string& lock_file, long long* modified) {
    zel::fs::FileInfo info;
    if (zel::fs::GetEntryInfo(lock_file, &info) != 0) return false;
    *modified = info.modified;
    return true;
}

LockState StateOf(const std::string& lock_file, int minutes) {
    long long modified = 0;
    if (!ModifiedAt(lock_file, &modified)) return LockState::kGone;
    if (minutes <= 0) return LockState::kFresh;
    const long long now = static_cast<long long>(std::time(nullptr));
    return (now - modified > static_cast<long long>(minutes) * 60) ? LockState::kStale
                                                                   : LockState::kFresh;
}

long long WallNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Sleeps until the wall clock, in whole seconds, is past `second`, but never
// longer than one second in all: a wall clock set back while waiting (a time
// server's correction) must not stretch one wait by the size of that step.
void WaitPastSecond(std::time_t second) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::time(nullptr) <= second) {
        const long long to_next_second =
            static_cast<long long>(second + 1) * 1000000000LL - WallNanoseconds();
        const long long to_limit = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       limit - std::chrono::steady_clock::now())
                                       .count();
        if (to_limit <= 0) return;
        long long nap = to_next_second < to_limit ? to_next_second : to_limit;
        if (nap < 1000000LL) nap = 1000000LL;
        std::this_thread::sleep_for(std::chrono::nanoseconds(nap));
    }
}

void SleepOneSecond() {
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

enum class TakeOver {
    kDone,     // the stale file is gone (or was no longer stale): try again now
    kBusy,     // another waiter is taking it over: wait a second
    kBlocked,  // the stale file cannot be removed: waiting will not help
};

// How a lock file in the way is judged: by its age (plain locks), or by the
// holder it records (recorded locks).
struct StaleRule {
    int minutes = 0;                   // plain: stale when older than this
    bool recorded = false;             // recorded: stale when its holder has ended
    long long unrecorded_seconds = 0;  // recorded: a file naming no holder, by age
    long long live_seconds = 0;        // recorded: a running holder's, by age (0: never)
};

constexpr std::string_view kHolderTag = "qvzel-holder ";
// A companion naming no holder was left by a taker killed between creating
// and recording it, a few instructions; this is far beyond that.
constexpr int kUnrecordedCompanionSeconds = 10;

std::string HolderRecord() {
    const zel::proc::ProcessIdentity self = zel::proc::SelfIdentity();
    return std::string(kHolderTag) + std::to_string(self.pid) + " " + std::to_string(self.start) +
           "\n";
}

// The holder a lock file records; false when it records none (an empty
// file, a lock someone else made, or anything but a regular file).
bool ReadHolder(const std::string& lock_file, zel::proc::ProcessIdentity* holder) {
    std::string text;
    if (zel::fs::ReadWholeFile(lock_file, &text) != 0 || text.size() > 64) return false;
    if (text.compare(0, kHolderTag.size(), kHolderTag) != 0) return false;
    const std::string_view rest = std::string_view(text).substr(kHolderTag.size());
    zel::proc::ProcessIdentity who;
    const std::size_t used = zel::proc::ParseIdentity(rest, ' ', &who);
    if (used == 0 || rest.substr(used) != "\n") return false;
    *holder = who;
    return true;
}

LockState JudgedState(const std::string& lock_file, const StaleRule& rule) {
    if (!rule.recorded) return StateOf(lock_file, rule.minutes);
    long long modified = 0;
    if (!ModifiedAt(lock_file, &modified)) return LockState::kGone;
    zel::proc::ProcessIdentity holder;
    long long limit = rule.unrecorded_seconds;
    if (ReadHolder(lock_file, &holder)) {
        if (zel::proc::HasEnded(holder)) return LockState::kStale;
        limit = rule.live_seconds;
    }
    if (limit <= 0) return LockState::kFresh;
    const long long now = static_cast<long long>(std::time(nullptr));
    return now - modified > limit ? LockState::kStale : LockState::kFresh;
}

// Creates lock_file exclusively; a recorded lock appears with its holder
// line already in it.  0 or the creation's errno.
int CreateJudgedLock(const std::string& lock_file, bool recorded) {
    if (!recorded) return CreateLockFile(lock_file);
    return zel::fs::CreateExclusiveWithContent(lock_file, HolderRecord());
}

// Removes lock_file if it is still stale.  A directory in the lock's place,
// or another user's lock in a sticky directory, can never be removed by this
// process; that is told apart from a lock that vanished meanwhile.
TakeOver RemoveIfStale(const std::string& lock_file, const StaleRule& rule) {
    if (JudgedState(lock_file, rule) != LockState::kStale) return TakeOver::kDone;
    const int err = zel::fs::RemoveFile(lock_file);
    if (err == 0 || err == ENOENT) return TakeOver::kDone;
    return err == EINTR || err == EBUSY ? TakeOver::kBusy : TakeOver::kBlocked;
}

// The companion of lock_file.
std::string CompanionOf(const std::string& lock_file) {
    return lock_file + kTakeOverSuffix;
}

// A recorded companion is stale once its maker has ended, or, naming none,
// once it is older than a taker's few instructions could explain.
StaleRule CompanionRule(const StaleRule& rule) {
    StaleRule companion_rule = rule;
    if (companion_rule.unrecorded_seconds < kUnrecordedCompanionSeconds)
        companion_rule.unrecorded_seconds = kUnrecordedCompanionSeconds;
    // A running taker is inside its few instructions: never cleared by age.
    companion_rule.live_seconds = 0;
    return companion_rule;
}

// Removes the companion of a recorded lock_file left by a taker that ended
// inside its step; a running taker's companion stays.
void ClearAbandonedCompanion(const std::string& lock_file) {
    const std::string companion = CompanionOf(lock_file);
    StaleRule rule;
    rule.recorded = true;
    if (JudgedState(companion, CompanionRule(rule)) == LockState::kStale)
        (void)zel::fs::RemoveFile(companion);
}

// Removes lock_file if it is (still) stale, under the companion lock.
// kBusy when another process holds the companion; a companion left behind by
// a process that died in this short step is cleared once it is stale by the
// same rule (a recorded companion: once its maker has ended).  When the
// companion cannot be made at all (its longer name is too long for the file
// system) the stale file is removed without it: a dead holder's lock must
// not be waited for for ever.
TakeOver TakeOverStale(const std::string& lock_file, const StaleRule& rule) {
    const std::string companion = CompanionOf(lock_file);
    StaleRule companion_rule = rule;
    if (rule.recorded) companion_rule = CompanionRule(rule);
    companion_rule.live_seconds = 0;
    int err = CreateJudgedLock(companion, rule.recorded);
    if (err != 0 && !WorthRetrying(err)) return RemoveIfStale(lock_file, rule);
    if (err != 0) {
        if (err == EEXIST && JudgedState(companion, companion_rule) == LockState::kStale) {
            err = zel::fs::RemoveFile(companion);
            if (err == 0 || err == ENOENT) return TakeOver::kDone;
            // A stale companion that cannot be removed blocks every take-over
            // just as a stale lock would.
            return TakeOver::kBlocked;
        }
        return TakeOver::kBusy;
    }
    const TakeOver result = RemoveIfStale(lock_file, rule);
    (void)zel::fs::RemoveFile(companion);
    return result;
}

StaleRule ByAge(int minutes) {
    StaleRule rule;
    rule.minutes = minutes;
    return rule;
}

StaleRule ByHolder(int unrecorded_seconds) {
    StaleRule rule;
    rule.recorded = true;
    rule.unrecorded_seconds = unrecorded_seconds;
    return rule;
}

// A waited-for recorded lock: an ended holder's at once, any other once
// older than the limit (counted wide: the minutes may come from a
// hand-edited file).
StaleRule ByHolderOrAge(int minutes) {
    StaleRule rule;
    rule.recorded = true;
    rule.unrecorded_seconds = minutes > 0 ? minutes * 60LL : 0;
    rule.live_seconds = rule.unrecorded_seconds;
    return rule;
}

// Waits until lock_file is held, judging a file in the way by rule: see Lock
// and LockRecorded.
bool WaitForLock(const std::string& lock_file, const StaleRule& rule) {
    for (;;) {
        int err = CreateJudgedLock(lock_file, rule.recorded);
        if (err == 0) {
            if (rule.recorded) ClearAbandonedCompanion(lock_file);
            return true;
        }
        if (!WorthRetrying(err)) return false;
        if (err == EINTR) continue;
        const std::time_t attempt = std::time(nullptr);
        switch (JudgedState(lock_file, rule)) {
            case LockState::kGone:
                continue;  // released meanwhile: try again at once
            case LockState::kStale:
                switch (TakeOverStale(lock_file, rule)) {
                    case TakeOver::kDone:
                        continue;
                    case TakeOver::kBusy:
                        WaitPastSecond(attempt);
                        break;
                    case TakeOver::kBlocked:
                        return false;
                }
                break;
            case LockState::kFresh:
                WaitPastSecond(attempt);
                break;
        }
    }
}

}  // namespace

std::string LockFilePath(const char* path) {
    if (path == nullptr) return std::string();
    return std::string(path) + kLockSuffix;
}

bool TryLock(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    return CreateLockFile(LockFilePath(path)) == 0;
}

bool Lock(const char* path, int stale_minutes) {
    if (path == nullptr || *path == '\0') return false;
    return WaitForLock(LockFilePath(path), ByAge(stale_minutes));
}

bool LockRecorded(const char* path, int stale_minutes) {
    if (path == nullptr || *path == '\0') return false;
    return WaitForLock(LockFilePath(path), ByHolderOrAge(stale_minutes));
}

bool LockWithRetries(const char* path, int extra_attempts) {
    if (path == nullptr || *path == '\0') return false;
    const std::string lock_file = LockFilePath(path);
    // Counted wide: the count may come from a hand-edited file and be INT_MAX.
    const long long attempts = (extra_attempts > 0 ? extra_attempts : 0) + 1LL;
    for (long long i = 0; i < attempts; ++i) {
        int err = CreateLockFile(lock_file);
        if (err == EINTR) err = CreateLockFile(lock_file);
        if (err == 0) return true;
        if (!WorthRetrying(err)) return false;
        if (i + 1 < attempts) SleepOneSecond();
    }
    return false;
}

bool TryLockRecorded(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    const std::string lock_file = LockFilePath(path);
    if (CreateJudgedLock(lock_file, true) != 0) return false;
    ClearAbandonedCompanion(lock_file);
    return true;
}

CRecordedLocks::CRecordedLocks(const std::string& dir) : record_(dir, HolderRecord()) {}

bool CRecordedLocks::TryLock(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    const std::string lock_file = LockFilePath(path);
    if (record_.Create(lock_file) != 0) return false;
    ClearAbandonedCompanion(lock_file);
    return true;
}

bool LockWithRetriesRecorded(const char* path, int extra_attempts, int unrecorded_seconds) {
    if (path == nullptr || *path == '\0') return false;
    const std::string lock_file = LockFilePath(path);
    const StaleRule rule = ByHolder(unrecorded_seconds);
    const long long attempts = (extra_attempts > 0 ? extra_attempts : 0) + 1LL;
    for (long long i = 0; i < attempts; ++i) {
        // Each attempt may clear an abandoned lock and then try once more at
        // once, so the number of tries stays bounded.
        for (int tries = 0; tries < 2; ++tries) {
            int err = CreateJudgedLock(lock_file, true);
            if (err == EINTR) err = CreateJudgedLock(lock_file, true);
            if (err == 0) {
                ClearAbandonedCompanion(lock_file);
                return true;
            }
            if (!WorthRetrying(err)) return false;
            if (JudgedState(lock_file, rule) != LockState::kStale) break;
            const TakeOver outcome = TakeOverStale(lock_file, rule);
            if (outcome == TakeOver::kBlocked) return false;
            if (outcome == TakeOver::kBusy) break;
        }
        if (i + 1 < attempts) SleepOneSecond();
    }
    return false;
}

bool RemoveAbandonedLock(const char* path, int unrecorded_seconds) {
    if (path == nullptr || *path == '\0') return false;
    const std::string lock_file = LockFilePath(path);
    const StaleRule rule = ByHolder(unrecorded_seconds);
    if (JudgedState(lock_file, rule) == LockState::kStale) (void)TakeOverStale(lock_file, rule);
    ClearAbandonedCompanion(lock_file);
    return JudgedState(lock_file, rule) == LockState::kGone;
}

void Unlock(const char* path) {
    if (path == nullptr || *path == '\0') return;
    (void)zel::fs::RemoveFile(LockFilePath(path));
}

CLockHolder::CLockHolder(const char* path)
    : path_(path != nullptr ? path : ""), lock_file_(LockFilePath(path)) {}

CLockHolder::~CLockHolder() {
    Release();
}

bool CLockHolder::Lock(int stale_minutes) {
    Release();
    held_ = ::Lock(path_.c_str(), stale_minutes);
    return held_;
}

bool CLockHolder::LockRecorded(int stale_minutes) {
    Release();
    held_ = ::LockRecorded(path_.c_str(), stale_minutes);
    return held_;
}

bool CLockHolder::LockWithRetries(int extra_attempts) {
    Release();
    held_ = ::LockWithRetries(path_.c_str(), extra_attempts);
    return held_;
}

bool CLockHolder::LockWithRetriesRecorded(int extra_attempts, int unrecorded_seconds) {
    Release();
    held_ = ::LockWithRetriesRecorded(path_.c_str(), extra_attempts, unrecorded_seconds);
    return held_;
}

void CLockHolder::Release() {
    if (!held_) return;
    held_ = false;
    // The name was formed up front: giving the lock back allocates nothing
    // and so cannot fail, not even out of memory.
    (void)zel::fs::RemoveFile(lock_file_);
}

bool IsLockStale(const char* lock_file, int minutes) {
    if (minutes <= 0) return false;
    if (lock_file == nullptr) return true;
    return StateOf(lock_file, minutes) != LockState::kFresh;
}
