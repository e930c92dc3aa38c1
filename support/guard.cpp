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

std::vector<bool> GuardAcquireAll(const char* guard_path, const char* timeout_key,
                                  int default_timeout_ms, const std::vector<std::string>& texts) {
    std::vector<bool> granted(texts.size(), false);
    if (guard_path == nullptr || *guard_path == '\0' || texts.empty()) return granted;
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
    if (steps.empty()) return granted;

    const std::string config = ConfigFilePath();
    int guard_count = kDefaultGuardCount;
    int guard_timeout = kDefaultGuardTimeoutSeconds;
    int timeout_ms = default_timeout_ms;
    ReadConfigNumber(config.c_str(), "guard_count", &guard_count);
    ReadConfigNumber(config.c_str(), "guard_timeout", &guard_timeout);
    if (timeout_key != nullptr) ReadConfigNumber(config.c_str(), timeout_key, &timeout_ms);
    const long long timeout = timeout_ms / 1000;
    const long long now = static_cast<long long>(std::time(nullptr));

    CLockHolder lock(guard_path);
    if (!lock.LockWithRetriesRecorded(guard_count, kUnrecordedLockSeconds)) return granted;

    // The outcome of acquiring the texts one after another, in one pass:
    // step k judges the lines of its own text by the entry timeout and every
    // other line by the guard timeout.  So a line of a text that is not
    // acquired stays while younger than the guard timeout; one of the text
    // of step k counts as live at step k when younger than the entry timeout
    // (and, past the first step, than the guard timeout), and stays to the
    // end when younger than both (only the entry timeout when it is the
    // only step).  A new entry, 0 seconds old, outlives the later steps when
    // the guard timeout is positive.
    const std::size_t count = steps.size();
    const std::string old_content = ReadGuardFile(guard_path);
    std::vector<bool> busy(count, false);
    std::string content;
    for (std::string_view line : SplitLines(old_content)) {
        Entry entry;
        if (!ParseEntry(line, &entry)) continue;
        const long long age = now - entry.time;
        const auto own = step_of.find(entry.text);
        if (own == step_of.end()) {
            if (age < guard_timeout) AppendLine(&content, line);
            continue;
        }
        if (age < timeout && (own->second == 0 || age < guard_timeout)) busy[own->second] = true;
        if (age < timeout && (count == 1 || age < guard_timeout)) AppendLine(&content, line);
    }
    const std::string own_prefix =
        std::to_string(now) + " " + std::to_string(zel::sys::ProcessId()) + " ";
    for (std::size_t k = 0; k < count; ++k) {
        if (busy[k] || !(k + 1 == count || guard_timeout > 0)) continue;
        AppendLine(&content, own_prefix + texts[steps[k]]);
    }
    // A guard file that cannot be recreated must not stop transfers for good:
    // the callers go ahead, unrecorded.
    const bool rewritten = RewriteGuardFile(guard_path, content);
    for (std::size_t k = 0; k < count; ++k) granted[steps[k]] = !rewritten || !busy[k];
    return granted;
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
    if (guard_path == nullptr || *guard_path == '\0' || texts.empty()) return;

    int guard_count = kDefaultGuardCount;
    ReadConfigNumber(ConfigFilePath().c_str(), "guard_count", &guard_count);
    CLockHolder lock(guard_path);
    if (!lock.LockWithRetriesRecorded(guard_count, kUnrecordedLockSeconds)) return;

    const std::unordered_set<std::string_view> released(texts.begin(), texts.end());
    const std::string old_content = ReadGuardFile(guard_path);
    std::string content;
    for (std::string_view line : SplitLines(old_content)) {
        Entry entry;
        if (ParseEntry(line, &entry) && released.count(entry.text) == 0) AppendLine(&content, line);
    }
    (void)RewriteGuardFile(guard_path, content);
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
}  // namespace guard_test_hooks
