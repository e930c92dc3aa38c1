// The schedule service's one-thread loop: the controls that reach it and its
// tick timer, both waited on together.
//
// Linux: the controls arrive as signals.  No work happens in a signal
// handler: the control signals are blocked and read one by one from a
// signalfd; the timer is a timerfd; one poll waits on both.
// Windows: the controls arrive from the service control manager's handler
// (service_manager.h) or, for an ordinary program, from the console's
// Ctrl+C handler; either only queues them for the loop.  The timer is a
// thread timer (SetTimer) whose WM_TIMER the loop takes from the thread's
// message queue; the loop waits for messages, queued controls and the end of
// any started program at once (MsgWaitForMultipleObjects).
//
// Either way a control is handled between ticks, never in the middle of one.
// The loop belongs to the thread that opened it, and closes what it opened
// when it goes.
#pragma once

#include <memory>

namespace zel::svc {

// What a control asks of the service.
enum class Control {
    kStop,        // SIGTERM, SIGINT; the manager's stop, Ctrl+C, Ctrl+Break
    kPause,       // SIGUSR1; the manager's pause
    kContinue,    // SIGUSR2; the manager's continue
    kShutdown,    // SIGPWR; the manager's shutdown: the machine is going down
    kChildEnded,  // SIGCHLD; a started program has ended (Windows: until it
                  // is collected with proc::ReapFinished)
    kOther,       // SIGHUP; any other control code: none the service knows
};

class ServiceLoop {
  public:
    ServiceLoop();
    ~ServiceLoop();
    ServiceLoop(const ServiceLoop&) = delete;
    ServiceLoop& operator=(const ServiceLoop&) = delete;

    // Starts taking controls on the calling thread.  Linux: blocks the
    // control signals for the thread (programs started later get them
    // unblocked, see proc::Start) and opens the descriptor they are read
    // from.  Windows: makes the thread's message queue and installs the
    // console handler.  Returns 0 or errno.
    [[nodiscard]] int OpenControls();
    // Makes the tick timer (monotonic clock), not yet running.  Returns 0 or
    // errno.
    [[nodiscard]] int OpenTimer();

    // Sets the timer to fire once, milliseconds from now, in place of any
    // earlier setting.  False when it could not be set (or is not open).
    [[nodiscard]] bool StartTimer(int milliseconds);
    // Stops the timer; a tick that had fired and was not yet taken is gone.
    void StopTimer();

    // Waits without limit until a control has arrived or the timer has
    // fired, and says which (both may be true).  Interruptions are retried.
    // Returns 0 or errno (nothing sensible is left to wait on then).
    [[nodiscard]] int Wait(bool* control_ready, bool* timer_ready);
    // Takes the next control that has arrived; false when none is waiting.
    [[nodiscard]] bool NextControl(Control* control);
    // Takes the timer's firing; false when there is none to take (the timer
    // was stopped after it had fired).
    [[nodiscard]] bool TakeTick();

  private:
    struct State;  // each system's handles (unix/ and windows/service_loop.cpp)
    std::unique_ptr<State> state_;
};

}  // namespace zel::svc
