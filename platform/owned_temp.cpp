// Temporary names stamped with their owner (see owned_temp.h).
//
// Owns nothing beyond the descriptors it opens for the length of a call.
#include "platform/owned_temp.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <vector>

#include "platform/system.h"

namespace zel::fs {

namespace {

// Reads a decimal number written as this code writes one (digits only, no
// leading zero unless it is "0", at most 19 digits) at *at, and moves *at
// past it.  False when there is none.
bool ReadCanonical(std::string_view text, std::size_t* at, unsigned long long* value) {
    const std::size_t begin = *at;
    std::size_t end = begin;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == begin || end - begin > 19) return false;
    if (text[begin] == '0' && end - begin > 1) return false;
    unsigned long long v = 0;
    if (std::from_chars(text.data() + begin, text.data() + end, v).ec != std::errc()) return false;
    *at = end;
    *value = v;
    return true;
}

// This process, read once per process (a forked child reads its own).
proc::ProcessIdentity Self() {
    thread_local proc::ProcessIdentity self;
    if (self.pid != static_cast<pid_t>(sys::ProcessId())) self = proc::SelfIdentity();
    return self;
}

std::atomic<unsigned long long> g_counter{0};

}  // namespace

std::string OwnedTempName(std::string_view stem, const proc::ProcessIdentity& owner,
                          unsigned long long n) {
    std::string name(stem);
    name += kOwnedTempMarker;
    name += std::to_string(owner.pid);
    name += '.';
    name += std::to_string(owner.start);
    name += '.';
    name += std::to_string(n);
    return name;
}

bool ParseOwnedTempName(std::string_view name, std::string_view* stem,
                        proc::ProcessIdentity* owner) {
    const std::size_t mark = name.rfind(kOwnedTempMarker);
    if (mark == std::string_view::npos || mark == 0) return false;
    if (name.find('/') != std::string_view::npos) return false;
    std::size_t at = mark + kOwnedTempMarker.size();
    unsigned long long pid = 0, start = 0, n = 0;
    if (!ReadCanonical(name, &at, &pid) || at >= name.size() || name[at++] != '.') return false;
    if (!ReadCanonical(name, &at, &start) || at >= name.size() || name[at++] != '.') return false;
    if (!ReadCanonical(name, &at, &n) || at != name.size()) return false;
    if (pid == 0 || pid > 0x7FFFFFFF) return false;
    if (stem != nullptr) *stem = name.substr(0, mark);
    if (owner != nullptr) {
        owner->pid = static_cast<pid_t>(pid);
        owner->start = start;
    }
    return true;
}

std::string NewOwnedTempName(std::string_view stem) {
    return OwnedTempName(stem, Self(), g_counter.fetch_add(1));
}

int CreateOwnedTemp(const std::string& stem, int mode, std::string* path, UniqueFd* out) {
    if (path == nullptr) return EINVAL;
    path->clear();
    if (out != nullptr) out->reset();
    int err = EEXIST;
    // A name already there belongs to a process that had our pid and start
    // (impossible) or to someone imitating ours: step over it, boundedly.
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        const std::string candidate = NewOwnedTempName(stem);
        UniqueFd owned;
        err = CreateExclusive(candidate, &owned, mode);
        if (err == 0) {
            if (out != nullptr) *out = std::move(owned);
            *path = candidate;
            return 0;
        }
    }
    return err;
}

int RemoveEndedOwnersTemps(const std::string& dir, std::initializer_list<std::string_view> stems) {
    std::vector<std::string> names;
    if (ListMatching(dir, "*", &names, true) != 0) return 0;
    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    int removed = 0;
    for (const std::string& name : names) {
        std::string_view stem;
        proc::ProcessIdentity owner;
        if (!ParseOwnedTempName(name, &stem, &owner)) continue;
        if (stems.size() != 0) {
            bool wanted = false;
            for (std::string_view s : stems) wanted = wanted || s == stem;
            if (!wanted) continue;
        }
        if (!proc::HasEnded(owner)) continue;
        if (RemoveFile(prefix + name) == 0) ++removed;
    }
    return removed;
}

}  // namespace zel::fs
