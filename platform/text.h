// Text helpers shared by the readers and writers of the system's text files:
// the bytes a text-mode write stores, splitting a file into lines, and
// reading a number the way the C library's atoi does, without its undefined
// behaviour.  Pure functions on memory; nothing here touches a file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zel::text {

// The bytes a text-mode write stores for text: every LF becomes CR LF (a CR
// already standing before it is kept, as a text-mode stream would).
std::string ToTextMode(std::string_view text);

// Which bytes end a line in SplitLines.
enum class LineEnds {
    kCrOrLf,        // CR LF, LF CR, a lone LF or a lone CR
    kCrOrLfOrZero,  // the same, and a zero byte on its own
};

// Splits text into lines (views into text, without their ends).  CR LF and
// LF CR count as one line end; a final line without an end is kept; empty
// text gives no lines.
std::vector<std::string_view> SplitLines(std::string_view text, LineEnds ends);

// Reads a decimal number at the start of text the way the C library's atoi
// does (leading white space, an optional sign, digits up to the first
// non-digit; no digits give 0), but without undefined behaviour: the
// magnitude saturates at limit (which must be 0 or above).
long long ParseDecimalPrefix(std::string_view text, long long limit);

}  // namespace zel::text
