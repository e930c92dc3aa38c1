// zelconfig_driver: drives the real dialogs of zelconfig.exe from outside,
// as a user would, for tests/windows/zelconfig_dialog_test.sh.
//
//   zelconfig_driver ZELCONFIG_EXE HOST:PORT
//
// Starts zelconfig.exe with --http-server HOST:PORT, finds its main dialog
// "ZEL Connection Utility" and checks its buttons and their labels and the
// about box behind the system menu's command; presses the HTTP "Direct (no
// proxy)" button while the server stays silent and stops the test with
// Cancel;
// presses the HTTP "Direct (no proxy)" button and answers the confirmation
// box Yes; opens "Proxy Override Settings", checks its help text and the
// address field's automatic horizontal scrolling, types an address, ticks
// "Use Proxy Override" and presses OK; then closes the program with Cancel.
// Every step waits for what it needs with a bounded deadline; a step that
// fails is printed and the program ends with status 1 (zelconfig.exe is
// ended then).  The registry values are checked by the script.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "connection_tool/main/resource.h"

namespace {

PROCESS_INFORMATION g_child{};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "zelconfig_driver: %s\n", what.c_str());
    if (g_child.hProcess != nullptr) (void)::TerminateProcess(g_child.hProcess, 99);
    std::exit(1);
}

// Polls pred every 20 ms for at most ten seconds.
bool WaitFor(const std::function<bool()>& pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A dialog window of the child with this caption.
HWND FindDialog(const char* caption) {
    HWND found = nullptr;
    (void)WaitFor([&] {
        HWND w = ::FindWindowA("#32770", caption);
        DWORD pid = 0;
        if (w != nullptr) (void)::GetWindowThreadProcessId(w, &pid);
        // Shown only once its controls are made and initialised.
        if (w != nullptr && pid == g_child.dwProcessId && ::IsWindowVisible(w)) found = w;
        return found != nullptr;
    });
    if (found == nullptr) Fail(std::string("no window \"") + caption + "\" appeared");
    return found;
}

std::string Text(HWND window) {
    char buffer[1024] = "";
    DWORD_PTR got = 0;
    if (!::SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                               SMTO_ABORTIFHUNG, 5000, &got))
        return "<no answer>";
    return std::string(buffer, got);
}

std::string ItemText(HWND dialog, int id) {
    const HWND item = ::GetDlgItem(dialog, id);
    if (item == nullptr) Fail("control " + std::to_string(id) + " is missing");
    return Text(item);
}

void ExpectItem(HWND dialog, int id, const std::string& text) {
    const std::string shown = ItemText(dialog, id);
    if (shown != text)
        Fail("control " + std::to_string(id) + " says \"" + shown + "\", not \"" + text + "\"");
}

void WaitForItem(HWND dialog, int id, const std::string& text) {
    if (!WaitFor([&] { return ItemText(dialog, id) == text; }))
        Fail("control " + std::to_string(id) + " still says \"" + ItemText(dialog, id) +
             "\", not \"" + text + "\"");
}

// A button press as the dialog receives it.
void Press(HWND dialog, int id) {
    if (!::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id))))
        Fail("could not press control " + std::to_string(id));
}

void WaitGone(HWND window, const char* what) {
    if (!WaitFor([&] { return !::IsWindow(window); })) Fail(std::string(what) + " did not close");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zelconfig_driver ZELCONFIG_EXE HOST:PORT\n");
        return 2;
    }
    const std::string server = argv[2];
    std::string command = std::string("\"") + argv[1] + "\" --http-server " + server;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &g_child))
        Fail("zelconfig.exe did not start (error " + std::to_string(::GetLastError()) + ")");

    // The main dialog and its buttons.
    const HWND main = FindDialog("ZEL Connection Utility");
    const struct {
        int id;
        const char* label;
    } buttons[] = {
        {IDC_HTTP_DIRECT, "Direct (no proxy)"},
        {IDC_HTTP_PRECONFIG, "Preconfig"},
        {IDC_HTTP_PRECONFIG_NO_AUTO, "Preconfig (no auto proxy)"},
        {IDC_HTTP_PROXY, "Proxy (browser)"},
        {IDC_HTTPS_DIRECT, "Direct (no proxy)"},
        {IDC_HTTPS_PRECONFIG, "Preconfig"},
        {IDC_HTTPS_PRECONFIG_NO_AUTO, "Preconfig (no auto proxy)"},
        {IDC_HTTPS_PROXY, "Proxy (browser)"},
        {IDC_PROXY_OVERRIDE, "Proxy Override"},
        {IDOK, "OK"},
        {IDCANCEL, "Cancel"},
    };
    for (const auto& b : buttons) ExpectItem(main, b.id, b.label);
    ExpectItem(main, IDC_HTTP_SERVER, "HTTP server:  " + server + " (from command line)");
    std::printf("main dialog: 11 buttons, server %s\n", server.c_str());

    // The system menu's item opens the about box.  (The menu itself
    // belongs to zelconfig.exe's thread: wine does not lend it to another
    // process, so the command is sent as the menu sends it.)
    if (!::PostMessageA(main, WM_SYSCOMMAND, IDM_ABOUT, 0)) Fail("could not open the about box");
    const HWND about = FindDialog("About zelconfig");
    const std::string about_text = ItemText(about, IDC_ABOUT_TEXT);
    if (about_text.find("ZEL Connection Utility") == std::string::npos ||
        about_text.find("Version 1.0") == std::string::npos ||
        about_text.find(server) == std::string::npos)
        Fail("the about box says \"" + about_text + "\"");
    Press(about, IDOK);
    WaitGone(about, "the about box");
    std::printf("system menu: its about command opens the about box\n");

    // The first request stalls (the simulator answers nothing): the test
    // counts its seconds, and Cancel stops it without closing the program.
    Press(main, IDC_HTTP_DIRECT);
    if (!WaitFor([&] {
            return ItemText(main, IDC_STATUS).find("1 s (Esc cancels)") != std::string::npos;
        }))
        Fail("the running test shows \"" + ItemText(main, IDC_STATUS) + "\"");
    Press(main, IDCANCEL);
    WaitForItem(main, IDC_STATUS, "Test cancelled; nothing saved.");
    if (!::IsWindow(main)) Fail("Cancel closed the program while a test ran");
    std::printf("HTTP Direct (no proxy) against a silent server: cancelled after 1 s\n");

    // The HTTP direct test, answered Yes.
    Press(main, IDC_HTTP_DIRECT);
    const HWND question = FindDialog("Information");
    const std::string asked = ItemText(question, 0xFFFF);  // a message box's text
    if (asked.find("Configure this as the method for access?") == std::string::npos)
        Fail("the confirmation asks \"" + asked + "\"");
    Press(question, IDYES);
    WaitGone(question, "the confirmation");
    WaitForItem(main, IDC_STATUS, "Access method saved.");
    std::printf("HTTP Direct (no proxy): confirmed, access method saved\n");

    // The proxy override dialog.
    Press(main, IDC_PROXY_OVERRIDE);
    const HWND over = FindDialog("Proxy Override Settings");
    ExpectItem(over, IDC_PROXY_ENABLED, "Proxy Enabled");
    ExpectItem(over, IDC_USE_OVERRIDE, "Use Proxy Override");
    if (ItemText(over, IDC_OVERRIDE_HELP)
            .rfind("(  Enter as <ip:port> if only one proxy port or as\n"
                   "   http=<ip:port>;https=<ip:port> if two proxy ports",
                   0) != 0)
        Fail("the help text is \"" + ItemText(over, IDC_OVERRIDE_HELP) + "\"");
    const HWND field = ::GetDlgItem(over, IDC_PROXY_ADDRESS);
    if ((::GetWindowLongA(field, GWL_STYLE) & ES_AUTOHSCROLL) == 0)
        Fail("the address field does not scroll horizontally");
    const char* address = "http=10.1.1.1:8080;https=10.1.1.1:8443";
    DWORD_PTR ignored = 0;
    if (!::SendMessageTimeoutA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(address),
                               SMTO_ABORTIFHUNG, 5000, &ignored))
        Fail("could not type into the address field");
    if (!::PostMessageA(::GetDlgItem(over, IDC_USE_OVERRIDE), BM_CLICK, 0, 0))
        Fail("could not tick \"Use Proxy Override\"");
    if (!WaitFor([&] {
            DWORD_PTR state = 0;
            return ::SendMessageTimeoutA(::GetDlgItem(over, IDC_USE_OVERRIDE), BM_GETCHECK, 0, 0,
                                         SMTO_ABORTIFHUNG, 5000, &state) &&
                   state == BST_CHECKED;
        }))
        Fail("\"Use Proxy Override\" is not ticked");
    Press(over, IDOK);
    WaitGone(over, "the proxy override dialog");
    WaitForItem(main, IDC_STATUS, "Proxy override settings saved.");
    std::printf("Proxy Override Settings: %s, override ticked, saved\n", address);

    // Cancel closes the program.
    Press(main, IDCANCEL);
    if (::WaitForSingleObject(g_child.hProcess, 10000) != WAIT_OBJECT_0)
        Fail("zelconfig.exe did not end after Cancel");
    DWORD code = 1;
    (void)::GetExitCodeProcess(g_child.hProcess, &code);
    if (code != 0) Fail("zelconfig.exe exited " + std::to_string(code));
    std::printf("Cancel: zelconfig.exe exited 0\n");
    return 0;
}
