// The schedule service part of zelstatus: whether qvzel_cron runs on this
// system root (a process holds the flock of its single-instance pid file)
// and whether it runs under systemd, what it loaded (from the state file it
// writes at every load), and the Olmar directory it starts the batch files
// in (read from the store, read-only).  The pid file is never
// locked here:
// the kernel's table of held locks (/proc/locks) names the holder of a lock
// on that file, so looking takes no lock and cannot disturb a start.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "platform/fs.h"
#include "platform/olmar_directory.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "platform/systemd_unit.h"
#include "scheduler/scheduler.h"
#include "scheduler/service_host.h"
#include "scheduler/service_setup.h"
#include "tools/zelstatus/status.h"

namespace zel::status {
namespace {

// The pid of the process holding an flock on the file (device, inode), from
// /proc/locks lines such as "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF".
// Waiters ("1: -> FLOCK ...") hold nothing.  0 when none holds one.
long FlockHolder(unsigned long long dev, unsigned long long ino) {
    std::string table;
    if (fs::ReadWholeFile("/proc/locks", &table) != 0) return -1;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string number, type, mode, access, id;
        long pid = 0;
        fields >> number >> type;
        if (type != "FLOCK") continue;
        if (!(fields >> mode >> access >> pid >> id)) continue;
        unsigned major_no = 0, minor_no = 0;
        unsigned long long inode = 0;
        if (std::sscanf(id.c_str(), "%x:%x:%llu", &major_no, &minor_no, &inode) != 3) continue;
        if (major_no == fs::DeviceMajor(dev) && minor_no == fs::DeviceMinor(dev) && inode == ino)
            return pid;
    }
    return 0;
}

// The Olmar directory as the service's tick finds it: a missing key is made
// with the CMN directory at the first start (which that start does not
// survive), a key without the value starts nothing at all.
void GatherOlmar(ServiceStatus* out) {
    reg::Key key;
    const reg::Status st = reg::OpenKey(reg::Hive::LocalMachine, keys::kOlmarKey, &key);
    out->olmar_key_present = st == reg::kSuccess;
    std::string value;
    if (out->olmar_key_present) {
        out->olmar_set =
            reg::QueryString(key, paths::kOlmarDirectoryValue, &value) == reg::kSuccess &&
            !value.empty();
    } else if (st == reg::kNotFound) {
        value = paths::CmnDir();
    }
    out->olmar_dir = value;
    out->olmar_dir_exists = !value.empty() && fs::IsDirectory(value);
}

long PidInFile(const std::string& path) {
    std::string text;
    if (fs::ReadWholeFile(path, &text) != 0) return 0;
    return std::strtol(text.c_str(), nullptr, 10);
}

}  // namespace

ServiceStatus GatherService() {
    ServiceStatus out;
    out.pid_file = paths::UnderRoot(cron::kInstanceLockFile);
    out.unit_file = paths::Join(svc::UnitDir(), svc::UnitFileName(cron::kServiceName));
    out.unit_installed = fs::Exists(out.unit_file);
    // A package's unit serves when the administrator wrote none of his own.
    if (!out.unit_installed) {
        if (std::string packaged = svc::PackagedUnitPath(cron::kServiceName); !packaged.empty()) {
            out.unit_file = packaged;
            out.unit_installed = true;
        }
    }
    out.systemd_booted = fs::Exists("/run/systemd/system");
    GatherOlmar(&out);

    fs::FileStatus st;
    if (fs::StatusOf(out.pid_file, &st) == 0) {
        long holder = FlockHolder(st.device, st.inode);
        if (holder < 0) {
            // No lock table to look at: trust a named process that still
            // runs under the service's name.
            const long pid = PidInFile(out.pid_file);
            std::string comm;
            if (pid > 0 &&
                fs::ReadWholeFile("/proc/" + std::to_string(pid) + "/comm", &comm) == 0 &&
                comm.rfind(cron::kServiceName, 0) == 0) {
                holder = pid;
            } else {
                holder = 0;
            }
        }
        if (holder > 0) {
            out.running = true;
            // The lock table names the process that took the lock; the file
            // names the same one once it has written itself in.
            out.pid = holder;
            std::string state;
            cron::LoadedState loaded;
            if (fs::ReadWholeFile(paths::UnderRoot(cron::kLoadedStateFileName), &state) == 0 &&
                cron::ParseLoadedState(state, &loaded) && loaded.pid == holder) {
                out.loaded_known = true;
                out.loaded_at = loaded.when;
                out.loaded_source = loaded.source;
                out.loaded_text = std::move(loaded.text);
            }
            std::string cgroup;
            if (fs::ReadWholeFile("/proc/" + std::to_string(holder) + "/cgroup", &cgroup) == 0) {
                out.under_systemd =
                    cgroup.find("/" + svc::UnitFileName(cron::kServiceName)) != std::string::npos;
            }
        }
    }
    return out;
}

}  // namespace zel::status
