// CBase64: see base64.h.
#include "support/base64.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "support/strings_internal.h"

using zel::support_detail::Fail;

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::size_t kBlock = 4096;

constexpr signed char kInvalid = -1;
constexpr signed char kPadding = -2;

// Reverse alphabet: every byte value to its 6-bit value, kPadding for "="
// or kInvalid.  A character with its top bit set decodes like the character
// without it.
const std::array<signed char, 256>& ReverseTable() {
    static const std::array<signed char, 256> table = [] {
        std::array<signed char, 256> t{};
        t.fill(kInvalid);
        for (int i = 0; i < 64; ++i) {
            const auto c = static_cast<unsigned char>(kAlphabet[i]);
            t[c] = static_cast<signed char>(i);
            t[c | 0x80u] = static_cast<signed char>(i);
        }
        t[static_cast<unsigned char>(kPad)] = kPadding;
        return t;
    }();
    return table;
}

// Frees *buffer and allocates a zero-filled one of more than size bytes in
// 4096-byte steps when the capacity is too small; zero-fills in any case.
template <typename Holder>
bool Reserve(Holder* buffer, std::size_t* capacity, std::size_t size) {
    using T = typename Holder::element_type;
    if (!*buffer || *capacity <= size) {
        const std::size_t bytes = (size / kBlock + 1) * kBlock;
        buffer->reset(static_cast<T*>(std::malloc(bytes)));
        *capacity = *buffer ? bytes : 0;
        if (!*buffer) return false;
    }
    std::memset(buffer->get(), 0, *capacity);
    return true;
}

}  // namespace

CBase64::~CBase64() = default;

HRESULT CBase64::ReserveText(std::size_t size) {
    text_length_ = 0;
    if (!Reserve(&text_, &text_capacity_, size))
        return Fail(zel::codes::kOutOfMemory, "CBase64::ReserveText");
    return S_OK;
}

HRESULT CBase64::ReserveData(std::size_t size) {
    data_length_ = 0;
    if (!Reserve(&data_, &data_capacity_, size))
        return Fail(zel::codes::kOutOfMemory, "CBase64::ReserveData");
    return S_OK;
}

HRESULT CBase64::CopyData(const unsigned char* bytes, std::size_t length) {
    const HRESULT hr = ReserveData(length);
    if (FAILED(hr)) return hr;
    if (length > 0) std::memcpy(data_.get(), bytes, length);
    data_length_ = length;
    return S_OK;
}

HRESULT CBase64::CopyTextFiltered(const unsigned char* bytes, std::size_t length) {
    const HRESULT hr = ReserveText(length);
    if (FAILED(hr)) return hr;
    for (std::size_t i = 0; i < length; ++i) {
        if (!IsSkippedChar(bytes[i])) text_[text_length_++] = static_cast<char>(bytes[i]);
    }
    return S_OK;
}

bool CBase64::IsSkippedChar(unsigned char c) {
    return (c >= 7 && c <= 13) || c == ' ';
}

void CBase64::SplitGroup(const unsigned char* three, unsigned char* four) {
    const unsigned long v = (static_cast<unsigned long>(three[0]) << 16) |
                            (static_cast<unsigned long>(three[1]) << 8) | three[2];
    four[0] = static_cast<unsigned char>((v >> 18) & 0x3F);
    four[1] = static_cast<unsigned char>((v >> 12) & 0x3F);
    four[2] = static_cast<unsigned char>((v >> 6) & 0x3F);
    four[3] = static_cast<unsigned char>(v & 0x3F);
}

void CBase64::JoinGroup(const unsigned char* four, unsigned char* three) {
    const unsigned long v = (static_cast<unsigned long>(four[0] & 0x3F) << 18) |
                            (static_cast<unsigned long>(four[1] & 0x3F) << 12) |
                            (static_cast<unsigned long>(four[2] & 0x3F) << 6) | (four[3] & 0x3F);
    three[0] = static_cast<unsigned char>(v >> 16);
    three[1] = static_cast<unsigned char>(v >> 8);
    three[2] = static_cast<unsigned char>(v);
}

void CBase64::EncodeGroup(const unsigned char* group, char* destination) {
    unsigned char four[4];
    SplitGroup(group, four);
    for (int i = 0; i < 4; ++i) destination[i] = kAlphabet[four[i]];
}

int CBase64::DecodeGroup(const char* group, unsigned char* destination) {
    const auto& table = ReverseTable();
    signed char v[4];
    for (int i = 0; i < 4; ++i) v[i] = table[static_cast<unsigned char>(group[i])];
    if (v[0] < 0 || v[1] < 0) return -1;
    int made = 3;
    if (v[2] == kPadding) {
        if (v[3] != kPadding) return -1;
        made = 1;
    } else if (v[2] == kInvalid || v[3] == kInvalid) {
        return -1;
    } else if (v[3] == kPadding) {
        made = 2;
    }
    unsigned char four[4];
    for (int i = 0; i < 4; ++i) four[i] = v[i] < 0 ? 0 : static_cast<unsigned char>(v[i]);
    unsigned char three[3];
    JoinGroup(four, three);
    std::memcpy(destination, three, static_cast<std::size_t>(made));
    return made;
}

HRESULT CBase64::Encode(const char* text) {
    if (text == nullptr) return Fail(zel::codes::kInvalidArg, "CBase64::Encode");
    return Encode(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
}

HRESULT CBase64::Encode(const unsigned char* bytes, std::size_t length) {
    if (bytes == nullptr && length > 0) return Fail(zel::codes::kInvalidArg, "CBase64::Encode");
    HRESULT hr = CopyData(bytes, length);
    if (FAILED(hr)) return hr;
    // Twice the input is always room enough: the buffer is more than that,
    // and never less than 4096 bytes.
    hr = ReserveText(2 * length);
    if (FAILED(hr)) return hr;
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        EncodeGroup(data_.get() + i, text_.get() + text_length_);
        text_length_ += 4;
    }
    const std::size_t rest = length - i;
    if (rest > 0) {
        unsigned char last[3] = {0, 0, 0};
        std::memcpy(last, data_.get() + i, rest);
        EncodeGroup(last, text_.get() + text_length_);
        text_length_ += 4;
        text_[text_length_ - 1] = kPad;
        if (rest == 1) text_[text_length_ - 2] = kPad;
    }
    return S_OK;
}

HRESULT CBase64::Decode(const char* text) {
    if (text == nullptr) return Fail(zel::codes::kInvalidArg, "CBase64::Decode");
    return Decode(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
}

HRESULT CBase64::Decode(const unsigned char* bytes, std::size_t length) {
    if (bytes == nullptr && length > 0) return Fail(zel::codes::kInvalidArg, "CBase64::Decode");
    HRESULT hr = CopyTextFiltered(bytes, length);
    if (FAILED(hr)) return hr;
    hr = ReserveData(text_length_ / 4 * 3 + 3);
    if (FAILED(hr)) return hr;
    bool ended = false;  // a padded group ends the data
    for (std::size_t i = 0; i < text_length_; i += 4) {
        char group[4] = {kPad, kPad, kPad, kPad};
        const std::size_t n = text_length_ - i < 4 ? text_length_ - i : 4;
        std::memcpy(group, text_.get() + i, n);
        const int made = (ended || n == 1) ? -1 : DecodeGroup(group, data_.get() + data_length_);
        if (made < 0) {
            data_length_ = 0;
            std::memset(data_.get(), 0, data_capacity_);
            return Fail(zel::codes::kInvalidArg, "CBase64::Decode");
        }
        data_length_ += static_cast<std::size_t>(made);
        if (made < 3) ended = true;
    }
    return S_OK;
}

const unsigned char* CBase64::GetData() {
    return data_.get();
}

const char* CBase64::GetText() {
    return text_.get();
}
