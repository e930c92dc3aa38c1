// System root mapping: see paths.h.
#include "platform/paths.h"

#include <cstdlib>

#include "platform/paths_internal.h"

namespace zel::paths {

std::string Root() {
    const char* env = std::getenv("QVIS_ROOT");
    std::string root = (env != nullptr && env[0] != '\0') ? env : detail::DefaultRoot();
    detail::ToSystemForm(&root);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::string Join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string UnderRoot(const std::string& relative) {
    return Join(Root(), relative);
}

std::string CommDir() {
    return UnderRoot("Apps/QVIS/PROG/COMM");
}
std::string CmnDir() {
    return UnderRoot("Apps/QVIS/PROG/CMN");
}
std::string DownloadDir() {
    return Join(CommDir(), "DOWNLOAD");
}
std::string UploadDir() {
    return Join(CommDir(), "UPLOAD");
}
std::string PubDir() {
    return UnderRoot("Apps/QVIS/home/anon_ftp/pub");
}
std::string JobLogFile() {
    return UnderRoot("qvzel.log");
}
std::string ResponseFile() {
    return UnderRoot("response.txt");
}
std::string RegistryFile() {
    return UnderRoot("registry.db");
}

}  // namespace zel::paths
