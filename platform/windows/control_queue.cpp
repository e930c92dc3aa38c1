// The process's queue of service controls (see control_queue.h).  Owns the
// queue and its event for the life of the process.
#include "platform/windows/control_queue.h"

#include <deque>
#include <mutex>

namespace zel::svc::detail {
namespace {

struct Queue {
    std::mutex mutex;
    std::deque<Control> controls;
    // Manual reset: set while the queue holds a control, so that a wait
    // that starts after the post still sees it.
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

Queue& TheQueue() {
    // Never destroyed: a handler thread may still post while the process
    // ends.
    static Queue* queue = new Queue;
    return *queue;
}

}  // namespace

void PostControl(Control control) {
    Queue& q = TheQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.controls.push_back(control);
    if (q.event != nullptr) (void)::SetEvent(q.event);
}

bool TakeControl(Control* control) {
    Queue& q = TheQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.controls.empty()) return false;
    *control = q.controls.front();
    q.controls.pop_front();
    if (q.controls.empty() && q.event != nullptr) (void)::ResetEvent(q.event);
    return true;
}

bool ControlQueued() {
    Queue& q = TheQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    return !q.controls.empty();
}

HANDLE ControlEvent() {
    return TheQueue().event;
}

}  // namespace zel::svc::detail
