// Files, directories and checksums: see files.h.
#include "support/files.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/fs.h"
#include "support/strings_internal.h"

using zel::support_detail::Fail;

namespace {

constexpr std::size_t kChecksumBlock = 262144;
constexpr std::size_t kMaxTagName = 60;

}  // namespace

HRESULT IsCreateDirReqd(const char* path) {
    if (path == nullptr || *path == '\0') return Fail(zel::codes::kInvalidArg, "IsCreateDirReqd");
    // "dir/" asks about "dir": a file named so must show up as a file, not as
    // a missing path.
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    zel::fs::FileInfo info;
    if (zel::fs::GetFileInfo(name, &info) != 0) return 0;
    if (info.type == zel::fs::FileInfo::Type::kDirectory) return 1;
    return Fail(zel::codes::kInvalidDirectory, "IsCreateDirReqd");
}

HRESULT CheckDirectory(const char* path, char** out) {
    if (path == nullptr || out == nullptr) return Fail(zel::codes::kInvalidArg, "CheckDirectory");
    *out = nullptr;
    std::string full;
    if (*path == '\0' || zel::fs::AbsolutePath(path, &full) != 0) {
        return Fail(zel::codes::kCreateDirectory, "CheckDirectory");
    }
    // The path handed back is trimmed; blanks after the last name must go
    // before anything is created, or the directory made ("dir ") would not
    // be the one the caller is told about ("dir").
    while (full.size() > 1 && (full.back() == ' ' || full.back() == '\t')) full.pop_back();
    HRESULT hr = IsCreateDirReqd(full.c_str());
    if (FAILED(hr)) return hr;
    if (hr == 0) {
        for (std::size_t slash = full.find('/'); slash != std::string::npos;
             slash = full.find('/', slash + 1)) {
            const std::string prefix = full.substr(0, slash + 1);
            hr = IsCreateDirReqd(prefix.c_str());
            if (FAILED(hr)) return hr;
            if (hr == 0 && zel::fs::MakeDirectory(prefix) != 0)
                return Fail(zel::codes::kCreateDirectory, "CheckDirectory");
        }
        hr = IsCreateDirReqd(full.c_str());
        if (FAILED(hr)) return hr;
        if (hr == 0 && zel::fs::MakeDirectory(full) != 0)
            return Fail(zel::codes::kCreateDirectory, "CheckDirectory");
    }
    return CopyString(full.c_str(), out, true);
}

HRESULT GetFullFileName(const char* directory, const char* name, char** out) {
    if (directory == nullptr || name == nullptr || out == nullptr) {
        return Fail(zel::codes::kInvalidArg, "GetFullFileName");
    }
    *out = nullptr;
    CStringHolder joined;
    HRESULT hr = GetString(directory, joined.Out(), true);
    if (SUCCEEDED(hr) && !EndsWithChar(joined.get(), '/')) hr = AppendString("/", &joined);
    if (SUCCEEDED(hr)) hr = AppendString(name, &joined);
    if (FAILED(hr)) return hr;
    *out = joined.release();
    return S_OK;
}

HRESULT ComputeCheckSumCRC32(const char* path, std::uint32_t* crc) {
    if (path == nullptr || crc == nullptr) {
        return Fail(zel::codes::kInvalidArg, "ComputeCheckSumCRC32");
    }
    // Regular files only: a directory or a FIFO cannot be opened as a file.
    zel::fs::UniqueFd fd;
    if (zel::fs::OpenForReading(path, &fd) != 0)
        return Fail(zel::codes::kOpenFile, "ComputeCheckSumCRC32");
    std::unique_ptr<unsigned char, decltype(&std::free)> block(
        static_cast<unsigned char*>(std::malloc(kChecksumBlock)), &std::free);
    if (!block) return Fail(zel::codes::kOutOfMemory, "ComputeCheckSumCRC32");
    uLong value = crc32(0L, Z_NULL, 0);
    for (;;) {
        const long n = zel::fs::ReadSome(fd.get(), block.get(), kChecksumBlock);
        if (n < 0) return Fail(zel::codes::kReadFile, "ComputeCheckSumCRC32");
        if (n == 0) break;
        value = crc32(value, block.get(), static_cast<uInt>(n));
    }
    *crc = static_cast<std::uint32_t>(value);
    return S_OK;
}

int GetTagValue(const char* name, const char* text, char* buffer, std::size_t buffer_size) {
    if (name == nullptr || text == nullptr || buffer == nullptr) return 0;
    if (std::strlen(name) > kMaxTagName) return 0;
    char open_tag[kMaxTagName + 3];
    char close_tag[kMaxTagName + 4];
    std::snprintf(open_tag, sizeof open_tag, "<%s>", name);
    std::snprintf(close_tag, sizeof close_tag, "</%s>", name);
    const char* open_at = std::strstr(text, open_tag);
    if (open_at == nullptr) return 0;
    const char* value = open_at + std::strlen(open_tag);
    // The closing tag is looked for after the opening one: one standing
    // earlier in the text cannot end this value.
    const char* close_at = std::strstr(value, close_tag);
    if (close_at == nullptr) return 0;
    const std::size_t len = static_cast<std::size_t>(close_at - value);
    if (len + 1 > buffer_size) return 0;
    std::memcpy(buffer, value, len);
    buffer[len] = '\0';
    return 1;
}
