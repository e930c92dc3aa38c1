// The removals of an upload's files that are done with (an original once its
// ".dtz" is durable, a file once the central side accepted it), made by a
// thread of their own while the next files are sent.  Freeing a file's
// blocks is the slow part of removing it (a disk that discards freed blocks
// at once takes far longer than for the request of a small file); names are
// never left behind for it: a sent file first leaves its name at once
// (SetAside), and what is queued here is only the removal of its data.
//
// Removals are done in the order queued; each may give back a lock after it
// and pass a stop point of the fault campaign.  Wait(ticket) returns once
// that removal and every earlier one are done, Finish (and the destructor)
// once all are.  Where no thread can be had (or no memory to queue),
// a removal is done at once, in the caller's thread.  Owns its thread and
// queue; one object serves one upload call, from one calling thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace zel::poll {

class DeferredRemoval {
  public:
    using Ticket = std::size_t;  // 0: nothing to wait for

    DeferredRemoval() = default;
    ~DeferredRemoval() { Finish(); }
    DeferredRemoval(const DeferredRemoval&) = delete;
    DeferredRemoval& operator=(const DeferredRemoval&) = delete;

    // Queues the removal of path (its read-only mark cleared first), then
    // the giving back of unlock_path's lock (none when empty), then the stop
    // point stop_point (none when null; a string that lives for ever).
    // Returns the removal's ticket.
    Ticket Remove(std::string path, std::string unlock_path = {},
                  const char* stop_point = nullptr) noexcept;

    // Gives the sent file path a name of its own making beside it (no
    // selection ever lists it, and a later run clears it once this process
    // has ended) and queues the removal of that.  Where the name cannot be
    // changed the file is removed at once.
    void SetAside(const std::string& path) noexcept;

    // Returns once the removal of ticket and every one queued before it is
    // done.
    void Wait(Ticket ticket) noexcept;

    // Returns once every queued removal is done; the thread ends.
    void Finish() noexcept;

  private:
    struct Item {
        std::string path;
        std::string unlock_path;
        const char* stop_point = nullptr;
    };
    static void Carry(const Item& item) noexcept;
    void Run() noexcept;

    std::mutex mutex_;
    std::condition_variable work_;  // the thread: something queued, or stop
    std::condition_variable done_;  // waiters: a removal done
    std::deque<Item> queue_;
    Ticket queued_ = 0;  // tickets given out
    Ticket done_count_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace zel::poll
