// The object model's calls on Windows (see com.h): the system's own COM.
// Apartments, activation (CoCreateInstance reads HKEY_CLASSES_ROOT and loads
// the registered library itself), rich error information and variants are
// ole32's and oleaut32's, reached through the bridge of ole.h.  GUID text
// and result texts stay the shared code of this folder, so both systems
// spell them alike.
//
// One addition, as the Linux runtime makes it: when activation fails
// because the class is not registered or its library cannot be loaded,
// the thread's rich error information says which key or file, so that a
// client can name the cause and not only the code.
#include "platform/com/com.h"

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/charset.h"
#include "platform/com/windows/ole.h"
#include "platform/fs.h"
#include "platform/registry.h"

static_assert(sizeof(GUID) == zel::com::ole::kGuidSize);
static_assert(sizeof(VARIANT) == zel::com::ole::kVariantSize);
static_assert(offsetof(VARIANT, lVal) == zel::com::ole::kVariantValueOffset);
static_assert(sizeof(DISPPARAMS) == zel::com::ole::kDispParamsSize);
static_assert(sizeof(EXCEPINFO) == zel::com::ole::kExcepInfoSize);
static_assert(offsetof(EXCEPINFO, scode) == zel::com::ole::kExcepInfoScodeOffset);

namespace {

namespace reg = zel::reg;
namespace ole = zel::com::ole;

// What the loader answers for a library that is missing or that it refuses
// (ERROR_MOD_NOT_FOUND, ERROR_BAD_EXE_FORMAT); ole32 passes them on.
constexpr HRESULT kModuleNotFound = HResultFromWin32(126);

// Sets the description (text of the ANSI code page) as the thread's rich
// error information; leaves none when it has no wide form.
void Describe(REFIID riid, const std::string& why) {
    char16_t* wide = nullptr;
    std::size_t units = 0;
    if (zel::charset::LocaleToUtf16(why.data(), why.size(), &wide, &units) != 0) {
        (void)SetErrorInfo(0, nullptr);
        return;
    }
    const std::unique_ptr<char16_t, decltype(&std::free)> hold(wide, &std::free);
    (void)zel::com::SetErrorDetails(riid, u"CoGetClassObject", wide);
}

// Explains an activation failure that concerns the class's registration or
// its library; other failures (the library's own answers) are left as they
// are.  The system does not always tell a missing library from a missing
// registration (wine answers REGDB_E_CLASSNOTREG for both), so the
// registration and the file are looked at here.
HRESULT Explained(HRESULT hr, REFCLSID clsid, REFIID riid) {
    if (hr != REGDB_E_CLASSNOTREG && hr != CO_E_DLLNOTFOUND && hr != kModuleNotFound &&
        hr != CO_E_BADLIBRARY && hr != CO_E_ERRORINDLL)
        return hr;
    const std::string sub = "CLSID\\" + zel::com::GuidToString(clsid) + "\\InprocServer32";
    std::string path;
    reg::Key key;
    if (reg::OpenKey(reg::Hive::ClassesRoot, sub, &key) != reg::kSuccess ||
        reg::QueryString(key, "", &path) != reg::kSuccess || path.empty()) {
        Describe(riid, "the class " + zel::com::GuidToString(clsid) +
                           " is not registered (no HKEY_CLASSES_ROOT\\" + sub +
                           " in the registry)");
    } else if (hr == CO_E_ERRORINDLL) {
        Describe(riid, "the registered library " + path +
                           " is no component library (no DllGetClassObject)");
    } else if (!zel::fs::Exists(path)) {
        Describe(riid, "the registered component library " + path + " is missing");
    } else {
        Describe(riid, "the registered component library " + path + " cannot be loaded (" +
                           zel::com::ResultText(hr) + ")");
    }
    return hr;
}

}  // namespace

HRESULT CoInitializeEx(void* reserved, DWORD coinit) {
    return ole::InitializeEx(reserved, coinit);
}

void CoUninitialize() {
    ole::Uninitialize();
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* server_info, REFIID riid,
                         void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    const HRESULT hr = ole::GetClassObject(&clsid, context, server_info, &riid, object);
    if (FAILED(hr)) *object = nullptr;
    return FAILED(hr) ? Explained(hr, clsid, riid) : hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    const HRESULT hr = ole::CreateInstance(&clsid, outer, context, &riid, object);
    if (FAILED(hr)) *object = nullptr;
    return FAILED(hr) ? Explained(hr, clsid, riid) : hr;
}

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) {
    if (progid == nullptr || clsid == nullptr) return E_POINTER;
    return ole::ClsidFromProgId(progid, clsid);
}

void CoFreeAllLibraries() {
    ole::FreeUnusedLibraries();
}

void CoFreeUnusedLibraries() {
    ole::FreeUnusedLibraries();
}

HRESULT CreateErrorInfo(ICreateErrorInfo** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return ole::CreateErrorInfo(reinterpret_cast<void**>(out));
}

HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) {
    return ole::SetErrorInfo(reserved, info);
}

HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return ole::GetErrorInfo(reserved, reinterpret_cast<void**>(out));
}

void VariantInit(VARIANT* v) {
    if (v != nullptr) ole::VariantInit(v);
}

HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) return E_INVALIDARG;
    return ole::VariantClear(v);
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    return ole::VariantCopy(dest, src);
}
