// Fuzz target: the readers of the hand-edited "ferrun.conf": the support
// library's number and text lookups and the job runner's number lookup.
// Input: a key, NUL, the file's content.  Checked: a number changes only to
// a value of 0 or more and agrees with an independent reading of the rule
// (first occurrence of the key, one character skipped, the digits up to the
// next line feed); a text value never exceeds its buffer, holds no line end,
// and is the text after the first "key="; both programs read the same value.
#include <algorithm>
#include <climits>
#include <cstring>

#include "fuzz/fuzz_common.h"
#include "jobs/job_files.h"
#include "support/config.h"

using namespace zel::fuzz;

namespace {

// The number rule read on its own: atoi of the text after the key and its
// separator, up to the next line feed; saturated at INT_MAX.
bool ExpectedNumber(const std::string& text, const std::string& key, int* out) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return false;
    const std::size_t start = at + key.size() + 1;
    if (start > text.size()) return false;
    const std::size_t line_end = text.find('\n', start);
    if (line_end == std::string::npos) return false;
    std::size_t i = start;
    while (i < line_end && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < line_end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < line_end && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX);
    }
    if (negative && value != 0) return false;
    *out = static_cast<int>(value);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> parts = SplitAtNul(data, size, 2);
    if (parts.size() < 2 || parts[0].empty()) return 0;
    const std::string& key = parts[0];
    const std::string& content = parts[1];
    const std::string path = ConfigFilePath();
    WriteBytes(path, content);
    // The file is searched as one zero-terminated text.
    const std::string text = content.substr(0, content.find('\0'));

    constexpr int kDefault = -7;
    int number = kDefault;
    ReadConfigNumber(path.c_str(), key.c_str(), &number);
    ZEL_FUZZ_CHECK(number == kDefault || number >= 0);
    int expected = kDefault;
    if (!ExpectedNumber(text, key, &expected)) expected = kDefault;
    ZEL_FUZZ_CHECK(number == expected);

    int runner_number = kDefault;
    zel::jobs::ReadConfigNumber(key.c_str(), &runner_number);
    ZEL_FUZZ_CHECK(runner_number == number);

    char buffer[kConfigTextMax + 1] = "default";
    ReadConfigText(path.c_str(), key.c_str(), buffer);
    const std::size_t length = ::strnlen(buffer, sizeof buffer);
    ZEL_FUZZ_CHECK(length <= kConfigTextMax);
    const std::string_view value(buffer, length);
    ZEL_FUZZ_CHECK(value.find_first_of("\r\n") == std::string_view::npos);
    if (value != "default") {
        const std::size_t at = text.find(key + "=");
        ZEL_FUZZ_CHECK(at != std::string::npos);
        ZEL_FUZZ_CHECK(text.compare(at + key.size() + 1, value.size(), value) == 0);
    }
    return 0;
}
