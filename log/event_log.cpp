// CEventLog: record formats, outputs and the thread's current log.  See
// event_log.h for the contract.
#include "log/event_log.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/fs.h"
#include "platform/system.h"

namespace {

// Catalogue IDs of the log's own vocabulary.
enum : unsigned {
    kIdInformation = 172,
    kIdWarning = 174,
    kIdError = 173,
    kIdStampOpen = 175,
    kIdStampClose = 176,
    kIdSeverityOpen = 177,
    kIdSeverityClose = 178,
    kIdDateTimeGap = 179,
    kIdGroupGap = 180,
    kIdTextGap = 181,
    kIdLabelSeverity = 207,
    kIdLabelSeparator = 208,
    kIdLabelCategory = 209,
    kIdLabelUser = 210,
    kIdLabelTimeStamp = 211,
    kIdLabelMessageId = 212,
    kIdLabelMessage = 213,
    kIdLabelContext = 214,
    kIdFirstCategory = 215,  // 215-221: categories 31-37
    kIdOperationSeparator = 222,
    kIdDebugInformation = 241,
    kIdMarker = 242,
};

// Formatted messages and finished records hold at most this many characters;
// anything longer is dropped whole.  A result line cut to 1024 characters
// still fits together with its line feed.
constexpr int kMaxText = 1025;
// Full paths of log files hold at most this many characters.
constexpr std::size_t kMaxPath = 520;
// A log file above this size is cut on Open to its last kKeptBytes bytes.
constexpr long long kCutAbove = 512000;
constexpr long long kKeptBytes = 256000;

// The bytes a text-mode write stores: every LF becomes CR LF.  A record
// holds at most kMaxText characters, so its bytes fit in out; the count of
// bytes stored is returned.
std::size_t ToTextMode(const char* text, std::size_t size, char (&out)[2 * kMaxText]) {
    std::size_t put = 0;
    for (std::size_t i = 0; i < size && put + 2 <= sizeof out; ++i) {
        if (text[i] == '\n') out[put++] = '\r';
        out[put++] = text[i];
    }
    return put;
}

// The absolute form of path, with "." and ".." resolved by name (the file
// need not exist), without a trailing "/".  False for an empty path or one
// that cannot be formed.
bool FullPathOf(const char* path, std::string* out) {
    if (path == nullptr || *path == '\0') return false;
    std::string full;
    if (zel::fs::AbsolutePath(path, &full) != 0) return false;
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    *out = std::move(full);
    return true;
}

// Cuts a file over kCutAbove bytes to its last kKeptBytes bytes, in place
// and under the file's lock, so that a descriptor another process keeps
// open for appending stays valid.  A link in the file's place is left
// alone: the cut would land on its target.
void CutIfLarge(const std::string& path) {
    zel::fs::UniqueFd fd;
    if (zel::fs::OpenForUpdating(path.c_str(), &fd, zel::fs::Links::kRefuse) != 0) return;
    if (zel::fs::LockExclusive(fd.get()) != 0) return;  // uncut rather than cut unguarded
    (void)zel::fs::CutToTail(fd.get(), kCutAbove, kKeptBytes);
}

// The log file opened for appending: regular files only, so that a FIFO in
// its place never blocks a process that logs, and never through a symbolic
// link, so that a link planted under the log's name cannot make us write to
// a file elsewhere (another user's, or one we may write and they may not).
int OpenForAppend(const char* path) {
    zel::fs::UniqueFd fd;
    if (zel::fs::OpenForAppending(path, &fd, zel::fs::Links::kRefuse) != 0) return -1;
    return fd.release();
}

// Local date "MM/DD/YY" and time "HH:MM:SS.mmm (pid)".
void Timestamp(char (&date)[40], char (&time_text)[48]) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    struct tm local {};
    (void)zel::sys::LocalTime(seconds, &local);
    std::snprintf(date, sizeof date, "%02d/%02d/%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year % 100);
    std::snprintf(time_text, sizeof time_text, "%02d:%02d:%02d.%03d (%d)", local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(milliseconds),
                  static_cast<int>(zel::sys::ProcessId()));
}

}  // namespace

DecodedResult DecodeResultCode(HRESULT code) {
    const std::uint32_t bits = ResultBits(code);
    DecodedResult r;
    r.severity = (bits & 0x80000000u) != 0 ? kSeverityError : kSeverityInformation;
    const int facility = static_cast<int>((bits >> 16) & 0x1FFFu);
    r.category = (facility == 31 || (facility >= 33 && facility <= 37))
                     ? facility
                     : kCategoryClientApplication;
    const auto low = static_cast<std::int16_t>(bits & 0xFFFFu);
    r.class_digit = low < 0x4000 ? 2 : 1;
    r.number = static_cast<int>(bits & 0x3FFFu);
    return r;
}

CEventLog::CEventLog(const CMessageCatalogue* catalogue)
    : catalogue_(catalogue != nullptr ? catalogue : &ComponentCatalogue()) {}

CEventLog::~CEventLog() {
    // A log destroyed while it is some thread's current log must not be left
    // behind in this thread's slot.
    if (GetCurrentReportSink() == this) SetCurrentReportSink(nullptr);
}

void CEventLog::LoadVocabulary() {
    if (words_loaded_) return;
    auto text = [this](unsigned id) {
        const char* t = catalogue_->Find(id);
        return t != nullptr ? t : "";
    };
    Vocabulary* w = &words_;
    w->stamp_open = text(kIdStampOpen);
    w->stamp_close = text(kIdStampClose);
    w->severity_open = text(kIdSeverityOpen);
    w->severity_close = text(kIdSeverityClose);
    w->date_time_gap = text(kIdDateTimeGap);
    w->group_gap = text(kIdGroupGap);
    w->text_gap = text(kIdTextGap);
    w->information = text(kIdInformation);
    w->warning = text(kIdWarning);
    w->error = text(kIdError);
    w->debug_information = text(kIdDebugInformation);
    for (unsigned i = 0; i < 7; ++i) w->categories[i] = text(kIdFirstCategory + i);
    w->label_separator = text(kIdLabelSeparator);
    w->label_timestamp = text(kIdLabelTimeStamp);
    w->label_severity = text(kIdLabelSeverity);
    w->label_category = text(kIdLabelCategory);
    w->label_message = text(kIdLabelMessage);
    w->label_message_id = text(kIdLabelMessageId);
    w->label_context = text(kIdLabelContext);
    w->label_user = text(kIdLabelUser);
    w->operation_separator = text(kIdOperationSeparator);
    w->marker = text(kIdMarker);
    words_loaded_ = true;
}

const char* CEventLog::SeverityWord(int severity) const {
    switch (severity) {
        case kSeverityError:
            return words_.error;
        case kSeverityWarning:
            return words_.warning;
        case kSeverityDebug:
            return words_.debug_information;
        default:
            return words_.information;
    }
}

const char* CEventLog::CategoryWord(int category) const {
    if (category == 31 || (category >= 33 && category <= 37)) {
        return words_.categories[category - 31];
    }
    return words_.categories[kCategoryClientApplication - 31];
}

bool CEventLog::Open(const char* path, bool keep_open) {
    if (path == nullptr) return false;
    Close();
    std::string full;
    try {
        if (!FullPathOf(path, &full) || full.size() > kMaxPath) return false;
    } catch (const std::bad_alloc&) {
        return false;  // no memory to form the path
    }
    keep_open_ = keep_open;

    // Made writable on a descriptor of the file itself, never through a link
    // (a missing file or a link is left as it is; the append below refuses
    // the link).
    (void)zel::fs::ClearReadOnlyNoLink(full.c_str());

    CutIfLarge(full);

    zel::fs::UniqueFd fd(OpenForAppend(full.c_str()));
    if (!fd) return false;
    if (keep_open_) stream_ = std::move(fd);

    // The stored path is replaced unless it names the same file.  Names are
    // compared exactly: on this file system names differing in case are
    // different files, and records must reach the file just opened.
    if (!path_ || std::strcmp(path_.get(), full.c_str()) != 0) {
        if (FAILED(CopyString(full.c_str(), &path_, false))) {
            stream_.reset();
            return false;
        }
    }
    return true;
}

void CEventLog::Close() {
    stream_.reset();
    held_.reset();
}

void CEventLog::ReleaseFile() {
    if (hold_depth_ > 0 && --hold_depth_ == 0) held_.reset();
}

bool CEventLog::SetOutputMode(int mode) {
    if (mode < kOutputConsole || mode > kOutputBoth) return false;
    output_mode_ = mode;
    return true;
}

bool CEventLog::SetFormatMode(int mode) {
    if (mode != kFormatStamped && mode != kFormatBare) return false;
    format_mode_ = mode;
    return true;
}

bool CEventLog::SetUser(const char* text) {
    return SUCCEEDED(CopyString(text, &user_, true));
}

bool CEventLog::SetOperation(const char* text) {
    return SUCCEEDED(CopyString(text, &operation_, true));
}

bool CEventLog::WriteLine(int severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool written = VWriteLine(severity, format, args);
    va_end(args);
    return written;
}

bool CEventLog::WriteLineById(int severity, unsigned message_id, ...) {
    va_list args;
    va_start(args, message_id);
    bool written = VWriteLineById(severity, message_id, args);
    va_end(args);
    return written;
}

bool CEventLog::VWriteLineById(int severity, unsigned message_id, va_list args) {
    const char* format = catalogue_->Find(message_id);
    if (format == nullptr) return false;
    return VWriteLine(severity, format, args);
}

bool CEventLog::VWriteLine(int severity, const char* format, va_list args) {
    if (!enabled_ && !debug_output_) return false;
    if (severity == kSeverityDebug && !debug_messages_) return false;
    if (format == nullptr) return false;

    char message[kMaxText + 1];
    int n = std::vsnprintf(message, sizeof message, format, args);
    if (n < 0 || n > kMaxText) return false;

    LoadVocabulary();
    const Vocabulary& w = words_;
    char line[kMaxText + 1];
    if (format_mode_ == kFormatStamped) {
        char date[40];
        char time_text[48];
        Timestamp(date, time_text);
        n = std::snprintf(
            line, sizeof line, newline_ ? "%s%s%s%s%s%s%s%s%s%s%s\n" : "%s%s%s%s%s%s%s%s%s%s%s",
            w.stamp_open, date, w.date_time_gap, time_text, w.stamp_close, w.group_gap,
            w.severity_open, SeverityWord(severity), w.severity_close, w.text_gap, message);
    } else {
        n = std::snprintf(line, sizeof line, newline_ ? "%s\n" : "%s", message);
    }
    if (n < 0 || n > kMaxText) return false;
    Emit(line, static_cast<std::size_t>(n));
    return true;
}

bool CEventLog::WriteRecord(int severity, int category, int class_digit, const char* context,
                            int number, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool written = VWriteRecord(severity, category, class_digit, context, number, format, args);
    va_end(args);
    return written;
}

bool CEventLog::WriteRecordById(int severity, int category, int class_digit, const char* context,
                                int number, unsigned message_id, ...) {
    va_list args;
    va_start(args, message_id);
    bool written =
        VWriteRecordById(severity, category, class_digit, context, number, message_id, args);
    va_end(args);
    return written;
}

bool CEventLog::VWriteRecordById(int severity, int category, int class_digit, const char* context,
                                 int number, unsigned message_id, va_list args) {
    const char* format = catalogue_->Find(message_id);
    if (format == nullptr) return false;
    return VWriteRecord(severity, category, class_digit, context, number, format, args);
}

bool CEventLog::VWriteRecord(int severity, int category, int class_digit, const char* context,
                             int number, const char* format, va_list args) {
    if (!enabled_ && !debug_output_) return false;
    if (severity == kSeverityDebug && !debug_messages_) return false;

    char message[kMaxText + 1];
    int n = std::vsnprintf(message, sizeof message, format != nullptr ? format : "", args);
    if (n < 0 || n > kMaxText) return false;

    LoadVocabulary();
    const Vocabulary& w = words_;
    // Error texts read class "~~" detail; only the debugger gets the detail.
    if (!debug_output_ && *w.marker != '\0') {
        char* marker = std::strstr(message, w.marker);
        if (marker != nullptr) *marker = '\0';
    }

    char date[40];
    char time_text[48];
    Timestamp(date, time_text);
    const char* ctx = context != nullptr ? context : "";
    char record[kMaxText + 1];
    if (!operation_ || *operation_.get() == '\0') {
        n = std::snprintf(
            record, sizeof record,
            "%s%s%s%s%s\n%s%s%s\n%s%s%s\n%s%s%s\n%s%s%01d%02d%01d%04d\n%s%s%s\n"
            "%s%s%s\n\n",
            w.label_timestamp, w.label_separator, date, w.date_time_gap, time_text, w.label_user,
            w.label_separator, user_.c_str(), w.label_severity, w.label_separator,
            SeverityWord(severity), w.label_category, w.label_separator, CategoryWord(category),
            w.label_message_id, w.label_separator, severity, category, class_digit, number,
            w.label_message, w.label_separator, message, w.label_context, w.label_separator, ctx);
    } else {
        n = std::snprintf(record, sizeof record,
                          "%s%s%s%s%s\n%s%s%s\n%s%s%s\n%s%s%s\n%s%s%01d%02d%01d%04d\n%s%s%s\n"
                          "%s%s%s%s%s\n\n",
                          w.label_timestamp, w.label_separator, date, w.date_time_gap, time_text,
                          w.label_user, w.label_separator, user_.c_str(), w.label_severity,
                          w.label_separator, SeverityWord(severity), w.label_category,
                          w.label_separator, CategoryWord(category), w.label_message_id,
                          w.label_separator, severity, category, class_digit, number,
                          w.label_message, w.label_separator, message, w.label_context,
                          w.label_separator, operation_.get(), w.operation_separator, ctx);
    }
    if (n < 0 || n > kMaxText) return false;
    Emit(record, static_cast<std::size_t>(n));
    return true;
}

void CEventLog::Emit(const char* text, std::size_t size) {
    if (enabled_ && (output_mode_ == kOutputFile || output_mode_ == kOutputBoth)) {
        AppendToFile(text, size);
    }
    if (enabled_ && (output_mode_ == kOutputConsole || output_mode_ == kOutputBoth)) {
        std::fwrite(text, 1, size, stdout);
        std::fflush(stdout);
    }
    if (debug_output_) {
        std::fwrite(text, 1, size, stderr);
        std::fflush(stderr);
    }
}

void CEventLog::AppendToFile(const char* text, std::size_t size) {
    if (keep_open_ && !stream_) return;
    if (!path_) return;
    char bytes[2 * kMaxText];
    const std::size_t count = ToTextMode(text, size, bytes);
    // Allocates nothing: a record reports running out of memory, too.
    if (stream_) {
        if (zel::fs::LockExclusive(stream_.get()) != 0) return;
        (void)zel::fs::WriteAll(stream_.get(), bytes, count);
        zel::fs::UnlockFile(stream_.get());
        return;
    }
    if (hold_depth_ > 0) {
        if (zel::fs::RelockForAppending(path_.get(), &held_, zel::fs::Links::kRefuse, &held_id_) !=
            0)
            return;
        (void)zel::fs::WriteAll(held_.get(), bytes, count);
        zel::fs::UnlockFile(held_.get());
        return;
    }
    (void)zel::fs::AppendLocked(path_.get(), bytes, count, zel::fs::Links::kRefuse);
}

bool CEventLog::ReportSupportCode(HRESULT code, const char* context, unsigned message_id) {
    return ReportCode(this, code, context, message_id);
}

bool ReportCode(CEventLog* log, HRESULT code, const char* context, unsigned message_id, ...) {
    if (log == nullptr) return false;
    const DecodedResult d = DecodeResultCode(code);
    va_list args;
    va_start(args, message_id);
    bool written = log->VWriteRecordById(d.severity, d.category, d.class_digit, context, d.number,
                                         message_id, args);
    va_end(args);
    return written;
}

bool ReportCodeText(CEventLog* log, HRESULT code, const char* context, const char* format, ...) {
    if (log == nullptr) return false;
    const DecodedResult d = DecodeResultCode(code);
    va_list args;
    va_start(args, format);
    bool written =
        log->VWriteRecord(d.severity, d.category, d.class_digit, context, d.number, format, args);
    va_end(args);
    return written;
}

void SetCurrentLog(CEventLog* log) {
    SetCurrentReportSink(log);
}

CEventLog* GetCurrentLog() {
    return dynamic_cast<CEventLog*>(GetCurrentReportSink());
}
