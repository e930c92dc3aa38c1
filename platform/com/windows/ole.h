// The bridge between the object model's interface (com.h) and the system's
// own COM on Windows (ole32, oleaut32).
//
// com.h declares GUID, IUnknown, VARIANT and the rest itself, with the
// system's layouts, so that the same sources build on Linux; the system's
// headers declare the same names again, so no translation unit can see
// both.  com.cpp (our side) calls these functions with neutral types, and
// ole.cpp (the only file that includes the system's headers) forwards each
// to the system's call of that name.  Pointers to GUIDs, interfaces and
// variants are passed through unchanged: the layouts are asserted equal on
// both sides (the sizes below).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::com::ole {

// The sizes and offsets both sides assert, for the structures that cross.
inline constexpr std::size_t kGuidSize = 16;
inline constexpr std::size_t kVariantSize = 24;
inline constexpr std::size_t kVariantValueOffset = 8;
inline constexpr std::size_t kDispParamsSize = 24;
inline constexpr std::size_t kExcepInfoSize = 64;
inline constexpr std::size_t kExcepInfoScodeOffset = 56;

std::int32_t InitializeEx(void* reserved, std::uint32_t coinit);
void Uninitialize();
std::int32_t GetClassObject(const void* clsid, std::uint32_t context, void* server_info,
                            const void* iid, void** object);
std::int32_t CreateInstance(const void* clsid, void* outer, std::uint32_t context, const void* iid,
                            void** object);
std::int32_t ClsidFromProgId(const char16_t* progid, void* clsid);
void FreeUnusedLibraries();

std::int32_t CreateErrorInfo(void** create_error_info);
std::int32_t SetErrorInfo(std::uint32_t reserved, void* error_info);
std::int32_t GetErrorInfo(std::uint32_t reserved, void** error_info);

void VariantInit(void* variant);
std::int32_t VariantClear(void* variant);
std::int32_t VariantCopy(void* dest, const void* src);

}  // namespace zel::com::ole
