// CTransferObserver: how a caller of the request engine learns how far a
// request has come while it runs (bytes of the request body sent, bytes of
// the answer's body received), so that it can show progress for a large
// file without the engine knowing what is shown, or to whom.
//
// The engine borrows the observer (CInternetAccess::SetTransferObserver)
// and calls it on the requesting thread from inside the exchange: after
// every piece of either body, and about once a second while nothing moves,
// so that a stalled transfer is seen as stalled.  The calls carry counts
// only, never the data.  An observer is called often: it decides itself how
// much of that it passes on, and must return quickly (it runs inside the
// exchange, so it must never throw: the call is noexcept).
#pragma once

#include <cstdint>

// One request's counts so far.  Bodies only: headers are not counted.  A
// request sent again (a kept-alive connection that had closed, an answer
// that starts over) counts from 0 again.
struct TransferProgress {
    std::uint64_t sent = 0;        // request body bytes handed to the connection
    std::uint64_t send_total = 0;  // the request body's length
    std::uint64_t received = 0;    // body bytes of the answer so far
    // The body length the answer announced (Content-Length); -1 until its
    // head arrived, and when it announced none.
    std::int64_t receive_total = -1;
};

class CTransferObserver {
  public:
    virtual ~CTransferObserver() = default;
    virtual void OnTransferProgress(const TransferProgress& progress) noexcept = 0;
};
