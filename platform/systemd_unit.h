// The systemd side of the service manager (Linux only): the unit file that
// installing a service writes, where it goes, and the notification protocol
// of a running service.  Windows keeps its service records in the service
// control manager itself; nothing there uses this header.
//
// Settings (environment):
//   ZEL_UNIT_DIR   directory the unit "<name>.service" is written to
//                  (default /etc/systemd/system)
//   ZEL_VENDOR_UNIT_DIR  where an installed package keeps its unit (default:
//                  /usr/lib/systemd/system, then /lib/systemd/system)
//   ZEL_SYSTEMCTL  the systemctl program to run (default "systemctl"); set
//                  it empty to never run one.  systemctl runs only where
//                  systemd is the running init (/run/systemd/system exists).
#pragma once

#include <string>

#include "platform/service_manager.h"

namespace zel::svc {

// "<name>.service".
std::string UnitFileName(const std::string& name);

// $ZEL_UNIT_DIR, else /etc/systemd/system.
std::string UnitDir();

// The unit text for the service: Type=notify, ExecStart= the program,
// Restart=on-failure, KillMode=process, after network-online.target, and
// one Environment= line per assignment.  Values are quoted and escaped for
// the unit-file syntax so that systemd reads back exactly these bytes.  A
// program path that systemd refuses in ExecStart= (one holding quotes,
// backslashes or control characters) is started through /bin/sh, which
// replaces itself with the program.
std::string UnitFileText(const ServiceDefinition& service);

// The unit an installed package brings ("<name>.service" in
// $ZEL_VENDOR_UNIT_DIR, else in /usr/lib/systemd/system or
// /lib/systemd/system), or empty when there is none.
std::string PackagedUnitPath(const std::string& name);

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

}  // namespace zel::svc
