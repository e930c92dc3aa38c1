// Heap strings and conversions: see strings.h.  Owns the multibyte stepping
// and conversion helpers declared in strings_internal.h.
#include "support/strings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>

#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/strings_internal.h"

using zel::support_detail::CharLen;
using zel::support_detail::CharValue;
using zel::support_detail::Fail;

namespace zel::support_detail {

std::size_t CharLen(const char* p) {
    // A byte below 0x80 is one character by itself in every multibyte
    // character set a locale may use (lead bytes are 0x80 and above), and
    // most texts are all such bytes: they need no decoder call.
    if (static_cast<unsigned char>(*p) < 0x80) return 1;
    // Bound the look-ahead by the terminator so a truncated sequence at the
    // end of the text never makes the decoder read past it.
    const std::size_t avail = strnlen(p, MB_CUR_MAX);
    std::mbstate_t state{};
    const std::size_t n = std::mbrlen(p, avail, &state);
    if (n == 0 || n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) return 1;
    return n;
}

unsigned int CharValue(const char* p, std::size_t len) {
    unsigned int v = 0;
    for (std::size_t i = 0; i < len; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

int MultibyteToUtf16(const char* in, std::size_t in_bytes, char16_t** out, std::size_t* out_units) {
    return zel::charset::LocaleToUtf16(in, in_bytes, out, out_units);
}

int Utf16ToMultibyte(const char16_t* in, std::size_t in_units, char** out, std::size_t* out_bytes) {
    return zel::charset::Utf16ToLocale(in, in_units, out, out_bytes);
}

}  // namespace zel::support_detail

namespace {

using MallocBlock = std::unique_ptr<char, decltype(&std::free)>;

MallocBlock MakeBlock(std::size_t bytes) {
    return MallocBlock(static_cast<char*>(std::malloc(bytes)), &std::free);
}

// True when p points into the text (terminator included) of block.
bool PointsInto(const char* p, const char* block) {
    if (block == nullptr || p == nullptr) return false;
    const std::less_equal<const char*> le;
    return le(block, p) && le(p, block + std::strlen(block));
}

std::size_t WideLength(const char16_t* w) {
    std::size_t n = 0;
    while (w[n] != 0) ++n;
    return n;
}

}  // namespace

// ---- CStringHolder ----

CStringHolder::~CStringHolder() {
    FreeString(&str_);
}

CStringHolder& CStringHolder::operator=(CStringHolder&& o) noexcept {
    if (this != std::addressof(o)) reset(o.release());
    return *this;
}

char** CStringHolder::Out() {
    FreeString(&str_);
    return &str_;
}

char* CStringHolder::release() {
    char* s = str_;
    str_ = nullptr;
    return s;
}

void CStringHolder::reset(char* owned) {
    if (owned != str_) FreeString(&str_);
    str_ = owned;
}

// ---- basic routines ----

long StringLength(const char* text) {
    // Whole-character stepping ends on the same byte as a byte count: the
    // terminator can never be part of a character.
    return text == nullptr ? 0 : static_cast<long>(std::strlen(text));
}

HRESULT FreeString(char** str) {
    if (str != nullptr) {
        std::free(*str);
        *str = nullptr;
    }
    return S_OK;
}

HRESULT CopyValue(const void* source, void* destination, long size) {
    if (source == nullptr || destination == nullptr || size < 0) {
        return Fail(zel::codes::kInvalidArg, "CopyValue");
    }
    std::memmove(destination, source, static_cast<std::size_t>(size));
    return S_OK;
}

HRESULT AllocStringLen(long length, char** str) {
    if (str == nullptr || length < 0 || length == LONG_MAX) {
        return Fail(zel::codes::kInvalidArg, "AllocStringLen");
    }
    char* block = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (block == nullptr) return Fail(zel::codes::kOutOfMemory, "AllocStringLen");
    block[length] = '\0';
    *str = block;
    return S_OK;
}

HRESULT CopyString(const char* source, char** str, bool trim) {
    if (str == nullptr) return Fail(zel::codes::kInvalidArg, "CopyString");
    if (source == nullptr) return FreeString(str);
    const std::size_t len = std::strlen(source);
    if (PointsInto(source, *str)) {
        // The source is a tail of the block itself: move it down first, then
        // give back the rest (a refused shrink keeps the larger block).
        std::memmove(*str, source, len + 1);
        if (char* p = static_cast<char*>(std::realloc(*str, len + 1))) *str = p;
    } else {
        char* p = static_cast<char*>(std::realloc(*str, len + 1));
        if (p == nullptr) return Fail(zel::codes::kOutOfMemory, "CopyString");
        std::memcpy(p, source, len + 1);
        *str = p;
    }
    return trim ? TrimWithMemUseCheck(str) : S_OK;
}

HRESULT GetString(const char* source, char** str, bool trim) {
    if (str == nullptr) return Fail(zel::codes::kInvalidArg, "GetString");
    *str = nullptr;
    return CopyString(source, str, trim);
}

HRESULT AppendString(const char* source, char** str) {
    if (str == nullptr) return Fail(zel::codes::kInvalidArg, "AppendString");
    if (source == nullptr) return S_OK;
    const std::size_t old_len = *str != nullptr ? std::strlen(*str) : 0;
    const std::size_t add = std::strlen(source);
    // Appending a string to itself: remember where the source sits, since
    // growing the block may move it.
    const bool inside = PointsInto(source, *str);
    const std::size_t offset = inside ? static_cast<std::size_t>(source - *str) : 0;
    char* p = static_cast<char*>(std::realloc(*str, old_len + add + 1));
    if (p == nullptr) return Fail(zel::codes::kOutOfMemory, "AppendString");
    std::memmove(p + old_len, inside ? p + offset : source, add);
    p[old_len + add] = '\0';
    *str = p;
    return S_OK;
}

HRESULT MakeString(const char* begin, const char* end, char** str, bool trim) {
    if (str == nullptr) return Fail(zel::codes::kInvalidArg, "MakeString");
    *str = nullptr;
    if (begin == nullptr && end == nullptr) return S_OK;
    if (begin == nullptr || (end != nullptr && std::less<const char*>()(end, begin))) {
        return Fail(zel::codes::kInvalidArg, "MakeString");
    }
    if (end == nullptr) return CopyString(begin, str, trim);
    const long len = static_cast<long>(end - begin);
    CStringHolder made;
    HRESULT hr = AllocStringLen(len, &made);
    if (FAILED(hr)) return hr;
    std::memcpy(made.get(), begin, static_cast<std::size_t>(len));
    made.get()[len] = '\0';
    if (trim) {
        hr = TrimWithMemUseCheck(&made);
        if (FAILED(hr)) return hr;
    }
    *str = made.release();
    return S_OK;
}

int Trim(char* text) {
    if (text == nullptr) {
        (void)Fail(zel::codes::kInvalidArg, "Trim");
        return 0;
    }
    // Blanks are single bytes; every other character, of whatever length,
    // is stepped over whole so none of its bytes is mistaken for a blank.
    char* start = text;
    while (*start == ' ' || *start == '\t') ++start;
    char* content_end = start;  // just past the last character that is no blank
    for (char* p = start; *p != '\0';) {
        const std::size_t n = CharLen(p);
        p += n;
        if (n != 1 || (p[-1] != ' ' && p[-1] != '\t')) content_end = p;
    }
    const std::size_t keep = static_cast<std::size_t>(content_end - start);
    std::memmove(text, start, keep);
    text[keep] = '\0';
    return 1;
}

HRESULT TrimWithMemUseCheck(char** str) {
    if (str == nullptr || *str == nullptr) {
        return Fail(zel::codes::kInvalidArg, "TrimWithMemUseCheck");
    }
    const std::size_t before = std::strlen(*str);
    Trim(*str);
    const std::size_t after = std::strlen(*str);
    if (after < before) {
        char* p = static_cast<char*>(std::realloc(*str, after + 1));
        if (p == nullptr) return Fail(zel::codes::kOutOfMemory, "TrimWithMemUseCheck");
        *str = p;
    }
    return S_OK;
}

bool EndsWithChar(const char* text, unsigned int ch) {
    if (text == nullptr || *text == '\0') return false;
    const char* last = text;
    std::size_t last_len = 0;
    for (const char* p = text; *p != '\0';) {
        const std::size_t n = CharLen(p);
        last = p;
        last_len = n;
        p += n;
    }
    return CharValue(last, last_len) == ch;
}

HRESULT SplitString(const char* text, unsigned int separator, long count, char** left,
                    char** right) {
    if (left == nullptr || right == nullptr) return Fail(zel::codes::kInvalidArg, "SplitString");
    *left = nullptr;
    *right = nullptr;
    if (text == nullptr) return S_FALSE;

    const char* split_at = nullptr;
    std::size_t split_len = 0;
    long seen = 0;
    for (const char* p = text; *p != '\0';) {
        const std::size_t n = CharLen(p);
        if (CharValue(p, n) == separator) {
            if (count < 0 || seen == count) {
                split_at = p;
                split_len = n;
            }
            ++seen;
            if (count >= 0 && seen > count) break;
        }
        p += n;
    }

    CStringHolder l;
    CStringHolder r;
    HRESULT hr;
    if (split_at == nullptr) {
        hr = GetString(text, &l, true);
    } else {
        hr = MakeString(text, split_at, &l, true);
        if (SUCCEEDED(hr)) hr = MakeString(split_at + split_len, nullptr, &r, true);
    }
    if (FAILED(hr)) return hr;
    *left = l.release();
    *right = r.release();
    return S_OK;
}

// ---- wide strings and BSTR ----

HRESULT CopyStringFromWSTR(const char16_t* wide, char** str, bool trim) {
    if (str == nullptr) return Fail(zel::codes::kInvalidArg, "CopyStringFromWSTR");
    if (wide == nullptr) return CopyString("", str, trim);
    CStringHolder converted;
    std::size_t bytes = 0;
    const int rc =
        zel::support_detail::Utf16ToMultibyte(wide, WideLength(wide), &converted, &bytes);
    if (rc == ENOMEM) return Fail(zel::codes::kOutOfMemory, "CopyStringFromWSTR");
    if (rc != 0) return Fail(zel::codes::kWideToMultibyte, "CopyStringFromWSTR");
    return CopyString(converted.get(), str, trim);
}

HRESULT GetStringFromWSTR(const char16_t* wide, char** str, bool trim) {
    if (str == nullptr) return Fail(zel::codes::kInvalidArg, "GetStringFromWSTR");
    *str = nullptr;
    return CopyStringFromWSTR(wide, str, trim);
}

HRESULT GetBSTRFromString(const char* text, BSTR* out) {
    if (out == nullptr) return Fail(zel::codes::kInvalidArg, "GetBSTRFromString");
    *out = nullptr;
    if (text == nullptr) return S_OK;
    char16_t* wide = nullptr;
    std::size_t units = 0;
    const int rc = zel::support_detail::MultibyteToUtf16(text, std::strlen(text), &wide, &units);
    if (rc == ENOMEM) return Fail(zel::codes::kOutOfMemory, "GetBSTRFromString");
    if (rc != 0) return Fail(zel::codes::kMultibyteToWide, "GetBSTRFromString");
    std::unique_ptr<char16_t, decltype(&std::free)> hold(wide, &std::free);
    // The BSTR's length is the number of UTF-16 units, which for text beyond
    // ASCII is fewer than its bytes.
    BSTR b =
        units <= UINT_MAX ? SysAllocStringLen(wide, static_cast<unsigned int>(units)) : nullptr;
    if (b == nullptr) return Fail(zel::codes::kOutOfMemory, "GetBSTRFromString");
    *out = b;
    return S_OK;
}

HRESULT FreeBSTR(BSTR* bstr) {
    if (bstr == nullptr) return Fail(zel::codes::kInvalidArg, "FreeBSTR");
    SysFreeString(*bstr);
    *bstr = nullptr;
    return S_OK;
}

HRESULT GetStringFromANSISTR(const char* text, char** str, bool trim) {
    if (str == nullptr) return Fail(zel::codes::kInvalidArg, "GetStringFromANSISTR");
    if (text == nullptr) return FreeString(str);
    return CopyString(text, str, trim);
}

HRESULT GetANSISTRFromString(const char* text, char** str) {
    if (str == nullptr) return Fail(zel::codes::kInvalidArg, "GetANSISTRFromString");
    if (text == nullptr) return FreeString(str);
    return CopyString(text, str, false);
}

// ---- streams and files ----

namespace {

// Extra zero bytes after the data read: enough to end it as multibyte text
// and as UTF-16 text even when an odd number of bytes was read.
constexpr std::size_t kTerminatorBytes = 3;

// Turns a buffer of `bytes` data bytes (followed by kTerminatorBytes zeros)
// into the result string: converted from UTF-16 when wide, else the buffer
// itself.
HRESULT FinishBuffer(MallocBlock buffer, bool wide, char** out) {
    if (!wide) {
        *out = buffer.release();
        return S_OK;
    }
    return GetStringFromWSTR(reinterpret_cast<const char16_t*>(buffer.get()), out, false);
}

// Text-mode reading: the CR of each CR LF pair is dropped (per UTF-16 unit
// for wide text).  Returns the new data length.
std::size_t StripCarriageReturns(char* data, std::size_t bytes, bool wide) {
    std::size_t w = 0;
    if (wide) {
        const std::size_t units = bytes / 2;
        auto unit = [&](std::size_t i) {
            return static_cast<unsigned>(static_cast<unsigned char>(data[2 * i])) |
                   static_cast<unsigned>(static_cast<unsigned char>(data[2 * i + 1])) << 8;
        };
        for (std::size_t i = 0; i < units; ++i) {
            if (unit(i) == 0x0D && i + 1 < units && unit(i + 1) == 0x0A) continue;
            data[w++] = data[2 * i];
            data[w++] = data[2 * i + 1];
        }
        if (bytes % 2 != 0) data[w++] = data[bytes - 1];
        return w;
    }
    for (std::size_t i = 0; i < bytes; ++i) {
        if (data[i] == '\r' && i + 1 < bytes && data[i + 1] == '\n') continue;
        data[w++] = data[i];
    }
    return w;
}

}  // namespace

HRESULT GetStringFromByteStream(IByteStream* stream, bool wide, char** out) {
    if (stream == nullptr || out == nullptr) {
        return Fail(zel::codes::kInvalidArg, "GetStringFromByteStream");
    }
    *out = nullptr;
    std::int32_t length = 0;
    HRESULT hr = stream->GetLength(&length);
    if (FAILED(hr)) return hr;
    std::int32_t position = 0;
    hr = stream->Seek(2, 0, &position);
    if (FAILED(hr)) return hr;
    if (length < 0) return Fail(zel::codes::kInvalidArg, "GetStringFromByteStream");
    MallocBlock buffer = MakeBlock(static_cast<std::size_t>(length) + kTerminatorBytes);
    if (!buffer) return Fail(zel::codes::kOutOfMemory, "GetStringFromByteStream");
    std::int32_t total = 0;
    while (total < length) {
        std::int32_t got = 0;
        hr = stream->Read(buffer.get() + total, length - total, &got);
        if (FAILED(hr)) return hr;
        if (got <= 0) break;
        total += got;
    }
    std::memset(buffer.get() + total, 0, kTerminatorBytes);
    return FinishBuffer(std::move(buffer), wide, out);
}

HRESULT GetBSTRFromByteStream(IByteStream* stream, bool wide, BSTR* out) {
    if (stream == nullptr || out == nullptr) {
        return Fail(zel::codes::kInvalidArg, "GetBSTRFromByteStream");
    }
    *out = nullptr;
    CStringHolder text;
    HRESULT hr = GetStringFromByteStream(stream, wide, text.Out());
    if (FAILED(hr)) return hr;
    return GetBSTRFromString(text.get(), out);
}

HRESULT GetStringDataFromFile(const char* path, bool wide, char** out) {
    if (path == nullptr || out == nullptr) {
        return Fail(zel::codes::kInvalidArg, "GetStringDataFromFile");
    }
    *out = nullptr;
    // Regular files only: a FIFO would block here for ever and a directory
    // opens but cannot be read; both count as a file that cannot be opened.
    zel::fs::UniqueFd fd;
    if (zel::fs::OpenForReading(path, &fd) != 0)
        return Fail(zel::codes::kOpenFile, "GetStringDataFromFile");
    zel::fs::FileInfo info;
    if (zel::fs::GetOpenFileInfo(fd.get(), &info) != 0 || info.size < 0) {
        return Fail(zel::codes::kFileLength, "GetStringDataFromFile");
    }
    const std::size_t length = static_cast<std::size_t>(info.size);
    MallocBlock buffer = MakeBlock(length + kTerminatorBytes);
    if (!buffer) return Fail(zel::codes::kOutOfMemory, "GetStringDataFromFile");
    std::size_t total = 0;
    while (total < length) {
        const long got = zel::fs::ReadSome(fd.get(), buffer.get() + total, length - total);
        if (got < 0) return Fail(zel::codes::kReadFile, "GetStringDataFromFile");
        if (got == 0) break;
        total += static_cast<std::size_t>(got);
    }
    total = StripCarriageReturns(buffer.get(), total, wide);
    std::memset(buffer.get() + total, 0, kTerminatorBytes);
    return FinishBuffer(std::move(buffer), wide, out);
}

HRESULT WriteStringToFile(const char* path, const char* text) {
    if (path == nullptr || text == nullptr) {
        return Fail(zel::codes::kInvalidArg, "WriteStringToFile");
    }
    zel::fs::UniqueFd fd;
    if (zel::fs::CreateForWriting(path, &fd) != 0)
        return Fail(zel::codes::kOpenFile, "WriteStringToFile");
    // Text mode: each LF is stored as CR LF.
    const std::string bytes = zel::text::ToTextMode(text);
    if (zel::fs::WriteAll(fd.get(), bytes.data(), bytes.size()) != 0) {
        return Fail(zel::codes::kWriteFile, "WriteStringToFile");
    }
    if (zel::fs::CloseFile(&fd) != 0) return Fail(zel::codes::kWriteFile, "WriteStringToFile");
    return S_OK;
}

HRESULT GetTmpFileName(char** out) {
    if (out == nullptr) return Fail(zel::codes::kInvalidArg, "GetTmpFileName");
    *out = nullptr;
    const std::string dir = zel::fs::TempDir();
    if (dir.empty()) return Fail(zel::codes::kTempDir, "GetTmpFileName");
    std::string name;
    if (zel::fs::CreateUniqueFile(zel::paths::Join(dir, "TMP"), &name) != 0)
        return Fail(zel::codes::kTempFile, "GetTmpFileName");
    const HRESULT hr = CopyString(name.c_str(), out, true);
    if (FAILED(hr)) (void)zel::fs::RemoveFile(name);  // nobody would know to remove it
    return hr;
}

std::string OneLine(std::string_view text, LineBreak how) {
    auto is_break = [](char c) { return c == '\r' || c == '\n'; };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!is_break(text[i])) {
            out.push_back(text[i]);
            continue;
        }
        if (how == LineBreak::kEndsText) break;
        out.push_back(' ');
        while (i + 1 < text.size() && is_break(text[i + 1])) ++i;
    }
    const std::size_t first = out.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return out.substr(first, out.find_last_not_of(" \t") - first + 1);
}
