// A separate process running one transfer of the Poll object, for the tests
// that need two transfers at once, a transfer killed midway, or the memory
// one transfer takes:
//   transfer_runner get DIR            GetFiles into DIR
//   transfer_runner put DIR            PutFiles from DIR
//   transfer_runner measure VERB DIR   runs "transfer_runner VERB DIR" as a
//                                      child and adds its peak resident size
// Prints the status in hexadecimal and exits 0 (2 for a usage error); measure
// then prints "maxrss=<kB>" on a line of its own.
//
// The peak is measured in a child of this small process rather than of the
// test: a child's ru_maxrss also counts the image it was forked from before
// its exec, which for a test process could hide the transfer's own peak.
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "poll/poll.h"

namespace {

int Measure(const char* self, const char* verb, const char* dir) {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) return 2;
    if (pid == 0) {
        ::execl(self, self, verb, dir, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    pid_t got = -1;
    do {
        got = ::wait4(pid, &status, 0, &usage);
    } while (got < 0 && errno == EINTR);
    if (got != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 2;
    std::printf("maxrss=%ld\n", usage.ru_maxrss);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    if (argc == 4 && std::strcmp(argv[1], "measure") == 0)
        return Measure(argv[0], argv[2], argv[3]);
    if (argc != 3) return 2;
    std::u16string wide;
    for (const char* p = argv[2]; *p != '\0'; ++p) wide.push_back(static_cast<char16_t>(*p));
    BSTR dir = SysAllocString(wide.c_str());
    HRESULT hr = S_OK;
    {
        CPoll poll;
        if (std::strcmp(argv[1], "get") == 0) {
            hr = poll.GetFiles(dir, nullptr);
        } else if (std::strcmp(argv[1], "put") == 0) {
            hr = poll.PutFiles(dir, nullptr, nullptr);
        } else {
            SysFreeString(dir);
            return 2;
        }
    }
    SysFreeString(dir);
    std::printf("%08X\n", static_cast<unsigned>(hr));
    return 0;
}
