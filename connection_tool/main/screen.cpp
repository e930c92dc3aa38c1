// The ncurses dialogs of zelconfig (see screen.h).  Only drawing and keys
// live here; every decision is the dialog logic's.
#define NCURSES_WIDECHAR 1
#include "connection_tool/main/screen.h"

#include <curses.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "connection_tool/main/front_end.h"

namespace zel::conn {
namespace {

constexpr wint_t kEscape = 27;
// How long the rest of an escape sequence may take to arrive after its Esc.
constexpr int kSequenceGapMs = 60;
// The main dialog is the largest; a smaller terminal gets a notice.
constexpr int kMainW = 70;
constexpr int kMainH = 19;

// One key: a character, a function key (KEY_*), a lone Esc, or nothing
// (no key within the wait, or a sequence nobody knows, which is dropped).
struct Key {
    enum Kind { None, Char, Function, Escape } kind = None;
    wint_t code = 0;
    bool Is(wint_t c) const { return kind == Char && code == c; }
    bool Fn(wint_t c) const { return kind == Function && code == c; }
};

// Reads one key, waiting wait_ms (-1: for ever).  ncurses' keypad handling
// turns the sequences the terminal description knows into KEY_* codes; any
// other sequence arrives as Esc followed by its bytes, which are read and
// dropped here, so that (say) Home sent as ESC [ 1 ~ never counts as Esc.
Key ReadKey(int wait_ms) {
    timeout(wait_ms);
    wint_t c = 0;
    const int r = get_wch(&c);
    if (r == ERR) return {};
    if (r == KEY_CODE_YES) return {Key::Function, c};
    if (c != kEscape) return {Key::Char, c};
    timeout(kSequenceGapMs);
    wint_t next = 0;
    const int r2 = get_wch(&next);
    if (r2 == ERR) return {Key::Escape, kEscape};
    if (r2 == OK && next == kEscape) {
        // Esc pressed twice: the second one is a key of its own.
        unget_wch(next);
        return {Key::Escape, kEscape};
    }
    if (r2 == OK && next == '[') {
        // CSI: parameter and intermediate bytes up to a final byte.
        for (int i = 0; i < 32; ++i) {
            wint_t b = 0;
            if (get_wch(&b) != OK || (b >= 0x40 && b <= 0x7e)) break;
        }
    } else if (r2 == OK && next == 'O') {
        wint_t b = 0;
        (void)get_wch(&b);  // SS3: one final byte
    }
    // Alt with a key, or a sequence of no known key: nothing.
    return {};
}

bool IsEnter(const Key& k) {
    return k.Is('\n') || k.Is('\r') || k.Fn(KEY_ENTER);
}
bool IsPress(const Key& k) {
    return IsEnter(k) || k.Is(' ');
}

// UTF-8 to characters; a byte that starts no valid sequence becomes U+FFFD,
// so what is shown is what would be stored after an edit.
std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        wchar_t c = len == 1 ? b : len == 2 ? (b & 0x1f) : len == 3 ? (b & 0x0f) : (b & 0x07);
        bool ok = len > 0 && i + static_cast<std::size_t>(len) <= text.size();
        for (int k = 1; ok && k < len; ++k) {
            const auto n = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            ok = (n & 0xc0) == 0x80;
            c = static_cast<wchar_t>((c << 6) | (n & 0x3f));
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        if (ok && ((len == 2 && c < 0x80) || (len == 3 && c < 0x800) ||
                   (len == 4 && (c < 0x10000 || c > 0x10ffff)) || (c >= 0xd800 && c <= 0xdfff)))
            ok = false;
        if (!ok) {
            out += L'\xfffd';
            ++i;
        } else {
            out += c;
            i += static_cast<std::size_t>(len);
        }
    }
    return out;
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        const auto c = static_cast<std::uint32_t>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xe0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

// Columns a character takes; a non-printing one is shown as one cell.
int Columns(wchar_t c) {
    const int w = wcwidth(c);
    return w < 1 ? 1 : w;
}

// Draws text from (y, x), no more than max_cols columns of it.
void PutText(int y, int x, const std::wstring& text, int max_cols) {
    int cols = 0;
    std::size_t n = 0;
    while (n < text.size() && cols + Columns(text[n]) <= max_cols) cols += Columns(text[n++]);
    if (n > 0) mvaddnwstr(y, x, text.c_str(), static_cast<int>(n));
}
void PutText(int y, int x, const std::string& text, int max_cols) {
    PutText(y, x, FromUtf8(text), max_cols);
}

std::vector<std::wstring> SplitText(const std::string& text) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', start);
        lines.push_back(
            FromUtf8(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start)));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

// Long lines are wrapped at width columns so nothing is lost off the edge.
std::vector<std::wstring> Wrap(const std::vector<std::wstring>& lines, int width) {
    std::vector<std::wstring> out;
    width = std::max(width, 2);
    for (const std::wstring& line : lines) {
        std::wstring cur;
        int cols = 0;
        for (wchar_t c : line) {
            if (cols + Columns(c) > width) {
                out.push_back(cur);
                cur.clear();
                cols = 0;
            }
            cur += c;
            cols += Columns(c);
        }
        out.push_back(cur);
    }
    return out;
}

int Width(const std::wstring& text) {
    int cols = 0;
    for (wchar_t c : text) cols += Columns(c);
    return cols;
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
    const std::wstring t = L" " + FromUtf8(title) + L" ";
    const int tw = std::min(Width(t), std::max(w - 4, 0));
    PutText(y, x + std::max((w - tw) / 2, 1), t, tw);
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

// A check box line, shown reversed while it has the focus.
void DrawCheckBox(int y, int x, const char* label, bool checked, bool focused) {
    if (focused) attron(A_REVERSE);
    mvaddstr(y, x, (std::string(checked ? "[x] " : "[ ] ") + label).c_str());
    if (focused) attroff(A_REVERSE);
}

// A one-line text field: its characters, the cursor (a character index)
// and the first character shown.
struct TextField {
    std::wstring text;
    std::size_t cursor = 0;
    std::size_t scroll = 0;

    // Draws the field width columns wide at y, x, scrolled so that the
    // cursor stays inside it.  Returns the cursor's column.
    int Draw(int y, int x, int width) {
        if (cursor < scroll) scroll = cursor;
        while (scroll < cursor && Width(text.substr(scroll, cursor - scroll)) + 1 > width) ++scroll;
        const int cursor_x = x + Width(text.substr(scroll, cursor - scroll));
        attron(A_UNDERLINE);
        mvhline(y, x, ' ', width);
        PutText(y, x, text.substr(scroll), width);
        attroff(A_UNDERLINE);
        return cursor_x;
    }

    // Applies an editing key (not Enter): the cursor keys move; the others
    // make a new text, kept only when allowed says so (a refused one leaves
    // the field as it was, and the key is dropped with a beep).
    void Edit(const Key& key, const std::function<bool(const std::wstring&)>& allowed) {
        std::wstring next = text;
        std::size_t next_cursor = cursor;
        if (key.Fn(KEY_LEFT)) {
            if (cursor > 0) --cursor;
        } else if (key.Fn(KEY_RIGHT)) {
            if (cursor < text.size()) ++cursor;
        } else if (key.Fn(KEY_HOME)) {
            cursor = 0;
        } else if (key.Fn(KEY_END)) {
            cursor = text.size();
        } else if (key.Fn(KEY_BACKSPACE) || key.Is(127) || key.Is(8)) {
            if (cursor > 0) next.erase(--next_cursor, 1);
        } else if (key.Fn(KEY_DC)) {
            if (cursor < text.size()) next.erase(cursor, 1);
        } else if (key.kind == Key::Char && key.code >= 32 && iswprint(key.code)) {
            next.insert(cursor, 1, static_cast<wchar_t>(key.code));
            ++next_cursor;
        }
        if (next != text && allowed(next)) {
            text = next;
            cursor = next_cursor;
        } else if (next != text) {
            beep();
        }
    }
};

}  // namespace

Screen::Screen() {
    initscr();
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    // Home and End as PuTTY and the Linux console send them, which many
    // terminal descriptions leave out.
    define_key("\033[1~", KEY_HOME);
    define_key("\033[4~", KEY_END);
    define_key("\033[7~", KEY_HOME);
    define_key("\033[8~", KEY_END);
    set_escdelay(25);
    curs_set(0);
}

Screen::~Screen() {
    endwin();
}

bool Screen::DrawLayers() {
    erase();
    if (LINES < kMainH || COLS < kMainW) {
        const std::string notice =
            "The terminal is too small for zelconfig: it needs " + std::to_string(kMainW) + "x" +
            std::to_string(kMainH) + ", this one is " + std::to_string(COLS) + "x" +
            std::to_string(LINES) + ". Enlarge the window, or press Esc to leave.";
        const std::vector<std::wstring> lines = Wrap({FromUtf8(notice)}, COLS);
        for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < LINES; ++i)
            PutText(static_cast<int>(i), 0, lines[i], COLS);
        return false;
    }
    for (const auto& layer : layers_) layer();
    return true;
}

void Screen::ShowMessage(const std::string& text, const std::string& caption) {
    (void)MessageBox(text, caption, false);
}

bool Screen::AskYesNo(const std::string& text, const std::string& caption) {
    return MessageBox(text, caption, true);
}

void Screen::ShowNote(const std::string& text) {
    note_ = text;
}

bool Screen::KeepTesting(double elapsed_seconds) {
    const long seconds = static_cast<long>(elapsed_seconds);
    if (seconds != shown_seconds_) {
        shown_seconds_ = seconds;
        status_ = testing_ + " " + std::to_string(seconds) + " s (Esc cancels)";
        curs_set(0);
        DrawLayers();
        refresh();
    }
    // Every key that came meanwhile: Esc ends the test, others are dropped.
    for (;;) {
        const Key key = ReadKey(0);
        if (key.kind == Key::Escape) return false;
        if (key.Fn(KEY_RESIZE)) {
            DrawLayers();
            refresh();
            continue;
        }
        if (key.kind == Key::None) return true;
    }
}

bool Screen::MessageBox(const std::string& text, const std::string& caption, bool yes_no) {
    int focus = 0;  // 0 OK / Yes, 1 No
    for (;;) {
        const bool fits = DrawLayers();
        if (fits) {
            const int max_w = std::max(COLS - 2, 20);
            std::vector<std::wstring> lines = Wrap(SplitText(text), max_w - 4);
            int w = Width(FromUtf8(caption)) + 6;
            for (const std::wstring& l : lines) w = std::max(w, Width(l) + 4);
            w = std::min(std::max(w, 24), max_w);
            const int max_lines = std::max(LINES - 6, 1);
            if (static_cast<int>(lines.size()) > max_lines) lines.resize(max_lines);
            const int h = static_cast<int>(lines.size()) + 4;
            int y = 0;
            int x = 0;
            Centre(h, w, &y, &x);
            DrawFrame(y, x, h, w, caption);
            for (std::size_t i = 0; i < lines.size(); ++i)
                PutText(y + 1 + static_cast<int>(i), x + 2, lines[i], w - 4);
            if (yes_no) {
                const int bx = x + (w - ButtonWidth("Yes") - ButtonWidth("No") - 2) / 2;
                DrawButton(y + h - 2, bx, "Yes", focus == 0);
                DrawButton(y + h - 2, bx + ButtonWidth("Yes") + 2, "No", focus == 1);
            } else {
                DrawButton(y + h - 2, x + (w - ButtonWidth("OK")) / 2, "OK", true);
            }
        }
        curs_set(0);
        refresh();
        const Key key = ReadKey(-1);
        if (key.kind == Key::None || key.Fn(KEY_RESIZE)) continue;
        if (key.kind == Key::Escape) return !yes_no;
        if (!fits) continue;
        if (!yes_no) {
            if (IsPress(key)) return true;
            continue;
        }
        if (key.Is('\t') || key.Fn(KEY_BTAB) || key.Fn(KEY_LEFT) || key.Fn(KEY_RIGHT) ||
            key.Fn(KEY_UP) || key.Fn(KEY_DOWN)) {
            focus = 1 - focus;
        } else if (IsPress(key)) {
            return focus == 0;
        } else if (key.Is('y') || key.Is('Y')) {
            return true;
        } else if (key.Is('n') || key.Is('N')) {
            return false;
        }
    }
}

void Screen::RunMainDialog(ConnectionUtility* utility) {
    constexpr int kButtons = 12;  // 8 tests, Proxy Override, About, OK, Cancel
    const Method methods[] = {Method::Direct, Method::Preconfig, Method::PreconfigNoAutoProxy,
                              Method::Proxy};
    int focus = 0;
    status_ = "Tab/arrows move, Enter presses, Esc quits, a: about";
    note_.clear();
    auto draw = [&]() {
        int y = 0;
        int x = 0;
        Centre(kMainH, kMainW, &y, &x);
        DrawFrame(y, x, kMainH, kMainW, "ZEL Connection Utility");
        mvaddstr(y + 2, x + 3, GroupCaption(Group::Http));
        mvaddstr(y + 2, x + 36, GroupCaption(Group::Https));
        for (int i = 0; i < 4; ++i) {
            DrawButton(y + 3 + i, x + 3, MethodLabel(methods[i]), focus == i);
            DrawButton(y + 3 + i, x + 36, MethodLabel(methods[i]), focus == 4 + i);
        }
        DrawButton(y + 8, x + 3, "Proxy Override", focus == 8);
        DrawButton(y + 8, x + 36, "About zelconfig...", focus == 9);
        PutText(y + 10, x + 3, "HTTP server:  " + utility->TargetText(Group::Http), kMainW - 6);
        PutText(y + 11, x + 3, "HTTPS server: " + utility->TargetText(Group::Https), kMainW - 6);
        DrawButton(y + 13, x + 3, "OK", focus == 10);
        DrawButton(y + 13, x + 36, "Cancel", focus == 11);
        PutText(y + 15, x + 3, status_, kMainW - 6);
        PutText(y + 16, x + 3, note_, kMainW - 6);
    };
    layers_.push_back(draw);
    for (;;) {
        curs_set(0);
        const bool fits = DrawLayers();
        refresh();
        const Key key = ReadKey(-1);
        if (key.kind == Key::None || key.Fn(KEY_RESIZE)) continue;
        if (key.kind == Key::Escape) break;
        if (!fits) continue;
        if (key.Is('\t') || key.Fn(KEY_DOWN)) {
            focus = (focus + 1) % kButtons;
        } else if (key.Fn(KEY_BTAB) || key.Fn(KEY_UP)) {
            focus = (focus + kButtons - 1) % kButtons;
        } else if (key.Fn(KEY_RIGHT) || key.Fn(KEY_LEFT)) {
            // Across the two columns: the groups, and the lower button pairs.
            if (focus < 8)
                focus = focus < 4 ? focus + 4 : focus - 4;
            else
                focus = focus % 2 == 0 ? focus + 1 : focus - 1;
        } else if (key.Is('a') || key.Is('A')) {
            ShowMessage(utility->AboutText(), "About zelconfig");
        } else if (IsPress(key)) {
            if (focus < 8) {
                const Group group = focus < 4 ? Group::Http : Group::Https;
                const Method method = methods[focus % 4];
                testing_ = std::string("Testing ") + (group == Group::Http ? "HTTP" : "HTTPS") +
                           " " + MethodLabel(method) + "...";
                note_.clear();
                shown_seconds_ = -1;
                (void)KeepTesting(0);
                status_ = OutcomeText(utility->RunTest(group, method));
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
    TextField field;
    field.text = FromUtf8(dialog.Settings().address);
    field.cursor = field.text.size();
    int focus = 0;
    int field_y = 0;
    int cursor_x = 0;
    auto draw = [&]() {
        int y = 0;
        int x = 0;
        Centre(kH, kW, &y, &x);
        DrawFrame(y, x, kH, kW, "Proxy Override Settings");
        const OverrideSettings& s = dialog.Settings();
        DrawCheckBox(y + 2, x + 3, "Proxy Enabled", s.proxy_enabled, focus == 0);
        DrawCheckBox(y + 3, x + 3, "Use Proxy Override", s.use_override, focus == 1);
        mvaddstr(y + 5, x + 3, "Proxy Address:");
        field_y = y + 5;
        cursor_x = field.Draw(field_y, x + 18, kFieldWidth);
        const std::vector<std::wstring> help = SplitText(kOverrideHelp);
        for (std::size_t i = 0; i < help.size(); ++i)
            PutText(y + 7 + static_cast<int>(i), x + 3, help[i], kW - 6);
        DrawButton(y + 13, x + 3, "OK", focus == 3);
        DrawButton(y + 13, x + 12, "Cancel", focus == 4);
    };
    // The dialog refuses a text longer than the field holds.
    auto allowed = [&](const std::wstring& text) { return dialog.SetAddress(ToUtf8(text)); };
    layers_.push_back(draw);
    for (;;) {
        const bool fits = DrawLayers();
        if (fits && focus == 2) {
            curs_set(1);
            move(field_y, cursor_x);
        } else {
            curs_set(0);
        }
        refresh();
        const Key key = ReadKey(-1);
        if (key.kind == Key::None || key.Fn(KEY_RESIZE)) continue;
        if (key.kind == Key::Escape) {
            dialog.Cancel();
            break;
        }
        if (!fits) continue;
        if (key.Is('\t') || key.Fn(KEY_DOWN) || (focus != 2 && key.Fn(KEY_RIGHT))) {
            focus = (focus + 1) % kItems;
            continue;
        }
        if (key.Fn(KEY_BTAB) || key.Fn(KEY_UP) || (focus != 2 && key.Fn(KEY_LEFT))) {
            focus = (focus + kItems - 1) % kItems;
            continue;
        }
        if (focus == 0 && IsPress(key)) {
            dialog.ToggleProxyEnabled();
        } else if (focus == 1 && IsPress(key)) {
            dialog.ToggleUseOverride();
        } else if (focus == 2 && IsEnter(key)) {
            // Enter in the field presses the default button, OK.
            if (dialog.Ok()) break;
        } else if (focus == 2) {
            field.Edit(key, allowed);
        } else if (focus == 3 && IsPress(key)) {
            if (dialog.Ok()) break;
        } else if (focus == 4 && IsPress(key)) {
            dialog.Cancel();
            break;
        }
    }
    curs_set(0);
    layers_.pop_back();
}

// The front end on Linux (front_end.h): the terminal's dialogs.

const char* const kDialogHelp =
    "Without --test it shows the dialogs (Tab and arrows move, Enter presses,\n"
    "Space toggles, Esc cancels, \"a\" shows the about box).";

int RunDialogs(const std::function<void(ConnectionUtility*)>& configure) {
    Screen screen;
    ConnectionUtility utility(&screen);
    configure(&utility);
    screen.RunMainDialog(&utility);
    return 0;
}

void PrepareOutput() {}  // a terminal program prints where it was started

void ShowStartupFailure(const std::string& text) {
    std::fprintf(stderr, "zelconfig: %s\n", text.c_str());
}

}  // namespace zel::conn
