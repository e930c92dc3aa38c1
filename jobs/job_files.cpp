// The jobs' file locations and configuration numbers (see job_files.h).
#include "jobs/job_files.h"

#include <filesystem>
#include <system_error>

#include "platform/paths.h"
#include "support/config.h"

namespace zel::jobs {

std::string CommFile(const std::string& name) {
    return paths::Join(paths::CommDir(), name);
}
std::string DownloadFile(const std::string& name) {
    return paths::Join(paths::DownloadDir(), name);
}
std::string UploadFile(const std::string& name) {
    return paths::Join(paths::UploadDir(), name);
}
std::string CmnFile(const std::string& name) {
    return paths::Join(paths::CmnDir(), name);
}

void ReadConfigNumber(const char* key, int* value) {
    ::ReadConfigNumber(CommFile("ferrun.conf").c_str(), key, value);
}

void RemoveFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

}  // namespace zel::jobs
