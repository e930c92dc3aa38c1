// The Olmar directory from the registry store (see olmar_directory.h).
#include "platform/olmar_directory.h"

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"

namespace zel::paths {

bool GetOlmarDirectory(std::string* dir) {
    reg::Key key;
    reg::Disposition disposition{};
    if (reg::CreateKey(reg::Hive::LocalMachine, keys::kOlmarKey, &key, &disposition) !=
        reg::kSuccess) {
        return false;
    }
    if (disposition == reg::Disposition::CreatedNewKey) {
        // First run on this machine: the default is stored for the next
        // run, and this one starts nothing.
        (void)reg::SetString(key, kOlmarDirectoryValue, CmnDir());
        return false;
    }
    std::string value;
    if (reg::QueryString(key, kOlmarDirectoryValue, &value) != reg::kSuccess || value.empty() ||
        value.size() >= kOlmarDirectoryMax) {
        return false;
    }
    *dir = std::move(value);
    return true;
}

}  // namespace zel::paths
