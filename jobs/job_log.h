// What the jobs write: the job log $QVIS_ROOT/qvzel.log, kept while the
// dump flag is set, and the text files of their outcome lines.  Failures to
// write are ignored: the jobs have no one to tell.  The dump flag is process
// state (one process runs one job).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/fs.h"

namespace zel::jobs {

// The job log is cut to its last kJobLogKeep bytes once it reaches
// kJobLogLimit bytes.
inline constexpr long long kJobLogLimit = 32768;
inline constexpr std::size_t kJobLogKeep = 16384;

// The job log is written only while the dump flag is non-zero.
void SetDumpFlag(int value);
int DumpFlag();

// One line to the job log (nothing while the dump flag is 0): the read-only
// attribute is cleared, a file of kJobLogLimit bytes or more is cut to its
// last kJobLogKeep bytes, then text and a CR LF are appended.  Failures are
// ignored.
void JobLog(std::string_view text);

// A text file that the jobs write outcome lines to: every LF is stored as
// CR LF.  Move-only owner of its descriptor.
class TextFile {
  public:
    // Opens for appending (created when missing) or, with truncate, created
    // empty.  False when it cannot be opened.
    [[nodiscard]] bool Open(const std::string& path, bool truncate);
    // Writes text in text mode; failures are ignored, as the jobs have no
    // one to tell.
    void Write(std::string_view text);
    void Close() { fd_.reset(); }
    bool IsOpen() const { return static_cast<bool>(fd_); }

  private:
    fs::UniqueFd fd_;
};

}  // namespace zel::jobs
