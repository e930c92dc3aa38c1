// The ncurses dialogs of zelconfig (see screen.h).  Only drawing and keys
// live here; every decision is the dialog logic's.
#include "connection_tool/main/screen.h"

#include <curses.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zel::conn {
namespace {

constexpr int kEscape = 27;

bool IsEnter(int key) {
    return key == '\n' || key == '\r' || key == KEY_ENTER;
}

std::vector<std::string> SplitText(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', start);
        lines.push_back(
            text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

// Long lines are wrapped at width so nothing is lost off the edge.
std::vector<std::string> Wrap(const std::vector<std::string>& lines, int width) {
    std::vector<std::string> out;
    const std::size_t w = static_cast<std::size_t>(std::max(width, 1));
    for (const std::string& line : lines) {
        if (line.empty()) out.emplace_back();
        for (std::size_t i = 0; i < line.size(); i += w) out.push_back(line.substr(i, w));
    }
    return out;
}

// A framed, cleared box with its title in the top edge.
void DrawFrame(int y, int x, int h, int w, const std::string& title) {
    for (int r = 0; r < h; ++r) mvhline(y + r, x, ' ', w);
    mvaddch(y, x, ACS_ULCORNER);
    mvaddch(y, x + w - 1, ACS_URCORNER);
    mvaddch(y + h - 1, x, ACS_LLCORNER);
    mvaddch(y + h - 1, x + w - 1, ACS_LRCORNER);
    mvhline(y, x + 1, ACS_HLINE, w - 2);
    mvhline(y + h - 1, x + 1, ACS_HLINE, w - 2);
    mvvline(y + 1, x, ACS_VLINE, h - 2);
    mvvline(y + 1, x + w - 1, ACS_VLINE, h - 2);
    const std::string t = " " + title.substr(0, static_cast<std::size_t>(std::max(w - 6, 0))) + " ";
    mvaddstr(y, x + std::max((w - static_cast<int>(t.size())) / 2, 1), t.c_str());
}

void DrawButton(int y, int x, const std::string& label, bool focused) {
    if (focused) attron(A_REVERSE);
    mvaddstr(y, x, ("[ " + label + " ]").c_str());
    if (focused) attroff(A_REVERSE);
}

int ButtonWidth(const std::string& label) {
    return static_cast<int>(label.size()) + 4;
}

// Origin of a box of h rows and w columns centred on the terminal.
void Centre(int h, int w, int* y, int* x) {
    *y = std::max((LINES - h) / 2, 0);
    *x = std::max((COLS - w) / 2, 0);
}

}  // namespace

Screen::Screen() {
    initscr();
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
}

Screen::~Screen() {
    endwin();
}

void Screen::DrawLayers() {
    erase();
    for (const auto& layer : layers_) layer();
}

void Screen::ShowMessage(const std::string& text, const std::string& caption) {
    (void)MessageBox(text, caption, false);
}

bool Screen::AskYesNo(const std::string& text, const std::string& caption) {
    return MessageBox(text, caption, true);
}

bool Screen::MessageBox(const std::string& text, const std::string& caption, bool yes_no) {
    int focus = 0;  // 0 OK / Yes, 1 No
    for (;;) {
        DrawLayers();
        const int max_w = std::max(COLS - 2, 20);
        std::vector<std::string> lines = Wrap(SplitText(text), max_w - 4);
        int w = static_cast<int>(caption.size()) + 6;
        for (const std::string& l : lines) w = std::max(w, static_cast<int>(l.size()) + 4);
        w = std::min(std::max(w, 24), max_w);
        const int max_lines = std::max(LINES - 6, 1);
        if (static_cast<int>(lines.size()) > max_lines) lines.resize(max_lines);
        const int h = static_cast<int>(lines.size()) + 4;
        int y = 0;
        int x = 0;
        Centre(h, w, &y, &x);
        DrawFrame(y, x, h, w, caption);
        for (std::size_t i = 0; i < lines.size(); ++i)
            mvaddstr(y + 1 + static_cast<int>(i), x + 2, lines[i].c_str());
        if (yes_no) {
            const int bx = x + (w - ButtonWidth("Yes") - ButtonWidth("No") - 2) / 2;
            DrawButton(y + h - 2, bx, "Yes", focus == 0);
            DrawButton(y + h - 2, bx + ButtonWidth("Yes") + 2, "No", focus == 1);
        } else {
            DrawButton(y + h - 2, x + (w - ButtonWidth("OK")) / 2, "OK", true);
        }
        refresh();
        const int key = getch();
        if (key == KEY_RESIZE || key == ERR) continue;
        if (!yes_no) {
            if (IsEnter(key) || key == ' ' || key == kEscape) return true;
            continue;
        }
        if (key == '\t' || key == KEY_BTAB || key == KEY_LEFT || key == KEY_RIGHT ||
            key == KEY_UP || key == KEY_DOWN) {
            focus = 1 - focus;
        } else if (IsEnter(key) || key == ' ') {
            return focus == 0;
        } else if (key == 'y' || key == 'Y') {
            return true;
        } else if (key == 'n' || key == 'N' || key == kEscape) {
            return false;
        }
    }
}

void Screen::RunMainDialog(ConnectionUtility* utility) {
    constexpr int kW = 66;
    constexpr int kH = 17;
    constexpr int kButtons = 12;  // 8 tests, Proxy Override, About, OK, Cancel
    const Method methods[] = {Method::Direct, Method::Preconfig, Method::PreconfigNoAutoProxy,
                              Method::Proxy};
    int focus = 0;
    std::string status = "Tab/arrows move, Enter presses, Esc quits, a: about";
    auto draw = [&]() {
        int y = 0;
        int x = 0;
        Centre(kH, kW, &y, &x);
        DrawFrame(y, x, kH, kW, "ZEL Connection Utility");
        mvaddstr(y + 2, x + 3, GroupCaption(Group::Http));
        mvaddstr(y + 2, x + 34, GroupCaption(Group::Https));
        for (int i = 0; i < 4; ++i) {
            DrawButton(y + 3 + i, x + 3, MethodLabel(methods[i]), focus == i);
            DrawButton(y + 3 + i, x + 34, MethodLabel(methods[i]), focus == 4 + i);
        }
        DrawButton(y + 9, x + 3, "Proxy Override", focus == 8);
        DrawButton(y + 9, x + 34, "About zelconfig...", focus == 9);
        DrawButton(y + 12, x + 3, "OK", focus == 10);
        DrawButton(y + 12, x + 34, "Cancel", focus == 11);
        mvaddstr(y + 14, x + 3, status.substr(0, kW - 6).c_str());
    };
    layers_.push_back(draw);
    for (;;) {
        curs_set(0);
        DrawLayers();
        refresh();
        const int key = getch();
        if (key == KEY_RESIZE || key == ERR) continue;
        if (key == kEscape) break;
        if (key == '\t' || key == KEY_DOWN) {
            focus = (focus + 1) % kButtons;
        } else if (key == KEY_BTAB || key == KEY_UP) {
            focus = (focus + kButtons - 1) % kButtons;
        } else if (key == KEY_RIGHT || key == KEY_LEFT) {
            // Across the two columns: the groups, and the lower button pairs.
            if (focus < 8)
                focus = focus < 4 ? focus + 4 : focus - 4;
            else
                focus = focus % 2 == 0 ? focus + 1 : focus - 1;
        } else if (key == 'a' || key == 'A') {
            ShowMessage(utility->AboutText(), "About zelconfig");
        } else if (IsEnter(key) || key == ' ') {
            if (focus < 8) {
                const Group group = focus < 4 ? Group::Http : Group::Https;
                const Method method = methods[focus % 4];
                status = std::string("Testing ") + (group == Group::Http ? "HTTP" : "HTTPS") + " " +
                         MethodLabel(method) + "...";
                DrawLayers();
                refresh();
                const TestOutcome outcome = utility->RunTest(group, method);
                status = outcome == TestOutcome::Saved      ? "Access method saved."
                         : outcome == TestOutcome::Declined ? "Test passed; nothing saved."
                                                            : "Test failed; nothing saved.";
            } else if (focus == 8) {
                RunOverrideDialog();
            } else if (focus == 9) {
                ShowMessage(utility->AboutText(), "About zelconfig");
            } else {
                break;  // OK and Cancel both close the program
            }
        }
    }
    layers_.pop_back();
}

void Screen::RunOverrideDialog() {
    constexpr int kW = 64;
    constexpr int kH = 16;
    constexpr int kFieldWidth = 40;
    constexpr int kItems = 5;  // two check boxes, the field, OK, Cancel
    ProxyOverrideDialog dialog(this);
    std::string text = dialog.Settings().address;
    std::size_t cursor = text.size();
    std::size_t scroll = 0;
    int focus = 0;
    int field_y = 0;
    int field_x = 0;
    auto draw = [&]() {
        int y = 0;
        int x = 0;
        Centre(kH, kW, &y, &x);
        DrawFrame(y, x, kH, kW, "Proxy Override Settings");
        const OverrideSettings& s = dialog.Settings();
        if (focus == 0) attron(A_REVERSE);
        mvaddstr(y + 2, x + 3, s.proxy_enabled ? "[x] Proxy Enabled" : "[ ] Proxy Enabled");
        if (focus == 0) attroff(A_REVERSE);
        if (focus == 1) attron(A_REVERSE);
        mvaddstr(y + 3, x + 3,
                 s.use_override ? "[x] Use Proxy Override" : "[ ] Use Proxy Override");
        if (focus == 1) attroff(A_REVERSE);
        mvaddstr(y + 5, x + 3, "Proxy Address:");
        field_y = y + 5;
        field_x = x + 18;
        if (cursor < scroll) scroll = cursor;
        if (cursor >= scroll + kFieldWidth) scroll = cursor - kFieldWidth + 1;
        attron(A_UNDERLINE);
        mvhline(field_y, field_x, ' ', kFieldWidth);
        mvaddstr(field_y, field_x, text.substr(scroll, kFieldWidth).c_str());
        attroff(A_UNDERLINE);
        const std::vector<std::string> help = SplitText(kOverrideHelp);
        for (std::size_t i = 0; i < help.size(); ++i)
            mvaddstr(y + 7 + static_cast<int>(i), x + 3, help[i].c_str());
        DrawButton(y + 13, x + 3, "OK", focus == 3);
        DrawButton(y + 13, x + 12, "Cancel", focus == 4);
    };
    layers_.push_back(draw);
    for (;;) {
        DrawLayers();
        if (focus == 2) {
            curs_set(1);
            move(field_y, field_x + static_cast<int>(cursor - scroll));
        } else {
            curs_set(0);
        }
        refresh();
        const int key = getch();
        if (key == KEY_RESIZE || key == ERR) continue;
        if (key == kEscape) {
            dialog.Cancel();
            break;
        }
        if (key == '\t' || key == KEY_DOWN || (focus != 2 && key == KEY_RIGHT)) {
            focus = (focus + 1) % kItems;
            continue;
        }
        if (key == KEY_BTAB || key == KEY_UP || (focus != 2 && key == KEY_LEFT)) {
            focus = (focus + kItems - 1) % kItems;
            continue;
        }
        if (focus == 0 && (key == ' ' || IsEnter(key))) {
            dialog.ToggleProxyEnabled();
        } else if (focus == 1 && (key == ' ' || IsEnter(key))) {
            dialog.ToggleUseOverride();
        } else if (focus == 2) {
            std::string next = text;
            std::size_t next_cursor = cursor;
            if (key == KEY_LEFT) {
                if (cursor > 0) --cursor;
            } else if (key == KEY_RIGHT) {
                if (cursor < text.size()) ++cursor;
            } else if (key == KEY_HOME) {
                cursor = 0;
            } else if (key == KEY_END) {
                cursor = text.size();
            } else if (key == KEY_BACKSPACE || key == 127 || key == 8) {
                if (cursor > 0) next.erase(--next_cursor, 1);
            } else if (key == KEY_DC) {
                if (cursor < text.size()) next.erase(cursor, 1);
            } else if (IsEnter(key)) {
                // Enter in the field presses the default button, OK.
                if (dialog.Ok()) break;
            } else if (key >= 32 && key < 127) {
                next.insert(cursor, 1, static_cast<char>(key));
                ++next_cursor;
            }
            // The dialog refuses a text longer than the field holds; the
            // field then keeps its text (and the key is dropped).
            if (next != text && dialog.SetAddress(next)) {
                text = next;
                cursor = next_cursor;
            } else if (next != text) {
                beep();
            }
        } else if (focus == 3 && (key == ' ' || IsEnter(key))) {
            if (dialog.Ok()) break;
        } else if (focus == 4 && (key == ' ' || IsEnter(key))) {
            dialog.Cancel();
            break;
        }
    }
    curs_set(0);
    layers_.pop_back();
}

}  // namespace zel::conn
