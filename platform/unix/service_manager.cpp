// Status notifications through libsystemd's sd_notify and the system log
// through syslog (see service_manager.h).
#include "platform/service_manager.h"

#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

namespace zel::svc {
namespace {

constexpr const char* kNotifySocket = "NOTIFY_SOCKET";

}  // namespace

std::string TakeNotifySocket() {
    std::string socket;
    if (const char* value = std::getenv(kNotifySocket); value != nullptr) socket = value;
    ::unsetenv(kNotifySocket);
    return socket;
}

int NotifyServiceManager(const std::string& socket, const std::string& state) {
    if (socket.empty()) return EINVAL;
    std::optional<std::string> before;
    if (const char* value = std::getenv(kNotifySocket); value != nullptr) before = value;
    if (::setenv(kNotifySocket, socket.c_str(), 1) != 0) return errno;
    const int rc = ::sd_notify(0, state.c_str());
    if (before) {
        (void)::setenv(kNotifySocket, before->c_str(), 1);
    } else {
        ::unsetenv(kNotifySocket);
    }
    // Below 0 an error; 0 would mean no socket, which was just given.
    return rc < 0 ? -rc : 0;
}

SystemLog::SystemLog(const char* ident) {
    ::openlog(ident, LOG_PID, LOG_DAEMON);
}

SystemLog::~SystemLog() {
    ::closelog();
}

void SystemLog::Write(bool warning, const char* text) const {
    ::syslog(warning ? LOG_WARNING : LOG_INFO, "%s", text);
}

}  // namespace zel::svc
