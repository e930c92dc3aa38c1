// Whole-file reading and replacing (see files.h), over the platform's file
// calls.
#include "scheduler/files.h"

#include "platform/fs.h"

namespace zel::cron {

int ReadWholeFile(const std::string& path, std::string* out) {
    return fs::ReadWholeFile(path, out);
}

int WriteFileReplacing(const std::string& path, const std::string& text) {
    return fs::ReplaceFileAtomically(path, text, 0644);
}

}  // namespace zel::cron
