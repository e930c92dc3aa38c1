// ferrun's run: the console log (bare lines on standard output) and the file
// log "qvzel.log" in the install directory, made the thread's current log so
// the support routines report there; then the command line, and either the
// unpack mode or the component's activation, its setters in their order and
// one operation.
//
// The component is known only through its public interface header and the
// object-model runtime; no code of it is linked.
#include "client/run.h"

#include <cstdio>

#include "client/decompress_mode.h"
#include "client/messages.h"
#include "client/options.h"
#include "log/event_log.h"
#include "platform/bstr.h"
#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "platform/paths.h"
#include "poll/ipoll.h"
#include "support/files.h"
#include "support/strings.h"

namespace zel::client {
namespace {

using zel::com::ComPtr;

constexpr const char* kFileLogName = "qvzel.log";

// Makes a log the thread's current log for the life of the scope, so the log
// is never left behind as current once it is gone.
class CurrentLogScope {
  public:
    explicit CurrentLogScope(CEventLog* log) : previous_(GetCurrentLog()) { SetCurrentLog(log); }
    ~CurrentLogScope() { SetCurrentLog(previous_); }
    CurrentLogScope(const CurrentLogScope&) = delete;
    CurrentLogScope& operator=(const CurrentLogScope&) = delete;

  private:
    CEventLog* previous_;
};

// Directs the file log to "qvzel.log" in the install directory (created
// when missing).  Returns the file's full path for the component, or none
// when the directory or the name cannot be built; the log then stays
// without a file.
CStringHolder OpenFileLog(CEventLog* file_log) {
    CStringHolder dir;
    CStringHolder path;
    if (FAILED(CheckDirectory(zel::paths::CommDir().c_str(), dir.Out()))) return path;
    if (FAILED(GetFullFileName(dir.get(), kFileLogName, path.Out()))) return path;
    (void)file_log->Open(path.get(), false);
    return path;
}

// A BSTR for a field: null for an empty field (the component then uses its
// default).  False when the text has no wide form.
bool FieldToBstr(const std::string& field, CBstr* out) {
    out->reset();
    if (field.empty()) return true;
    return SUCCEEDED(GetBSTRFromString(field.c_str(), out->Out()));
}

// Console: a step's text with ".." and no line end; the outcome follows on
// the same line.
void BeginStep(CEventLog* console, unsigned message_id) {
    console->SetNewline(false);
    console->WriteLineById(kSeverityInformation, message_id);
    console->WriteLineById(kSeverityInformation, kMsgEllipsis);
    console->SetNewline(true);
}

void EndStep(CEventLog* console, bool ok) {
    console->WriteLineById(ok ? kSeverityInformation : kSeverityError, ok ? kMsgDone : kMsgFailed);
}

// Activates the component and hands it the debug flag, the log file and the
// result file.  Null when the class cannot be created.
ComPtr<IPoll> CreatePoll(CEventLog* console, const FerrunOptions& options, const char* log_path) {
    BeginStep(console, kMsgCreatingInstance);
    ComPtr<IPoll> poll;
    const HRESULT hr = CoCreateInstance(CLSID_Poll, nullptr, CLSCTX_ALL, IID_IPoll, poll.OutVoid());
    if (SUCCEEDED(hr) && poll) {
        // The setters report their own failures (rich error information and
        // the component's log); the run goes on regardless.
        (void)poll->SetDebugMode(options.debug ? 1 : 0);
        CBstr bstr;
        if (log_path != nullptr && SUCCEEDED(GetBSTRFromString(log_path, bstr.Out())))
            (void)poll->SetLogFile(bstr.get());
        if (!options.result_file.empty() &&
            SUCCEEDED(GetBSTRFromString(options.result_file.c_str(), bstr.Out())))
            (void)poll->SetResultFile(bstr.get());
    } else {
        poll.Reset();
    }
    EndStep(console, static_cast<bool>(poll));
    return poll;
}

void RunOperation(CEventLog* console, IPoll* poll, const FerrunOptions& options) {
    BeginStep(console, options.download ? kMsgDownloading : kMsgUploading);
    CBstr dir;
    CBstr filter;
    CBstr dest;
    bool ok = FieldToBstr(options.directory, &dir) && FieldToBstr(options.filter, &filter);
    if (ok && options.download) {
        ok = SUCCEEDED(poll->GetFiles(dir.get(), filter.get()));
    } else if (ok) {
        ok = FieldToBstr(options.destination, &dest) &&
             SUCCEEDED(poll->PutFiles(dir.get(), filter.get(), dest.get()));
    }
    EndStep(console, ok);
}

int RunTransfer(CEventLog* console, const FerrunOptions& options, const char* log_path) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        console->WriteLineById(kSeverityError, kMsgCoInitializeFailed);
        return 1;
    }
    int exit_code = 1;
    {
        ComPtr<IPoll> poll = CreatePoll(console, options, log_path);
        bool user_ok = true;
        if (poll && !options.user_id.empty()) {
            CBstr user;
            user_ok = SUCCEEDED(GetBSTRFromString(options.user_id.c_str(), user.Out()));
            if (user_ok) (void)poll->SetUserID(user.get());
        }
        if (poll && user_ok) {
            RunOperation(console, poll.get(), options);
            exit_code = 0;
        }
        // The component is released here, before its library may go.
    }
    CoFreeAllLibraries();
    CoUninitialize();
    return exit_code;
}

}  // namespace

int RunFerrun(int argc, const char* const* argv) {
    CEventLog console(&ClientCatalogue());
    (void)console.SetOutputMode(kOutputConsole);
    (void)console.SetFormatMode(kFormatBare);
    CEventLog file_log(&ClientCatalogue());
    CurrentLogScope current(&file_log);
    const CStringHolder log_path = OpenFileLog(&file_log);

    FerrunOptions options;
    const CommandOutcome parsed = ParseCommandLine(argc, argv, &options);
    switch (parsed.action) {
        case CommandAction::kHelp:
            console.WriteLineById(kSeverityInformation, kMsgUsage);
            return 0;
        case CommandAction::kUsage:
            console.WriteLineById(kSeverityInformation, kMsgUsage);
            if (parsed.message_id != 0) file_log.WriteLineById(kSeverityError, parsed.message_id);
            return parsed.exit_code;
        case CommandAction::kDecompress:
            return RunDecompressMode(parsed.decompress_name.c_str(), stdout);
        case CommandAction::kTransfer:
            break;
    }
    return RunTransfer(&console, options, log_path.get());
}

}  // namespace zel::client
