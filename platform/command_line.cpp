// Process helpers that do not depend on the operating system: the Windows
// command-line rules and the text form of a process identity (see
// process.h).  Pure functions on strings; they own nothing.
#include <charconv>
#include <string>
#include <string_view>

#include "platform/process.h"

namespace zel::proc {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    size_t i = 0, n = line.size();
    while (i < n && IsBlank(line[i])) ++i;
    if (i == n) return args;

    // The program name: quoted to the next quote with no escapes, or bare
    // to the first blank with quotes and backslashes taken literally.
    std::string first;
    if (line[i] == '"') {
        ++i;
        while (i < n && line[i] != '"') first += line[i++];
        if (i < n) ++i;
    } else {
        while (i < n && !IsBlank(line[i])) first += line[i++];
    }
    args.push_back(std::move(first));

    while (true) {
        while (i < n && IsBlank(line[i])) ++i;
        if (i == n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || !IsBlank(line[i]))) {
            if (line[i] == '\\') {
                size_t count = 0;
                while (i < n && line[i] == '\\') {
                    ++count;
                    ++i;
                }
                if (i < n && line[i] == '"') {
                    arg.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                    // An even run leaves the quote to toggle below.
                } else {
                    arg.append(count, '\\');
                }
            } else if (line[i] == '"') {
                quoted = !quoted;
                ++i;
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote: there each one is doubled,
        // and one more makes the quote a literal one.
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, '\\');  // they stand before the closing quote
    out += '"';
    return out;
}

namespace {

// Reads up to 19 decimal digits at *at and moves *at past them; false when
// there are none.
bool ReadDigits(std::string_view text, std::size_t* at, unsigned long long* value) {
    // Nineteen digits always fit; a longer run is read no further.
    const std::string_view digits = text.substr(*at, 19);
    unsigned long long v = 0;
    const auto [stop, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    // A sign is not a digit: from_chars takes none for unsigned values.
    if (ec != std::errc()) return false;
    *at += static_cast<std::size_t>(stop - digits.data());
    *value = v;
    return true;
}

}  // namespace

std::size_t ParseIdentity(std::string_view text, char separator, ProcessIdentity* who) {
    std::size_t at = 0;
    unsigned long long pid = 0;
    unsigned long long start = 0;
    if (!ReadDigits(text, &at, &pid) || at >= text.size() || text[at++] != separator) return 0;
    if (!ReadDigits(text, &at, &start) || pid == 0 || pid > 0x7FFFFFFF) return 0;
    who->pid = static_cast<pid_t>(pid);
    who->start = start;
    return at;
}

}  // namespace zel::proc
