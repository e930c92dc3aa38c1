// The result file: one line per file (or per operation) telling the caller
// of a transfer what became of it.
//
// An operation opens the file once, on its first line, and appends every
// line of its run through that one bare log writer; each line is written
// under the file's lock (an flock, no lock file), so a reader sees complete
// lines only and the file is the only one the writing touches.  The file is
// never emptied or deleted here; its readers remove it around each run.
#pragma once

#include <string>

#include "log/event_log.h"
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

// The result file writer of one operation.  Write opens the file on the
// first line (and again whenever the file named changes) and keeps it open
// until Close or the end of the writer; each line is locked, written and
// unlocked, and goes to the file the name holds then (one put in the place
// of a removed or replaced file is opened in its turn).  Not thread-safe:
// the operation that owns it serialises calls.
class ResultFileWriter {
  public:
    ResultFileWriter();
    ResultFileWriter(const ResultFileWriter&) = delete;
    ResultFileWriter& operator=(const ResultFileWriter&) = delete;

    // Appends the line for code and text to name joined with directory, as
    // WriteResultLine does and with its results.  A file that could not be
    // opened is tried again on the next line.
    [[nodiscard]] HRESULT Write(const char* directory, const char* name, int code,
                                const char* text);
    // Closes the file; the next Write opens it again.
    void Close();

  private:
    CEventLog writer_;
    std::string path_;  // the file open now; empty when none
};

// Appends the line (CR LF ended) to name joined with directory (name null:
// the default name), opening and closing the file for this one line.  0, or the status of the
// failed path join, or 0x80208115 when the file cannot be opened (a symbolic link in its place is
// never followed), reported to the thread's current log; the line is then
// dropped.
[[nodiscard]] HRESULT WriteResultLine(const char* directory, const char* name, int code,
                                      const char* text);

}  // namespace zel::poll
