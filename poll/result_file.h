// The result file: one line per file (or per operation) telling the caller
// of a transfer what became of it.
//
// Each line is appended with its own open and close through a fresh bare
// log writer, so a reader sees complete lines only.  The file is never
// emptied or deleted here; its readers remove it around each run.
#pragma once

#include <string>

#include "support/result.h"

namespace zel::poll {

// Default name when the caller set none.
inline constexpr const char* kDefaultResultFileName = "Poll.Result";
// Longest line, without its line end.
inline constexpr std::size_t kResultLineMax = 1024;

// The line for code and text: the code as at least four digits, a blank,
// the text; every control character (CR and LF included) becomes "?", so a
// text can never start a second line; cut at kResultLineMax bytes, never
// inside a multibyte character.
[[nodiscard]] std::string FormatResultLine(int code, const char* text);

// Appends the line (CR LF ended) to name joined with directory (name null:
// the default name).  0, or the status of the failed path join, or
// 0x80208115 when the file cannot be opened (a symbolic link in its place is
// never followed), reported to the thread's current log; the line is then
// dropped.
[[nodiscard]] HRESULT WriteResultLine(const char* directory, const char* name, int code,
                                      const char* text);

}  // namespace zel::poll
