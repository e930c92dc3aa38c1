// CPoll: the Poll component's one object.  It performs the transfers of one
// client (GetFiles, PutFiles) and keeps the little configuration the client
// sets first: log file, logging switches, result file, dealer identity.
//
// Every interface method runs inside the method frame: the object's
// re-entrant lock, the method's name on the log, the thread's rich error
// information cleared, the object's log made the thread's current log (and
// the caller's restored afterwards), rich error information and the outcome
// record on the way out.  Interface methods take BSTR arguments (borrowed:
// the object copies what it keeps) and never throw.
//
// The object owns its log, its transport and every text it keeps; the
// directory context lives for one Initialize.  The object-model glue (the
// class answering IPoll, IDispatch, the class factory) forwards to the
// public methods below; the internal steps are public too so that they can
// be exercised one by one.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "log/event_log.h"
#include "platform/com/bstr.h"
#include "platform/registry_keys.h"
#include "poll/deferred_removal.h"
#include "poll/result_file.h"
#include "support/compress.h"
#include "support/result.h"
#include "support/strings.h"
#include "transport/internet_access.h"

namespace zel::poll {
class TempFile;
}
struct FileListEntry;
struct ListedFile;
class GuardClaims;
class CProgressListener;

// Registry keys below HKEY_LOCAL_MACHINE that the object reads.
using zel::keys::kPollClientKey;
using zel::keys::kZelwayKey;

// The process-wide fixed layout below the install directory, recomputed at
// every construction.
struct PollLayout {
    std::string install_dir;
    std::string config_file;
    std::string upload_dir;
    std::string download_dir;
    std::string upload_guard;
    std::string download_guard;
    std::string scan_guard;
    std::string control_file;
    std::string password_file;
    std::string server_list_file;
    std::string exclusion_list;
    std::string server_info_file;
};
// A copy of the layout as the last construction computed it.
[[nodiscard]] PollLayout GetPollLayout();

class CPoll {
  public:
    // Directions of a request.
    static constexpr int kDownload = 0;
    static constexpr int kUpload = 1;

    CPoll();
    ~CPoll();
    CPoll(const CPoll&) = delete;
    CPoll& operator=(const CPoll&) = delete;

    // The interface.  The setters always return S_OK and report a failure
    // through the rich error information and the log; GetFiles and PutFiles
    // return their status.
    HRESULT SetLogFile(BSTR i_bstrFileName);
    HRESULT ReleaseLogFile();
    HRESULT EnableLogging(long i_bEnable);
    HRESULT SetDebugMode(long i_bDebugMode);
    [[nodiscard]] HRESULT GetFiles(BSTR i_bstrDownloadDir, BSTR i_bstrFilter);
    [[nodiscard]] HRESULT PutFiles(BSTR i_bstrUploadDir, BSTR i_bstrFilter, BSTR i_bstrDestDir);
    HRESULT SetResultFile(BSTR i_bstrResultFileName);
    HRESULT SetUserID(BSTR i_bstrUserID);

    // Internal steps.  Each logs its own failures once (context
    // "CPoll::<name>") and returns the status; out texts are new heap
    // strings the caller frees (FreeString), set to none first.
    [[nodiscard]] HRESULT GetWorkDirFromReg();
    [[nodiscard]] HRESULT Initialize(std::int32_t verb, const char* operation,
                                     const char* file_name, const char* filter,
                                     const char* checksum, const char* attributes, int direction,
                                     bool force_refresh);
    [[nodiscard]] HRESULT PrepareURI(const char* resource, const char* unit_contract,
                                     const char* file_name, const char* filter,
                                     const char* checksum, const char* attributes, char** out);
    [[nodiscard]] HRESULT PrepareHeaders();
    [[nodiscard]] HRESULT SendRequest();
    [[nodiscard]] HRESULT CheckXMLResponse(const char* text);
    [[nodiscard]] HRESULT GetUnitContractFromControlFile();
    [[nodiscard]] HRESULT GetUserNamePasswordFromFile();
    [[nodiscard]] HRESULT GetUserNamePasswordFromEncrStr(const char* text);
    [[nodiscard]] HRESULT GetUserNamePasswordFromEncrStr(const unsigned char* bytes,
                                                         std::size_t length);
    [[nodiscard]] HRESULT GetSupportFiles();
    [[nodiscard]] HRESULT DoGetFileListFromQuvaro(const char* envelope, const char* filter,
                                                  char** response, bool retry);
    [[nodiscard]] HRESULT DoGetFileFromQuvaro(const char* server_file, bool retry,
                                              const char* local_file);
    [[nodiscard]] HRESULT DoPutFileFromDealer(const char* file_name, const char* dest_dir,
                                              bool retry);
    [[nodiscard]] HRESULT DoPostProcessQuvaroFile(const char* envelope, char** response,
                                                  bool retry);
    // The per-file walk of a file list: each listed file fetched, checked,
    // placed in the working directory and post-processed, one result line
    // per file.  The status of the last failed entry, or success.
    [[nodiscard]] HRESULT GetFilesInList(const char* list);
    // The upload of the files of the working directory that match filter:
    // selected, packed, sent one by one and deleted once accepted.  The
    // status of the last failed file, or success.
    [[nodiscard]] HRESULT UploadFilesInDirectory(const char* filter, const char* dest_dir);
    // The upload list: names (not paths) of the files of dir to send, in
    // the reverse order of the listing, packed into ".dtz" files where the
    // "compression" level asks for it.  Never fails; an unreadable
    // directory gives an empty list.  The packed originals go through
    // removal; *waits gets for each name the ticket to wait for before
    // sending it (upload_packing.h).
    [[nodiscard]] std::vector<std::string> SelectUploadFiles(
        const std::string& dir, const char* pattern, const char* result_name,
        zel::poll::DeferredRemoval* removal,
        std::vector<zel::poll::DeferredRemoval::Ticket>* waits);
    // Starts "postprocessdealerfiles.bat" in the install directory (when it
    // exists) and waits for it; run after GetFiles when a file was placed.
    void RunPostProcessBatch();

    // The working directory of the direction (operation, registry, default).
    [[nodiscard]] const char* WorkingDirectory(int direction) const;
    // Appends a result line in the working directory of the direction.
    void WriteResult(int direction, int code, const char* text);

    // Where the progress of each file's transfer is reported (borrowed, may
    // be null: no reports); see file_progress.h.
    void SetProgressListener(CProgressListener* listener) { progress_listener_ = listener; }

    // Read access for the glue and the tests (owned by the object).
    [[nodiscard]] CEventLog& Log() { return log_; }
    [[nodiscard]] CInternetAccess& Transport() { return transport_; }
    [[nodiscard]] const char* UserName() const { return user_name_.get(); }
    [[nodiscard]] const char* UnitContract() const { return unit_contract_.get(); }
    [[nodiscard]] const char* ResultFileName() const { return result_file_.get(); }
    [[nodiscard]] bool PostProcessingFlag() const { return post_processing_ != 0; }

  private:
    template <typename Body>
    HRESULT RunInFrame(const char* method, bool write_outcome, Body body);
    void SetRichErrorInfo(HRESULT status);
    HRESULT SetWorkingDirFromArg(const char* context, const char* dir, int direction);
    HRESULT RunOperation(const char* context, std::int32_t verb, const char* operation,
                         const char* file_name, const char* filter, const char* checksum,
                         const char* attributes, int direction, const void* body,
                         std::int32_t body_length, const char* body_file, const char* response_file,
                         const char* content_type, bool retry,
                         CContentSink* response_sink = nullptr);
    // GetFileFromQuvaro with the body handed to sink (borrowed) while it
    // arrives instead of to a file; one attempt.
    HRESULT FetchListedFile(const char* server_file, CContentSink* sink);
    HRESULT ReadResponseText(const char* context, char** response);
    void ForgetCredentials();
    // One entry of the list walk.  A claimed name whose fetch failed, or
    // that never came to be fetched, is given back to *claims.
    HRESULT PlaceListedFile(const FileListEntry& entry, const ListedFile& file,
                            const std::string& temp_dir, zel::poll::TempFile* staging,
                            GuardClaims* claims);

    // State, in the order the design of the object keeps it.
    CEventLog log_;
    CInternetAccess transport_;
    CStringHolder user_name_;
    CStringHolder password_;
    CStringHolder unit_contract_;
    CStringHolder operation_dir_;
    CStringHolder registry_dir_;
    std::recursive_mutex method_lock_;
    CEventLog* saved_current_log_ = nullptr;
    CStringHolder result_file_;
    // What the packing pass of the upload running now knows of each ".dtz"
    // it wrote (by name): its CRC-32 need not be read back from the disk
    // while the file is still the one written.  Empty outside an upload.
    std::unordered_map<std::string, PackedFacts> packed_facts_;
    // The result file of the operation running now: opened on its first
    // line, closed when the outermost operation ends (a line written
    // outside any operation closes it at once).
    zel::poll::ResultFileWriter results_;
    int operation_depth_ = 0;
    unsigned char post_processing_ = 0;
    // Set while the first-run bootstrap fetches the support files: they
    // carry the dealer's credentials, so they are staged and placed for the
    // owner alone.
    bool owner_only_files_ = false;
    CProgressListener* progress_listener_ = nullptr;  // borrowed
};

// The two request envelopes, formatted into the 512-byte buffer they are
// limited to.  A contract and file name too long to fit fail with
// 0x801F811D (logged with the context) instead of sending a cut envelope.
[[nodiscard]] HRESULT BuildListEnvelope(CEventLog* log, const char* unit_contract, char** out);
[[nodiscard]] HRESULT BuildPostProcessEnvelope(CEventLog* log, const char* unit_contract,
                                               const char* file_name, char** out);
// Appends value to *out with "&", "=", "+", "%", "#", blanks, control
// characters and non-ASCII bytes percent-encoded; "/" and every other
// character are kept as they are.
void AppendQueryValue(const char* value, std::string* out);
// Bounds of one file list answer, so that a huge or hostile list can hold
// neither the download's memory nor its time: a real list names a few dozen
// files.  A longer answer, or one with more "<FN>" elements, is refused
// whole with the status of a malformed list (0x80248165), nothing fetched.
inline constexpr std::size_t kMaxFileListBytes = 4u << 20;
inline constexpr std::size_t kMaxFileListEntries = 10000;
// One entry of a file list answer: the trimmed texts of its FN element and
// of the FT, FC and FP elements that follow it before the next FN.  An entry
// never borrows a later entry's elements.
struct FileListEntry {
    std::string fn;
    std::string ft;
    std::string fc;
    std::string fp;
    bool has_fp = false;
    // FT and then FC were found after FN; an entry without them is invalid.
    bool complete = false;
};
// The entries of a file list answer in their order: one per "<FN>" that has
// its "</FN>"; the scan stops at the first FN without its closing tag.
[[nodiscard]] std::vector<FileListEntry> ScanFileList(std::string_view text);
// The names a listed file is handled under: the base name (after the last
// "/" of fn) and the final name (the base name cut at its first ".dtz").
// True when both may be created in the working directory (IsSafeLocalName)
// and the final name is not of our temporaries' form (zel::fs::IsOwnedTempName).
[[nodiscard]] bool ListedFileNames(const std::string& fn, std::string* base,
                                   std::string* final_name);
// An FC value of a file list: optional sign, decimal digits accumulated
// modulo 2^32, so that it compares with an unsigned CRC-32.
[[nodiscard]] std::uint32_t ParseListChecksum(const char* text);
// True when name may be created in the working directory as it stands: a
// name of one entry there (fs::IsEntryName: not empty, ".", or "..", no
// separator, within the system's length of a name) without a control
// character.
[[nodiscard]] bool IsSafeLocalName(const std::string& name);
// An exclusion-list pattern against a whole file name: "*" any run, "?" one
// character, anything else itself without regard to case.
[[nodiscard]] bool ExclusionPatternMatch(std::string_view pattern, std::string_view name);
// The patterns of the exclusion list at path: every line except empty ones
// and those starting with "#"; a missing file gives none.
[[nodiscard]] std::vector<std::string> ReadExclusionList(const std::string& path);
