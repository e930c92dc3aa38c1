// BSTR allocation of the object-model runtime: see bstr.h.  A block is [uint32 byte
// length][text][0 0]; the BSTR points just past the prefix.
#include "platform/com/bstr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);

std::uint32_t* PrefixOf(BSTR bstr) {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<unsigned char*>(bstr) - kPrefix);
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, unsigned int length) {
    // The byte count must fit the 32-bit prefix.
    if (length > (UINT32_MAX - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
    void* block = std::malloc(kPrefix + bytes + sizeof(OLECHAR));
    if (block == nullptr) return nullptr;
    const std::uint32_t prefix = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &prefix, kPrefix);
    BSTR bstr = reinterpret_cast<BSTR>(static_cast<unsigned char*>(block) + kPrefix);
    if (text != nullptr) {
        std::memcpy(bstr, text, bytes);
    } else {
        std::memset(bstr, 0, bytes);
    }
    bstr[length] = 0;
    return bstr;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) return nullptr;
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    if (n > UINT32_MAX) return nullptr;
    return SysAllocStringLen(text, static_cast<unsigned int>(n));
}

void SysFreeString(BSTR bstr) {
    if (bstr == nullptr) return;
    std::free(PrefixOf(bstr));
}

unsigned int SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr) return 0;
    std::uint32_t bytes;
    std::memcpy(&bytes, PrefixOf(bstr), kPrefix);
    return bytes;
}

unsigned int SysStringLen(BSTR bstr) {
    return SysStringByteLen(bstr) / static_cast<unsigned int>(sizeof(OLECHAR));
}
