// CInternetAccess::CContentStream: the file-backed body stream (see
// internet_access.h).
#include <climits>
#include <memory>

#include "log/report.h"
#include "platform/fs.h"
#include "support/result_codes.h"
#include "transport/internet_access.h"

using namespace zel::codes;
using namespace zel::log;

namespace {

constexpr const char* kGetLength = "CInternetAccess::CContentStream::GetLength";
constexpr const char* kRead = "CInternetAccess::CContentStream::Read";
constexpr const char* kWrite = "CInternetAccess::CContentStream::Write";
constexpr const char* kSeek = "CInternetAccess::CContentStream::Seek";
constexpr const char* kGetCurrentPos = "CInternetAccess::CContentStream::GetCurrentPos";
constexpr const char* kSetLength = "CInternetAccess::CContentStream::SetLength";
constexpr const char* kSetMode = "CInternetAccess::CContentStream::SetMode";
constexpr const char* kSetRedirect = "CInternetAccess::CContentStream::SetRedirect";
constexpr const char* kGetMode = "CInternetAccess::CContentStream::GetMode";

}  // namespace

CInternetAccess::CContentStream::CContentStream(CEventLog* log) : log_(log) {}

CInternetAccess::CContentStream::~CContentStream() {
    // The temporary file first: closing it is what deletes it.
    temp_file_.reset();
    redirect_file_.reset();
}

int CInternetAccess::CContentStream::CurrentFd() const {
    return redirect_file_ ? redirect_file_.get() : temp_file_.get();
}

std::int32_t& CInternetAccess::CContentStream::CurrentMode() {
    return redirect_file_ || sink_ != nullptr ? redirect_mode_ : temp_mode_;
}

HRESULT CInternetAccess::CContentStream::Fail(HRESULT status, const char* context) {
    return ReportStatus(log_, status, context);
}

HRESULT CInternetAccess::CContentStream::CheckInit(const char* context) {
    if (temp_file_ || redirect_file_ || sink_ != nullptr) return S_OK;
    zel::fs::UniqueFd fd;
    if (zel::fs::CreateDeleteOnCloseTemp("", &fd) != 0) return Fail(kStreamInit, context);
    temp_file_ = std::move(fd);
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::GetMode(std::int32_t* mode) {
    if (mode == nullptr) return Fail(kInvalidArg, kGetMode);
    *mode = CurrentMode();
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::GetLength(std::int32_t* length) {
    if (length == nullptr) return Fail(kInvalidArg, kGetLength);
    if (sink_ != nullptr) {
        if (sink_bytes_ > INT32_MAX) return Fail(kStreamLength, kGetLength);
        *length = static_cast<std::int32_t>(sink_bytes_);
        return S_OK;
    }
    HRESULT hr = CheckInit(kGetLength);
    if (FAILED(hr)) return hr;
    zel::fs::FileInfo info;
    if (zel::fs::GetOpenFileInfo(CurrentFd(), &info) != 0 || info.size < 0 || info.size > INT32_MAX)
        return Fail(kStreamLength, kGetLength);
    *length = static_cast<std::int32_t>(info.size);
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::Read(void* buffer, std::int32_t count,
                                              std::int32_t* read) {
    if (CurrentMode() == 2) return Fail(kStreamWriteOnly, kRead);
    if (buffer == nullptr || count < 0) return Fail(kInvalidArg, kRead);
    if (sink_ != nullptr) return Fail(kStreamWriteOnly, kRead);  // nothing kept to read
    HRESULT hr = CheckInit(kRead);
    if (FAILED(hr)) return hr;
    const long n = zel::fs::ReadSome(CurrentFd(), buffer, static_cast<size_t>(count));
    if (n < 0) return Fail(kStreamRead, kRead);
    if (read != nullptr) *read = static_cast<std::int32_t>(n);
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::Write(const void* buffer, std::int32_t count,
                                               std::int32_t* written) {
    if (CurrentMode() == 1) return Fail(kStreamReadOnly, kWrite);
    if (buffer == nullptr || count < 0) return Fail(kInvalidArg, kWrite);
    if (sink_ != nullptr) {
        if (!sink_->Write(buffer, static_cast<std::size_t>(count)))
            return Fail(kStreamWrite, kWrite);
        sink_bytes_ += count;
        if (written != nullptr) *written = count;
        return S_OK;
    }
    HRESULT hr = CheckInit(kWrite);
    if (FAILED(hr)) return hr;
    // No flush per piece: a body is made durable once, where that matters
    // (a placed file before it is acknowledged), by its owner; a flush per
    // piece only slows every transfer down.
    if (zel::fs::WriteAll(CurrentFd(), buffer, static_cast<size_t>(count)) != 0) {
        return Fail(kStreamWrite, kWrite);
    }
    if (written != nullptr) *written = count;
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::Write(const char* path) {
    if (CurrentMode() == 1) return Fail(kStreamReadOnly, kWrite);
    if (path == nullptr) return Fail(kInvalidArg, kWrite);
    // Regular files only: a FIFO in the file's place must not block the
    // request for ever.
    zel::fs::UniqueFd src;
    if (zel::fs::OpenForReading(path, &src) != 0) return Fail(kFileOpen, kWrite);
    zel::fs::FileInfo info;
    if (zel::fs::GetOpenFileInfo(src.get(), &info) != 0 || info.size < 0)
        return Fail(kFileRead, kWrite);
    const long long length = info.size;
    if (length == 0) return S_OK;
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kChunkSize]);
    if (!chunk) return Fail(kOutOfMemory, kWrite);
    long long copied = 0;
    HRESULT hr = S_OK;
    while (copied < length) {
        const long n = zel::fs::ReadSome(src.get(), chunk.get(), kChunkSize);
        if (n == 0) break;
        if (n < 0) {
            hr = Fail(kFileRead, kWrite);
            break;
        }
        hr = Write(chunk.get(), static_cast<std::int32_t>(n), nullptr);
        if (FAILED(hr)) break;
        copied += n;
    }
    return hr;
}

HRESULT CInternetAccess::CContentStream::Write(CContentStream* source) {
    if (CurrentMode() == 1) return Fail(kStreamReadOnly, kWrite);
    if (source == nullptr) return Fail(kInvalidArg, kWrite);
    std::int32_t length = 0;
    HRESULT hr = source->GetLength(&length);
    if (FAILED(hr)) return hr;
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kChunkSize]);
    if (!chunk) return Fail(kOutOfMemory, kWrite);
    std::int64_t copied = 0;
    while (copied < length) {
        std::int32_t n = 0;
        hr = source->Read(chunk.get(), kChunkSize, &n);
        if (FAILED(hr)) return hr;
        if (n == 0) break;
        hr = Write(chunk.get(), n, nullptr);
        if (FAILED(hr)) return hr;
        copied += n;
    }
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::Seek(int origin, std::int32_t offset,
                                              std::int32_t* position) {
    if (sink_ != nullptr) {
        // A sink only ever grows at its end; the position stays there.
        if (position != nullptr) (void)GetCurrentPos(position);
        return S_OK;
    }
    HRESULT hr = CheckInit(kSeek);
    if (FAILED(hr)) return hr;
    const zel::fs::SeekFrom from = origin == 2   ? zel::fs::SeekFrom::kStart
                                   : origin == 3 ? zel::fs::SeekFrom::kEnd
                                                 : zel::fs::SeekFrom::kCurrent;
    if (zel::fs::Seek(CurrentFd(), offset, from) != 0) return Fail(kStreamSeek, kSeek);
    if (position != nullptr) {
        // A failure here is logged by GetCurrentPos but the seek stands.
        (void)GetCurrentPos(position);
    }
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::GetCurrentPos(std::int32_t* position) {
    if (position == nullptr) return Fail(kInvalidArg, kGetCurrentPos);
    if (sink_ != nullptr) return GetLength(position);
    HRESULT hr = CheckInit(kGetCurrentPos);
    if (FAILED(hr)) return hr;
    long long pos = 0;
    if (zel::fs::Seek(CurrentFd(), 0, zel::fs::SeekFrom::kCurrent, &pos) != 0 || pos > INT32_MAX)
        return Fail(kStreamPos, kGetCurrentPos);
    *position = static_cast<std::int32_t>(pos);
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::SetLength(std::int32_t length) {
    if (CurrentMode() == 1) return Fail(kStreamReadOnly, kSetLength);
    if (sink_ != nullptr) {
        // Only emptied, when a new answer begins.
        if (length != 0 || !sink_->Restart()) return Fail(kStreamSetLength, kSetLength);
        sink_bytes_ = 0;
        return S_OK;
    }
    HRESULT hr = CheckInit(kSetLength);
    if (FAILED(hr)) return hr;
    int fd = CurrentFd();
    if (length < 0 || zel::fs::TruncateFile(fd, length) != 0)
        return Fail(kStreamSetLength, kSetLength);
    // The position follows the new end; a failed move leaves it where it was,
    // which a later read or write still survives.
    long long pos = 0;
    if (length == 0) {
        (void)zel::fs::SeekTo(fd, 0);
    } else if (zel::fs::Seek(fd, 0, zel::fs::SeekFrom::kCurrent, &pos) == 0 && pos >= length) {
        (void)zel::fs::SeekTo(fd, length - 1);
    }
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::SetMode(std::int32_t mode) {
    if (mode < 1 || mode > 3) return Fail(kInvalidArg, kSetMode);
    CurrentMode() = mode;
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::SetRedirect(const char* path, bool append,
                                                     bool read_only) {
    if (path == nullptr) return Fail(kInvalidArg, kSetRedirect);
    CloseRedirect();
    CloseSink();
    // Regular files only: a FIFO or device in the name's place must neither
    // block the request nor be emptied.
    zel::fs::UniqueFd fd;
    const int err = read_only ? zel::fs::OpenForReading(path, &fd)
                              : zel::fs::OpenForReadingAndWriting(path, !append, &fd);
    if (err != 0) return Fail(kStreamRedirect, kSetRedirect);
    if (append && zel::fs::Seek(fd.get(), 0, zel::fs::SeekFrom::kEnd) != 0)
        return Fail(kStreamRedirect, kSetRedirect);
    redirect_file_ = std::move(fd);
    return SetMode(read_only ? 1 : 3);
}

HRESULT CInternetAccess::CContentStream::CloseRedirect() {
    redirect_file_.reset();
    return S_OK;
}

HRESULT CInternetAccess::CContentStream::SetSink(CContentSink* sink) {
    if (sink == nullptr) return Fail(kInvalidArg, kSetRedirect);
    CloseRedirect();
    sink_ = sink;
    sink_bytes_ = 0;
    return SetMode(3);
}

HRESULT CInternetAccess::CContentStream::CloseSink() {
    sink_ = nullptr;
    sink_bytes_ = 0;
    return S_OK;
}
