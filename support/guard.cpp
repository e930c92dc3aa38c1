// Guard files: see guard.h.
//
// Reading accepts every line end a hand edit or another writer might leave
// (CR LF, LF CR, a lone LF or CR, a zero byte); writing always ends lines with
// CR LF.  The new content is built in memory first and replaces the file as a
// whole (a new file renamed over it), so no reader ever sees a half-written
// guard file and a failed write leaves the old entries in place.
#include "support/guard.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
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
    return zel::fs::SplitLines(data, zel::fs::LineEnds::kCrOrLfOrZero);
}

struct Entry {
    long long time = 0;
    std::string_view text;
};

// Splits "<time> <pid> <text>"; false when the line lacks its two spaces.
// The time is read like atoi (digits up to the first non-digit).
bool ParseEntry(std::string_view line, Entry* entry) {
    std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return false;
    std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    entry->time = zel::fs::ParseDecimalPrefix(line.substr(0, first), kMaxTime);
    entry->text = line.substr(second + 1);
    return true;
}

// Replaces the file's content as a whole; false when that failed, in which
// case the old content is still there, entry for entry.  Rewriting in place
// would lose every entry to a write that fails half-way (a full disk).
bool RewriteGuardFile(const char* path, const std::string& content) {
    // Replacement files of killed runs go first; only a run holding this
    // lock ever makes them, so none is in use.
    (void)zel::fs::RemoveAbandonedReplacements(path);
    return zel::fs::ReplaceFileAtomically(path, content) == 0;
}

void AppendLine(std::string* out, std::string_view line) {
    out->append(line);
    out->append("\r\n");
}

}  // namespace

bool GuardAcquire(const char* guard_path, const char* timeout_key, int default_timeout_ms,
                  const char* text) {
    if (guard_path == nullptr || *guard_path == '\0' || text == nullptr) return false;
    // A line break in the text would split the entry into two lines: the key
    // could never be matched again and the rest would read as a foreign line.
    if (std::strpbrk(text, "\r\n") != nullptr) {
        (void)zel::support_detail::Fail(zel::codes::kInvalidArg, "GuardAcquire");
        return false;
    }

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
    if (!lock.LockWithRetriesRecorded(guard_count, kUnrecordedLockSeconds)) return false;

    const std::string old_content = ReadGuardFile(guard_path);
    const std::string_view own_text(text);
    std::string content;
    bool busy = false;
    for (std::string_view line : SplitLines(old_content)) {
        Entry entry;
        if (!ParseEntry(line, &entry)) continue;
        const long long age = now - entry.time;
        if (entry.text == own_text) {
            if (age < timeout) {
                AppendLine(&content, line);
                busy = true;
            }
        } else if (age < guard_timeout) {
            AppendLine(&content, line);
        }
    }
    if (!busy) {
        AppendLine(&content, std::to_string(now) + " " + std::to_string(::getpid()) + " " +
                                 std::string(own_text));
    }
    // A guard file that cannot be recreated must not stop transfers for good:
    // the caller goes ahead, unrecorded.
    const bool rewritten = RewriteGuardFile(guard_path, content);
    return !rewritten || !busy;
}

void GuardRelease(const char* guard_path, const char* text) {
    if (guard_path == nullptr || *guard_path == '\0' || text == nullptr) return;

    int guard_count = kDefaultGuardCount;
    ReadConfigNumber(ConfigFilePath().c_str(), "guard_count", &guard_count);
    CLockHolder lock(guard_path);
    if (!lock.LockWithRetriesRecorded(guard_count, kUnrecordedLockSeconds)) return;

    const std::string old_content = ReadGuardFile(guard_path);
    const std::string_view own_text(text);
    std::string content;
    for (std::string_view line : SplitLines(old_content)) {
        Entry entry;
        if (ParseEntry(line, &entry) && entry.text != own_text) AppendLine(&content, line);
    }
    (void)RewriteGuardFile(guard_path, content);
}
