// The event log when memory has run out: it is then asked to report "Out of
// memory", so it must still form that record and must never throw.
//
// This file replaces the global operator new of the whole test program with
// one that passes through to malloc, or fails while g_refuse_new is set.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "log/event_log.h"
#include "tests/common/scratch.h"

namespace {
std::atomic<bool> g_refuse_new{false};
}  // namespace

// The replacements below pair malloc with free by construction; GCC cannot
// see that once they are inlined into each other and warns at -O2.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (g_refuse_new.load()) throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (g_refuse_new.load()) return nullptr;
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

class EventLogWithoutMemory : public zel::test::ScratchRoot {};

TEST_F(EventLogWithoutMemory, FormsTheRecordAndNeverThrows) {
    CEventLog log;
    ASSERT_TRUE(log.Open(CommPath("client.log").c_str(), false));
    log.SetDebugOutput(true);

    bool threw = false;
    bool written = false;
    ::testing::internal::CaptureStderr();
    g_refuse_new = true;
    try {
        written = ReportCode(&log, MakeResult(0x8020811E), "CopyString", 223);
    } catch (...) {
        threw = true;
    }
    g_refuse_new = false;
    const std::string debugger = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(threw);
    EXPECT_TRUE(written);
    EXPECT_NE(
        debugger.find("Message: System resource error~~Out of memory.\nContext: CopyString\n"),
        std::string::npos)
        << debugger;

    // Opening needs memory for the path: without it Open fails quietly.
    const std::string other = CommPath("other.log");
    bool opened = true;
    g_refuse_new = true;
    try {
        opened = log.Open(other.c_str(), false);
    } catch (...) {
        threw = true;
    }
    g_refuse_new = false;
    EXPECT_FALSE(threw);
    EXPECT_FALSE(opened);
}

}  // namespace
