// ferrun's progress line: while a download or upload runs on a terminal,
// one line on standard error shows the file on its way, the bytes so far
// out of its size, the average rate and the seconds since data last moved,
// redrawn in place ("\r") at most four times a second.  When a file's
// transfer ends the line is finished with its final figures and a line
// break, so each file leaves one line behind.
//
// ProgressLine is the drawing alone (what is written when), with the clock
// and the terminal width handed in, so that it is tested without a
// terminal.  ProgressDisplay subscribes a ProgressLine to the component's
// Progress event (poll/ipoll.h) for the life of one operation and draws on
// standard error; the caller decides whether there is to be a display at
// all (standard error a terminal, no --quiet).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/com/com_ptr.h"
#include "poll/ipoll.h"

namespace zel::client {

class ProgressLine {
  public:
    using Clock = std::chrono::steady_clock;
    using Writer = std::function<void(std::string_view)>;

    // The least time between two drawings of the line in place.
    static constexpr std::chrono::milliseconds kRedrawInterval{250};
    // The width assumed when the terminal's cannot be told.
    static constexpr int kDefaultColumns = 80;

    // write receives every piece of output.  open_line: the console's text
    // on the same terminal stands on an unfinished line (a step's "..."
    // awaiting its outcome); the first drawing then starts a line of its
    // own rather than write over it.
    ProgressLine(Writer write, bool open_line);

    // One report of the component (see ipoll.h).  name is the file's name
    // as locale text; columns is the terminal's width now (0: unknown).
    void Update(std::string_view name, std::int64_t bytes, std::int64_t total, bool finished,
                Clock::time_point now, int columns);
    // Blanks a line left unfinished (a transfer that ended without its
    // last report), so the console's next text starts on a clean line.
    void Close();

  private:
    struct File {
        std::string name;
        Clock::time_point started;
        Clock::time_point last_data;  // when bytes last grew
        std::int64_t bytes = 0;
        bool active = false;
    };
    void Draw(const std::string& text, bool finish);

    Writer write_;
    bool open_line_;
    File file_;
    bool drawn_any_ = false;
    Clock::time_point last_draw_;
    std::size_t shown_columns_ = 0;  // of the unfinished line on screen; 0: none
};

// The text of one progress line (without "\r" or line end), fitted into
// columns - 1 characters by shortening the name in its middle.  finished:
// the line's final form, with the time taken instead of the idle time.
std::string FormatProgressLine(std::string_view name, std::int64_t bytes, std::int64_t total,
                               double elapsed_seconds, double idle_seconds, bool finished,
                               int columns);
// A byte count the way the line shows it: "512 B", "12.3 KiB", "1.0 GiB".
std::string FormatBytes(std::int64_t bytes);
// A file name as it may be put on a terminal, in the locale's encoding:
// control characters (which could move the cursor or change the terminal's
// settings) become "?", and so does all beyond ASCII when the locale
// cannot write it.
std::string TerminalSafeName(const char16_t* name, std::size_t units);

class ProgressSink;

// The progress line on standard error, subscribed to poll's events from
// construction to destruction.  When the component offers no events the
// display shows nothing and the operation goes on as ever.
class ProgressDisplay {
  public:
    // open_line: see ProgressLine.
    ProgressDisplay(IPoll* poll, bool open_line);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  private:
    ProgressLine line_;
    zel::com::ComPtr<IConnectionPoint> point_;
    ProgressSink* sink_ = nullptr;  // one reference held while advised
    DWORD cookie_ = 0;
};

}  // namespace zel::client
