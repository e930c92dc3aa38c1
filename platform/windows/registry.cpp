// The registry on Windows (see registry.h): the system's own, through
// advapi32, so that the values the business system's installer writes
// (SOFTWARE\qvis\olmar) are read where it writes them and what this system
// writes is seen by reg.exe and regedit.
//
// A Key owns one HKEY (the hives' predefined handles are never closed).
// The system's registry keeps every write at once and locks per call; it has
// no transactions over several calls here: a Transaction orders this
// process's threads (one at a time, as on Linux) and Begin and Commit
// succeed, but each call inside takes effect when made and a Rollback
// cannot take it back.  A ReadBatch is a plain scope.  Keys are opened for
// reading and writing, or for reading alone where writing is refused (a
// user without the right to HKEY_LOCAL_MACHINE).
#include "platform/registry.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace zel::reg {

struct Key::Impl {
    HKEY hkey = nullptr;
    bool owned = false;
    Hive hive = Hive::LocalMachine;
    std::string path;
    ~Impl() {
        if (owned && hkey != nullptr) ::RegCloseKey(hkey);
    }
};

namespace {

std::recursive_mutex g_tx_mutex;
bool g_read_only = false;
thread_local std::string t_problem;

HKEY Predefined(Hive hive) {
    switch (hive) {
        case Hive::ClassesRoot:
            return HKEY_CLASSES_ROOT;
        case Hive::CurrentUser:
            return HKEY_CURRENT_USER;
        case Hive::LocalMachine:
            break;
    }
    return HKEY_LOCAL_MACHINE;
}

// The registry's own answers are Win32 errors like ours; the few others
// that may come are folded into the nearest of ours.
Status Mapped(LSTATUS rc) {
    switch (rc) {
        case ERROR_SUCCESS:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_INVALID_PARAMETER:
        case ERROR_NO_MORE_ITEMS:
            return rc;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_KEY_DELETED:
            return kNotFound;
        case ERROR_OUTOFMEMORY:
            return kOutOfMemory;
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_NAME:
            return kInvalidParameter;
        default:
            t_problem = "registry call failed with Windows error " + std::to_string(rc);
            return kAccessDenied;
    }
}

bool HasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// Names as the Linux store takes them: keys up to 255 bytes a level, no NUL,
// no empty level.
bool ValidSubkey(const std::string& subkey) {
    if (HasNul(subkey)) return false;
    std::size_t start = 0;
    while (start <= subkey.size()) {
        std::size_t end = subkey.find('\\', start);
        if (end == std::string::npos) end = subkey.size();
        const std::size_t len = end - start;
        if (len > 255 || (len == 0 && !subkey.empty())) return false;
        start = end + 1;
    }
    return true;
}

std::string JoinPath(const std::string& base, const std::string& name) {
    if (base.empty()) return name;
    if (name.empty()) return base;
    return base + "\\" + name;
}

Status OpenOrCreate(HKEY parent, Hive hive, const std::string& base, const std::string& subkey,
                    bool create, Key* out, Disposition* disposition) {
    if (out == nullptr) return kInvalidParameter;
    if (!ValidSubkey(subkey)) return kInvalidParameter;
    auto impl = std::make_unique<Key::Impl>();
    impl->hive = hive;
    impl->path = JoinPath(base, subkey);
    LSTATUS rc;
    DWORD made = REG_OPENED_EXISTING_KEY;
    if (create && !g_read_only) {
        rc = ::RegCreateKeyExA(parent, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_READ | KEY_WRITE, nullptr, &impl->hkey, &made);
        if (rc == ERROR_ACCESS_DENIED) {
            // Perhaps there already, and readable: that is enough to read.
            rc = ::RegOpenKeyExA(parent, subkey.c_str(), 0, KEY_READ, &impl->hkey);
            if (rc != ERROR_SUCCESS) rc = ERROR_ACCESS_DENIED;
        }
    } else {
        rc = ::RegOpenKeyExA(parent, subkey.c_str(), 0, KEY_READ | KEY_WRITE, &impl->hkey);
        if (rc == ERROR_ACCESS_DENIED)
            rc = ::RegOpenKeyExA(parent, subkey.c_str(), 0, KEY_READ, &impl->hkey);
        if (create && rc == ERROR_FILE_NOT_FOUND) rc = ERROR_ACCESS_DENIED;  // read-only store
    }
    if (rc != ERROR_SUCCESS) return Mapped(rc);
    impl->owned = true;
    if (disposition != nullptr) {
        *disposition = made == REG_CREATED_NEW_KEY ? Disposition::CreatedNewKey
                                                   : Disposition::OpenedExistingKey;
    }
    *out = Key(std::move(impl));
    return kSuccess;
}

HKEY Handle(const Key& key) {
    return key.IsOpen() ? key.impl()->hkey : nullptr;
}

// Reads a value of the given type (REG_EXPAND_SZ counts as REG_SZ).
Status ReadValue(const Key& key, const std::string& name, DWORD* type, std::string* data) {
    const HKEY h = Handle(key);
    if (h == nullptr) return kInvalidHandle;
    if (HasNul(name)) return kInvalidParameter;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        LSTATUS rc = ::RegQueryValueExA(h, name.c_str(), nullptr, type, nullptr, &size);
        if (rc != ERROR_SUCCESS) return Mapped(rc);
        std::string buffer(size, '\0');
        rc = ::RegQueryValueExA(h, name.c_str(), nullptr, type,
                                reinterpret_cast<BYTE*>(buffer.data()), &size);
        if (rc == ERROR_MORE_DATA) continue;  // grown meanwhile
        if (rc != ERROR_SUCCESS) return Mapped(rc);
        buffer.resize(size);
        *data = std::move(buffer);
        return kSuccess;
    }
    return kAccessDenied;
}

Status WriteValue(const Key& key, const std::string& name, DWORD type, const void* data,
                  DWORD size) {
    const HKEY h = Handle(key);
    if (h == nullptr) return kInvalidHandle;
    if (HasNul(name) || name.size() > 16383) return kInvalidParameter;
    if (g_read_only) return kAccessDenied;
    return Mapped(::RegSetValueExA(h, name.c_str(), 0, type, static_cast<const BYTE*>(data), size));
}

struct HiveSpelling {
    Hive hive;
    const char* short_name;
    const char* long_name;
};

constexpr HiveSpelling kHives[] = {
    {Hive::LocalMachine, "HKLM", "HKEY_LOCAL_MACHINE"},
    {Hive::ClassesRoot, "HKCR", "HKEY_CLASSES_ROOT"},
    {Hive::CurrentUser, "HKCU", "HKEY_CURRENT_USER"},
};

bool EqualsNoCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

}  // namespace

Key::Key() = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;
Key::Key(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

bool Key::IsOpen() const {
    return impl_ != nullptr;
}

void Key::Close() {
    impl_.reset();
}

Hive Key::GetHive() const {
    return impl_ ? impl_->hive : Hive::LocalMachine;
}

const std::string& Key::Path() const {
    static const std::string kEmpty;
    return impl_ ? impl_->path : kEmpty;
}

Status OpenHive(Hive hive, Key* out) {
    if (out == nullptr) return kInvalidParameter;
    auto impl = std::make_unique<Key::Impl>();
    impl->hkey = Predefined(hive);
    impl->hive = hive;
    *out = Key(std::move(impl));
    return kSuccess;
}

Status OpenKey(const Key& parent, const std::string& subkey, Key* out) {
    if (!parent.IsOpen()) return kInvalidHandle;
    return OpenOrCreate(Handle(parent), parent.GetHive(), parent.Path(), subkey, false, out,
                        nullptr);
}

Status OpenKey(Hive hive, const std::string& subkey, Key* out) {
    return OpenOrCreate(Predefined(hive), hive, "", subkey, false, out, nullptr);
}

Status CreateKey(const Key& parent, const std::string& subkey, Key* out, Disposition* disposition) {
    if (!parent.IsOpen()) return kInvalidHandle;
    return OpenOrCreate(Handle(parent), parent.GetHive(), parent.Path(), subkey, true, out,
                        disposition);
}

Status CreateKey(Hive hive, const std::string& subkey, Key* out, Disposition* disposition) {
    return OpenOrCreate(Predefined(hive), hive, "", subkey, true, out, disposition);
}

Status EnumKey(const Key& key, std::uint32_t index, std::string* name) {
    const HKEY h = Handle(key);
    if (h == nullptr) return kInvalidHandle;
    char buffer[256];
    DWORD size = sizeof buffer;
    const LSTATUS rc = ::RegEnumKeyExA(h, index, buffer, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return Mapped(rc);
    if (name != nullptr) name->assign(buffer, size);
    return kSuccess;
}

Status EnumValue(const Key& key, std::uint32_t index, std::string* name, ValueType* type) {
    const HKEY h = Handle(key);
    if (h == nullptr) return kInvalidHandle;
    std::vector<char> buffer(16384);
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD stored = 0;
    const LSTATUS rc =
        ::RegEnumValueA(h, index, buffer.data(), &size, nullptr, &stored, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return Mapped(rc);
    if (name != nullptr) name->assign(buffer.data(), size);
    if (type != nullptr) {
        *type = stored == REG_DWORD ? ValueType::Dword : ValueType::Sz;
    }
    return kSuccess;
}

Status QueryString(const Key& key, const std::string& name, std::string* out) {
    DWORD type = 0;
    std::string data;
    const Status st = ReadValue(key, name, &type, &data);
    if (st != kSuccess) return st;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return kNotFound;
    // Stored with its terminating zero (or several, by some writers).
    const std::size_t end = data.find('\0');
    if (end != std::string::npos) data.resize(end);
    if (out != nullptr) *out = std::move(data);
    return kSuccess;
}

Status QueryDword(const Key& key, const std::string& name, std::uint32_t* out) {
    DWORD type = 0;
    std::string data;
    const Status st = ReadValue(key, name, &type, &data);
    if (st != kSuccess) return st;
    if (type != REG_DWORD || data.size() != sizeof(std::uint32_t)) return kNotFound;
    std::uint32_t value = 0;
    std::memcpy(&value, data.data(), sizeof value);
    if (out != nullptr) *out = value;
    return kSuccess;
}

Status QueryType(const Key& key, const std::string& name, ValueType* type) {
    const HKEY h = Handle(key);
    if (h == nullptr) return kInvalidHandle;
    if (HasNul(name)) return kInvalidParameter;
    DWORD stored = 0;
    const LSTATUS rc = ::RegQueryValueExA(h, name.c_str(), nullptr, &stored, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return Mapped(rc);
    if (type != nullptr) *type = stored == REG_DWORD ? ValueType::Dword : ValueType::Sz;
    return kSuccess;
}

Status SetString(const Key& key, const std::string& name, const std::string& data) {
    if (HasNul(data)) return kInvalidParameter;
    return WriteValue(key, name, REG_SZ, data.c_str(), static_cast<DWORD>(data.size() + 1));
}

Status SetDword(const Key& key, const std::string& name, std::uint32_t data) {
    return WriteValue(key, name, REG_DWORD, &data, sizeof data);
}

Status DeleteValue(const Key& key, const std::string& name) {
    const HKEY h = Handle(key);
    if (h == nullptr) return kInvalidHandle;
    if (HasNul(name)) return kInvalidParameter;
    if (g_read_only) return kAccessDenied;
    return Mapped(::RegDeleteValueA(h, name.c_str()));
}

Status DeleteTree(const Key& parent, const std::string& subkey) {
    const HKEY h = Handle(parent);
    if (h == nullptr) return kInvalidHandle;
    if (!ValidSubkey(subkey)) return kInvalidParameter;
    if (g_read_only) return kAccessDenied;
    if (subkey.empty()) return Mapped(::RegDeleteTreeA(h, nullptr));
    // RegDeleteTree empties the key and removes it with its sub-keys.
    return Mapped(::RegDeleteTreeA(h, subkey.c_str()));
}

Status DeleteTree(Hive hive, const std::string& subkey) {
    Key root;
    const Status st = OpenHive(hive, &root);
    if (st != kSuccess) return st;
    return DeleteTree(root, subkey);
}

Transaction::Transaction() = default;

Transaction::~Transaction() {
    Rollback();
}

bool Transaction::IsOpen() const {
    return open_;
}

Status Transaction::Begin() {
    if (open_) return kSuccess;
    if (g_read_only) return kAccessDenied;
    g_tx_mutex.lock();
    open_ = true;
    return kSuccess;
}

Status Transaction::Commit() {
    if (!open_) return kInvalidHandle;
    open_ = false;
    g_tx_mutex.unlock();
    return kSuccess;
}

void Transaction::Rollback() {
    if (!open_) return;
    open_ = false;
    g_tx_mutex.unlock();
}

ReadBatch::ReadBatch() = default;
ReadBatch::~ReadBatch() = default;

std::string LastStoreProblem() {
    return t_problem;
}

void UseReadOnlyStore() {
    g_read_only = true;
}

bool ReadOnlyStore() {
    return g_read_only;
}

bool ParseKeyName(const std::string& text, Hive* hive, std::string* subkey) {
    if (hive == nullptr || subkey == nullptr) return false;
    try {
        const std::size_t slash = text.find('\\');
        const std::string head = text.substr(0, slash);
        std::string rest = slash == std::string::npos ? std::string() : text.substr(slash + 1);
        while (!rest.empty() && rest.back() == '\\') rest.pop_back();
        if (!ValidSubkey(rest)) return false;
        for (const HiveSpelling& h : kHives) {
            if (EqualsNoCase(head, h.short_name) || EqualsNoCase(head, h.long_name)) {
                *hive = h.hive;
                *subkey = std::move(rest);
                return true;
            }
        }
    } catch (...) {
    }
    return false;
}

const char* HiveName(Hive hive) {
    for (const HiveSpelling& h : kHives)
        if (h.hive == hive) return h.long_name;
    return "HKEY_LOCAL_MACHINE";
}

}  // namespace zel::reg
