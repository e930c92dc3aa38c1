// Registration of an in-process class in HKEY_CLASSES_ROOT: what a
// component's DllRegisterServer and DllUnregisterServer write and remove.
//
// Generic: the component fills in its own entries.  Rules kept by both calls:
// the parent keys "CLSID", "TypeLib" and "Interface" are never removed; the
// class key is replaced whole on registration and removed whole on removal;
// the ProgID keys are removed with their sub-keys; the type-library entry
// removes its version key, and the library's key once no version is left.
// Every key written is one of those, so removal leaves the store as it was
// before registration.
#pragma once

#include <string>
#include <vector>

#include "platform/com/com.h"

namespace zel::com {

struct InterfaceEntry {
    IID iid;
    std::string name;  // default value of HKCR\Interface\{iid}
};

struct TypeLibEntry {
    GUID libid = GUID_NULL;       // GUID_NULL: no type-library entries
    std::string version = "1.0";  // "major.minor"
    std::string help_string;      // default value of the version key
    std::string locale = "0";     // locale sub-key, hexadecimal ("0", "409")
    std::string path;             // the file holding the type library
    std::vector<InterfaceEntry> interfaces;
};

struct ClassEntry {
    CLSID clsid = GUID_NULL;
    std::string description;          // default value of the class and ProgID keys
    std::string module_path;          // absolute path of the library
    std::string threading_model;      // "Both", "Apartment", "Free"; empty: no value
    std::string progid;               // "Poll.Poll.1"; empty: none
    std::string version_independent;  // "Poll.Poll"; empty: none
    bool programmable = false;        // empty "Programmable" sub-key
    TypeLibEntry typelib;
};

// Writes the entries.  S_OK; E_INVALIDARG for a null class identifier or an
// empty module path; SELFREG_E_CLASS (or SELFREG_E_TYPELIB for the
// type-library part) when the store refuses a write.
[[nodiscard]] ZEL_COM_API HRESULT RegisterClassEntries(const ClassEntry& entry);
// Removes the entries; keys already missing are no failure.  S_OK, or
// SELFREG_E_CLASS / SELFREG_E_TYPELIB when the store refuses a deletion.
[[nodiscard]] ZEL_COM_API HRESULT UnregisterClassEntries(const ClassEntry& entry);

}  // namespace zel::com
