// Registry store: a hierarchical key/value store with the Windows registry's
// semantics, kept in one SQLite database file (paths::RegistryFile()).
//
// - Hives HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT (machine-wide) and
//   HKEY_CURRENT_USER (kept per Unix login name).
// - Key and value names compare ASCII case-insensitively and keep the case
//   they were created with; sub-keys and values enumerate in a stable order.
// - Values are REG_SZ or REG_DWORD; the type is stored with the value and a
//   read of the wrong type fails like a missing value.
// - Several processes use the store at once: every call is one SQLite
//   transaction with a busy timeout, so writers never lose a write.
// - Reads repeated while the store is unchanged are answered from memory
//   (the process keeps what each read returned); any commit, of another
//   process or of this one, shows in the next read as without it.
//
// - Key names are at most 255 bytes, "\" separates levels; value names are
//   at most 16383 bytes; neither may hold a NUL byte, nor may REG_SZ data
//   (kInvalidParameter).
// - A key deleted while handles are open on it: every call through those
//   handles returns kNotFound, also after a key of the same name was made
//   again.  A handle from another store file (QVIS_ROOT changed, or the file
//   was replaced) returns kInvalidHandle.
// - One connection per process, shared by its threads under a mutex; the
//   file follows paths::RegistryFile() at every call and is created (with
//   its directory) when missing.  The store's code lives in libzelcom.so
//   only, so a component and the program that loads it share that
//   connection, its statement cache and its mutex (and a Transaction of a
//   thread covers the component's calls on that thread too).
//
// Every function returns a Win32-style status (kSuccess or an error below) and
// never throws.  Outputs are written only on success.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/com/export.h"

namespace zel::reg {

using Status = long;
inline constexpr Status kSuccess = 0;   // ERROR_SUCCESS
inline constexpr Status kNotFound = 2;  // ERROR_FILE_NOT_FOUND: key or value missing, or wrong type
inline constexpr Status kAccessDenied = 5;   // ERROR_ACCESS_DENIED: store cannot be opened/written
inline constexpr Status kInvalidHandle = 6;  // ERROR_INVALID_HANDLE: key not open
inline constexpr Status kOutOfMemory = 8;    // ERROR_NOT_ENOUGH_MEMORY
inline constexpr Status kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER: bad name
inline constexpr Status kNoMoreItems = 259;      // ERROR_NO_MORE_ITEMS: enumeration past the end

enum class Hive { LocalMachine, ClassesRoot, CurrentUser };

enum class ValueType : std::uint32_t { Sz = 1, Dword = 4 };  // REG_SZ, REG_DWORD

enum class Disposition { CreatedNewKey = 1, OpenedExistingKey = 2 };

// An open key.  Move-only; closing is automatic.  A default-constructed Key
// is not open; functions given a closed key return kInvalidHandle.
class ZEL_COM_API Key {
  public:
    Key();
    ~Key();
    Key(Key&&) noexcept;
    Key& operator=(Key&&) noexcept;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    bool IsOpen() const;
    void Close();
    // The key's hive and its path below the hive, in stored case
    // ("SOFTWARE\\qvis\\olmar"); empty path for the hive's root.
    Hive GetHive() const;
    const std::string& Path() const;

    struct Impl;
    Impl* impl() const { return impl_.get(); }
    // Used by the store to hand out open keys; Impl is private to it.
    explicit Key(std::unique_ptr<Impl> impl);

  private:
    std::unique_ptr<Impl> impl_;
};

// Opens the hive's root key (always succeeds unless the store is unusable).
[[nodiscard]] ZEL_COM_API Status OpenHive(Hive hive, Key* out);

// Opens an existing key below parent.  subkey uses "\" between levels; an
// empty subkey opens parent's own key again.  Missing: kNotFound.
[[nodiscard]] ZEL_COM_API Status OpenKey(const Key& parent, const std::string& subkey, Key* out);
[[nodiscard]] ZEL_COM_API Status OpenKey(Hive hive, const std::string& subkey, Key* out);

// Opens or creates a key (every missing level is created).  disposition may
// be null.
[[nodiscard]] ZEL_COM_API Status CreateKey(const Key& parent, const std::string& subkey, Key* out,
                                           Disposition* disposition);
[[nodiscard]] ZEL_COM_API Status CreateKey(Hive hive, const std::string& subkey, Key* out,
                                           Disposition* disposition);

// The name of the index-th direct sub-key in a stable order (case-insensitive
// alphabetical); kNoMoreItems past the end.
[[nodiscard]] ZEL_COM_API Status EnumKey(const Key& key, std::uint32_t index, std::string* name);

// The index-th value of the key, in the order the values were first created
// (replacing a value keeps its place); kNoMoreItems past the end.  type may
// be null.
[[nodiscard]] ZEL_COM_API Status EnumValue(const Key& key, std::uint32_t index, std::string* name,
                                           ValueType* type);

[[nodiscard]] ZEL_COM_API Status QueryString(const Key& key, const std::string& name,
                                             std::string* out);
[[nodiscard]] ZEL_COM_API Status QueryDword(const Key& key, const std::string& name,
                                            std::uint32_t* out);
// The stored type of a value; kNotFound when missing.
[[nodiscard]] ZEL_COM_API Status QueryType(const Key& key, const std::string& name,
                                           ValueType* type);

// Creates or replaces a value (the type may change).  An empty name is the
// key's default value.
[[nodiscard]] ZEL_COM_API Status SetString(const Key& key, const std::string& name,
                                           const std::string& data);
[[nodiscard]] ZEL_COM_API Status SetDword(const Key& key, const std::string& name,
                                          std::uint32_t data);

[[nodiscard]] ZEL_COM_API Status DeleteValue(const Key& key, const std::string& name);

// Deletes subkey below parent with all its sub-keys and values.  Missing:
// kNotFound.  An empty subkey deletes everything below parent (parent stays).
[[nodiscard]] ZEL_COM_API Status DeleteTree(const Key& parent, const std::string& subkey);
[[nodiscard]] ZEL_COM_API Status DeleteTree(Hive hive, const std::string& subkey);

// A write transaction over several calls of the calling thread: between
// Begin and Commit every call of this thread is part of it, other processes
// see none of its changes until Commit and then all of them, and a failed
// call inside still changes nothing.  Other threads of the process wait in
// their calls until the transaction ends, so the owning thread must not wait
// for them meanwhile.  The write lock is held throughout: keep transactions
// short and never wait for the network inside one.
//
// Transactions nest on one thread (destroy them in reverse order): only the
// outermost Commit writes, and an inner Rollback makes the outer Commit fail
// with kAccessDenied.  Destroying an open transaction rolls it back.
class ZEL_COM_API Transaction {
  public:
    Transaction();
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Starts the transaction, waiting (bounded) for other writers; kSuccess
    // also when this object is open already.  kAccessDenied when the store
    // cannot be locked.
    [[nodiscard]] Status Begin();
    // Makes the changes permanent.  kAccessDenied when they could not be
    // written (everything is then rolled back); kInvalidHandle when not open.
    [[nodiscard]] Status Commit();
    // Drops the changes; nothing when not open.
    void Rollback();
    [[nodiscard]] bool IsOpen() const;

  private:
    bool open_ = false;
};

// Several reads of the calling thread as one read transaction, for code that
// reads many values in a row: they see one state of the store and pay for
// its locks once instead of once per call.  While a batch lives, the calling
// thread's reads share one read transaction, begun at the first of them.  A
// write call or a Transaction begun meanwhile ends it first (so the write is
// made as usual and the next read sees it); a read that fails in it is run
// again on its own, with the usual waiting.  Other threads wait in their
// calls until the batch ends, as for a Transaction: keep batches short and
// never wait for the network inside one.  Batches nest on one thread and
// must end on the thread that made them.
class ZEL_COM_API ReadBatch {
  public:
    ReadBatch();
    ~ReadBatch();
    ReadBatch(const ReadBatch&) = delete;
    ReadBatch& operator=(const ReadBatch&) = delete;
};

// Switches this process to reading the store only, for tools that must
// leave a system untouched while it runs: from the call on, nothing creates
// the file or its directory, nothing is written and no journal is set up.
// Reads work as before; a missing store file reads as empty (kNotFound).
// Every change (SetString, SetDword, DeleteValue, DeleteTree, a
// Transaction) fails with kAccessDenied, and CreateKey opens an existing key
// (disposition OpenedExistingKey) or fails with kAccessDenied when the key
// would have to be made; so does OpenHive for a login's current-user hive
// that was never used.  While no other process has the store open the file
// is read as it stands, without locking, so no "-wal" or "-shm" file appears
// beside it; while one does, its journal files are shared like any reader's.
// Cannot be undone; call it before the first use of the store.
ZEL_COM_API void UseReadOnlyStore();
// True after UseReadOnlyStore.
[[nodiscard]] ZEL_COM_API bool ReadOnlyStore();

// Why the last call of the calling thread that returned kAccessDenied could
// not use the store: one line that names the store file and the cause (no
// permission for this user on the file or its directory, not a registry
// store, damaged, locked, disk full).  Empty when that call gave no reason.
// Calls that reach the store clear it.
[[nodiscard]] ZEL_COM_API std::string LastStoreProblem();

// Parses "HKLM\\SOFTWARE\\x" or "HKEY_LOCAL_MACHINE\\SOFTWARE\\x" (also HKCR,
// HKCU and their long names, any case) into hive and sub-key path.
[[nodiscard]] ZEL_COM_API bool ParseKeyName(const std::string& text, Hive* hive,
                                            std::string* subkey);
// "HKEY_LOCAL_MACHINE" etc.
ZEL_COM_API const char* HiveName(Hive hive);

}  // namespace zel::reg
