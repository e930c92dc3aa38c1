// CContentSink: a destination for a response body that is not a file, so
// that a caller can handle the body while it arrives (check it, unpack it)
// instead of reading it back from disk afterwards.
//
// The engine borrows the sink for one request (CInternetAccess::
// SetRespSink); the caller owns it and keeps it alive until CloseRespSink.
#pragma once

#include <cstddef>

class CContentSink {
  public:
    virtual ~CContentSink() = default;
    // Forgets every byte taken so far: a new answer begins (an interim
    // answer ended, or the request is sent again).  false fails the request.
    [[nodiscard]] virtual bool Restart() = 0;
    // Takes the next piece of the body.  false fails the request as a failed
    // write of the response content.
    [[nodiscard]] virtual bool Write(const void* data, std::size_t size) = 0;
};
