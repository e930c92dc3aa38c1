// The connection part of zelstatus: the access method and proxy that the
// next request would use (the transport's own decision routine, run over
// the read-only registry, which yields the defaults wherever a key is
// missing, as a first run would), the cached server directory with its age
// and the directory's own rule for refreshing it, and whether the control
// and password files can be read.  Their contents are never read.

#include <cstdint>

#include "directory/central.h"
#include "directory/server_directory.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "support/strings.h"
#include "tools/zelstatus/status.h"
#include "transport/access_method.h"

namespace zel::status {
namespace {

const char* AccessTypeName(std::int32_t code) {
    switch (code) {
        case ACCESS_TYPE_PRECONFIG:
            return "ACCESS_TYPE_PRECONFIG";
        case ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
            return "ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY";
        case ACCESS_TYPE_PROXY:
            return "ACCESS_TYPE_PROXY";
        default:
            return "ACCESS_TYPE_DIRECT";
    }
}

ProxyChoice Decide(bool secure) {
    ProxyChoice choice;
    char* proxy = nullptr;
    const std::int32_t code = GetAccessType(nullptr, false, secure, &proxy);
    CStringHolder owned(proxy);
    choice.access_type = AccessTypeName(code);
    if (code == ACCESS_TYPE_PROXY) choice.proxy = owned.c_str();
    return choice;
}

unsigned ReadDword(const char* name) {
    reg::Key key;
    std::uint32_t value = 0;
    if (reg::OpenKey(reg::Hive::LocalMachine, keys::kServersKey, &key) != reg::kSuccess ||
        reg::QueryDword(key, name, &value) != reg::kSuccess) {
        return 0;
    }
    return value;
}

// Present: something has the name; readable: it opens for reading as a
// file.  The jobs that read these files run as root, for whom modes do not
// matter: a caller that is not root would see a file it may not open as
// unreadable, so it takes any regular file as readable and shows owner and
// mode instead.
void Probe(const std::string& path, bool* present, bool* readable, long* uid = nullptr,
           unsigned* mode = nullptr) {
    fs::FileStatus st;
    *present = fs::StatusOf(path, &st) == 0;
    if (!*present) {
        *readable = false;
        return;
    }
    if (uid != nullptr) *uid = static_cast<long>(st.owner);
    if (mode != nullptr) *mode = st.mode;
    if (!proc::RunsAsSuperuser()) {
        *readable = st.kind == fs::FileKind::kRegular;
        return;
    }
    fs::UniqueFd fd;
    *readable = fs::OpenForReading(path, &fd) == 0;
}

// Whether the store can be read: missing reads as empty, as on a first run;
// a store that exists but cannot be opened or is damaged makes every value
// read from it unknown.
bool StoreReadable(const std::string& file, std::time_t now) {
    long age = 0;
    if (!FileAge(file, now, &age)) return true;
    reg::Key key;
    const reg::Status st = reg::OpenKey(reg::Hive::LocalMachine, "SOFTWARE", &key);
    return st == reg::kSuccess || st == reg::kNotFound;
}

}  // namespace

ConnectionStatus GatherConnection(std::time_t now) {
    ConnectionStatus out;
    out.store_file = paths::RegistryFile();
    out.store_readable = StoreReadable(out.store_file, now);
    Probe(paths::Join(paths::CommDir(), "CONTROL"), &out.control_present, &out.control_readable);
    Probe(paths::Join(paths::CommDir(), "IACCESS"), &out.password_present, &out.password_readable,
          &out.password_uid, &out.password_mode);
    out.judged_as_root = proc::RunsAsSuperuser();
    if (!out.store_readable) return out;
    out.access_method = ReadDword("AccessMethod");
    out.access_override = ReadDword("AccessOverride");
    out.http = Decide(false);
    out.https = Decide(true);

    // The directory as a transfer loads it; the operation of a download's
    // first request decides which query record must be there.
    const char* operation = kPollQueryNames[0];
    CQVReg directory(nullptr);
    const bool loaded =
        SUCCEEDED(RegisterPollNames(&directory)) && SUCCEEDED(directory.LoadInfoFromReg());
    out.directory_will_refresh =
        !loaded ||
        IsRequireRegUpdate(&directory, kPollServerName, operation, static_cast<std::uint32_t>(now));
    CQVReg::CServerInfo* server = nullptr;
    std::int32_t index = 0;
    if (loaded && SUCCEEDED(directory.GetServerInfoByName(kPollServerName, false, &server)) &&
        SUCCEEDED(server->FindByVersion(kDefaultVersion, &index))) {
        out.directory_cached = true;
        char* address = nullptr;
        if (SUCCEEDED(server->GetIPAddress(index, &address))) {
            CStringHolder owned(address);
            out.poll_address = owned.c_str();
        }
        std::int32_t port = 0;
        if (SUCCEEDED(server->GetPort(index, &port))) out.poll_port = port;
        if (SUCCEEDED(server->GetSecurePort(index, &port))) out.poll_secure_port = port;
        std::uint32_t updated = 0;
        if (SUCCEEDED(server->GetLastUpdatedTime(index, &updated)) && updated != 0) {
            out.directory_updated = static_cast<std::time_t>(updated);
        }
        CQVReg::CQueryInfo* query = nullptr;
        std::int32_t query_index = 0;
        std::int32_t required = 0;
        if (SUCCEEDED(directory.GetQueryInfoByName(operation, false, &query)) &&
            SUCCEEDED(query->FindByVersion(kDefaultVersion, &query_index)) &&
            SUCCEEDED(query->GetSSLRequired(query_index, &required))) {
            out.next_secure = required != 0;
        }
    }
    return out;
}

}  // namespace zel::status
