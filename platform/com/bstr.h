// BSTR: the wide string of our small COM object model.
//
// A BSTR points at UTF-16 (char16_t) text that is always zero-terminated and
// preceded by a 32-bit length prefix holding its size in bytes, so it may hold
// embedded zeros and its length is known without scanning.  nullptr is a valid
// BSTR and stands for the empty string.  Blocks are made only by
// SysAllocString / SysAllocStringLen and freed only by SysFreeString.
//
// The allocator lives in the shared object-model runtime (libzelcom.so), so a
// BSTR made on one side of a component boundary can be freed on the other.
// On Windows it is the system's (oleaut32): OLECHAR stays char16_t in this
// interface, and the system's wchar_t text is the same 16-bit units, so the
// same sources build for both (see windows/bstr.cpp).
#pragma once

#include <cstddef>

#include "platform/com/export.h"

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

// A new BSTR holding a copy of the zero-terminated text; nullptr when text is
// nullptr or memory runs out.  The caller owns the result.
[[nodiscard]] ZEL_COM_API BSTR SysAllocString(const OLECHAR* text);

// A new BSTR of length characters, copied from text (which may hold zeros) or
// zero-filled when text is nullptr; a terminating zero follows.  nullptr when
// memory runs out or length is too large.  The caller owns the result.
[[nodiscard]] ZEL_COM_API BSTR SysAllocStringLen(const OLECHAR* text, unsigned int length);

// Frees a BSTR; nullptr is ignored.
ZEL_COM_API void SysFreeString(BSTR bstr);

// Number of characters (not counting the terminator); 0 for nullptr.
[[nodiscard]] ZEL_COM_API unsigned int SysStringLen(BSTR bstr);

// Number of bytes of text (not counting the terminator); 0 for nullptr.
[[nodiscard]] ZEL_COM_API unsigned int SysStringByteLen(BSTR bstr);

namespace zel {

// Owns one BSTR and frees it with SysFreeString.
//   CBstr b;  GetBSTRFromString("x", b.Out());
class CBstr {
  public:
    CBstr() = default;
    explicit CBstr(BSTR owned) : bstr_(owned) {}
    ~CBstr() { SysFreeString(bstr_); }
    CBstr(CBstr&& o) noexcept : bstr_(o.release()) {}
    CBstr& operator=(CBstr&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;

    BSTR get() const { return bstr_; }
    unsigned int Length() const { return SysStringLen(bstr_); }
    // Out access: frees what is held, then hands out the slot.
    BSTR* Out() {
        reset();
        return &bstr_;
    }
    [[nodiscard]] BSTR release() {
        BSTR b = bstr_;
        bstr_ = nullptr;
        return b;
    }
    void reset(BSTR owned = nullptr) {
        if (owned != bstr_) SysFreeString(bstr_);
        bstr_ = owned;
    }

  private:
    BSTR bstr_ = nullptr;
};

}  // namespace zel
