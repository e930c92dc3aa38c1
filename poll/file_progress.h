// File progress of the Poll object: the transport's byte counts of one
// file's request turned into a few reports for whoever listens (the
// object-model glue, which fires them as the Progress event of
// _IPollEvents; see poll/ipoll.h for what a client may rely on).
//
// CFileProgress lives for one file's request: it makes itself the
// transport's transfer observer, reports the file's start, passes on at
// most one report per kReportInterval while the body moves or stalls, and
// reports the end once, whatever the outcome, when it goes.  The counts it
// reports never go down for one file, even when the request is sent again
// and starts counting over.  It borrows the transport and the listener;
// without a listener that wants reports it does nothing at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "transport/internet_access.h"
#include "transport/transfer_observer.h"

// One report.  name is borrowed for the call.
struct FileProgress {
    const char* name = "";
    std::int64_t bytes = 0;   // body bytes moved so far
    std::int64_t total = -1;  // the body's length; -1 while unknown
    int direction = 0;        // CPoll::kDownload or CPoll::kUpload
    bool finished = false;
};

class CProgressListener {
  public:
    virtual ~CProgressListener() = default;
    // Asked once when a file begins: false spares the work of reports
    // nobody hears.
    [[nodiscard]] virtual bool WantsProgress() const noexcept = 0;
    virtual void OnFileProgress(const FileProgress& progress) noexcept = 0;
};

class CFileProgress final : public CTransferObserver {
  public:
    // Reports between two reports of one file at the least; the end is
    // always reported at once.
    static constexpr std::chrono::milliseconds kReportInterval{100};

    // direction: CPoll::kDownload or kUpload.  known_total: the body's
    // length when the caller knows it before the request (an upload's file
    // size), else -1.  listener may be null.
    CFileProgress(CInternetAccess* transport, CProgressListener* listener, std::string name,
                  int direction, std::int64_t known_total);
    ~CFileProgress() override;
    CFileProgress(const CFileProgress&) = delete;
    CFileProgress& operator=(const CFileProgress&) = delete;

    void OnTransferProgress(const TransferProgress& progress) noexcept override;

  private:
    void Report(bool finished) noexcept;

    CInternetAccess* transport_;
    CProgressListener* listener_;  // null when nobody wants reports
    std::string name_;
    int direction_;
    std::int64_t bytes_ = 0;
    std::int64_t total_;
    std::chrono::steady_clock::time_point last_report_;
};
