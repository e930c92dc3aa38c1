// Fuzz target: the XML tag scanner GetTagValue.  Input: a tag name, NUL, the
// document, NUL, and one byte that sizes the caller's buffer.  Checked: the
// value is exactly the text between the first "<name>" and the first
// "</name>" after it, it fits the buffer with its terminator, and nothing
// beyond the buffer or in it on a refusal is touched.
#include <cstring>

#include "fuzz/fuzz_common.h"
#include "support/files.h"

using namespace zel::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> parts = SplitAtNul(data, size, 3);
    if (parts.size() < 2) return 0;
    const std::string& name = parts[0];
    // The scanner reads a zero-terminated text.
    const std::string text = parts[1].substr(0, parts[1].find('\0'));
    const std::size_t buffer_size =
        parts.size() > 2 && !parts[2].empty() ? static_cast<unsigned char>(parts[2][0]) : 64;

    constexpr char kFill = '\x5A';
    std::vector<char> buffer(buffer_size + 16, kFill);
    const int found = GetTagValue(name.c_str(), text.c_str(), buffer.data(), buffer_size);

    // What the scan should find, worked out independently.
    bool expect = name.size() <= 60;
    std::string value;
    if (expect) {
        const std::string open = "<" + name + ">";
        const std::string close = "</" + name + ">";
        const std::size_t start = text.find(open);
        const std::size_t end =
            start == std::string::npos ? std::string::npos : text.find(close, start + open.size());
        expect = end != std::string::npos;
        if (expect) value = text.substr(start + open.size(), end - start - open.size());
        expect = expect && value.size() + 1 <= buffer_size;
    }
    ZEL_FUZZ_CHECK(found == (expect ? 1 : 0));
    if (found == 1) {
        ZEL_FUZZ_CHECK(std::memcmp(buffer.data(), value.data(), value.size()) == 0);
        ZEL_FUZZ_CHECK(buffer[value.size()] == '\0');
        // Nothing beyond the caller's buffer is written.
        for (std::size_t i = buffer_size; i < buffer.size(); ++i)
            ZEL_FUZZ_CHECK(buffer[i] == kFill);
    } else {
        for (char c : buffer) ZEL_FUZZ_CHECK(c == kFill);
    }
    return 0;
}
