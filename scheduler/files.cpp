// Whole-file reading and replacing (see files.h).  Every descriptor is held
// by a UniqueFd for the length of one call.
#include "scheduler/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/fs.h"

namespace zel::cron {

int ReadWholeFile(const std::string& path, std::string* out) {
    fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno;
    std::string data;
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    *out = std::move(data);
    return 0;
}

int WriteFileReplacing(const std::string& path, const std::string& text) {
    std::string tmpl = path + ".XXXXXX";
    int raw = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (raw < 0) return errno;
    fs::UniqueFd fd(raw);
    int rc = 0;
    std::size_t done = 0;
    while (done < text.size() && rc == 0) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno != EINTR) rc = errno;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    if (rc == 0 && ::fchmod(fd.get(), 0644) != 0) rc = errno;
    if (rc == 0) rc = fs::FlushToDisk(fd.get());
    fd.reset();
    if (rc == 0 && ::rename(tmpl.c_str(), path.c_str()) != 0) rc = errno;
    if (rc != 0) ::unlink(tmpl.c_str());
    return rc;
}

}  // namespace zel::cron
