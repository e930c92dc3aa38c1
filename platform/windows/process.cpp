// Process helpers on Windows (see process.h): CreateProcess with the
// command line rebuilt by the Windows rules, batch files through "cmd /c".
//
// The handles of started children are kept in a table of this module,
// keyed by process id, until Wait or ReapFinished collects them; the caller
// owns the ids as on Linux.  Children inherit no handles beyond the three
// standard ones.
#include "platform/process.h"

#include <windows.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/windows/children.h"

namespace zel::proc {

namespace {

std::mutex g_children_mutex;
std::map<pid_t, HANDLE>& Children() {
    static std::map<pid_t, HANDLE> children;
    return children;
}

bool HasSeparator(const std::string& name) {
    return name.find_first_of("/\\") != std::string::npos;
}

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') ||
           (!path.empty() && (path[0] == '/' || path[0] == '\\'));
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool EndsWith(const std::string& path, std::string_view ext) {
    if (path.size() < ext.size()) return false;
    for (std::size_t i = 0; i < ext.size(); ++i) {
        if (Lower(path[path.size() - ext.size() + i]) != ext[i]) return false;
    }
    return true;
}

bool IsBatch(const std::string& path) {
    return EndsWith(path, ".bat") || EndsWith(path, ".cmd");
}

bool IsPlainFile(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A file of that name, or of that name with one of the extensions a
// program may have left off.
bool FindWithExtension(const std::string& base, std::string* path) {
    if (IsPlainFile(base)) {
        *path = base;
        return true;
    }
    for (const char* ext : {".exe", ".com", ".bat", ".cmd"}) {
        if (IsPlainFile(base + ext)) {
            *path = base + ext;
            return true;
        }
    }
    return false;
}

// Finds the program: a name with a separator as it stands (relative to the
// working directory), a bare name in the working directory, then along PATH.
int Resolve(const std::string& name, const std::string& abs_wd, std::string* path) {
    if (HasSeparator(name)) {
        const std::string full = IsAbsolute(name) ? name : paths::Join(abs_wd, name);
        return FindWithExtension(full, path) ? 0 : ENOENT;
    }
    if (FindWithExtension(paths::Join(abs_wd, name), path)) return 0;
    const char* env = std::getenv("PATH");
    const std::string search = env != nullptr ? env : "";
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t end = search.find(';', start);
        if (end == std::string::npos) end = search.size();
        const std::string dir = search.substr(start, end - start);
        if (!dir.empty() && FindWithExtension(paths::Join(dir, name), path)) return 0;
        start = end + 1;
    }
    return ENOENT;
}

// The command line CreateProcess reads back as argv.
std::string BuildCommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += ' ';
        // The program name has no escapes: only quotes around it.
        if (i == 0) {
            line +=
                argv[0].find_first_of(" \t") == std::string::npos ? argv[0] : "\"" + argv[0] + "\"";
        } else {
            line += QuoteArgument(argv[i]);
        }
    }
    return line;
}

int ErrnoFrom(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_EXE_FORMAT:
        case ERROR_EXE_MACHINE_TYPE_MISMATCH:
            return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

// Process creation time in 100 ns ticks; 0 when unknown.
unsigned long long StartTicks(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

int CurrentDirectory(std::string* dir) {
    char buffer[MAX_PATH + 1];
    const DWORD n = ::GetCurrentDirectoryA(sizeof buffer, buffer);
    if (n == 0) return EIO;
    if (n >= sizeof buffer) return ENAMETOOLONG;
    std::string path(buffer, n);
    // "/" as in every path this system builds (see fs.cpp).
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    *dir = std::move(path);
    return 0;
}

bool CanEnterDirectory(const std::string& dir) {
    return fs::IsDirectory(dir);
}

int Start(const std::string& command_line, const StartOptions& options, pid_t* pid) {
    return StartArgv(SplitCommandLine(command_line), options, pid);
}

int StartArgv(const std::vector<std::string>& argv, const StartOptions& options, pid_t* pid) {
    *pid = -1;
    if (argv.empty() || argv[0].empty()) return EINVAL;
    std::string wd;
    if (options.working_dir.empty()) {
        const int err = CurrentDirectory(&wd);
        if (err != 0) return err;
    } else {
        const int err = fs::AbsolutePath(options.working_dir, &wd);
        if (err != 0) return err;
        if (!fs::IsDirectory(wd)) return ENOENT;
    }
    std::string program;
    const int found = Resolve(argv[0], wd, &program);
    if (found != 0) return found;

    std::vector<std::string> args = argv;
    // The program's name as the child reads it, in Windows' own spelling:
    // the command interpreter takes a "/" in its own name for the start of
    // a switch and then runs something else than it was given.
    args[0] = program;
    for (char& c : args[0]) {
        if (c == '/') c = '\\';
    }
    std::string line = BuildCommandLine(args);
    std::string application = program;
    if (IsBatch(program)) {
        // A batch file runs in the command interpreter; "/s /c" keeps the
        // quotes of the line as they are.
        char system[MAX_PATH + 1];
        const UINT n = ::GetSystemDirectoryA(system, sizeof system);
        application = (n > 0 && n < sizeof system ? std::string(system, n) : std::string("C:\\")) +
                      "\\cmd.exe";
        line = "cmd.exe /s /c \"" + line + "\"";
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE null_in = INVALID_HANDLE_VALUE, null_out = INVALID_HANDLE_VALUE;
    DWORD flags = 0;
    if (options.null_stdio) {
        null_in = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
        null_out = ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = null_in;
        startup.hStdOutput = null_out;
        startup.hStdError = null_out;
        flags |= CREATE_NO_WINDOW;
    }
    PROCESS_INFORMATION info{};
    const BOOL ok = ::CreateProcessA(application.c_str(), line.data(), nullptr, nullptr,
                                     options.null_stdio ? TRUE : FALSE, flags, nullptr, wd.c_str(),
                                     &startup, &info);
    const DWORD error = ok ? 0 : ::GetLastError();
    if (null_in != INVALID_HANDLE_VALUE) ::CloseHandle(null_in);
    if (null_out != INVALID_HANDLE_VALUE) ::CloseHandle(null_out);
    if (!ok) return ErrnoFrom(error);
    ::CloseHandle(info.hThread);
    const auto id = static_cast<pid_t>(info.dwProcessId);
    {
        std::lock_guard<std::mutex> lock(g_children_mutex);
        Children()[id] = info.hProcess;
    }
    *pid = id;
    return 0;
}

int Wait(pid_t pid) {
    HANDLE process = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_children_mutex);
        auto it = Children().find(pid);
        if (it == Children().end()) return -1;
        process = it->second;
        Children().erase(it);
    }
    ::WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    const BOOL ok = ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    return ok ? static_cast<int>(code) : -1;
}

int ReapFinished(std::vector<FinishedChild>* finished) {
    std::lock_guard<std::mutex> lock(g_children_mutex);
    int collected = 0;
    for (auto it = Children().begin(); it != Children().end();) {
        if (::WaitForSingleObject(it->second, 0) != WAIT_OBJECT_0) {
            ++it;
            continue;
        }
        DWORD code = 0;
        (void)::GetExitCodeProcess(it->second, &code);
        ::CloseHandle(it->second);
        if (finished != nullptr) finished->push_back({it->first, static_cast<int>(code)});
        ++collected;
        it = Children().erase(it);
    }
    return collected;
}

namespace detail {

std::vector<HANDLE> ChildHandles(std::size_t max) {
    std::vector<HANDLE> handles;
    std::lock_guard<std::mutex> lock(g_children_mutex);
    for (const auto& [id, process] : Children()) {
        if (handles.size() >= max) break;
        HANDLE copy = nullptr;
        if (::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &copy,
                              SYNCHRONIZE, FALSE, 0))
            handles.push_back(copy);
    }
    return handles;
}

}  // namespace detail

ProcessIdentity SelfIdentity() {
    ProcessIdentity self;
    self.pid = static_cast<pid_t>(::GetCurrentProcessId());
    self.start = StartTicks(::GetCurrentProcess());
    return self;
}

bool HasEnded(const ProcessIdentity& who) {
    if (who.pid <= 0) return false;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                   static_cast<DWORD>(who.pid));
    if (process == nullptr) {
        // No such process; one of another user is refused, and counts as
        // running.
        return ::GetLastError() == ERROR_INVALID_PARAMETER;
    }
    bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    if (!ended && who.start != 0) {
        const unsigned long long start = StartTicks(process);
        ended = start != 0 && start != who.start;
    }
    ::CloseHandle(process);
    return ended;
}

bool RunsAsSuperuser() {
    // An administrator is still bound by a file's read-only attribute.
    return false;
}

pid_t CurrentProcessId() {
    return static_cast<pid_t>(::GetCurrentProcessId());
}

std::string OwnExecutablePath() {
    char buffer[MAX_PATH + 1];
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return {};
    return std::string(buffer, n);
}

void IgnoreBrokenPipe() {
    // Windows has no broken-pipe signal: a write to a closed pipe fails.
}

struct InterruptIgnored::Previous {
    bool changed = false;
};

InterruptIgnored::InterruptIgnored() : previous_(new (std::nothrow) Previous) {
    if (previous_ && ::SetConsoleCtrlHandler(nullptr, TRUE)) previous_->changed = true;
}

InterruptIgnored::~InterruptIgnored() {
    if (previous_ && previous_->changed) (void)::SetConsoleCtrlHandler(nullptr, FALSE);
}

}  // namespace zel::proc
