// Process helpers: Windows-style program starts on Linux (see process.h).
//
// Children are made with posix_spawn: it reports a failed chdir or exec back
// to us as an error number (so a missing program is ENOENT here, not a child
// that exits 127) and is safe in a process with other threads.  This module
// owns no state; the caller owns the pids it hands out and must Wait for them
// or let ReapFinished collect them.
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "platform/fs.h"
#include "platform/paths.h"

extern char** environ;

namespace zel::proc {

namespace {

constexpr const char* kShell = "/bin/sh";

bool EndsWithBat(const std::string& path) {
    if (path.size() < 4) return false;
    std::string_view ext(path.data() + path.size() - 4, 4);
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    return ext[0] == '.' && lower(ext[1]) == 'b' && lower(ext[2]) == 'a' && lower(ext[3]) == 't';
}

// The working directory as an absolute path, so that a program found in it
// is still found after the child has changed into it.
int AbsoluteDir(const std::string& dir, std::string* out) {
    if (!dir.empty() && dir[0] == '/') {
        *out = dir;
        return 0;
    }
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return errno;
    std::string base(cwd);
    std::free(cwd);
    *out = dir.empty() ? base : zel::paths::Join(base, dir);
    return 0;
}

// 0 when path is a plain file we may start (run bit, or a ".bat" script,
// which goes through the shell); otherwise ENOENT or EACCES.
int Startable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return ENOENT;
    if (!S_ISREG(st.st_mode)) return EACCES;
    if (EndsWithBat(path) || ::access(path.c_str(), X_OK) == 0) return 0;
    return EACCES;
}

// Finds the program: a name with "/" is taken as it stands (relative to the
// working directory); a bare name is looked for in the working directory,
// then along PATH.  A candidate that exists but cannot be run is passed over
// and, when nothing better is found, makes the answer EACCES.
int Resolve(const std::string& name, const std::string& abs_wd, std::string* path) {
    if (name.empty()) return ENOENT;
    if (name.find('/') != std::string::npos) {
        *path = name[0] == '/' ? name : zel::paths::Join(abs_wd, name);
        return Startable(*path);
    }
    int best = ENOENT;
    std::string candidate = zel::paths::Join(abs_wd, name);
    int rc = Startable(candidate);
    if (rc == 0) {
        *path = candidate;
        return 0;
    }
    if (rc == EACCES) best = EACCES;
    const char* env = std::getenv("PATH");
    std::string_view search = env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        size_t colon = search.find(':');
        std::string dir(search.substr(0, colon));
        // An empty PATH element means the current directory: the child's.
        candidate = zel::paths::Join(dir.empty() ? abs_wd : dir, name);
        rc = Startable(candidate);
        if (rc == 0) {
            *path = candidate;
            return 0;
        }
        if (rc == EACCES) best = EACCES;
        if (colon == std::string_view::npos) break;
        search.remove_prefix(colon + 1);
    }
    return best;
}

// Owners of the posix_spawn objects, so every path out destroys them.
struct FileActions {
    posix_spawn_file_actions_t fa;
    int rc;
    FileActions() : rc(posix_spawn_file_actions_init(&fa)) {}
    ~FileActions() {
        if (rc == 0) posix_spawn_file_actions_destroy(&fa);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
};

struct SpawnAttr {
    posix_spawnattr_t at;
    int rc;
    SpawnAttr() : rc(posix_spawnattr_init(&at)) {}
    ~SpawnAttr() {
        if (rc == 0) posix_spawnattr_destroy(&at);
    }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
};

int Spawn(const std::string& path, const std::vector<std::string>& args,
          const StartOptions& options, pid_t* pid) {
    FileActions fa;
    if (fa.rc != 0) return fa.rc;
    int rc = 0;
    if (options.null_stdio) {
        rc = posix_spawn_file_actions_addopen(&fa.fa, 0, "/dev/null", O_RDONLY, 0);
        if (rc == 0) rc = posix_spawn_file_actions_addopen(&fa.fa, 1, "/dev/null", O_WRONLY, 0);
        if (rc == 0) rc = posix_spawn_file_actions_addopen(&fa.fa, 2, "/dev/null", O_WRONLY, 0);
        if (rc != 0) return rc;
    }
    if (!options.working_dir.empty()) {
        rc = posix_spawn_file_actions_addchdir_np(&fa.fa, options.working_dir.c_str());
        if (rc != 0) return rc;
    }
    // Nothing of ours beyond the standard three reaches the child, whether
    // or not the descriptor was opened with O_CLOEXEC.
    rc = posix_spawn_file_actions_addclosefrom_np(&fa.fa, 3);
    if (rc != 0) return rc;

    // A parent that blocks or ignores signals (the service blocks its
    // control signals for signalfd) must not pass that on to its jobs.
    SpawnAttr at;
    if (at.rc != 0) return at.rc;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    rc = posix_spawnattr_setsigmask(&at.at, &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&at.at, &all);
    if (rc == 0)
        rc = posix_spawnattr_setflags(
            &at.at, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    if (rc != 0) return rc;

    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return posix_spawn(pid, path.c_str(), &fa.fa, &at.at, argv.data(), environ);
}

}  // namespace

int CurrentDirectory(std::string* dir) {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return errno;
    *dir = cwd;
    std::free(cwd);
    return 0;
}

bool CanEnterDirectory(const std::string& dir) {
    struct stat st;
    return !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(dir.c_str(), X_OK) == 0;
}

int Start(const std::string& command_line, const StartOptions& options, pid_t* pid) {
    return StartArgv(SplitCommandLine(command_line), options, pid);
}

int StartArgv(const std::vector<std::string>& argv, const StartOptions& options, pid_t* pid) {
    if (pid == nullptr || argv.empty()) return EINVAL;
    *pid = -1;
    std::string abs_wd;
    int rc = AbsoluteDir(options.working_dir, &abs_wd);
    if (rc != 0) return rc;
    std::string path;
    rc = Resolve(argv[0], abs_wd, &path);
    if (rc != 0) return rc;

    // A script without a run bit goes through the shell, as does any file
    // the kernel cannot execute itself (a script without "#!").
    std::vector<std::string> sh_args;
    sh_args.reserve(argv.size() + 1);
    sh_args.push_back(kShell);
    sh_args.push_back(path);
    sh_args.insert(sh_args.end(), argv.begin() + 1, argv.end());

    if (EndsWithBat(path) && ::access(path.c_str(), X_OK) != 0)
        rc = Spawn(kShell, sh_args, options, pid);
    else {
        // The child sees its name as it was written, as on Windows.
        rc = Spawn(path, argv, options, pid);
        if (rc == ENOEXEC) rc = Spawn(kShell, sh_args, options, pid);
    }
    if (rc != 0) *pid = -1;
    return rc;
}

int Wait(pid_t pid) {
    if (pid <= 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

namespace {

// State letter and start time of a process from /proc/<pid>/stat; false
// when the process does not exist (or /proc cannot tell).  The command name
// in parentheses may itself hold blanks and ')', so the fields are counted
// from the last ')'.
bool ReadProcessStat(pid_t pid, char* state, unsigned long long* start) {
    std::string text;
    if (fs::ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &text) != 0) return false;
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::string_view rest = std::string_view(text).substr(close + 1);
    // Fields after the name: state is the first, start time the twentieth.
    int field = 0;
    std::size_t at = 0;
    *state = '?';
    *start = 0;
    while (at < rest.size()) {
        while (at < rest.size() && rest[at] == ' ') ++at;
        std::size_t end = rest.find(' ', at);
        if (end == std::string_view::npos) end = rest.size();
        if (end == at) break;
        const std::string_view token = rest.substr(at, end - at);
        if (field == 0) *state = token[0];
        if (field == 19) {
            unsigned long long value = 0;
            const char* last = token.data() + token.size();
            const auto [stop, ec] = std::from_chars(token.data(), last, value);
            if (ec != std::errc() || stop != last) return false;
            *start = value;
            return true;
        }
        ++field;
        at = end;
    }
    return false;
}

}  // namespace

ProcessIdentity SelfIdentity() {
    ProcessIdentity self;
    self.pid = CurrentProcessId();
    char state = '?';
    if (!ReadProcessStat(self.pid, &state, &self.start)) self.start = 0;
    return self;
}

bool HasEnded(const ProcessIdentity& who) {
    if (who.pid <= 0) return false;
    if (::kill(who.pid, 0) != 0 && errno == ESRCH) return true;
    char state = '?';
    unsigned long long start = 0;
    // No /proc entry although kill found the pid: nothing more is known, and
    // a holder that may be running is never given up on.
    if (!ReadProcessStat(who.pid, &state, &start)) return false;
    if (state == 'Z' || state == 'X') return true;
    return who.start != 0 && start != who.start;
}

int ReapFinished(std::vector<FinishedChild>* finished) {
    int count = 0;
    int status = 0;
    while (true) {
        pid_t p = ::waitpid(-1, &status, WNOHANG);
        if (p > 0) {
            ++count;
            if (finished != nullptr) {
                const int code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
                finished->push_back({p, code});
            }
            continue;
        }
        if (p < 0 && errno == EINTR) continue;
        break;
    }
    return count;
}

bool RunsAsSuperuser() {
    return ::geteuid() == 0;
}

pid_t CurrentProcessId() {
    return ::getpid();
}

std::string OwnExecutablePath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

void IgnoreBrokenPipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)::sigaction(SIGPIPE, &ignore, nullptr);
}

struct InterruptIgnored::Previous {
    struct sigaction action {};
};

InterruptIgnored::InterruptIgnored() : previous_(new (std::nothrow) Previous) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // Without room to keep the old handling it is not changed: it could not
    // be put back.
    if (previous_ && ::sigaction(SIGINT, &ignore, &previous_->action) != 0) previous_.reset();
}

InterruptIgnored::~InterruptIgnored() {
    if (previous_) (void)::sigaction(SIGINT, &previous_->action, nullptr);
}

}  // namespace zel::proc
