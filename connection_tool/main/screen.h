// The ncurses front end of zelconfig: draws the main dialog, the proxy
// override dialog and the message boxes, and turns keys into the dialog
// logic's button presses.  Works in an 80x24 terminal and over SSH; a
// smaller terminal shows a notice instead of the dialogs until it is made
// large enough.  Wide-character ncurses: the address field edits
// characters, and stores them as UTF-8.
// Keys: Tab and the arrows move, Enter presses, Space toggles a check box,
// Esc cancels (also a running test), "a" opens the about box; a key the
// terminal sends as an escape sequence that the terminal description does
// not know is ignored; the screen is redrawn when the terminal is resized.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "connection_tool/utility.h"

namespace zel::conn {

// The terminal for the length of its life (set up in the constructor,
// restored in the destructor), and the message boxes on it.
class Screen : public UserInterface {
  public:
    Screen();
    ~Screen() override;
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    void ShowMessage(const std::string& text, const std::string& caption) override;
    [[nodiscard]] bool AskYesNo(const std::string& text, const std::string& caption) override;
    void ShowNote(const std::string& text) override;
    [[nodiscard]] bool KeepTesting(double elapsed_seconds) override;

    // Runs the main dialog until OK, Cancel or Esc (utility is borrowed and
    // must use this screen as its user interface).
    void RunMainDialog(ConnectionUtility* utility);

  private:
    bool MessageBox(const std::string& text, const std::string& caption, bool yes_no);
    void RunOverrideDialog();
    // Draws every layer, or the too-small notice; false when the notice
    // is shown (keys other than Esc then do nothing).
    bool DrawLayers();

    // What lies under the box being shown, bottom first, redrawn with it.
    std::vector<std::function<void()>> layers_;
    // The main dialog's status and note lines.
    std::string status_;
    std::string note_;
    std::string testing_;  // the test under way, for the elapsed-time status
    long shown_seconds_ = -1;
};

}  // namespace zel::conn
