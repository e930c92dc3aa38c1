// Talking to the service manager (systemd): status notifications and the
// system log, which the journal keeps under the service's name.
//
// Nothing here throws; a manager that cannot be reached is reported through
// the result and never stops the service.
#pragma once

#include <string>

namespace zel::svc {

// The notification socket systemd handed this process ($NOTIFY_SOCKET),
// removed from the environment so that programs started later do not talk
// to the manager in the service's name.  Empty when there is none.
std::string TakeNotifySocket();

// Sends one status notification (e.g. "READY=1", "STATUS=Running",
// several separated by line feeds) to socket: an absolute path, or "@name"
// for an abstract socket.  The socket is handed to libsystemd through
// $NOTIFY_SOCKET for the length of the call, and the variable is then left
// as it was: call it from one thread while no other reads the environment.
// Returns 0 or errno (EINVAL for an unusable name).
[[nodiscard]] int NotifyServiceManager(const std::string& socket, const std::string& state);

// The system log under one name for as long as the object lives.  ident
// must stay valid that long (a string literal).  Not copyable.
class SystemLog {
  public:
    explicit SystemLog(const char* ident);
    ~SystemLog();
    SystemLog(const SystemLog&) = delete;
    SystemLog& operator=(const SystemLog&) = delete;

    // One entry: a warning or a note.
    void Write(bool warning, const char* text) const;
};

}  // namespace zel::svc
