// CPoll: construction, the fixed layout, the method frame, the setters and
// the two operations' outer steps.  Requests are built in request.cpp, the
// identity and credentials are read in identity.cpp.
#include "poll/poll.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "log/report.h"
#include "platform/com/com.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "poll/ipoll.h"
#include "poll/poll_status.h"
#include "poll/result_file.h"
#include "support/files.h"
#include "support/guard.h"
#include "support/result_codes.h"

using namespace zel::poll;
using namespace zel::codes;

namespace {

std::mutex g_layout_mutex;
PollLayout g_layout;

void ComputeLayout() {
    PollLayout layout;
    layout.install_dir = zel::paths::CommDir();
    auto in = [&](const char* name) { return zel::paths::Join(layout.install_dir, name); };
    layout.config_file = in("ferrun.conf");
    layout.upload_dir = in("UPLOAD");
    layout.download_dir = in("DOWNLOAD");
    layout.upload_guard = in(kUploadGuard.name);
    layout.download_guard = in(kDownloadGuard.name);
    layout.scan_guard = in(kScanGuard.name);
    layout.control_file = in("CONTROL");
    layout.password_file = in("IACCESS");
    layout.server_list_file = in("ISERVER.XML");
    layout.exclusion_list = in("exclude_files.list");
    layout.server_info_file = in("RetrieveServerInformation.xml");
    // The key is made when missing and then names the install directory.  A
    // value found in an existing key does not move the layout: the other
    // programs use the same fixed directory.
    zel::reg::Key key;
    zel::reg::Disposition disposition = zel::reg::Disposition::OpenedExistingKey;
    if (zel::reg::CreateKey(zel::reg::Hive::LocalMachine, kZelwayKey, &key, &disposition) ==
            zel::reg::kSuccess &&
        disposition == zel::reg::Disposition::CreatedNewKey) {
        (void)zel::reg::SetString(key, "InstallDir", layout.install_dir);
    }
    std::lock_guard<std::mutex> lock(g_layout_mutex);
    g_layout = std::move(layout);
}

// Trimmed 8-bit text of a BSTR; null gives empty text.
HRESULT TextFromBstr(BSTR value, CStringHolder& out) {
    return GetStringFromWSTR(value, out.Out(), true);
}

bool IsEmpty(const char* text) {
    return text == nullptr || *text == '\0';
}

}  // namespace

PollLayout GetPollLayout() {
    std::lock_guard<std::mutex> lock(g_layout_mutex);
    return g_layout;
}

CPoll::CPoll() : log_(), transport_(&log_) {
    (void)log_.SetOutputMode(kOutputFile);
    log_.SetEnabled(true);
    log_.SetDebugOutput(false);
    log_.SetDebugMessages(false);
    ComputeLayout();
    CStringHolder path;
    if (SUCCEEDED(GetFullFileName(GetPollLayout().install_dir.c_str(), "client.log", path.Out()))) {
        (void)log_.Open(path.get(), false);  // a failure leaves the log without a file
    }
}

CPoll::~CPoll() {
    ForgetCredentials();
}

namespace {

// Makes a log the thread's current log for the life of the scope and puts the
// one before it back on every way out, an exception included, so that the
// caller's thread never keeps pointing into this object.
class CurrentLogScope {
  public:
    explicit CurrentLogScope(CEventLog* log) : previous_(GetCurrentLog()) { SetCurrentLog(log); }
    ~CurrentLogScope() { SetCurrentLog(previous_); }
    CurrentLogScope(const CurrentLogScope&) = delete;
    CurrentLogScope& operator=(const CurrentLogScope&) = delete;
    [[nodiscard]] CEventLog* previous() const { return previous_; }

  private:
    CEventLog* previous_;
};

}  // namespace

// The frame is the object's boundary: nothing thrown inside it reaches the
// caller.  An allocation that fails in the method becomes E_OUTOFMEMORY (then
// reported like any failed status); anything else thrown, E_UNEXPECTED.
template <typename Body>
HRESULT CPoll::RunInFrame(const char* method, bool write_outcome, Body body) {
    try {
        std::lock_guard<std::recursive_mutex> lock(method_lock_);
        (void)log_.SetOperation(method);
        (void)SetErrorInfo(0, nullptr);
        const CurrentLogScope current(&log_);
        // One descriptor of the log file serves every record of the method
        // (a transfer writes several per file), each record still appended
        // under the file's lock.
        const CEventLogFileHold hold(&log_);
        saved_current_log_ = current.previous();
        HRESULT status = E_UNEXPECTED;
        try {
            // The operation's result lines are all written once it is left,
            // however: its readers may take the file from there on.
            struct OperationScope {
                CPoll* poll;
                explicit OperationScope(CPoll* p) : poll(p) { ++poll->operation_depth_; }
                ~OperationScope() {
                    if (--poll->operation_depth_ == 0) poll->results_.Close();
                }
            } scope(this);
            status = body();
        } catch (const std::bad_alloc&) {
            status = E_OUTOFMEMORY;
        } catch (...) {
            status = E_UNEXPECTED;
        }
        try {
            if (FAILED(status)) SetRichErrorInfo(status);
            if (write_outcome) {
                const std::string context = std::string("CPoll::") + method;
                const DecodedResult decoded = DecodeResultCode(status);
                log_.WriteRecordById(FAILED(status) ? kSeverityError : kSeverityInformation,
                                     kCategoryClientApplication, decoded.class_digit,
                                     context.c_str(), StatusNumber(status),
                                     FAILED(status) ? kMsgOperationFailed : kMsgOperationOk);
            }
        } catch (...) {
            // The status stands; only its report was lost.
        }
        saved_current_log_ = nullptr;
        return status;
    } catch (const std::bad_alloc&) {
        saved_current_log_ = nullptr;
        return E_OUTOFMEMORY;
    } catch (...) {
        saved_current_log_ = nullptr;
        return E_UNEXPECTED;
    }
}

void CPoll::SetRichErrorInfo(HRESULT status) {
    const CMessageCatalogue& catalogue = log_.Catalogue();
    std::string description;
    if (StatusCategory(status) == kCategoryServerResponse) {
        const char* format = catalogue.Find(kMsgServerResponse);
        if (format == nullptr) {
            description = "Unknown Error";
        } else {
            char buffer[1100];
            std::snprintf(buffer, sizeof buffer, format, StatusNumber(status));
            description = buffer;
        }
    } else {
        const unsigned id = zel::codes::MessageIdFor(status);
        if (id == 0) return;
        const char* text = catalogue.Find(id);
        description = text != nullptr ? text : "Unknown Error";
    }
    // The error object goes through the object-model runtime, so a client on
    // the other side of the library boundary reads it with GetErrorInfo.
    BSTR wide = nullptr;
    if (FAILED(GetBSTRFromString(description.c_str(), &wide))) return;
    (void)zel::com::SetErrorDetails(IID_IPoll, kPollProgId, wide);
    (void)FreeBSTR(&wide);
}

HRESULT CPoll::SetLogFile(BSTR i_bstrFileName) {
    (void)RunInFrame("SetLogFile", false, [&]() -> HRESULT {
        CStringHolder name;
        HRESULT hr = TextFromBstr(i_bstrFileName, name);
        if (FAILED(hr)) return hr;
        if (IsEmpty(name.get()))
            return zel::log::ReportStatus(&log_, kInvalidFileName, "CPoll::SetLogFile");
        if (!log_.Open(name.get(), false)) {
            return zel::log::ReportStatus(&log_, kOpenLogFile, "CPoll::SetLogFile");
        }
        return S_OK;
    });
    return S_OK;
}

HRESULT CPoll::ReleaseLogFile() {
    return RunInFrame("ReleaseLogFile", false, [&]() -> HRESULT {
        log_.Close();
        return S_OK;
    });
}

HRESULT CPoll::EnableLogging(long i_bEnable) {
    return RunInFrame("EnableLogging", false, [&]() -> HRESULT {
        log_.SetEnabled(i_bEnable != 0);
        return S_OK;
    });
}

HRESULT CPoll::SetDebugMode(long i_bDebugMode) {
    return RunInFrame("SetDebugMode", false, [&]() -> HRESULT {
        log_.SetDebugMessages(i_bDebugMode != 0);
        log_.SetDebugOutput(i_bDebugMode != 0);
        return S_OK;
    });
}

HRESULT CPoll::SetResultFile(BSTR i_bstrResultFileName) {
    (void)RunInFrame("SetResultFile", log_.GetDebugMessages(), [&]() -> HRESULT {
        CStringHolder name;
        HRESULT hr = TextFromBstr(i_bstrResultFileName, name);
        if (FAILED(hr)) return hr;
        if (IsEmpty(name.get())) {
            return zel::log::ReportStatus(&log_, kInvalidFileName, "CPoll::SetResultFile");
        }
        result_file_.reset(name.release());
        return S_OK;
    });
    return S_OK;
}

HRESULT CPoll::SetUserID(BSTR i_bstrUserID) {
    (void)RunInFrame("SetUserID", false, [&]() -> HRESULT {
        CStringHolder id;
        HRESULT hr = TextFromBstr(i_bstrUserID, id);
        if (FAILED(hr)) return hr;
        // Empty text clears the contract, so the next request reads it from
        // the control file.
        unit_contract_.reset(IsEmpty(id.get()) ? nullptr : id.release());
        return S_OK;
    });
    return S_OK;
}

HRESULT CPoll::SetWorkingDirFromArg(const char* context, const char* dir, int direction) {
    if (!IsEmpty(dir)) {
        HRESULT hr = CheckDirectory(dir, operation_dir_.Out());
        if (FAILED(hr)) return hr;
        zel::log::Trace(&log_, kCategoryClientApplication, context, kMsgSettingWorkDir);
        zel::log::Trace(&log_, kCategoryClientApplication, context, kMsgDirectoryIs,
                        operation_dir_.c_str());
        return S_OK;
    }
    const PollLayout layout = GetPollLayout();
    const std::string& fallback = direction == kDownload ? layout.download_dir : layout.upload_dir;
    return CheckDirectory(fallback.c_str(), operation_dir_.Out());
}

HRESULT CPoll::GetFiles(BSTR i_bstrDownloadDir, BSTR i_bstrFilter) {
    const HRESULT status = RunInFrame("GetFiles", true, [&]() -> HRESULT {
        static constexpr const char* kContext = "CPoll::GetFiles";
        post_processing_ = 0;
        zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgGettingFiles);
        CStringHolder dir;
        CStringHolder filter;
        HRESULT hr = TextFromBstr(i_bstrDownloadDir, dir);
        if (SUCCEEDED(hr)) hr = TextFromBstr(i_bstrFilter, filter);
        if (FAILED(hr)) return hr;
        hr = SetWorkingDirFromArg(kContext, dir.get(), kDownload);
        if (FAILED(hr)) return hr;
        if (IsEmpty(unit_contract_.get())) {
            hr = GetUnitContractFromControlFile();
            if (FAILED(hr)) return hr;
        }
        CStringHolder envelope;
        hr = BuildListEnvelope(&log_, unit_contract_.get(), envelope.Out());
        if (FAILED(hr)) return hr;
        CStringHolder response;
        hr = DoGetFileListFromQuvaro(envelope.get(), IsEmpty(filter.get()) ? nullptr : filter.get(),
                                     response.Out(), true);
        if (FAILED(hr)) return hr;
        return GetFilesInList(response.get());
    });
    // The batch runs outside the frame, and the caller hears the status only
    // once it has ended.
    if (post_processing_ != 0) RunPostProcessBatch();
    return status;
}

HRESULT CPoll::PutFiles(BSTR i_bstrUploadDir, BSTR i_bstrFilter, BSTR i_bstrDestDir) {
    return RunInFrame("PutFiles", true, [&]() -> HRESULT {
        static constexpr const char* kContext = "CPoll::PutFiles";
        zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgUploadingFiles);
        CStringHolder dir;
        CStringHolder filter;
        CStringHolder dest;
        HRESULT hr = TextFromBstr(i_bstrUploadDir, dir);
        if (SUCCEEDED(hr)) hr = TextFromBstr(i_bstrFilter, filter);
        if (SUCCEEDED(hr)) hr = TextFromBstr(i_bstrDestDir, dest);
        if (FAILED(hr)) return hr;
        hr = SetWorkingDirFromArg(kContext, dir.get(), kUpload);
        if (FAILED(hr)) return hr;
        if (IsEmpty(unit_contract_.get())) {
            hr = GetUnitContractFromControlFile();
            if (FAILED(hr)) return hr;
        }
        return UploadFilesInDirectory(IsEmpty(filter.get()) ? "*.*" : filter.get(),
                                      IsEmpty(dest.get()) ? nullptr : dest.get());
    });
}

HRESULT CPoll::GetWorkDirFromReg() {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::GetWorkDirFromReg";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgGettingWorkDir);
    registry_dir_.reset();
    zel::reg::Key key;
    if (zel::reg::OpenKey(zel::reg::Hive::LocalMachine, kPollClientKey, &key) !=
        zel::reg::kSuccess) {
        return zel::log::ReportStatus(&log_, kOpenClientKey, kContext);
    }
    std::string value;
    // The value is read into a 256-byte buffer: a longer one does not fit.
    if (zel::reg::QueryString(key, "WorkingDirectory", &value) != zel::reg::kSuccess ||
        value.size() > 255) {
        return zel::log::ReportStatus(&log_, kGetWorkDir, kContext);
    }
    key.Close();
    return CheckDirectory(value.c_str(), registry_dir_.Out());
}

const char* CPoll::WorkingDirectory(int direction) const {
    if (operation_dir_) return operation_dir_.get();
    if (registry_dir_) return registry_dir_.get();
    static thread_local std::string fallback;
    const PollLayout layout = GetPollLayout();
    fallback = direction == kDownload ? layout.download_dir : layout.upload_dir;
    return fallback.c_str();
}

void CPoll::WriteResult(int direction, int code, const char* text) {
    (void)results_.Write(WorkingDirectory(direction), result_file_.get(), code, text);
    if (operation_depth_ == 0) results_.Close();
}
