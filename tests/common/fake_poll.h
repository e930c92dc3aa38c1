// The controls of the stand-in Poll component (fake_poll.cpp), which the
// client and job-runner suites register under the Poll class in a scratch
// system root in place of the real component.  The stand-in is a separate
// library loaded by the program under test, so it is steered through the
// environment that program inherits; the names are kept here so the
// fixtures that set them and the stand-in that reads them agree.
// Header-only.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>

namespace zel::test::fake_poll {

// File that gets one line per event, in order: "Create", every IPoll call
// with its arguments (texts in double quotes as UTF-8, null texts as
// null), and "Release" when the last reference goes.
inline constexpr const char* kCalls = "ZEL_FAKE_POLL_CALLS";
// File whose bytes GetFiles appends to the result file in DOWNLOAD (used
// once: renamed to *.used).  Without it GetFiles writes the "nothing
// published" line.
inline constexpr const char* kDownScript = "ZEL_FAKE_POLL_DOWN";
// The same for PutFiles and the result file in UPLOAD (no default line).
inline constexpr const char* kUpScript = "ZEL_FAKE_POLL_UP";
// Directory whose files GetFiles copies into DOWNLOAD (once: renamed to
// *.used), as downloads the component placed.
inline constexpr const char* kPlaceDir = "ZEL_FAKE_POLL_PLACE";
// Milliseconds GetFiles takes before it does anything, standing for a long
// transfer (so that a test can act on a job while it is inside one).
inline constexpr const char* kDelayMs = "ZEL_FAKE_POLL_DELAY_MS";

// Every control.
inline constexpr const char* kAll[] = {kCalls, kDownScript, kUpScript, kPlaceDir, kDelayMs};

// For fixtures: every control unset while the object lives, and restored
// to what it was when it goes.
class Controls {
  public:
    Controls() {
        for (std::size_t i = 0; i < std::size(kAll); ++i) {
            if (const char* v = std::getenv(kAll[i])) saved_[i] = v;
            ::unsetenv(kAll[i]);
        }
    }
    ~Controls() {
        for (std::size_t i = 0; i < std::size(kAll); ++i) {
            if (saved_[i])
                ::setenv(kAll[i], saved_[i]->c_str(), 1);
            else
                ::unsetenv(kAll[i]);
        }
    }
    Controls(const Controls&) = delete;
    Controls& operator=(const Controls&) = delete;

  private:
    std::optional<std::string> saved_[std::size(kAll)];
};

}  // namespace zel::test::fake_poll
