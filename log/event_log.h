// CEventLog: the one writer of human-readable diagnostics.
//
// A log formats records from its deliverable's message catalogue and sends
// each to up to three places: a log file that is appended to, standard
// output, and the debugger output (standard error here).  Two record shapes:
// the full record (labelled lines ending in an empty line) and the one-line
// record (one bracketed line, or in bare format mode just the text).
//
// Files are written in text mode: every line feed of a record reaches the
// file as CR LF, so log and result files are byte-identical to those the
// system writes on Windows, where the business system reads them.  Standard output and standard
// error get plain line feeds. Every append (and the cutting of a large file on Open) holds the log
// file's own lock, an flock on the open file (platform/fs.h), so several
// writers, in one process or in several, may append to one file and each
// record arrives whole.  No lock file is made: appending creates nothing
// beside the log, and a writer that dies holding the lock gives it back as
// it dies.  Each append opens, locks, writes and closes the file unless the
// log was opened in keep-open mode or its file is held (HoldFile): a kept
// descriptor is locked for each append, and a held one is also checked to be
// the file the path names, and replaced when it is not.
//
// The log never reports its own failures and never fails loudly: a record
// that cannot be formed (over 1025 characters, unknown catalogue ID) is
// dropped whole, and a file that cannot be opened or written produces no
// output.  Write results tell whether a record was formed and handed to the
// outputs; callers routinely ignore them, so they are not [[nodiscard]].
//
// Words and labels come from the log's catalogue, looked up once on first use;
// a word the catalogue lacks prints as empty text.
//
// The object owns every string it keeps (user, operation, path) and its open
// file descriptor; it has no lock of its own: its owner serialises the calls.
// The thread's current log (SetCurrentLog) is where the support routines
// report their failures.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "log/catalogue.h"
#include "platform/fs.h"
#include "platform/printf_format.h"
#include "support/report_sink.h"
#include "support/result.h"
#include "support/strings.h"

// Earlier versions guarded each append with a lock file (the log's name +
// ".qvzel_lock") that the next writer took over after this many minutes.
// The log no longer makes one; status tools still judge such a file, left
// behind by an earlier version, by this limit.
inline constexpr int kLogLockStaleMinutes = 1;

// Severities: the first argument of every write.
inline constexpr int kSeverityError = 1;
inline constexpr int kSeverityWarning = 2;
inline constexpr int kSeverityInformation = 3;  // also any value not listed
inline constexpr int kSeverityDebug = 4;        // written only with debug messages on

// Categories of a full record.
inline constexpr int kCategoryInputData = 31;
inline constexpr int kCategoryClientApplication = 32;  // also any number not listed
inline constexpr int kCategoryClientCommunication = 33;
inline constexpr int kCategoryClientAuthentication = 34;
inline constexpr int kCategoryServerApplication = 35;
inline constexpr int kCategoryServerResponseData = 36;
inline constexpr int kCategoryServerResponse = 37;

// Output modes and format modes.
inline constexpr int kOutputConsole = 1;
inline constexpr int kOutputFile = 2;
inline constexpr int kOutputBoth = 3;
inline constexpr int kFormatStamped = 1;
inline constexpr int kFormatBare = 2;

// A result code taken apart into the numbers of a full record: bit 31 set
// gives severity 1, else 3; the facility (bits 16-28) is the category when it
// is 31 or 33-37, else 32; the class digit is 2 when the low 16 bits read as
// a signed number are below 0x4000, else 1; the number is bits 0-13.
struct DecodedResult {
    int severity;
    int category;
    int class_digit;
    int number;
};
[[nodiscard]] DecodedResult DecodeResultCode(HRESULT code);

class CEventLog : public CReportSink {
  public:
    // catalogue: the deliverable's table (borrowed; it must outlive the log);
    // null means the component's catalogue.  Starts enabled, writing to the
    // file only, in stamped format with line ends on, debug output and debug
    // messages off, and with no file: until Open succeeds file output is
    // silently dropped.
    explicit CEventLog(const CMessageCatalogue* catalogue = nullptr);
    ~CEventLog() override;
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // Opens the log file: closes a kept stream, forms the full path, clears
    // the file's read-only attribute, and under the file's lock cuts a file
    // over 512000 bytes to its last 256000 bytes; then opens it
    // for appending (creating it), keeping the descriptor in keep-open mode.
    // Stores the full path unless the stored one is the same.
    // False for a missing path, a full path over 520 characters or a file
    // that cannot be opened; the previously stored path then stays.
    [[nodiscard]] bool Open(const char* path, bool keep_open);
    // Closes the kept stream, if any, and a held descriptor; the stored path
    // stays.
    void Close();

    // From HoldFile to the matching ReleaseFile (they nest), appends outside
    // keep-open mode keep the file's descriptor from one record to the next
    // instead of opening and closing the file for each; every record still
    // takes the file's lock, and a path that names another file than the
    // one held (the log was removed, replaced or renamed away since the last
    // record) is opened afresh, so records land where they would without the
    // hold.  For a run of many records: an operation of the component.
    void HoldFile() { ++hold_depth_; }
    void ReleaseFile();

    void SetEnabled(bool on) { enabled_ = on; }
    void SetDebugOutput(bool on) { debug_output_ = on; }
    void SetDebugMessages(bool on) { debug_messages_ = on; }
    [[nodiscard]] bool GetDebugMessages() const { return debug_messages_; }
    void SetNewline(bool on) { newline_ = on; }
    // 1 standard output, 2 file, 3 both; any other value is refused (false)
    // and the mode stays.
    [[nodiscard]] bool SetOutputMode(int mode);
    // 1 stamped one-line records, 2 bare text; others refused (false).
    [[nodiscard]] bool SetFormatMode(int mode);
    // Keep a copy of text with blanks trimmed (none clears it).  False only
    // when the copy cannot be made; the previous text then stays.
    [[nodiscard]] bool SetUser(const char* text);
    [[nodiscard]] bool SetOperation(const char* text);
    // The stored text (owned by the log) or null.
    [[nodiscard]] const char* GetUser() const { return user_.get(); }
    [[nodiscard]] const char* GetOperation() const { return operation_.get(); }
    // The stored full path of the log file (owned by the log) or null.
    [[nodiscard]] const char* GetPath() const { return path_.get(); }

    // One-line record from a printf format.  A missing format gives false.
    bool WriteLine(int severity, const char* format, ...) ZEL_PRINTF_FORMAT(3, 4);
    bool VWriteLine(int severity, const char* format, va_list args);
    // The same with the format from the catalogue; an unknown ID gives false.
    bool WriteLineById(int severity, unsigned message_id, ...);
    bool VWriteLineById(int severity, unsigned message_id, va_list args);

    // Full record.  A missing context or format counts as empty text.
    bool WriteRecord(int severity, int category, int class_digit, const char* context, int number,
                     const char* format, ...) ZEL_PRINTF_FORMAT(7, 8);
    bool VWriteRecord(int severity, int category, int class_digit, const char* context, int number,
                      const char* format, va_list args);
    bool WriteRecordById(int severity, int category, int class_digit, const char* context,
                         int number, unsigned message_id, ...);
    bool VWriteRecordById(int severity, int category, int class_digit, const char* context,
                          int number, unsigned message_id, va_list args);

    // The support routines' reports: ReportCode(this, code, context, id).
    bool ReportSupportCode(HRESULT code, const char* context, unsigned message_id) override;

    [[nodiscard]] const CMessageCatalogue& Catalogue() const { return *catalogue_; }

  private:
    // The cached catalogue texts (pointers into the static catalogue).  They
    // live in the object rather than on the heap so that a record can still
    // be formed when memory has run out, which is when "Out of memory" is
    // reported.
    struct Vocabulary {
        const char* stamp_open;
        const char* stamp_close;
        const char* severity_open;
        const char* severity_close;
        const char* date_time_gap;
        const char* group_gap;
        const char* text_gap;
        const char* information;
        const char* warning;
        const char* error;
        const char* debug_information;
        const char* categories[7];
        const char* label_separator;
        const char* label_timestamp;
        const char* label_severity;
        const char* label_category;
        const char* label_message;
        const char* label_message_id;
        const char* label_context;
        const char* label_user;
        const char* operation_separator;
        const char* marker;
    };

    void LoadVocabulary();
    const char* SeverityWord(int severity) const;
    const char* CategoryWord(int category) const;
    void Emit(const char* text, std::size_t size);
    void AppendToFile(const char* text, std::size_t size);

    const CMessageCatalogue* catalogue_;
    bool debug_output_ = false;
    bool enabled_ = true;
    zel::fs::UniqueFd stream_;
    zel::fs::UniqueFd held_;   // the file's descriptor while held
    zel::fs::FileId held_id_;  // which file held_ is open on
    int hold_depth_ = 0;
    int output_mode_ = kOutputFile;
    bool newline_ = true;
    int format_mode_ = kFormatStamped;
    bool keep_open_ = false;
    CStringHolder path_;
    CStringHolder user_;
    CStringHolder operation_;
    bool debug_messages_ = false;
    bool words_loaded_ = false;
    Vocabulary words_{};  // the cached catalogue texts, loaded on first use
};

// Holds a log's file (HoldFile) for the life of the scope.
class CEventLogFileHold {
  public:
    explicit CEventLogFileHold(CEventLog* log) : log_(log) { log_->HoldFile(); }
    ~CEventLogFileHold() { log_->ReleaseFile(); }
    CEventLogFileHold(const CEventLogFileHold&) = delete;
    CEventLogFileHold& operator=(const CEventLogFileHold&) = delete;

  private:
    CEventLog* log_;
};

// Decode code (DecodeResultCode) and write a full record with the catalogue
// text message_id / the format.  A missing log gives false and writes nothing.
bool ReportCode(CEventLog* log, HRESULT code, const char* context, unsigned message_id, ...);
bool ReportCodeText(CEventLog* log, HRESULT code, const char* context, const char* format, ...)
    ZEL_PRINTF_FORMAT(4, 5);

// The calling thread's current log (borrowed; null for none).  The support
// routines report to it.
void SetCurrentLog(CEventLog* log);
[[nodiscard]] CEventLog* GetCurrentLog();
