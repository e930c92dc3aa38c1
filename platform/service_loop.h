// The schedule service's one-thread loop: the controls that reach it as
// signals and its tick timer, both waited on together.
//
// No work happens in a signal handler: the control signals are blocked and
// read one by one from a descriptor, so a control is handled between ticks,
// never in the middle of one.  The loop owns both descriptors and closes
// them when it goes; it belongs to the thread that opened it.
#pragma once

#include "platform/fs.h"

namespace zel::svc {

// What a control signal asks of the service.
enum class Control {
    kStop,        // SIGTERM, SIGINT
    kPause,       // SIGUSR1
    kContinue,    // SIGUSR2
    kShutdown,    // SIGPWR: the machine is going down
    kChildEnded,  // SIGCHLD: a started program has ended
    kOther,       // SIGHUP: no control the service knows
};

class ServiceLoop {
  public:
    ServiceLoop() = default;
    ServiceLoop(const ServiceLoop&) = delete;
    ServiceLoop& operator=(const ServiceLoop&) = delete;

    // Blocks the control signals for the calling thread (programs started
    // later get them unblocked, see proc::Start) and opens the descriptor
    // they are read from.  Returns 0 or errno.
    [[nodiscard]] int OpenControls();
    // Makes the tick timer (monotonic clock), not yet running.  Returns 0 or
    // errno.
    [[nodiscard]] int OpenTimer();

    // Sets the timer to fire once, milliseconds from now, in place of any
    // earlier setting.  False when it could not be set (or is not open).
    [[nodiscard]] bool StartTimer(int milliseconds);
    // Stops the timer; a tick that was already due may still be read.
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
    fs::UniqueFd controls_;
    fs::UniqueFd timer_;
};

}  // namespace zel::svc
