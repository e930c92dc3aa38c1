// The ncurses front end of zelconfig: draws the main dialog, the proxy
// override dialog and the message boxes, and turns keys into the dialog
// logic's button presses.  Works in an 80x24 terminal and over SSH.
// Keys: Tab and the arrows move, Enter presses, Space toggles a check box,
// Esc cancels, "a" opens the about box; the screen is redrawn when the
// terminal is resized.
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

    // Runs the main dialog until OK, Cancel or Esc (utility is borrowed and
    // must use this screen as its user interface).
    void RunMainDialog(ConnectionUtility* utility);

  private:
    bool MessageBox(const std::string& text, const std::string& caption, bool yes_no);
    void RunOverrideDialog();
    void DrawLayers();

    // What lies under the box being shown, bottom first, redrawn with it.
    std::vector<std::function<void()>> layers_;
};

}  // namespace zel::conn
