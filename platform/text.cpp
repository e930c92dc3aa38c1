// Text helpers: see text.h.
#include "platform/text.h"

#include <charconv>
#include <system_error>

namespace zel::text {

std::string ToTextMode(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

std::vector<std::string_view> SplitLines(std::string_view text, LineEnds ends) {
    std::vector<std::string_view> lines;
    const bool zero_ends = ends == LineEnds::kCrOrLfOrZero;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\r' && c != '\n' && !(zero_ends && c == '\0')) {
            ++i;
            continue;
        }
        lines.push_back(text.substr(start, i - start));
        ++i;
        // CR LF and LF CR are one line end; a zero byte always stands alone.
        if (c != '\0' && i < text.size() && (text[i] == '\r' || text[i] == '\n') && text[i] != c)
            ++i;
        start = i;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

long long ParseDecimalPrefix(std::string_view text, long long limit) {
    if (limit < 0) limit = 0;
    std::size_t i = 0;
    auto is_space = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Digits only from here: a second sign is not part of the number.
    unsigned long long magnitude = 0;
    if (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        const auto [end, err] =
            std::from_chars(text.data() + i, text.data() + text.size(), magnitude);
        (void)end;
        if (err == std::errc::result_out_of_range)
            magnitude = static_cast<unsigned long long>(limit);
    }
    const long long value = magnitude > static_cast<unsigned long long>(limit)
                                ? limit
                                : static_cast<long long>(magnitude);
    return negative ? -value : value;
}

}  // namespace zel::text
