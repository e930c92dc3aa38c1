// Guard files: see guard.h.
//
// Reading accepts every line end a hand edit or another writer might leave
// (CR LF, LF CR, a lone LF or CR, a zero byte); writing always ends lines with
// CR LF.  The new content is built in memory first and written with one
// write, so the file is empty only for the moment between truncation and
// that write.
#include "support/guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "support/config.h"
#include "support/lock.h"

namespace {

constexpr int kDefaultGuardCount = 3;
constexpr int kDefaultGuardTimeoutSeconds = 345600;

// The whole file, or empty when it is missing or unreadable.
std::string ReadGuardFile(const char* path) {
    std::string data;
    zel::fs::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return data;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
    }
    return data;
}

std::vector<std::string_view> SplitLines(std::string_view data) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < data.size()) {
        char c = data[i];
        if (c != '\r' && c != '\n' && c != '\0') {
            ++i;
            continue;
        }
        lines.push_back(data.substr(start, i - start));
        ++i;
        // CR LF and LF CR are one line end.
        if ((c == '\r' || c == '\n') && i < data.size() && (data[i] == '\r' || data[i] == '\n') &&
            data[i] != c) {
            ++i;
        }
        start = i;
    }
    if (start < data.size()) lines.push_back(data.substr(start));
    return lines;
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
    std::size_t i = 0;
    while (i < first && (line[i] == ' ' || line[i] == '\t')) ++i;
    bool negative = false;
    if (i < first && (line[i] == '-' || line[i] == '+')) negative = line[i++] == '-';
    long long value = 0;
    for (; i < first && line[i] >= '0' && line[i] <= '9'; ++i) {
        if (value < 1000000000000000LL) value = value * 10 + (line[i] - '0');
    }
    entry->time = negative ? -value : value;
    entry->text = line.substr(second + 1);
    return true;
}

// Replaces the file's content; false when it cannot be recreated.
bool RewriteGuardFile(const char* path, const std::string& content) {
    zel::fs::UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return false;
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // nothing more can be done; the caller goes on
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void AppendLine(std::string* out, std::string_view line) {
    out->append(line);
    out->append("\r\n");
}

}  // namespace

bool GuardAcquire(const char* guard_path, const char* timeout_key, int default_timeout_ms,
                  const char* text) {
    if (guard_path == nullptr || *guard_path == '\0' || text == nullptr) return false;

    const std::string config = ConfigFilePath();
    int guard_count = kDefaultGuardCount;
    int guard_timeout = kDefaultGuardTimeoutSeconds;
    int timeout_ms = default_timeout_ms;
    ReadConfigNumber(config.c_str(), "guard_count", &guard_count);
    ReadConfigNumber(config.c_str(), "guard_timeout", &guard_timeout);
    if (timeout_key != nullptr) ReadConfigNumber(config.c_str(), timeout_key, &timeout_ms);
    const long long timeout = timeout_ms / 1000;
    const long long now = static_cast<long long>(std::time(nullptr));

    if (!LockWithRetries(guard_path, guard_count)) return false;

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
    bool rewritten = RewriteGuardFile(guard_path, content);
    Unlock(guard_path);
    return !rewritten || !busy;
}

void GuardRelease(const char* guard_path, const char* text) {
    if (guard_path == nullptr || *guard_path == '\0' || text == nullptr) return;

    int guard_count = kDefaultGuardCount;
    ReadConfigNumber(ConfigFilePath().c_str(), "guard_count", &guard_count);
    if (!LockWithRetries(guard_path, guard_count)) return;

    const std::string old_content = ReadGuardFile(guard_path);
    const std::string_view own_text(text);
    std::string content;
    for (std::string_view line : SplitLines(old_content)) {
        Entry entry;
        if (ParseEntry(line, &entry) && entry.text != own_text) AppendLine(&content, line);
    }
    (void)RewriteGuardFile(guard_path, content);
    Unlock(guard_path);
}
