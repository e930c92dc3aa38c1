// BSTRs on Windows (see platform/com/bstr.h): the system's own allocator
// in oleaut32, so that a BSTR crosses to and from any COM peer.  UTF-16 is
// wchar_t there and char16_t in our interface; both are 16-bit units of
// the same text, so the pointers are passed through as they are.
//
// This file does not include bstr.h: that header's BSTR (char16_t*) and the
// system's (wchar_t*) cannot be declared in one translation unit.  The
// definitions below are the ones bstr.h declares.
// <windows.h> brings in oleauto.h, which cannot stand before it.
#include <windows.h>

namespace {

const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

wchar_t* Wide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}

char16_t* Ours(wchar_t* text) {
    return reinterpret_cast<char16_t*>(text);
}

}  // namespace

char16_t* SysAllocString(const char16_t* text) {
    return Ours(::SysAllocString(Wide(text)));
}

char16_t* SysAllocStringLen(const char16_t* text, unsigned int length) {
    return Ours(::SysAllocStringLen(Wide(text), length));
}

void SysFreeString(char16_t* bstr) {
    ::SysFreeString(Wide(bstr));
}

unsigned int SysStringLen(char16_t* bstr) {
    return ::SysStringLen(Wide(bstr));
}

unsigned int SysStringByteLen(char16_t* bstr) {
    return ::SysStringByteLen(Wide(bstr));
}
