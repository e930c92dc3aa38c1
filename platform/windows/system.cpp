// Small facts about the running process on Windows: see system.h.
#include "platform/system.h"

#include <windows.h>

#include "platform/system_internal.h"

namespace zel::sys {

namespace detail {

// No process stops itself for another to kill it here: it ends at once,
// as a killed one would.
void StopThisProcess() {
    (void)::TerminateProcess(::GetCurrentProcess(), 137);
}

}  // namespace detail

long ProcessId() {
    return static_cast<long>(::GetCurrentProcessId());
}

bool LocalTime(std::time_t seconds, std::tm* out) {
    return ::localtime_s(out, &seconds) == 0;
}

namespace {

HANDLE Handle(StandardStream stream) {
    switch (stream) {
        case StandardStream::kInput:
            return ::GetStdHandle(STD_INPUT_HANDLE);
        case StandardStream::kOutput:
            return ::GetStdHandle(STD_OUTPUT_HANDLE);
        case StandardStream::kError:
            break;
    }
    return ::GetStdHandle(STD_ERROR_HANDLE);
}

}  // namespace

// A console answers GetConsoleMode; a file, a pipe or NUL (a character
// device too, but no console) does not.
bool IsTerminal(StandardStream stream) {
    const HANDLE handle = Handle(stream);
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           ::GetConsoleMode(handle, &mode) != 0;
}

int TerminalColumns(StandardStream stream) {
    if (!IsTerminal(stream)) return 0;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(Handle(stream), &info) == 0) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace zel::sys
