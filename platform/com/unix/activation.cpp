// Apartments and activation: the per-thread initialisation count and the
// process-wide table of loaded component libraries (see com.h).
//
// The table lives in this one shared library, so every client module of a
// process shares it and a component library is loaded once.  It is never
// destroyed: a client's static object that releases a component at process
// exit must still find the component's code in place.
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "platform/com/library.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace zel::com {
void ClearThreadErrorInfo();  // error_info.cpp
}

namespace {

using zel::com::ComPtr;
using zel::com::DynamicLibrary;
namespace reg = zel::reg;

struct ThreadState {
    int inits = 0;
    DWORD mode = COINIT_MULTITHREADED;
};
thread_local ThreadState t_thread;

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT (*)();

struct LoadedLibrary {
    std::string path;  // as registered
    DynamicLibrary library;
    GetClassObjectFn get_class_object = nullptr;
    CanUnloadNowFn can_unload_now = nullptr;  // null: never unloaded
};

struct LibraryTable {
    // Recursive: a component may activate another one from DllGetClassObject
    // or decide DllCanUnloadNow by releasing objects of its own.
    std::recursive_mutex mutex;
    std::vector<LoadedLibrary> libraries;
};

// Built on first use in static storage and never destroyed (see above).
LibraryTable& Table() {
    alignas(LibraryTable) static unsigned char storage[sizeof(LibraryTable)];
    static LibraryTable* table = new (storage) LibraryTable();
    return *table;
}

// UTF-8 to UTF-16 for the texts of error objects; a byte that does not
// start a well-formed sequence becomes U+FFFD.
std::u16string FromUtf8(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = 0xFFFD;
        std::size_t n = 1;
        if (b < 0x80) {
            c = b;
        } else {
            const std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
            if (len != 0 && i + len <= text.size()) {
                std::uint32_t v = b & (0x7F >> len);
                bool ok = true;
                for (std::size_t k = 1; k < len && ok; ++k) {
                    const auto cont = static_cast<unsigned char>(text[i + k]);
                    ok = (cont & 0xC0) == 0x80;
                    v = (v << 6) | (cont & 0x3F);
                }
                const std::uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
                if (ok && v >= min && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
                    c = v;
                    n = len;
                }
            }
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += n;
    }
    return out;
}

// Returns hr after making why the thread's rich error information, so that a
// client can say why an activation failed (which file, which cause) instead
// of only the code.
HRESULT ActivationFailure(HRESULT hr, REFIID riid, const std::string& why) {
    try {
        const std::u16string text = FromUtf8(why);
        (void)zel::com::SetErrorDetails(riid, u"CoGetClassObject", text.c_str());
    } catch (...) {
        SetErrorInfo(0, nullptr);
    }
    return hr;
}

// Why the registry store could not be read, naming the file.
std::string StoreProblem() {
    std::string why = reg::LastStoreProblem();
    if (why.empty()) why = "cannot read the registry store " + zel::paths::RegistryFile();
    return why;
}

// The registered library of clsid.
HRESULT FindServerPath(REFCLSID clsid, REFIID riid, std::string* path) {
    reg::Key key;
    const std::string sub = "CLSID\\" + zel::com::GuidToString(clsid) + "\\InprocServer32";
    const std::string not_registered = "the class " + zel::com::GuidToString(clsid) +
                                       " is not registered (no HKEY_CLASSES_ROOT\\" + sub +
                                       " in the registry store " + zel::paths::RegistryFile() + ")";
    reg::Status st = reg::OpenKey(reg::Hive::ClassesRoot, sub, &key);
    if (st == reg::kNotFound) return ActivationFailure(REGDB_E_CLASSNOTREG, riid, not_registered);
    if (st != reg::kSuccess) return ActivationFailure(REGDB_E_READREGDB, riid, StoreProblem());
    st = reg::QueryString(key, "", path);
    if (st == reg::kNotFound || (st == reg::kSuccess && path->empty()))
        return ActivationFailure(REGDB_E_CLASSNOTREG, riid, not_registered);
    if (st != reg::kSuccess) return ActivationFailure(REGDB_E_READREGDB, riid, StoreProblem());
    return S_OK;
}

// The table's entry for path, loading the library when needed.  Called with
// the table's lock held.
HRESULT LoadServer(LibraryTable& table, const std::string& path, REFIID riid, LoadedLibrary** out) {
    for (LoadedLibrary& entry : table.libraries) {
        if (entry.path == path) {
            *out = &entry;
            return S_OK;
        }
    }
    LoadedLibrary entry;
    entry.path = path;
    std::string why;
    switch (entry.library.Load(path, &why)) {
        case DynamicLibrary::LoadError::None:
            break;
        case DynamicLibrary::LoadError::NotFound:
            return ActivationFailure(CO_E_DLLNOTFOUND, riid,
                                     "the registered component library " + path + " is missing");
        case DynamicLibrary::LoadError::NotLoadable:
            return ActivationFailure(
                CO_E_BADLIBRARY, riid,
                "the registered component library " + path + " cannot be loaded: " + why);
    }
    entry.get_class_object =
        reinterpret_cast<GetClassObjectFn>(entry.library.Symbol("DllGetClassObject"));
    if (entry.get_class_object == nullptr)  // unloaded again here
        return ActivationFailure(
            CO_E_ERRORINDLL, riid,
            "the registered library " + path + " is no component library (no DllGetClassObject)");
    entry.can_unload_now =
        reinterpret_cast<CanUnloadNowFn>(entry.library.Symbol("DllCanUnloadNow"));
    // The same file under another name: the loader handed out the library
    // already in the table (and counted one more load, dropped here).
    for (LoadedLibrary& known : table.libraries) {
        if (known.library.handle() == entry.library.handle()) {
            *out = &known;
            return S_OK;
        }
    }
    table.libraries.push_back(std::move(entry));
    *out = &table.libraries.back();
    return S_OK;
}

// UTF-16 to UTF-8 for names (ProgIDs); false for broken surrogates.
bool ToUtf8(LPCOLESTR text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; text[i] != 0; ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            const std::uint32_t low = text[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

}  // namespace

HRESULT CoInitializeEx(void* /*reserved*/, DWORD coinit) {
    if ((coinit & ~COINIT_APARTMENTTHREADED & ~0xCu) != 0) return E_INVALIDARG;
    const DWORD mode = coinit & COINIT_APARTMENTTHREADED;
    if (t_thread.inits > 0) {
        if (t_thread.mode != mode) return RPC_E_CHANGED_MODE;
        ++t_thread.inits;
        return S_FALSE;
    }
    t_thread.inits = 1;
    t_thread.mode = mode;
    return S_OK;
}

void CoUninitialize() {
    if (t_thread.inits == 0) return;
    if (--t_thread.inits == 0) zel::com::ClearThreadErrorInfo();
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* /*server_info*/, REFIID riid,
                         void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (t_thread.inits == 0) return CO_E_NOTINITIALIZED;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    std::string path;
    HRESULT hr = FindServerPath(clsid, riid, &path);
    if (FAILED(hr)) return hr;
    LibraryTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    LoadedLibrary* server = nullptr;
    hr = LoadServer(table, path, riid, &server);
    if (FAILED(hr)) return hr;
    hr = server->get_class_object(clsid, riid, object);
    if (FAILED(hr)) *object = nullptr;  // whatever the library left there is not ours
    return hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.OutVoid());
    if (FAILED(hr)) return hr;
    if (!factory) return E_NOINTERFACE;
    hr = factory->CreateInstance(outer, riid, object);
    if (FAILED(hr)) *object = nullptr;
    return hr;
}

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) {
    if (progid == nullptr || clsid == nullptr) return E_POINTER;
    std::string name;
    // A "\" would reach into another key's sub-keys.
    if (!ToUtf8(progid, &name) || name.empty() || name.find('\\') != std::string::npos)
        return CO_E_CLASSSTRING;
    reg::Key key;
    reg::Status st = reg::OpenKey(reg::Hive::ClassesRoot, name + "\\CLSID", &key);
    if (st == reg::kNotFound || st == reg::kInvalidParameter) return REGDB_E_CLASSNOTREG;
    if (st != reg::kSuccess) return REGDB_E_READREGDB;
    std::string text;
    st = reg::QueryString(key, "", &text);
    if (st == reg::kNotFound) return REGDB_E_CLASSNOTREG;
    if (st != reg::kSuccess) return REGDB_E_READREGDB;
    return zel::com::ParseGuid(text, clsid) ? S_OK : CO_E_CLASSSTRING;
}

void CoFreeUnusedLibraries() {
    LibraryTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    for (std::size_t i = 0; i < table.libraries.size();) {
        LoadedLibrary& entry = table.libraries[i];
        if (entry.can_unload_now != nullptr && entry.can_unload_now() == S_OK) {
            table.libraries.erase(table.libraries.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void CoFreeAllLibraries() {
    CoFreeUnusedLibraries();
}

namespace zel::com {

int LoadedLibraryCount() {
    LibraryTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    return static_cast<int>(table.libraries.size());
}

}  // namespace zel::com
