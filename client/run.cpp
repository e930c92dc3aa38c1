// ferrun's run: the console log (bare lines on standard output) and the file
// log "qvzel.log" in the install directory, made the thread's current log so
// the support routines report there; then the command line, and either the
// unpack mode or the component's activation, its setters in their order and
// one operation, with the progress line on a terminal (progress.h).
//
// The component is known only through its public interface header and the
// object-model runtime; no code of it is linked.
#include "client/run.h"

#include <cstdio>
#include <optional>

#include "client/causes.h"
#include "client/decompress_mode.h"
#include "client/messages.h"
#include "client/options.h"
#include "client/progress.h"
#include "log/event_log.h"
#include "platform/com/bstr.h"
#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/version.h"
#include "poll/ipoll.h"
#include "support/files.h"
#include "support/strings.h"

namespace zel::client {
namespace {

using zel::com::ComPtr;

constexpr const char* kFileLogName = "qvzel.log";
constexpr const char* kProgram = "ferrun";

// "--help": every option, with the exit statuses.  The usage text of a
// command-line error stays the catalogue's message 50.
constexpr const char* kHelpText =
    "Usage: ferrun [-d DownloadDir:Filter] [-p UploadDir:Filter::DestDir] [-r ResultFile]\n"
    "              [-u UserID] [-t] [--quiet]\n"
    "       ferrun -z File.dtz\n"
    "       ferrun --help | --version\n"
    "\n"
    "Runs one download (-d) or upload (-p) through the Poll component, or unpacks\n"
    "one .dtz file (-z).\n"
    "\n"
    "Options:\n"
    "  -d [DownloadDir:Filter]         download; directory and filter are optional\n"
    "                                  (the component's defaults)\n"
    "  -p [UploadDir:Filter::DestDir]  upload; directory, filter and destination\n"
    "                                  directory are optional\n"
    "  -r ResultFile                   file the result of each file is written to\n"
    "  -u UserID                       dealer identity sent with each request,\n"
    "                                  instead of the one in the control file\n"
    "  -t                              debug mode: trace entries in the log\n"
    "  --quiet                         no progress line, also on a terminal\n"
    "  -z File.dtz                     unpack File.dtz into File and stop\n"
    "  --help                          print this text\n"
    "  --version                       print the program's version\n"
    "\n"
    "Options are compared exactly (case matters); a value is the next argument.\n"
    "The steps go to standard output; when the component cannot be created or\n"
    "the transfer fails, one line on standard error names the cause.  The log is\n"
    "qvzel.log in $QVIS_ROOT/Apps/QVIS/PROG/COMM.\n"
    "\n"
    "When standard error is a terminal, a line there shows each file on its way,\n"
    "redrawn a few times a second: its name, bytes so far/size, the average rate\n"
    "and the seconds since data last moved (idle); each file leaves one line with\n"
    "its final figures.  Not with --quiet or -t (whose trace also goes to standard\n"
    "error), and never when standard error is a file or a pipe.\n"
    "\n"
    "Exit status: 1 for a command-line error (the usage text is printed) and when\n"
    "the component cannot be created; 0 otherwise, also when the transfer itself\n"
    "failed (its outcome is in the result file and the log).\n";

// One line on standard error: "ferrun: <text>".
void PrintCause(const std::string& text) {
    std::fflush(stdout);  // after the console line it explains
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

// The description of the thread's rich error information, taken (and so
// cleared); empty when there is none.
std::string TakeErrorDescription() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) != S_OK || !info) return {};
    CBstr text;
    if (FAILED(info->GetDescription(text.Out())) || text.get() == nullptr) return {};
    CStringHolder narrow;
    if (FAILED(GetStringFromWSTR(text.get(), narrow.Out(), false)) || narrow.get() == nullptr)
        return {};
    return narrow.get();
}

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
ComPtr<IPoll> CreatePoll(CEventLog* console, CEventLog* file_log, const FerrunOptions& options,
                         const char* log_path) {
    BeginStep(console, kMsgCreatingInstance);
    ComPtr<IPoll> poll;
    (void)SetErrorInfo(0, nullptr);
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
    if (!poll) {
        const std::string cause =
            "cannot create the Poll component: " +
            CreationFailureCause(FAILED(hr) ? hr : E_NOINTERFACE, TakeErrorDescription());
        PrintCause(cause);
        file_log->WriteLine(kSeverityError, "%s", cause.c_str());
    }
    return poll;
}

// The progress line is for a person at a terminal: scripts and jobs, whose
// standard error is a file or a pipe, get exactly the output they always
// had.  Debug mode sends the component's trace to standard error, which a
// line redrawn in place would only garble.
bool ShowProgress(const FerrunOptions& options) {
    return !options.quiet && !options.debug &&
           zel::sys::IsTerminal(zel::sys::StandardStream::kError);
}

void RunOperation(CEventLog* console, IPoll* poll, const FerrunOptions& options) {
    BeginStep(console, options.download ? kMsgDownloading : kMsgUploading);
    CBstr dir;
    CBstr filter;
    CBstr dest;
    HRESULT status = E_INVALIDARG;  // a field without a wide form
    bool converted = FieldToBstr(options.directory, &dir) && FieldToBstr(options.filter, &filter);
    {
        // The step's text stands unfinished on standard output: when that is
        // the same kind of terminal, the file lines start below it.
        std::optional<ProgressDisplay> progress;
        if (converted && ShowProgress(options))
            progress.emplace(poll, zel::sys::IsTerminal(zel::sys::StandardStream::kOutput));
        (void)SetErrorInfo(0, nullptr);
        if (converted && options.download) {
            status = poll->GetFiles(dir.get(), filter.get());
        } else if (converted) {
            converted = FieldToBstr(options.destination, &dest);
            if (converted) status = poll->PutFiles(dir.get(), filter.get(), dest.get());
        }
    }
    const bool ok = converted && SUCCEEDED(status);
    EndStep(console, ok);
    if (ok) return;
    const char* operation = options.download ? "download" : "upload";
    if (!converted) {
        PrintCause(std::string(operation) +
                   " failed: a directory, filter or destination has no wide-character form");
        return;
    }
    // The component wrote the details to its log; this line says what they
    // come to.
    PrintCause(std::string(operation) + " failed: " +
               TransferFailureCause(status, TakeErrorDescription(), zel::paths::CommDir(),
                                    !options.user_id.empty()) +
               " (details in " + zel::paths::Join(zel::paths::CommDir(), kFileLogName) + ")");
}

int RunTransfer(CEventLog* console, CEventLog* file_log, const FerrunOptions& options,
                const char* log_path) {
    if (const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED); FAILED(hr)) {
        console->WriteLineById(kSeverityError, kMsgCoInitializeFailed);
        PrintCause("cannot enter the object model: " + zel::com::ResultText(hr));
        return 1;
    }
    int exit_code = 1;
    {
        ComPtr<IPoll> poll = CreatePoll(console, file_log, options, log_path);
        bool user_ok = true;
        if (poll && !options.user_id.empty()) {
            CBstr user;
            user_ok = SUCCEEDED(GetBSTRFromString(options.user_id.c_str(), user.Out()));
            if (user_ok)
                (void)poll->SetUserID(user.get());
            else
                PrintCause("the user ID given with -u has no wide-character form");
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
            std::fputs(kHelpText, stdout);
            return 0;
        case CommandAction::kVersion:
            std::printf("%s %s\n", kProgram, zel::kVersion);
            return 0;
        case CommandAction::kUsage:
            console.WriteLineById(kSeverityInformation, kMsgUsage);
            if (parsed.message_id != 0) file_log.WriteLineById(kSeverityError, parsed.message_id);
            PrintCause(parsed.problem + " (ferrun --help lists the options)");
            return parsed.exit_code;
        case CommandAction::kDecompress:
            return RunDecompressMode(parsed.decompress_name.c_str(), stdout);
        case CommandAction::kTransfer:
            break;
    }
    return RunTransfer(&console, &file_log, options, log_path.get());
}

}  // namespace zel::client
