// GUID text in braces, both ways: see com.h.
#include <cstdio>

#include "platform/com/com.h"

namespace zel::com {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads digits hex digits at text[pos]; false on any non-hex character.
bool ReadHex(std::string_view text, std::size_t pos, int digits, std::uint32_t* out) {
    std::uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = HexValue(text[pos + static_cast<std::size_t>(i)]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    *out = v;
    return true;
}

// ASCII-only narrowing of wide GUID text; false for anything beyond ASCII
// or longer than a GUID, so no wide text is ever silently truncated.
bool NarrowGuidText(LPCOLESTR text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; text[i] != 0; ++i) {
        if (text[i] > 0x7F || i >= static_cast<std::size_t>(kGuidTextLength)) return false;
        out->push_back(static_cast<char>(text[i]));
    }
    return true;
}

}  // namespace

std::string GuidToString(REFGUID g) {
    char buf[kGuidTextLength + 1];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                  static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool ParseGuid(std::string_view text, GUID* out) {
    if (out == nullptr || text.size() != static_cast<std::size_t>(kGuidTextLength)) return false;
    if (text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' || text[19] != '-' ||
        text[24] != '-')
        return false;
    GUID g{};
    std::uint32_t v = 0;
    if (!ReadHex(text, 1, 8, &v)) return false;
    g.Data1 = v;
    if (!ReadHex(text, 10, 4, &v)) return false;
    g.Data2 = static_cast<std::uint16_t>(v);
    if (!ReadHex(text, 15, 4, &v)) return false;
    g.Data3 = static_cast<std::uint16_t>(v);
    static constexpr std::size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kByteAt[i], 2, &v)) return false;
        g.Data4[i] = static_cast<std::uint8_t>(v);
    }
    *out = g;
    return true;
}

}  // namespace zel::com

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int size) {
    if (buffer == nullptr || size < kGuidTextLength + 1) return 0;
    const std::string text = zel::com::GuidToString(guid);
    for (int i = 0; i < kGuidTextLength; ++i) buffer[i] = static_cast<OLECHAR>(text[i]);
    buffer[kGuidTextLength] = 0;
    return kGuidTextLength + 1;
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out) {
    if (text == nullptr || out == nullptr) return E_POINTER;
    std::string narrow;
    if (!zel::com::NarrowGuidText(text, &narrow) || !zel::com::ParseGuid(narrow, out))
        return CO_E_CLASSSTRING;
    return S_OK;
}

HRESULT IIDFromString(LPCOLESTR text, IID* out) {
    const HRESULT hr = CLSIDFromString(text, out);
    return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}
