// Guard files: see guard.h.
//
// Reading accepts every line end a hand edit or another writer might leave
// (CR LF, LF CR, a lone LF or CR, a zero byte); writing always ends lines with
// CR LF.  The new content is built in memory first and replaces the file as a
// whole (a new file renamed over it), so no reader ever sees a half-written
// guard file and a failed write leaves the old entries in place.
#include "support/guard.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/config.h"
#include "support/lock.h"
#include "support/strings_internal.h"

namespace {

constexpr int kDefaultGuardCount = 3;
constexpr int kDefaultGuardTimeoutSeconds = 345600;
// A guard lock that names no holder (a run killed between creating and
// recording it, or one made by hand) is taken over past this age: an update
// records its holder within microseconds of taking the lock.
constexpr int kUnrecordedLockSeconds = 10;
// Times beyond this are clamped (far beyond any clock; keeps "now - time"
// free of overflow).
constexpr long long kMaxTime = 1000000000000000LL;

// The whole file, or empty when it is missing, unreadable or not a regular
// file (a FIFO there must not stall every transfer while the lock is held).
std::string ReadGuardFile(const char* path) {
    std::string data;
    if (zel::fs::ReadWholeFile(path, &data) != 0) data.clear();
    return data;
}

std::vector<std::string_view> SplitLines(std::string_view data) {
    return zel::text::SplitLines(data, zel::text::LineEnds::kCrOrLfOrZero);
}

struct Entry {
    long long time = 0;
    long long pid = 0;
    std::string_view text;
};

// Splits "<time> <pid> <text>"; false when the line lacks its two spaces.
// The time and pid are read like atoi (digits up to the first non-digit).
bool ParseEntry(std::string_view line, Entry* entry) {
    std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return false;
    std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    entry->time = zel::text::ParseDecimalPrefix(line.substr(0, first), kMaxTime);
    entry->pid =
        zel::text::ParseDecimalPrefix(line.substr(first + 1, second - first - 1), kMaxTime);
    entry->text = line.substr(second + 1);
    return true;
}

std::atomic<unsigned long> g_rewrites{0};
std::atomic<long long> g_clock_shift{0};  // test hook: seconds added to the clock

// The writer's clock, seconds since 1970.
long long Now() {
    return static_cast<long long>(std::time(nullptr)) +
           g_clock_shift.load(std::memory_order_relaxed);
}

// Replaces the file's content as a whole; false when that failed, in which
// case the old content is still there, entry for entry.  Rewriting in place
// would lose every entry to a write that fails half-way (a full disk).
// The guard coordinates live processes, which see the old or the new file
// whole; after a power loss no transfer is running, so an older content
// costs nothing and the rewrite is not flushed to disk (each flush costs a
// journal commit per file sent or fetched).
bool RewriteGuardFile(const char* path, const std::string& content) {
    // Replacement files of killed runs go first; only a run holding this
    // lock ever makes them, so none is in use.
    (void)zel::fs::RemoveAbandonedReplacements(path);
    g_rewrites.fetch_add(1, std::memory_order_relaxed);
    return zel::fs::ReplaceFileAtomically(path, content, -1, zel::fs::Durability::kAtomicOnly) == 0;
}

void AppendLine(std::string* out, std::string_view line) {
    out->append(line);
    out->append("\r\n");
}

}  // namespace

namespace {

// One read-modify-write of a guard file under its lock.
struct GuardUpdate {
    // Texts to acquire, in order, as GuardAcquireAll takes them.
    const std::vector<std::string>* acquire = nullptr;
    // Lines this process wrote at this time for one of the acquired texts
    // are its own claims being renewed: dropped, never busy.  Negative: none.
    long long own_stamp = -1;
    // Texts whose every entry goes, whatever its age or writer.
    const std::vector<std::string>* release = nullptr;
};

struct GuardUpdateOutcome {
    std::vector<bool> granted;  // one per acquired text
    long long stamp = 0;        // the time written on the new entries
    long long timeout = 0;      // the entry timeout used, seconds
    bool locked = false;        // the guard file's lock was had
    bool rewritten = false;     // the new content replaced the file
};

GuardUpdateOutcome UpdateGuard(const char* guard_path, const char* timeout_key,
                               int default_timeout_ms, const GuardUpdate& update) {
    static const std::vector<std::string> kNone;
    const std::vector<std::string>& texts = update.acquire != nullptr ? *update.acquire : kNone;
    const std::vector<std::string>& released = update.release != nullptr ? *update.release : kNone;
    GuardUpdateOutcome outcome;
    outcome.granted.assign(texts.size(), false);
    if (guard_path == nullptr || *guard_path == '\0') return outcome;
    // The texts that take part, by position; a line break in a text would
    // split its entry into two lines: the key could never be matched again
    // and the rest would read as a foreign line.
    std::vector<std::size_t> steps;
    std::unordered_map<std::string_view, std::size_t> step_of;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i].find_first_of("\r\n") != std::string::npos) {
            (void)zel::support_detail::Fail(zel::codes::kInvalidArg, "GuardAcquire");
            continue;
        }
        if (step_of.emplace(texts[i], steps.size()).second) steps.push_back(i);
    }
    if (steps.empty() && released.empty()) return outcome;

    const std::string config = ConfigFilePath();
    int guard_count = kDefaultGuardCount;
    int guard_timeout = kDefaultGuardTimeoutSeconds;
    int timeout_ms = default_timeout_ms;
    ReadConfigNumber(config.c_str(), "guard_count", &guard_count);
    if (!steps.empty()) {
        ReadConfigNumber(config.c_str(), "guard_timeout", &guard_timeout);
        if (timeout_key != nullptr) ReadConfigNumber(config.c_str(), timeout_key, &timeout_ms);
    }
    const long long timeout = timeout_ms / 1000;
    const long long now = Now();
    const long long own_pid = zel::sys::ProcessId();
    outcome.stamp = now;
    outcome.timeout = timeout;

    CLockHolder lock(guard_path);
    if (!lock.LockWithRetriesRecorded(guard_count, kUnrecordedLockSeconds)) return outcome;
    outcome.locked = true;

    // The outcome of acquiring the texts one after another, in one pass:
    // step k judges the lines of its own text by the entry timeout and every
    // other line by the guard timeout.  So a line of a text that is not
    // acquired stays while younger than the guard timeout; one of the text
    // of step k counts as live at step k when younger than the entry timeout
    // (and, past the first step, than the guard timeout), and stays to the
    // end when younger than both (only the entry timeout when it is the
    // only step).  A new entry, 0 seconds old, outlives the later steps when
    // the guard timeout is positive.  Released texts go first, whole; with
    // nothing to acquire, every other line stays as it is.
    const std::unordered_set<std::string_view> gone(released.begin(), released.end());
    const std::size_t count = steps.size();
    const std::string old_content = ReadGuardFile(guard_path);
    std::vector<bool> busy(count, false);
    std::string content;
    for (std::string_view line : SplitLines(old_content)) {
        Entry entry;
        if (!ParseEntry(line, &entry)) continue;
        if (gone.count(entry.text) != 0) continue;
        if (count == 0) {
            AppendLine(&content, line);
            continue;
        }
        const long long age = now - entry.time;
        const auto own = step_of.find(entry.text);
        if (own == step_of.end()) {
            if (age < guard_timeout) AppendLine(&content, line);
            continue;
        }
        // This run's own claim, renewed below with a new time.
        if (entry.pid == own_pid && entry.time == update.own_stamp) continue;
        if (age < timeout && (own->second == 0 || age < guard_timeout)) busy[own->second] = true;
        if (age < timeout && (count == 1 || age < guard_timeout)) AppendLine(&content, line);
    }
    const std::string own_prefix = std::to_string(now) + " " + std::to_string(own_pid) + " ";
    for (std::size_t k = 0; k < count; ++k) {
        if (busy[k] || !(k + 1 == count || guard_timeout > 0)) continue;
        AppendLine(&content, own_prefix + texts[steps[k]]);
    }
    // A guard file that cannot be recreated must not stop transfers for good:
    // the callers go ahead, unrecorded.
    outcome.rewritten = RewriteGuardFile(guard_path, content);
    for (std::size_t k = 0; k < count; ++k)
        outcome.granted[steps[k]] = !outcome.rewritten || !busy[k];
    return outcome;
}

}  // namespace

std::vector<bool> GuardAcquireAll(const char* guard_path, const char* timeout_key,
                                  int default_timeout_ms, const std::vector<std::string>& texts) {
    if (texts.empty()) return {};
    GuardUpdate update;
    update.acquire = &texts;
    return UpdateGuard(guard_path, timeout_key, default_timeout_ms, update).granted;
}

bool GuardAcquire(const char* guard_path, const char* timeout_key, int default_timeout_ms,
                  const char* text) {
    if (text == nullptr) return false;
    return GuardAcquireAll(guard_path, timeout_key, default_timeout_ms, {std::string(text)})[0];
}

void GuardRelease(const char* guard_path, const char* text) {
    if (text == nullptr) return;
    GuardReleaseAll(guard_path, {std::string(text)});
}

void GuardReleaseAll(const char* guard_path, const std::vector<std::string>& texts) {
    if (texts.empty()) return;
    GuardUpdate update;
    update.release = &texts;
    (void)UpdateGuard(guard_path, nullptr, 0, update);
}

GuardClaims::GuardClaims(std::string guard_path, const GuardFileKind& kind)
    : path_(std::move(guard_path)), kind_(kind) {}

GuardClaims::~GuardClaims() {
    try {
        Finish();
    } catch (...) {
        // Out of memory on the way out: the given-back entries expire instead.
    }
}

std::vector<bool> GuardClaims::Claim(std::vector<std::string> texts) {
    Finish();
    texts_ = std::move(texts);
    GuardUpdate update;
    update.acquire = &texts_;
    GuardUpdateOutcome outcome =
        UpdateGuard(path_.c_str(), kind_.timeout_key, kind_.default_timeout_ms, update);
    states_.assign(texts_.size(), State::kRefused);
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        if (outcome.granted[i]) states_[i] = State::kWaiting;
    }
    if (outcome.rewritten) stamp_ = outcome.stamp;
    timeout_ = outcome.timeout;
    return std::move(outcome.granted);
}

bool GuardClaims::Hold(std::size_t i) {
    if (i >= states_.size()) return false;
    if (states_[i] == State::kWaiting && timeout_ > 0) {
        const long long age = Now() - stamp_;
        if (age * 4 >= timeout_) Renew();
    }
    if (states_[i] == State::kWaiting) states_[i] = State::kHeld;
    return states_[i] == State::kHeld;
}

void GuardClaims::GiveBack(std::size_t i) {
    if (i < states_.size() && (states_[i] == State::kWaiting || states_[i] == State::kHeld))
        states_[i] = State::kGivenBack;
}

void GuardClaims::Renew() {
    // The waiting texts acquired anew, their own old entries replaced, and
    // the given-back ones released: one update.
    std::vector<std::size_t> waiting;
    std::vector<std::string> acquire;
    std::vector<std::string> release;
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        if (states_[i] == State::kWaiting) {
            waiting.push_back(i);
            acquire.push_back(texts_[i]);
        } else if (states_[i] == State::kGivenBack) {
            release.push_back(texts_[i]);
        }
    }
    GuardUpdate update;
    update.acquire = &acquire;
    update.own_stamp = stamp_;
    update.release = &release;
    const GuardUpdateOutcome outcome =
        UpdateGuard(path_.c_str(), kind_.timeout_key, kind_.default_timeout_ms, update);
    if (!outcome.rewritten) {
        // The guard file's lock was not had, or the file could not be
        // replaced: the entries are as they were.  Claims still younger
        // than their timeout protect their files as they are and are renewed
        // on a later try; older ones no longer do, and their files are left
        // to another run, as an acquire that finds the guard locked leaves
        // its file.  With the file unwritable, the callers go ahead
        // unrecorded, as GuardAcquire lets them.
        const long long age = Now() - stamp_;
        if (!outcome.locked && age >= timeout_) {
            for (std::size_t i : waiting) states_[i] = State::kRefused;
        }
        return;
    }
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        if (states_[i] == State::kGivenBack) states_[i] = State::kRefused;
    }
    for (std::size_t k = 0; k < waiting.size(); ++k) {
        if (!outcome.granted[k]) states_[waiting[k]] = State::kRefused;
    }
    stamp_ = outcome.stamp;
    timeout_ = outcome.timeout;
}

void GuardClaims::Finish() {
    std::vector<std::string> release;
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        if (states_[i] == State::kGivenBack) {
            release.push_back(texts_[i]);
            states_[i] = State::kRefused;
        }
    }
    GuardReleaseAll(path_.c_str(), release);
}

std::vector<GuardEntry> ParseGuardEntries(std::string_view content) {
    std::vector<GuardEntry> entries;
    for (std::string_view line : SplitLines(content)) {
        Entry entry;
        if (ParseEntry(line, &entry))
            entries.push_back({entry.time, entry.pid, std::string(entry.text)});
    }
    return entries;
}

namespace guard_test_hooks {
unsigned long RewriteCount() {
    return g_rewrites.load(std::memory_order_relaxed);
}
void ShiftClock(long long seconds) {
    g_clock_shift.fetch_add(seconds, std::memory_order_relaxed);
}
}  // namespace guard_test_hooks
