// The result file that the Poll component writes for a transfer: one line
// per file, a code and the file's name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/fs.h"

namespace zel::jobs {

// The result file name given to the component, and the longest line the
// runner keeps of it (the name part is cut there; the code is always read).
inline constexpr char kResultFileName[] = "POLL.RESULT";
inline constexpr std::size_t kResultLineMax = 243;

// Reads the next line of data from *pos into *line: up to a NUL, CR, LF or
// the end; a CR LF or LF CR pair counts as one terminator and *pos moves past
// it.  False (and *line untouched) at or beyond the end, or at a NUL.
[[nodiscard]] bool NextResultLine(std::string_view data, std::size_t* pos, std::string* line);

// The outcome of one result line: its code and the file name after it.
struct ResultLine {
    std::string code;
    std::string name;
};
// Splits a result line.  The code is its first four characters and the name
// runs from the sixth character, cut where the line buffer of kResultLineMax
// characters ends.  A five-digit code followed by a blank (codes above 9999)
// is taken whole, so its last digit never slips into the name.  Lines shorter
// than five characters carry no outcome: false.
[[nodiscard]] bool ParseResultLine(std::string_view line, ResultLine* out);

// Reads the result file at path whole and hands each usable line to the
// callback, in file order.  False when the file is missing or empty.
template <typename F>
bool ForEachResultLine(const std::string& path, F&& each) {
    std::string data;
    if (fs::ReadWholeFile(path, &data) != 0 || data.empty()) return false;
    std::size_t pos = 0;
    std::string line;
    // Every line moves the position by at least one byte, so the loop ends.
    while (NextResultLine(data, &pos, &line)) {
        ResultLine r;
        if (ParseResultLine(line, &r)) each(r);
    }
    return true;
}

}  // namespace zel::jobs
