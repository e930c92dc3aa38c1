// Class registration entries in HKEY_CLASSES_ROOT: see registration.h.
#include "platform/com/registration.h"

#include "platform/com/library.h"
#include "platform/registry.h"

namespace zel::com {

namespace {

namespace reg = zel::reg;

// Creates hive-relative key path and sets its default value (skipped when
// value is null).
bool WriteKey(const std::string& path, const std::string* value) {
    reg::Key key;
    if (reg::CreateKey(reg::Hive::ClassesRoot, path, &key, nullptr) != reg::kSuccess) return false;
    return value == nullptr || reg::SetString(key, "", *value) == reg::kSuccess;
}

bool WriteValue(const std::string& path, const std::string& name, const std::string& value) {
    reg::Key key;
    if (reg::CreateKey(reg::Hive::ClassesRoot, path, &key, nullptr) != reg::kSuccess) return false;
    return reg::SetString(key, name, value) == reg::kSuccess;
}

// Deletes a key tree; a key that is already gone is no failure.
bool RemoveTree(const std::string& path) {
    const reg::Status st = reg::DeleteTree(reg::Hive::ClassesRoot, path);
    return st == reg::kSuccess || st == reg::kNotFound;
}

// True when the key exists and has neither sub-keys nor values.
bool IsEmptyKey(const std::string& path) {
    reg::Key key;
    if (reg::OpenKey(reg::Hive::ClassesRoot, path, &key) != reg::kSuccess) return false;
    std::string name;
    return reg::EnumKey(key, 0, &name) == reg::kNoMoreItems &&
           reg::EnumValue(key, 0, &name, nullptr) == reg::kNoMoreItems;
}

// A ProgID is one key name: empty or with a "\" it would name another key.
bool UsableName(const std::string& name) {
    return !name.empty() && name.find('\\') == std::string::npos;
}

bool HasTypeLib(const ClassEntry& e) {
    return e.typelib.libid != GUID_NULL;
}

std::string TypeLibVersionKey(const TypeLibEntry& t) {
    return "TypeLib\\" + GuidToString(t.libid) + "\\" + t.version;
}

HRESULT WriteTypeLib(const TypeLibEntry& t) {
    const std::string libid = GuidToString(t.libid);
    const std::string version_key = TypeLibVersionKey(t);
    const std::string dir = ModuleDirectory(t.path);
    const std::string flags = "0";
    bool ok = RemoveTree(version_key) && WriteKey(version_key, &t.help_string) &&
              WriteKey(version_key + "\\" + t.locale + "\\" + TypeLibPlatformKey(), &t.path) &&
              WriteKey(version_key + "\\FLAGS", &flags) &&
              WriteKey(version_key + "\\HELPDIR", &dir);
    for (const InterfaceEntry& i : t.interfaces) {
        if (!ok) break;
        const std::string key = "Interface\\" + GuidToString(i.iid);
        // The dispatch marshaller: what a type-library registration records.
        const std::string proxy = "{00020424-0000-0000-C000-000000000046}";
        ok = RemoveTree(key) && WriteKey(key, &i.name) &&
             WriteKey(key + "\\ProxyStubClsid32", &proxy) && WriteKey(key + "\\TypeLib", &libid) &&
             WriteValue(key + "\\TypeLib", "Version", t.version);
    }
    return ok ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT RemoveTypeLib(const TypeLibEntry& t) {
    bool ok = RemoveTree(TypeLibVersionKey(t));
    const std::string lib_key = "TypeLib\\" + GuidToString(t.libid);
    if (ok && IsEmptyKey(lib_key)) ok = RemoveTree(lib_key);
    for (const InterfaceEntry& i : t.interfaces) {
        if (ok) ok = RemoveTree("Interface\\" + GuidToString(i.iid));
    }
    return ok ? S_OK : SELFREG_E_TYPELIB;
}

}  // namespace

HRESULT RegisterClassEntries(const ClassEntry& e) {
    if (e.clsid == GUID_NULL || e.module_path.empty()) return E_INVALIDARG;
    if ((!e.progid.empty() && !UsableName(e.progid)) ||
        (!e.version_independent.empty() && !UsableName(e.version_independent)))
        return E_INVALIDARG;
    if (HasTypeLib(e) &&
        (e.typelib.path.empty() || e.typelib.version.empty() || e.typelib.locale.empty()))
        return E_INVALIDARG;
    const std::string clsid = GuidToString(e.clsid);
    const std::string class_key = "CLSID\\" + clsid;
    // Replaced whole, so nothing of an older registration survives in it.
    bool ok = RemoveTree(class_key) && WriteKey(class_key, &e.description) &&
              WriteKey(class_key + "\\InprocServer32", &e.module_path);
    if (ok && !e.threading_model.empty())
        ok = WriteValue(class_key + "\\InprocServer32", "ThreadingModel", e.threading_model);
    if (ok && !e.progid.empty()) ok = WriteKey(class_key + "\\ProgID", &e.progid);
    if (ok && !e.version_independent.empty())
        ok = WriteKey(class_key + "\\VersionIndependentProgID", &e.version_independent);
    if (ok && e.programmable) ok = WriteKey(class_key + "\\Programmable", nullptr);
    if (ok && HasTypeLib(e)) {
        const std::string libid = GuidToString(e.typelib.libid);
        ok = WriteKey(class_key + "\\TypeLib", &libid);
    }
    if (ok && !e.progid.empty()) {
        ok = RemoveTree(e.progid) && WriteKey(e.progid, &e.description) &&
             WriteKey(e.progid + "\\CLSID", &clsid);
    }
    if (ok && !e.version_independent.empty()) {
        const std::string& vi = e.version_independent;
        ok = RemoveTree(vi) && WriteKey(vi, &e.description) && WriteKey(vi + "\\CLSID", &clsid);
        if (ok && !e.progid.empty()) ok = WriteKey(vi + "\\CurVer", &e.progid);
    }
    if (!ok) return SELFREG_E_CLASS;
    return HasTypeLib(e) ? WriteTypeLib(e.typelib) : S_OK;
}

HRESULT UnregisterClassEntries(const ClassEntry& e) {
    if (e.clsid == GUID_NULL) return E_INVALIDARG;
    bool ok = RemoveTree("CLSID\\" + GuidToString(e.clsid));
    if (ok && UsableName(e.progid)) ok = RemoveTree(e.progid);
    if (ok && UsableName(e.version_independent)) ok = RemoveTree(e.version_independent);
    if (!ok) return SELFREG_E_CLASS;
    return HasTypeLib(e) ? RemoveTypeLib(e.typelib) : S_OK;
}

}  // namespace zel::com
