// The Windows front end of zelconfig (front_end.h): the dialogs of the
// resource script zelconfig.rc shown modally, real message boxes for the
// dialog logic's messages and questions, and the about box behind the
// system menu's "About zelconfig..." item.  Only windows and keys live
// here; every decision is the dialog logic's (utility.h).
//
// A test is started from the dialog's own thread, as it always was: while
// it runs the buttons are disabled, the status line counts the seconds, and
// the messages that arrive are handled whenever the fetch asks whether to
// go on (KeepTesting, five times a second), so the window still paints and
// moves, and Esc, Cancel or the close box stop the test instead of closing
// the program.
//
// Texts are those of the ANSI code page, as everywhere in this system on
// Windows (the "A" functions).  Owns nothing beyond the dialogs it shows.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "connection_tool/main/front_end.h"
#include "connection_tool/main/resource.h"

namespace zel::conn {
namespace {

// The eight test buttons.
struct TestButton {
    int id;
    Group group;
    Method method;
};
constexpr TestButton kTestButtons[] = {
    {IDC_HTTP_DIRECT, Group::Http, Method::Direct},
    {IDC_HTTP_PRECONFIG, Group::Http, Method::Preconfig},
    {IDC_HTTP_PRECONFIG_NO_AUTO, Group::Http, Method::PreconfigNoAutoProxy},
    {IDC_HTTP_PROXY, Group::Http, Method::Proxy},
    {IDC_HTTPS_DIRECT, Group::Https, Method::Direct},
    {IDC_HTTPS_PRECONFIG, Group::Https, Method::Preconfig},
    {IDC_HTTPS_PRECONFIG_NO_AUTO, Group::Https, Method::PreconfigNoAutoProxy},
    {IDC_HTTPS_PROXY, Group::Https, Method::Proxy},
};
// What a running test leaves enabled: Cancel alone, which stops it.
constexpr int kDisabledWhileTesting[] = {IDC_PROXY_OVERRIDE, IDOK};

HINSTANCE Instance() {
    return ::GetModuleHandleA(nullptr);
}

std::string ItemText(HWND dialog, int id) {
    const HWND item = ::GetDlgItem(dialog, id);
    const int length = ::GetWindowTextLengthA(item);
    std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
    const int got = ::GetWindowTextA(item, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

// The icon of a message box, after its caption.
UINT IconFor(const std::string& caption) {
    if (caption == "Error" || caption == "Internet Error") return MB_ICONERROR;
    if (caption == "HTTP Status Code") return MB_ICONWARNING;
    return MB_ICONINFORMATION;
}

// The object behind a dialog, stored with it at WM_INITDIALOG.
template <typename T>
T* Owner(HWND dialog, UINT message, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrA(dialog, DWLP_USER, lparam);
        return reinterpret_cast<T*>(lparam);
    }
    return reinterpret_cast<T*>(::GetWindowLongPtrA(dialog, DWLP_USER));
}

class WindowsDialogs final : public UserInterface {
  public:
    void ShowMessage(const std::string& text, const std::string& caption) override {
        (void)::MessageBoxA(owner_, text.c_str(), caption.c_str(), MB_OK | IconFor(caption));
    }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        return ::MessageBoxA(owner_, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONQUESTION) ==
               IDYES;
    }
    void ShowNote(const std::string& text) override {
        if (main_ != nullptr) (void)::SetDlgItemTextA(main_, IDC_NOTE, text.c_str());
    }
    bool KeepTesting(double elapsed_seconds) override;

    // Shows the main dialog until it closes; false when it could not be
    // shown.
    bool RunMain(ConnectionUtility* utility);

  private:
    static INT_PTR CALLBACK MainProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
    static INT_PTR CALLBACK OverrideProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
    static INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

    void InitMain(HWND dialog);
    void RunTest(const TestButton& button);
    void RunOverride();
    void ShowAbout();
    // Moves the focus as the dialog manager does, the default button with it.
    void FocusItem(int id) {
        (void)::SendMessageA(main_, WM_NEXTDLGCTL,
                             reinterpret_cast<WPARAM>(::GetDlgItem(main_, id)), TRUE);
    }
    void SetStatus(const std::string& text) {
        (void)::SetDlgItemTextA(main_, IDC_STATUS, text.c_str());
    }

    ConnectionUtility* utility_ = nullptr;
    HWND main_ = nullptr;
    HWND owner_ = nullptr;  // the dialog a message box belongs to
    bool testing_ = false;
    bool stop_requested_ = false;
    std::string testing_text_;
    long shown_seconds_ = -1;
};

// The proxy override dialog's window and its logic.
struct OverrideWindow {
    WindowsDialogs* ui;
    ProxyOverrideDialog* dialog;
    bool filling = false;  // the address field is being set by us
};

bool WindowsDialogs::RunMain(ConnectionUtility* utility) {
    utility_ = utility;
    const INT_PTR rc = ::DialogBoxParamA(Instance(), MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainProc,
                                         reinterpret_cast<LPARAM>(this));
    main_ = nullptr;
    owner_ = nullptr;
    return rc > 0;
}

void WindowsDialogs::InitMain(HWND dialog) {
    main_ = dialog;
    owner_ = dialog;
    // The system menu's about box, below a separator.
    if (HMENU menu = ::GetSystemMenu(dialog, FALSE); menu != nullptr) {
        (void)::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        (void)::AppendMenuA(menu, MF_STRING, IDM_ABOUT, "&About zelconfig...");
    }
    (void)::SetDlgItemTextA(dialog, IDC_HTTP_SERVER,
                            ("HTTP server:  " + utility_->TargetText(Group::Http)).c_str());
    (void)::SetDlgItemTextA(dialog, IDC_HTTPS_SERVER,
                            ("HTTPS server: " + utility_->TargetText(Group::Https)).c_str());
    SetStatus("Choose a test; the system menu holds \"About zelconfig...\".");
}

INT_PTR CALLBACK WindowsDialogs::MainProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    WindowsDialogs* self = Owner<WindowsDialogs>(dialog, message, lparam);
    if (self == nullptr) return FALSE;
    switch (message) {
        case WM_INITDIALOG:
            self->InitMain(dialog);
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wparam & 0xFFF0) == IDM_ABOUT) {
                if (!self->testing_) self->ShowAbout();
                return TRUE;
            }
            return FALSE;
        case WM_COMMAND: {
            const int id = LOWORD(wparam);
            if (id == IDOK || id == IDCANCEL) {
                // While a test runs they stop it; otherwise both close the
                // program.
                if (self->testing_)
                    self->stop_requested_ = true;
                else
                    (void)::EndDialog(dialog, id);
                return TRUE;
            }
            if (HIWORD(wparam) != BN_CLICKED || self->testing_) return FALSE;
            if (id == IDC_PROXY_OVERRIDE) {
                self->RunOverride();
                return TRUE;
            }
            for (const TestButton& button : kTestButtons) {
                if (button.id == id) {
                    self->RunTest(button);
                    return TRUE;
                }
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}

void WindowsDialogs::RunTest(const TestButton& button) {
    testing_ = true;
    stop_requested_ = false;
    // The focus moves to Cancel before the button that has it is disabled.
    FocusItem(IDCANCEL);
    for (const TestButton& b : kTestButtons) (void)::EnableWindow(::GetDlgItem(main_, b.id), FALSE);
    for (int id : kDisabledWhileTesting) (void)::EnableWindow(::GetDlgItem(main_, id), FALSE);
    testing_text_ = std::string("Testing ") + (button.group == Group::Http ? "HTTP" : "HTTPS") +
                    " " + MethodLabel(button.method) + "...";
    shown_seconds_ = -1;
    ShowNote("");
    (void)KeepTesting(0);

    const TestOutcome outcome = utility_->RunTest(button.group, button.method);

    for (const TestButton& b : kTestButtons) (void)::EnableWindow(::GetDlgItem(main_, b.id), TRUE);
    for (int id : kDisabledWhileTesting) (void)::EnableWindow(::GetDlgItem(main_, id), TRUE);
    testing_ = false;
    SetStatus(OutcomeText(outcome));
    FocusItem(button.id);
}

bool WindowsDialogs::KeepTesting(double elapsed_seconds) {
    if (!testing_ || main_ == nullptr) return true;
    const long seconds = static_cast<long>(elapsed_seconds);
    if (seconds != shown_seconds_) {
        shown_seconds_ = seconds;
        SetStatus(testing_text_ + " " + std::to_string(seconds) + " s (Esc cancels)");
    }
    // The messages that came meanwhile: painting, moving, and Esc, Cancel or
    // the close box, which ask the test to stop.
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Handed on to the loop that waits for it.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            stop_requested_ = true;
            break;
        }
        if (::IsDialogMessageA(main_, &msg)) continue;
        (void)::TranslateMessage(&msg);
        (void)::DispatchMessageA(&msg);
    }
    return !stop_requested_;
}

void WindowsDialogs::RunOverride() {
    ProxyOverrideDialog dialog(this);
    OverrideWindow window{this, &dialog};
    const INT_PTR rc = ::DialogBoxParamA(Instance(), MAKEINTRESOURCEA(IDD_OVERRIDE), main_,
                                         OverrideProc, reinterpret_cast<LPARAM>(&window));
    owner_ = main_;
    if (rc == IDOK) SetStatus("Proxy override settings saved.");
}

INT_PTR CALLBACK WindowsDialogs::OverrideProc(HWND dialog, UINT message, WPARAM wparam,
                                              LPARAM lparam) {
    OverrideWindow* w = Owner<OverrideWindow>(dialog, message, lparam);
    if (w == nullptr) return FALSE;
    auto show_checks = [&] {
        const OverrideSettings& s = w->dialog->Settings();
        (void)::CheckDlgButton(dialog, IDC_PROXY_ENABLED, s.proxy_enabled ? BST_CHECKED : 0);
        (void)::CheckDlgButton(dialog, IDC_USE_OVERRIDE, s.use_override ? BST_CHECKED : 0);
    };
    auto show_address = [&] {
        w->filling = true;
        const HWND field = ::GetDlgItem(dialog, IDC_PROXY_ADDRESS);
        (void)::SetWindowTextA(field, w->dialog->Settings().address.c_str());
        const auto end = static_cast<LPARAM>(w->dialog->Settings().address.size());
        (void)::SendMessageA(field, EM_SETSEL, static_cast<WPARAM>(end), end);
        w->filling = false;
    };
    switch (message) {
        case WM_INITDIALOG: {
            w->ui->owner_ = dialog;
            show_checks();
            // Typing stops at what the field holds; a longer stored address
            // is shown whole, and may only be shortened.
            const std::size_t limit =
                std::max(kMaxOverrideAddress, w->dialog->Settings().address.size());
            (void)::SendDlgItemMessageA(dialog, IDC_PROXY_ADDRESS, EM_SETLIMITTEXT,
                                        static_cast<WPARAM>(limit), 0);
            show_address();
            (void)::SetDlgItemTextA(dialog, IDC_OVERRIDE_HELP, kOverrideHelp);
            return TRUE;
        }
        case WM_COMMAND: {
            const int id = LOWORD(wparam);
            const int code = HIWORD(wparam);
            if (id == IDC_PROXY_ENABLED && code == BN_CLICKED) {
                w->dialog->ToggleProxyEnabled();
                show_checks();
            } else if (id == IDC_USE_OVERRIDE && code == BN_CLICKED) {
                w->dialog->ToggleUseOverride();
                show_checks();
            } else if (id == IDC_PROXY_ADDRESS && code == EN_CHANGE) {
                // The address follows every edit; one the dialog refuses
                // (longer than it holds) is taken back.
                if (!w->filling && !w->dialog->SetAddress(ItemText(dialog, IDC_PROXY_ADDRESS))) {
                    (void)::MessageBeep(MB_OK);
                    show_address();
                }
            } else if (id == IDOK) {
                if (w->dialog->Ok()) (void)::EndDialog(dialog, IDOK);
            } else if (id == IDCANCEL) {
                w->dialog->Cancel();
                (void)::EndDialog(dialog, IDCANCEL);
            } else {
                return FALSE;
            }
            return TRUE;
        }
        default:
            return FALSE;
    }
}

void WindowsDialogs::ShowAbout() {
    std::string text = utility_->AboutText();
    (void)::DialogBoxParamA(Instance(), MAKEINTRESOURCEA(IDD_ABOUT), main_, AboutProc,
                            reinterpret_cast<LPARAM>(&text));
}

INT_PTR CALLBACK WindowsDialogs::AboutProc(HWND dialog, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
    const std::string* text = Owner<const std::string>(dialog, message, lparam);
    if (text == nullptr) return FALSE;
    switch (message) {
        case WM_INITDIALOG:
            (void)::SetDlgItemTextA(dialog, IDC_ABOUT_TEXT, text->c_str());
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                (void)::EndDialog(dialog, LOWORD(wparam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

const char* const kDialogHelp =
    "Without --test it shows the dialog \"ZEL Connection Utility\"; its system\n"
    "menu holds \"About zelconfig...\".";

int RunDialogs(const std::function<void(ConnectionUtility*)>& configure) {
    WindowsDialogs dialogs;
    ConnectionUtility utility(&dialogs);
    configure(&utility);
    if (!dialogs.RunMain(&utility)) {
        std::fprintf(stderr, "zelconfig: the dialog could not be shown (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    return 0;
}

void PrepareOutput() {
    // Output that goes to a file or a pipe already reaches the caller.
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE && ::GetFileType(out) != FILE_TYPE_UNKNOWN)
        return;
    if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
    (void)std::freopen("CONOUT$", "w", stdout);
    (void)std::freopen("CONOUT$", "w", stderr);
}

void ShowStartupFailure(const std::string& text) {
    (void)::MessageBoxA(nullptr, text.c_str(), "Error", MB_OK | MB_ICONERROR);
}

}  // namespace zel::conn
