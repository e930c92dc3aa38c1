// Fuzz target: guard files as another run, an older version or a hand edit
// may have left them.  Input: the entry's key text, NUL, the guard file's
// content.  Checked: after a successful GuardAcquire the key is held (a
// second acquire is refused) until GuardRelease, the rewritten file holds
// only well-formed CR LF lines, no more of them than the old file plus one,
// and no lock file is left behind.
#include <string>

#include "fuzz/fuzz_common.h"
#include "support/guard.h"
#include "support/lock.h"

using namespace zel::fuzz;

namespace {

constexpr int kTimeoutMs = 6900000;

std::size_t CheckWellFormed(const std::string& content) {
    std::size_t lines = 0;
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t end = content.find("\r\n", at);
        ZEL_FUZZ_CHECK(end != std::string::npos);
        const std::string line = content.substr(at, end - at);
        ZEL_FUZZ_CHECK(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        const std::size_t first = line.find(' ');
        ZEL_FUZZ_CHECK(first != std::string::npos &&
                       line.find(' ', first + 1) != std::string::npos);
        ++lines;
        at = end + 2;
    }
    return lines;
}

// Lines of the old content, counted with every line end the reader accepts.
std::size_t RoughLineCount(const std::string& content) {
    std::size_t n = 1;
    for (char c : content) n += (c == '\r' || c == '\n' || c == '\0') ? 1 : 0;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> parts = SplitAtNul(data, size, 2);
    if (parts.size() < 2) return 0;
    const std::string& text = parts[0];
    const std::string guard = zel::paths::Join(zel::paths::CommDir(), "download.guard");
    WriteBytes(guard, parts[1]);

    const bool storable = text.find_first_of("\r\n") == std::string::npos;
    const bool first = GuardAcquire(guard.c_str(), "read_timeout", kTimeoutMs, text.c_str());
    if (!storable) ZEL_FUZZ_CHECK(!first);
    std::string content;
    ZEL_FUZZ_CHECK(ReadBytes(guard, &content));
    if (storable) {
        ZEL_FUZZ_CHECK(CheckWellFormed(content) <= RoughLineCount(parts[1]) + 1);
        // Held now, whether by this call or by a live entry of before.
        ZEL_FUZZ_CHECK(!GuardAcquire(guard.c_str(), "read_timeout", kTimeoutMs, text.c_str()));
        GuardRelease(guard.c_str(), text.c_str());
        ZEL_FUZZ_CHECK(ReadBytes(guard, &content));
        CheckWellFormed(content);
        ZEL_FUZZ_CHECK(GuardAcquire(guard.c_str(), "read_timeout", kTimeoutMs, text.c_str()));
        GuardRelease(guard.c_str(), text.c_str());
    }
    ZEL_FUZZ_CHECK(!Exists(LockFilePath(guard.c_str())));
    return 0;
}
