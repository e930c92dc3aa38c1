// bench_measure: runs one command as a child process and prints what it cost
// as one line "wall_s=… maxrss_kib=… user_s=… sys_s=… exit=…".
//
// The benchmark runner (bench/run.sh) times every case through this program,
// so both sides of a comparison are measured the same way: wall time from
// fork to the end of wait4, and the child's peak resident set and CPU time
// from the kernel's resource usage of the whole waited-for process tree.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: bench_measure COMMAND [ARG...]\n");
        return argc < 2 ? 2 : 0;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("bench_measure: fork");
        return 2;
    }
    if (pid == 0) {
        ::execvp(argv[1], argv + 1);
        std::fprintf(stderr, "bench_measure: cannot run %s: %s\n", argv[1], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // RUSAGE_CHILDREN covers the child and every descendant it waited for,
    // so a shell pipeline is charged in full; ru_maxrss is its largest member.
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const double user = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6;
    const double sys = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("wall_s=%.4f maxrss_kib=%ld user_s=%.4f sys_s=%.4f exit=%d\n", wall,
                usage.ru_maxrss, user, sys, code);
    return code;
}
