// The schedule service part of zelstatus: whether qvzel_cron runs on this
// system root (a process holds the flock of its single-instance pid file)
// and whether it runs under the service manager (systemd, or the service
// control manager of Windows), what it loaded (from the state file it
// writes at every load), and the Olmar directory it starts the batch files
// in (read from the store, read-only).  The pid file is never locked here:
// fs::LockHolder finds the holder without taking the lock, so looking
// cannot disturb a start.
#include <string>
#include <utility>

#include "platform/fs.h"
#include "platform/instance_lock.h"
#include "platform/olmar_directory.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "platform/service_manager.h"
#include "scheduler/scheduler.h"
#include "scheduler/service_host.h"
#include "scheduler/service_setup.h"
#include "tools/zelstatus/status.h"

namespace zel::status {
namespace {

// The Olmar directory as the service's tick finds it: a missing key is made
// with the CMN directory at the first start (which that start does not
// survive), a key without the value starts nothing at all.
void GatherOlmar(ServiceStatus* out) {
    reg::Key key;
    reg::Status st = reg::OpenKey(reg::Hive::LocalMachine, keys::kOlmarKey, &key);
    // A store that is not there yet holds no key either (the read-only store
    // refuses to make the hive, and says so as a refusal): the first start
    // makes the key with its default.
    if (st != reg::kSuccess && st != reg::kNotFound && !fs::Exists(paths::RegistryFile()))
        st = reg::kNotFound;
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

}  // namespace

ServiceStatus GatherService() {
    ServiceStatus out;
    out.pid_file = paths::UnderRoot(cron::kInstanceLockFile);
    svc::ServiceQuery installed = svc::QueryService(cron::kServiceName);
    out.unit_file = std::move(installed.where);
    out.unit_installed = installed.installed;
    out.systemd_booted = installed.manager_present;
    out.manager_state = std::move(installed.state);
    GatherOlmar(&out);

    const long holder = fs::LockHolder(out.pid_file, cron::kServiceName);
    if (holder > 0) {
        out.running = true;
        // The lock names the process that took it; the file names the same
        // one once it has written itself in.
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
        out.under_systemd = svc::RunsAsManagedService(holder, cron::kServiceName);
    }
    return out;
}

}  // namespace zel::status
