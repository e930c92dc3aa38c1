// CFileProgress: see file_progress.h.
#include "poll/file_progress.h"

#include <utility>

#include "poll/poll.h"

CFileProgress::CFileProgress(CInternetAccess* transport, CProgressListener* listener,
                             std::string name, int direction, std::int64_t known_total)
    : transport_(transport),
      listener_(listener != nullptr && listener->WantsProgress() ? listener : nullptr),
      name_(std::move(name)),
      direction_(direction),
      total_(known_total) {
    if (listener_ == nullptr) return;
    transport_->SetTransferObserver(this);
    Report(false);
}

CFileProgress::~CFileProgress() {
    if (listener_ == nullptr) return;
    transport_->SetTransferObserver(nullptr);
    Report(true);
}

void CFileProgress::OnTransferProgress(const TransferProgress& progress) noexcept {
    const bool upload = direction_ == CPoll::kUpload;
    const std::uint64_t moved = upload ? progress.sent : progress.received;
    const std::int64_t total =
        upload ? static_cast<std::int64_t>(progress.send_total) : progress.receive_total;
    // A request sent again counts from 0; what was reported stands.
    if (moved > static_cast<std::uint64_t>(bytes_)) bytes_ = static_cast<std::int64_t>(moved);
    if (total >= 0) total_ = total;
    // Called for every piece of the body: only the clock is read here
    // until a report is due.
    if (std::chrono::steady_clock::now() - last_report_ < kReportInterval) return;
    Report(false);
}

void CFileProgress::Report(bool finished) noexcept {
    FileProgress report;
    report.name = name_.c_str();
    report.bytes = bytes_;
    report.total = total_;
    report.direction = direction_;
    report.finished = finished;
    last_report_ = std::chrono::steady_clock::now();
    listener_->OnFileProgress(report);
}
