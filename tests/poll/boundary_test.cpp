// The Poll object's method frame as a boundary: memory running out inside a
// method must come back as E_OUTOFMEMORY, never as an exception, and the
// calling thread's current log must be the caller's again afterwards.
//
// This file replaces the global operator new of its test program with one
// that passes through to malloc, or throws std::bad_alloc while the thread's
// current log is the one armed below: that is exactly while the object's
// frame runs the method's own code.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "log/event_log.h"
#include "platform/com/com.h"
#include "poll/poll.h"
#include "tests/common/scratch.h"

namespace {
std::atomic<const CEventLog*> g_refuse_while_current{nullptr};

bool Refused() {
    const CEventLog* armed = g_refuse_while_current.load();
    return armed != nullptr && GetCurrentLog() == armed;
}
}  // namespace

// The replacements below pair malloc with free by construction; GCC cannot
// see that once they are inlined into each other and warns at -O2.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (Refused()) throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (Refused()) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return ::operator new(size, tag);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

#pragma GCC diagnostic pop

namespace {

class PollBoundaryTest : public zel::test::ScratchRoot {};

TEST_F(PollBoundaryTest, OutOfMemoryInAMethodIsAStatusAndTheCallersLogReturns) {
    CEventLog caller;
    SetCurrentLog(&caller);
    CPoll poll;
    ASSERT_EQ(GetCurrentLog(), &caller);

    // GetFiles and PutFiles return their status; the working directory's
    // fallback is copied on the heap, so both meet the refusal.
    for (const char* method : {"GetFiles", "PutFiles"}) {
        SCOPED_TRACE(method);
        HRESULT status = S_OK;
        bool threw = false;
        g_refuse_while_current = &poll.Log();
        try {
            status = std::string(method) == "GetFiles" ? poll.GetFiles(nullptr, nullptr)
                                                       : poll.PutFiles(nullptr, nullptr, nullptr);
        } catch (...) {
            threw = true;
        }
        g_refuse_while_current = nullptr;
        EXPECT_FALSE(threw);
        EXPECT_EQ(status, E_OUTOFMEMORY);
        EXPECT_EQ(GetCurrentLog(), &caller);
    }

    // The frame left nothing behind: the object answers normally again.
    EXPECT_EQ(poll.EnableLogging(1), S_OK);
    EXPECT_EQ(GetCurrentLog(), &caller);
    SetCurrentLog(nullptr);
}

}  // namespace
