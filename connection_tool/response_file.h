// The response file of one connection test: created on demand (when the
// head of a 200 answer is complete, so an empty body still replaces an
// older file), the body written in blocks of kResponseBlock bytes, and how
// much of it was stored.  Shared by both systems' Fetch.  Owns the file's
// descriptor and the block being filled.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace zel::conn {

class ResponseFile {
  public:
    // path is borrowed and must outlive the object.
    explicit ResponseFile(const std::string* path) : path_(path) {}

    // Creates (or replaces) the file once; false with error() set when it
    // cannot be.
    bool Open();
    // Appends size bytes, writing each full block; false with error() set on
    // a failed or short write.
    bool Add(const char* data, std::size_t size);
    // Writes the block being filled; false with error() set on a failed or
    // short write.
    bool Flush();

    bool is_open() const { return open_; }
    int error() const { return error_; }          // errno of the first failure (0: none)
    long long stored() const { return stored_; }  // bytes written to the file

  private:
    const std::string* path_;
    fs::UniqueFd file_;
    bool open_ = false;
    int error_ = 0;
    std::vector<char> block_;
    long long stored_ = 0;
};

}  // namespace zel::conn
