// Reading the Poll component's result lines (see result_lines.h).
#include "jobs/result_lines.h"

#include <algorithm>

namespace zel::jobs {

bool NextResultLine(std::string_view data, std::size_t* pos, std::string* line) {
    std::size_t p = *pos;
    if (p >= data.size() || data[p] == '\0') return false;
    std::size_t end = p;
    while (end < data.size() && data[end] != '\0' && data[end] != '\r' && data[end] != '\n') ++end;
    line->assign(data.substr(p, end - p));
    p = end;
    if (p < data.size() && data[p] != '\0') {
        const char first = data[p++];
        const char pair = first == '\r' ? '\n' : '\r';
        if (p < data.size() && data[p] == pair) ++p;
    } else if (p < data.size()) {
        ++p;  // past the NUL; the next call stops at the end of the data anyway
    }
    *pos = p;
    return true;
}

bool ParseResultLine(std::string_view line, ResultLine* out) {
    if (line.size() < 5) return false;
    std::size_t code_len = 4;
    if (line.size() >= 6 && line[4] >= '0' && line[4] <= '9' && line[5] == ' ') {
        bool digits = true;
        for (std::size_t i = 0; i < 5; ++i) digits = digits && line[i] >= '0' && line[i] <= '9';
        if (digits) code_len = 5;
    }
    out->code.assign(line.substr(0, code_len));
    const std::string_view kept = line.substr(0, std::min(line.size(), kResultLineMax));
    out->name.assign(kept.size() > code_len + 1 ? kept.substr(code_len + 1) : std::string_view());
    return true;
}

}  // namespace zel::jobs
