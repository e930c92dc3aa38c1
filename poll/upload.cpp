// The upload: selection of the files of the working directory
// (CPoll::SelectUploadFiles) and their sending (CPoll::UploadFilesInDirectory).
//
// A file leaves the directory only once the central side has accepted it.
// Files that another program holds, that have a lock file, that the
// exclusion list names, or that another run is already handling (the scan
// and upload guards) are left alone.  A file is packed into "name.dtz" under
// its lock, through a temporary name that takes the final name only when
// complete and on disk, so a ".dtz" that can be sent is always whole.  That
// lock names this process; a run killed while packing leaves it behind, and
// a later selection removes it once that process has ended.  A lock file
// that names no such holder (one the dealer's own system placed) keeps its
// file out for as long as it is there.  The packing pass itself is
// upload_packing.h's.  Symbolic links are never listed,
// read or changed: what they point to lies outside the dealer's upload.
#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "log/event_log.h"
#include "log/report.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "poll/poll.h"
#include "poll/poll_status.h"
#include "poll/result_file.h"
#include "poll/temp_names.h"
#include "poll/upload_packing.h"
#include "support/compress.h"
#include "support/files.h"
#include "support/guard.h"
#include "support/lock.h"
#include "support/result_codes.h"

using namespace zel::poll;
using namespace zel::codes;

namespace {

constexpr int kDefaultWriteTimeoutMs = kUploadGuard.default_timeout_ms;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

// The file whose lock (or lock's take-over companion) lock_path is; empty
// for any other name.
std::string LockedFileOf(std::string_view lock_path) {
    const std::string companion_tail = std::string(kLockSuffix) + kTakeOverSuffix;
    for (const std::string_view tail :
         {std::string_view(kLockSuffix), std::string_view(companion_tail)}) {
        if (lock_path.size() > tail.size() &&
            lock_path.compare(lock_path.size() - tail.size(), tail.size(), tail) == 0)
            return std::string(lock_path.substr(0, lock_path.size() - tail.size()));
    }
    return std::string();
}

// A name with a control character would break its result line (a line
// feed would forge a second line) and the request's name; such a file is
// never listed.
bool HasControlCharacter(std::string_view name) {
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

}  // namespace

bool ExclusionPatternMatch(std::string_view pattern, std::string_view name) {
    // Iterative "*" matching with one back-track point: linear enough for
    // names and patterns of a few hundred characters.
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<std::string> ReadExclusionList(const std::string& path) {
    std::vector<std::string> patterns;
    std::string text;
    if (zel::fs::ReadWholeFile(path, &text) != 0) return patterns;  // none: nothing excluded
    for (std::string_view line : zel::text::SplitLines(text, zel::text::LineEnds::kCrOrLf)) {
        if (line.empty() || line.front() == '#') continue;
        patterns.emplace_back(line);
    }
    return patterns;
}

std::vector<std::string> CPoll::SelectUploadFiles(const std::string& dir, const char* pattern,
                                                  const char* result_name, DeferredRemoval* removal,
                                                  std::vector<DeferredRemoval::Ticket>* waits) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    const PollLayout layout = GetPollLayout();
    const int level = ReadCompressionLevel(layout.config_file.c_str());
    // Half-made packs of a killed run go first; those of live runs stay.
    (void)RemoveOrphanedTemporaries(dir);

    std::vector<std::string> names;
    std::vector<std::string> listed;
    std::vector<std::string> links;
    if (zel::fs::ListFilesNoFollow(dir, pattern, &listed, &links) != 0) return names;
    // A link would send (and then change the mode of) whatever it points
    // to, wherever that is: links are never sent.
    for (const std::string& link : links) {
        (void)ReportCodeText(&log_, kInvalidFileName, "CPoll::SelectUploadFiles",
                             "Symbolic link left out: '%s'.", PrintableName(link).c_str());
    }
    const std::vector<std::string> excluded = ReadExclusionList(layout.exclusion_list);
    std::vector<std::string> candidates;       // names that passed every check, in listing order
    std::vector<std::string> candidate_paths;  // and their full paths
    for (const std::string& name : listed) {
        if (EqualsNoCase(name, result_name)) continue;
        if (HasControlCharacter(name)) {
            (void)ReportCodeText(&log_, kInvalidFileName, "CPoll::SelectUploadFiles",
                                 "File name with a control character left out: '%s'.",
                                 PrintableName(name).c_str());
            continue;
        }
        const std::string path = zel::paths::Join(dir, name);
        if (name.find(kLockSuffix) != std::string::npos) {
            // A packing lock of a killed run whose file was already packed
            // and deleted has no file to be listed with: it goes here, and
            // so does the take-over companion of a run killed while
            // clearing such a lock.
            const std::string base = LockedFileOf(path);
            if (!base.empty()) (void)RemoveAbandonedLock(base.c_str(), 0);
            continue;
        }
        // A packing lock of a killed run goes; any other lock keeps the file.
        if (!RemoveAbandonedLock(path.c_str(), 0)) continue;
        if (zel::fs::IsFileInUse(path)) continue;
        bool skip = false;
        for (const std::string& p : excluded) {
            if (ExclusionPatternMatch(p, name)) {
                skip = true;
                break;
            }
        }
        if (skip) continue;
        candidates.push_back(name);
        candidate_paths.push_back(path);
    }
    // One update of the scan guard for all of them: the same entries and
    // answers as one update per file, without rewriting the file each time.
    const std::vector<bool> granted = GuardAcquireAll(
        layout.scan_guard.c_str(), kScanGuard.timeout_key, kDefaultWriteTimeoutMs, candidate_paths);
    // Reverse listing order, by appending and turning the list round once
    // (prepending would move every name already listed, for each name).
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (granted[i]) names.push_back(candidates[i]);
    }
    std::reverse(names.begin(), names.end());
    if (level != 0) {
        PackUploadFiles(dir, level, &log_, &names, removal, waits, &packed_facts_);
    } else {
        waits->assign(names.size(), 0);
    }
    return names;
}

HRESULT CPoll::UploadFilesInDirectory(const char* filter, const char* dest_dir) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::UploadFilesInDirectory";
    const std::string dir = WorkingDirectory(kUpload);
    const char* result_name = result_file_ ? result_file_.get() : kDefaultResultFileName;
    // Declared before anything it may still be removing for: its end waits
    // for every removal it was given.
    DeferredRemoval removal;
    std::vector<DeferredRemoval::Ticket> waits;
    packed_facts_.clear();
    const std::vector<std::string> names =
        SelectUploadFiles(dir, filter, result_name, &removal, &waits);
    // Every name is claimed on the upload guard at once, in one rewrite of
    // the guard file (renewed for the names not yet reached when the run
    // lasts long); the failed ones are given back together at the end.  A
    // concurrent run finds each file claimed from here on, as it would once
    // this run had reached it; the scan guard keeps it from listing them
    // anyway.
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const std::string& name : names) paths.push_back(zel::paths::Join(dir, name));
    GuardClaims claims(GetPollLayout().upload_guard, kUploadGuard);
    if (!paths.empty()) (void)claims.Claim(paths);
    HRESULT call_status = S_OK;
    int tried = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const std::string& path = paths[i];
        if (!claims.Hold(i)) continue;  // another run is sending it
        // A packed file goes only once its original is gone: a run stopped
        // after the acceptance must not find the original to send again.
        removal.Wait(waits[i]);
        const HRESULT hr = DoPutFileFromDealer(name.c_str(), dest_dir, tried == 0);
        WriteResult(kUpload, SUCCEEDED(hr) ? 0 : StatusNumber(hr), name.c_str());
        if (SUCCEEDED(hr)) {
            // Out of the directory's names at once; its data is freed while
            // the next file is sent.
            removal.SetAside(path);
        } else {
            claims.GiveBack(i);
            (void)zel::log::ReportStatus(&log_, hr, kContext);
            call_status = hr;
        }
        ++tried;
    }
    claims.Finish();
    removal.Finish();
    packed_facts_.clear();
    return call_status;
}
