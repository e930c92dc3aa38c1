// The service loop on Windows (see service_loop.h): a thread timer in the
// loop thread's message queue, the process's control queue, and the ends of
// started programs, waited on together with MsgWaitForMultipleObjects.
#include "platform/service_loop.h"

#include <windows.h>

#include <cerrno>
#include <new>
#include <vector>

#include "platform/windows/children.h"
#include "platform/windows/control_queue.h"

namespace zel::svc {
namespace {

// Ctrl+C, Ctrl+Break and closing the console stop an ordinary program the
// way the service manager's stop control stops the service.  The handler
// runs on a thread of its own: it only queues the control.
BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            detail::PostControl(Control::kStop);
            return TRUE;
        default:
            // Log-off and shutdown never come to a program that uses
            // user32 (the timer does); the service hears of a shutdown from
            // its manager.
            return FALSE;
    }
}

// Closes the duplicated child handles of one wait.
class HandleList {
  public:
    HandleList() = default;
    ~HandleList() {
        for (HANDLE h : handles) ::CloseHandle(h);
    }
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;

    std::vector<HANDLE> handles;
};

}  // namespace

struct ServiceLoop::State {
    bool controls_open = false;
    bool console_handler = false;
    bool timer_open = false;
    UINT_PTR timer = 0;         // the running thread timer, 0 when none
    bool tick_pending = false;  // its WM_TIMER arrived and was not yet taken
    bool child_ended = false;   // a started program ended; not yet taken
};

ServiceLoop::ServiceLoop() : state_(new (std::nothrow) State) {}

ServiceLoop::~ServiceLoop() {
    if (!state_) return;
    StopTimer();
    if (state_->console_handler) (void)::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

int ServiceLoop::OpenControls() {
    if (!state_) return ENOMEM;
    if (detail::ControlEvent() == nullptr) return ENOMEM;
    // The thread's message queue exists from its first look at it: the
    // timer's messages and a quit message can be posted from now on.
    MSG msg;
    (void)::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    // A service has no console to hear from; the handler then never runs.
    if (!state_->console_handler)
        state_->console_handler = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
    state_->controls_open = true;
    return 0;
}

int ServiceLoop::OpenTimer() {
    if (!state_) return ENOMEM;
    state_->timer_open = true;
    return 0;
}

bool ServiceLoop::StartTimer(int milliseconds) {
    if (!state_ || !state_->timer_open || milliseconds < 0) return false;
    StopTimer();
    // A thread timer: its WM_TIMER comes to this thread's queue.  It would
    // fire again and again; the loop's user restarts it at each tick.
    state_->timer = ::SetTimer(nullptr, 0, static_cast<UINT>(milliseconds), nullptr);
    return state_->timer != 0;
}

void ServiceLoop::StopTimer() {
    if (!state_) return;
    // Killing the timer also takes its WM_TIMER out of the queue.
    if (state_->timer != 0) (void)::KillTimer(nullptr, state_->timer);
    state_->timer = 0;
    state_->tick_pending = false;
}

int ServiceLoop::Wait(bool* control_ready, bool* timer_ready) {
    *control_ready = *timer_ready = false;
    if (!state_ || !state_->controls_open) return EINVAL;
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == nullptr && msg.message == WM_TIMER) {
                if (state_->timer != 0 && msg.wParam == state_->timer) state_->tick_pending = true;
            } else if (msg.message == WM_QUIT) {
                // The quit message ends the loop as a stop control does.
                detail::PostControl(Control::kStop);
            } else {
                (void)::TranslateMessage(&msg);
                (void)::DispatchMessageA(&msg);
            }
        }
        *control_ready = state_->child_ended || detail::ControlQueued();
        *timer_ready = state_->tick_pending;
        if (*control_ready || *timer_ready) return 0;

        // The control event first, then the children still running.
        HandleList wait;
        wait.handles = proc::detail::ChildHandles(MAXIMUM_WAIT_OBJECTS - 2);
        std::vector<HANDLE> handles;
        handles.push_back(detail::ControlEvent());
        handles.insert(handles.end(), wait.handles.begin(), wait.handles.end());
        const DWORD n = static_cast<DWORD>(handles.size());
        const DWORD r = ::MsgWaitForMultipleObjectsEx(n, handles.data(), INFINITE, QS_ALLINPUT,
                                                      MWMO_INPUTAVAILABLE);
        if (r == WAIT_FAILED) return EIO;
        if (r > WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + n) state_->child_ended = true;
        // Anything else: a control or a message, looked at above.
    }
}

bool ServiceLoop::NextControl(Control* control) {
    if (!state_) return false;
    if (detail::TakeControl(control)) return true;
    if (!state_->child_ended) return false;
    // Reported once per wake; a program that ended and is not collected is
    // seen again by the next wait.
    state_->child_ended = false;
    *control = Control::kChildEnded;
    return true;
}

bool ServiceLoop::TakeTick() {
    if (!state_ || !state_->tick_pending) return false;
    state_->tick_pending = false;
    return true;
}

}  // namespace zel::svc
