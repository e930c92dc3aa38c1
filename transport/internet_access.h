// The HTTP transport: CInternetAccess, one HTTP/HTTPS exchange at a time,
// and its file-backed content streams.
//
// CInternetAccess::CContentStream holds one request or response body.  It is
// always backed by a file: an anonymous temporary file that vanishes when
// closed, or, on demand, a named "redirect" file (an upload is sent straight
// from the dealer's file, a download lands straight in its target).  A mode
// (1 read-only, 2 write-only, 3 read-write) guards the direction of use.  The
// stream owns both descriptors; its log is borrowed.  Every failure is
// written once to the log and returned; the stream stays usable.
#pragma once

#include <cstdint>

#include "platform/fs.h"
#include "support/result.h"
#include "support/strings.h"

class CEventLog;

class CInternetAccess {
  public:
    class CContentStream;
};

// It is also the byte stream that the string readers of the support library
// read whole texts from.
class CInternetAccess::CContentStream : public IByteStream {
  public:
    // Copies go through one buffer of this size; the data never sits whole
    // in memory.
    static constexpr std::int32_t kChunkSize = 262144;

    explicit CContentStream(CEventLog* log);
    ~CContentStream() override;
    CContentStream(const CContentStream&) = delete;
    CContentStream& operator=(const CContentStream&) = delete;

    // The mode that applies now (the redirect mode while redirected).
    [[nodiscard]] virtual HRESULT GetMode(std::int32_t* mode);
    // Size of the current file.  A size beyond 32 bits fails (0x802080FC)
    // rather than being reported wrapped.
    [[nodiscard]] HRESULT GetLength(std::int32_t* length) override;
    // Reads up to count bytes at the current position into buffer; *read
    // receives the count (0 at the end).
    [[nodiscard]] HRESULT Read(void* buffer, std::int32_t count, std::int32_t* read) override;
    // Appends the whole content of source, read from its current position.
    [[nodiscard]] virtual HRESULT Write(CContentStream* source);
    // Appends the whole content of the file at path.
    [[nodiscard]] virtual HRESULT Write(const char* path);
    // Writes count bytes at the current position and forces them to disk.
    // written may be null.
    [[nodiscard]] virtual HRESULT Write(const void* buffer, std::int32_t count,
                                        std::int32_t* written);
    // origin 2 from the beginning, 3 from the end, any other value from the
    // current position; position (may be null) receives the new position.
    [[nodiscard]] HRESULT Seek(int origin, std::int32_t offset, std::int32_t* position) override;
    [[nodiscard]] virtual HRESULT GetCurrentPos(std::int32_t* position);
    // Truncates or zero-extends the current file and flushes it; the position
    // moves to 0 (length 0) or to length - 1 when it was at or beyond length.
    [[nodiscard]] virtual HRESULT SetLength(std::int32_t length);
    // 1 read-only, 2 write-only, 3 read-write; sets the redirect mode while
    // redirected, else the temporary mode.
    [[nodiscard]] virtual HRESULT SetMode(std::int32_t mode);
    // Switches the stream to the named file (closing an earlier redirection
    // first).  On failure the stream stays on its temporary file.
    [[nodiscard]] virtual HRESULT SetRedirect(const char* path, bool append, bool read_only);
    // Back to the temporary file, whose content, position and mode are as
    // they were.  Always 0.
    virtual HRESULT CloseRedirect();

  private:
    int CurrentFd() const;
    std::int32_t& CurrentMode();
    HRESULT CheckInit(const char* context);
    HRESULT Fail(HRESULT status, const char* context);

    zel::fs::UniqueFd temp_file_;
    zel::fs::UniqueFd redirect_file_;
    std::int32_t temp_mode_ = 3;
    std::int32_t redirect_mode_ = 3;
    CEventLog* log_;
};
