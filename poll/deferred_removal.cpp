// The upload's removals by a thread of their own: see deferred_removal.h.
#include "poll/deferred_removal.h"

#include <new>
#include <system_error>
#include <utility>

#include "platform/fs.h"
#include "platform/system.h"
#include "poll/temp_names.h"
#include "support/lock.h"

namespace zel::poll {

void DeferredRemoval::Carry(const Item& item) noexcept {
    (void)zel::fs::ClearReadOnlyNoLink(item.path.c_str());
    (void)zel::fs::RemoveFile(item.path);
    if (item.stop_point != nullptr) zel::sys::StopPoint(item.stop_point);
    if (!item.unlock_path.empty()) Unlock(item.unlock_path.c_str());
}

void DeferredRemoval::Run() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and nothing is left
        const Item item = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        Carry(item);
        lock.lock();
        ++done_count_;
        done_.notify_all();
    }
}

DeferredRemoval::Ticket DeferredRemoval::Remove(std::string path, std::string unlock_path,
                                                const char* stop_point) noexcept {
    Item item{std::move(path), std::move(unlock_path), stop_point};
    try {
        Ticket ticket = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
            queue_.push_back(std::move(item));
            ticket = ++queued_;
        }
        work_.notify_one();
        return ticket;
    } catch (const std::system_error&) {
        // no thread to be had: done here
    } catch (const std::bad_alloc&) {
        // no room in the queue: done here
    }
    // In order all the same: what was queued before goes first.
    Wait(queued_);
    Carry(item);
    return 0;
}

void DeferredRemoval::SetAside(const std::string& path) noexcept {
    try {
        // Read-only or not, a file may be renamed; the mark is cleared on
        // removal.
        std::string aside = SetAsideName(path);
        if (zel::fs::RenameNoReplace(path, aside) == 0) {
            (void)Remove(std::move(aside));
            return;
        }
    } catch (const std::bad_alloc&) {
        // no name could be made: removed here
    }
    (void)zel::fs::ClearReadOnlyNoLink(path.c_str());
    (void)zel::fs::RemoveFile(path);
}

void DeferredRemoval::Wait(Ticket ticket) noexcept {
    if (ticket == 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this, ticket] { return done_count_ >= ticket; });
}

void DeferredRemoval::Finish() noexcept {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
    }
    work_.notify_all();
    try {
        thread_.join();
    } catch (const std::system_error&) {
        // cannot happen for a joinable thread of ours; it is detached then
        thread_.detach();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
}

}  // namespace zel::poll
