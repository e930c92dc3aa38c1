// Lookups in ferrun.conf: see config.h.  The file is read whole on every call
// and searched as one zero-terminated text, the way it has always been read,
// so keys are found wherever their text first appears.
#include "support/config.h"

#include <climits>
#include <cstring>
#include <string_view>

#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

// Reads the whole file; false when it cannot be opened or read, or is not a
// regular file.  The text ends at the first zero byte, as a text lookup sees
// it.
bool ReadWholeFile(const char* path, std::string* out) {
    std::string data;
    if (zel::fs::ReadWholeFile(path, &data) != 0) return false;
    std::size_t zero = data.find('\0');
    if (zero != std::string::npos) data.resize(zero);
    *out = std::move(data);
    return true;
}

}  // namespace

std::string ConfigFilePath() {
    return zel::paths::Join(zel::paths::CommDir(), "ferrun.conf");
}

namespace {

// The number lookup in a text already read (see ReadConfigNumber).
void FindNumber(const std::string& text, const char* key, int* value) {
    if (key == nullptr || *key == '\0' || value == nullptr || text.empty()) return;
    std::size_t at = text.find(key);
    if (at == std::string::npos) return;
    // Skip the key and the one separator character after it; a key at the
    // very end of the file has no value at all.
    std::size_t start = at + std::strlen(key) + 1;
    if (start > text.size()) return;
    std::size_t line_end = text.find('\n', start);
    if (line_end == std::string::npos) return;

    // atoi's reading, with a value out of range saturating instead of being
    // undefined.
    long long number = zel::text::ParseDecimalPrefix(
        std::string_view(text).substr(start, line_end - start), INT_MAX);
    if (number < 0) return;
    *value = static_cast<int>(number);
}

}  // namespace

void ReadConfigNumber(const char* path, const char* key, int* value) {
    if (path == nullptr || key == nullptr || *key == '\0' || value == nullptr) return;
    std::string text;
    if (!ReadWholeFile(path, &text)) return;
    FindNumber(text, key, value);
}

void ReadConfigNumbers(const char* path, std::initializer_list<ConfigNumber> lookups) {
    if (path == nullptr) return;
    std::string text;
    if (!ReadWholeFile(path, &text)) return;
    for (const ConfigNumber& lookup : lookups) FindNumber(text, lookup.key, lookup.value);
}

void ReadConfigText(const char* path, const char* key, char (&buffer)[kConfigTextMax + 1]) {
    if (path == nullptr || key == nullptr || *key == '\0') return;
    std::string text;
    if (!ReadWholeFile(path, &text) || text.empty()) return;

    std::string pattern = std::string(key) + "=";
    std::size_t at = text.find(pattern);
    if (at == std::string::npos) return;
    std::size_t start = at + pattern.size();
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end - start > kConfigTextMax) return;  // refused: the default stays
    std::memcpy(buffer, text.data() + start, end - start);
    buffer[end - start] = '\0';
}
