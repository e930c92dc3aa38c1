// File helpers that do not depend on the operating system: the Windows
// wildcard rules and the order listings come in (see fs.h).  Pure functions
// on strings; they own nothing.
#include "platform/fs.h"
#include "platform/fs_internal.h"

namespace zel::fs {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Plain matching: "*" any run (also none), "?" exactly one character, every
// other character itself without regard to ASCII case.  Iterative with one
// backtrack point, so a long name cannot blow the stack.
bool PlainMatch(std::string_view p, std::string_view n) {
    size_t pi = 0, ni = 0;
    size_t star = std::string_view::npos, mark = 0;
    while (ni < n.size()) {
        if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = ni;
        } else if (pi < p.size() && (p[pi] == '?' || Lower(p[pi]) == Lower(n[ni]))) {
            ++pi;
            ++ni;
        } else if (star != std::string_view::npos) {
            pi = star + 1;
            ni = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

}  // namespace

namespace detail {

bool NameLess(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char x = Lower(a[i]), y = Lower(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

}  // namespace detail

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    if (PlainMatch(pattern, name)) return true;
    // A final ".*" also matches the end of a name that has no extension, so
    // "*.*" is every name and "OUTBOUND*.*" takes "OUTBOUND1" as well.
    size_t end = pattern.size();
    while (end > 0 && pattern[end - 1] == '*') --end;
    if (end < pattern.size() && end > 0 && pattern[end - 1] == '.')
        return PlainMatch(pattern.substr(0, end - 1), name);
    return false;
}

}  // namespace zel::fs
