// The system's side of the bridge (see ole.h): each call forwards to the
// ole32 or oleaut32 function of that name.  This is the one file of the
// object model that includes the system's headers; it keeps nothing.
#include "platform/com/windows/ole.h"

// <windows.h> brings in the COM headers (ole2.h), which cannot stand
// before it.
#include <windows.h>

#include <cstddef>

namespace zel::com::ole {

namespace {

// What com.h declares must be what the system passes.
static_assert(sizeof(GUID) == kGuidSize);
static_assert(sizeof(VARIANT) == kVariantSize);
static_assert(offsetof(VARIANT, lVal) == kVariantValueOffset);
static_assert(sizeof(DISPPARAMS) == kDispParamsSize);
static_assert(sizeof(EXCEPINFO) == kExcepInfoSize);
static_assert(offsetof(EXCEPINFO, scode) == kExcepInfoScodeOffset);
static_assert(sizeof(HRESULT) == sizeof(std::int32_t));
static_assert(sizeof(OLECHAR) == sizeof(char16_t));

const GUID& Guid(const void* guid) {
    return *static_cast<const GUID*>(guid);
}

}  // namespace

std::int32_t InitializeEx(void* reserved, std::uint32_t coinit) {
    return ::CoInitializeEx(reserved, coinit);
}

void Uninitialize() {
    ::CoUninitialize();
}

std::int32_t GetClassObject(const void* clsid, std::uint32_t context, void* server_info,
                            const void* iid, void** object) {
    return ::CoGetClassObject(Guid(clsid), context, static_cast<COSERVERINFO*>(server_info),
                              Guid(iid), object);
}

std::int32_t CreateInstance(const void* clsid, void* outer, std::uint32_t context, const void* iid,
                            void** object) {
    return ::CoCreateInstance(Guid(clsid), static_cast<IUnknown*>(outer), context, Guid(iid),
                              object);
}

std::int32_t ClsidFromProgId(const char16_t* progid, void* clsid) {
    return ::CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(progid), static_cast<CLSID*>(clsid));
}

void FreeUnusedLibraries() {
    ::CoFreeUnusedLibraries();
}

std::int32_t CreateErrorInfo(void** create_error_info) {
    return ::CreateErrorInfo(reinterpret_cast<ICreateErrorInfo**>(create_error_info));
}

std::int32_t SetErrorInfo(std::uint32_t reserved, void* error_info) {
    return ::SetErrorInfo(reserved, static_cast<IErrorInfo*>(error_info));
}

std::int32_t GetErrorInfo(std::uint32_t reserved, void** error_info) {
    return ::GetErrorInfo(reserved, reinterpret_cast<IErrorInfo**>(error_info));
}

void VariantInit(void* variant) {
    ::VariantInit(static_cast<VARIANT*>(variant));
}

std::int32_t VariantClear(void* variant) {
    return ::VariantClear(static_cast<VARIANT*>(variant));
}

std::int32_t VariantCopy(void* dest, const void* src) {
    // The system's declaration lacks the const; the source is only read.
    return ::VariantCopy(static_cast<VARIANT*>(dest),
                         static_cast<VARIANT*>(const_cast<void*>(src)));
}

}  // namespace zel::com::ole
