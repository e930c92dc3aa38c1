// A second process for the lock and guard tests.
//
//   locks_helper hold <path>                 create the lock and exit holding it
//   locks_helper lock <path> <stale minutes> Lock, then Unlock; exit 0
//   locks_helper retry <path> <extra>        LockWithRetries; exit 0 held (and
//                                            unlocked again), 1 not held
//   locks_helper hold-recorded <path>        TryLockRecorded and exit holding it
//   locks_helper retry-recorded <path> <extra> <unrecorded seconds>
//                                            LockWithRetriesRecorded; exit 0 held
//                                            (and unlocked again), 1 not held
//   locks_helper race-recorded <path> <go file> <out file> <stop file>
//       waits for the go file, one LockWithRetriesRecorded (no retries, no
//       age limit), writes "won" or "lost" to the out file; a winner keeps the
//       lock until the stop file appears
//   locks_helper repeat <path> <times>       TryLock and Unlock that many times;
//                                            exit 0 when every one was held
//   locks_helper guard <guard> <go file> <rounds> <out file>
//       waits for the go file, then GuardAcquire on "file-<i>" for each round
//       and writes the numbers of the rounds it won to the out file
//   locks_helper claims <guard> <go file> <rounds> <out file>
//       waits for the go file, then claims "file-0" to "file-<rounds - 1>"
//       at once (GuardClaims), holds each in turn and writes the numbers of
//       the ones it held to the out file
//
// Exit status 2 for a bad command line or an unwritable out file, and 3 when
// a file it waits for has not appeared within kFileWaitSeconds (with a
// message on standard error), so that a test which never writes it fails
// instead of leaving the helper behind.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/guard.h"
#include "support/lock.h"

namespace {

constexpr int kFileWaitSeconds = 30;
constexpr int kTimedOut = 3;

// Polls for the file until it exists or kFileWaitSeconds have passed.
bool WaitForFile(const char* path) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kFileWaitSeconds);
    while (::access(path, F_OK) != 0) {
        if (std::chrono::steady_clock::now() >= end) {
            std::fprintf(stderr, "locks_helper: %s did not appear within %d s\n", path,
                         kFileWaitSeconds);
            return false;
        }
        ::usleep(1000);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    const char* path = argv[2];
    if (mode == "hold") return TryLock(path) ? 0 : 1;
    if (mode == "lock" && argc == 4) {
        if (!Lock(path, static_cast<int>(std::strtol(argv[3], nullptr, 10)))) return 1;
        Unlock(path);
        return 0;
    }
    if (mode == "retry" && argc == 4) {
        if (!LockWithRetries(path, static_cast<int>(std::strtol(argv[3], nullptr, 10)))) return 1;
        Unlock(path);
        return 0;
    }
    if (mode == "repeat" && argc == 4) {
        const long times = std::strtol(argv[3], nullptr, 10);
        for (long i = 0; i < times; ++i) {
            if (!TryLock(path)) return 1;
            Unlock(path);
        }
        return 0;
    }
    if (mode == "hold-recorded") return TryLockRecorded(path) ? 0 : 1;
    if (mode == "retry-recorded" && argc == 5) {
        if (!LockWithRetriesRecorded(path, static_cast<int>(std::strtol(argv[3], nullptr, 10)),
                                     static_cast<int>(std::strtol(argv[4], nullptr, 10)))) {
            return 1;
        }
        Unlock(path);
        return 0;
    }
    if (mode == "race-recorded" && argc == 6) {
        if (!WaitForFile(argv[3])) return kTimedOut;
        const bool won = LockWithRetriesRecorded(path, 0, 0);
        // Written aside and renamed, so that the out file is whole once seen.
        const std::string part = std::string(argv[4]) + ".part";
        FILE* out = std::fopen(part.c_str(), "w");
        if (out == nullptr) return 2;
        std::fputs(won ? "won" : "lost", out);
        if (std::fclose(out) != 0 || std::rename(part.c_str(), argv[4]) != 0) return 2;
        if (!won) return 0;
        const bool stopped = WaitForFile(argv[5]);
        Unlock(path);
        return stopped ? 0 : kTimedOut;
    }
    if (mode == "guard" && argc == 6) {
        if (!WaitForFile(argv[3])) return kTimedOut;
        const int rounds = static_cast<int>(std::strtol(argv[4], nullptr, 10));
        std::string won;
        for (int i = 0; i < rounds; ++i) {
            const std::string key = "file-" + std::to_string(i);
            if (GuardAcquire(path, "write_timeout", 330000, key.c_str())) {
                won += std::to_string(i) + "\n";
            }
        }
        FILE* out = std::fopen(argv[5], "w");
        if (out == nullptr) return 2;
        std::fputs(won.c_str(), out);
        return std::fclose(out) == 0 ? 0 : 2;
    }
    if (mode == "claims" && argc == 6) {
        if (!WaitForFile(argv[3])) return kTimedOut;
        const int rounds = static_cast<int>(std::strtol(argv[4], nullptr, 10));
        std::vector<std::string> keys;
        for (int i = 0; i < rounds; ++i) keys.push_back("file-" + std::to_string(i));
        GuardClaims claims(path, GuardFileKind{"", "write_timeout", 330000});
        (void)claims.Claim(keys);
        std::string won;
        for (int i = 0; i < rounds; ++i) {
            if (claims.Hold(static_cast<std::size_t>(i))) won += std::to_string(i) + "\n";
        }
        FILE* out = std::fopen(argv[5], "w");
        if (out == nullptr) return 2;
        std::fputs(won.c_str(), out);
        return std::fclose(out) == 0 ? 0 : 2;
    }
    return 2;
}
