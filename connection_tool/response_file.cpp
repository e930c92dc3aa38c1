// The response file of one connection test (see response_file.h).
#include "connection_tool/response_file.h"

#include <algorithm>

#include "connection_tool/fetch.h"

namespace zel::conn {

bool ResponseFile::Open() {
    if (open_) return true;
    const int rc = fs::CreateForWriting(*path_, &file_);
    if (rc != 0) {
        error_ = rc;
        return false;
    }
    open_ = true;
    block_.reserve(kResponseBlock);
    return true;
}

bool ResponseFile::Add(const char* data, std::size_t size) {
    if (!Open()) return false;
    std::size_t done = 0;
    while (done < size) {
        const std::size_t take = std::min(kResponseBlock - block_.size(), size - done);
        block_.insert(block_.end(), data + done, data + done + take);
        done += take;
        if (block_.size() == kResponseBlock && !Flush()) return false;
    }
    return true;
}

bool ResponseFile::Flush() {
    if (block_.empty()) return true;
    const int rc = fs::WriteAll(file_.get(), block_.data(), block_.size());
    if (rc != 0) {
        error_ = rc;
        return false;
    }
    stored_ += static_cast<long long>(block_.size());
    block_.clear();
    return true;
}

}  // namespace zel::conn
