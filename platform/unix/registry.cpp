// Registry store over SQLite: see registry.h.
//
// Owns the process's one database connection (opened lazily on the file named
// by paths::RegistryFile(), reopened when that name or the file behind it
// changes) and the mutex that serialises its use between threads.
//
// Layout of the database:
//   store(uid)           a random number made with the file (see StoreId)
//   hives(tag, key_id)   the root key of each hive; HKCU is one root per
//                        Unix login name ("HKCU:alice"), compared exactly
//   keys(id, parent, name)          parent NULL for hive roots
//   vals(id, key_id, name, type, data)
// Names use SQLite's NOCASE collation, which folds ASCII letters only: that is
// exactly the registry's case-insensitive, case-preserving rule.  Ids are
// AUTOINCREMENT so a deleted key's id is never reused: a handle left open on
// a deleted key can never end up pointing at an unrelated newer key.
//
// Every public call is one transaction (BEGIN IMMEDIATE for writes), retried
// as a whole while another process holds the lock, so concurrent writers wait
// for each other instead of failing.  Inside a Transaction of the calling
// thread a call is a savepoint of that transaction instead: a failed call
// still leaves nothing half-done, and the whole batch becomes visible to
// other processes at once, at Commit.  The journal is WAL with
// synchronous=NORMAL: a process killed at any point leaves the last committed
// state; a power cut may lose the last few commits but never corrupts.
#include "platform/registry.h"

#include <errno.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/paths.h"

namespace zel::reg {

namespace {

constexpr int kSchemaVersion = 1;
// Per-statement wait inside SQLite, and the overall limit of the retry loop
// around a whole transaction.  A writer holds the lock for milliseconds, so
// reaching the limit means something is badly stuck.
constexpr int kBusyTimeoutMs = 2000;
constexpr auto kRetryLimit = std::chrono::seconds(120);
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

// Which database file a handle belongs to.  Ids are only meaningful within
// one file, so a handle from an earlier file (another QVIS_ROOT, or a file
// that was replaced) is refused rather than read in the wrong store.
struct StoreId {
    std::string path;
    std::int64_t uid = 0;  // random, made with the file: inode numbers get reused
    bool operator==(const StoreId&) const = default;
};

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// The prepared statements of one connection, kept for the connection's life:
// parsing a statement again costs more than most calls' whole work.  Keyed by
// the SQL text.  A statement is handed out at most once at a time; a second
// use of the same text while the first is in use gets a statement of its own.
class StatementCache {
  public:
    StatementCache() = default;
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    struct Entry {
        StmtPtr stmt;
        bool busy = false;
    };

    // The cached statement for sql on db, preparing it on first use; null
    // with *rc set when it cannot be prepared.  The caller marks it busy.
    Entry* Find(sqlite3* db, const char* sql, int* rc) {
        auto it = entries_.find(std::string_view(sql));
        if (it != entries_.end()) return &it->second;
        sqlite3_stmt* raw = nullptr;
        *rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        StmtPtr stmt(raw);
        if (*rc != SQLITE_OK || stmt == nullptr) {
            if (*rc == SQLITE_OK) *rc = SQLITE_ERROR;
            return nullptr;
        }
        Entry& entry = entries_.try_emplace(std::string(sql)).first->second;
        entry.stmt = std::move(stmt);
        return &entry;
    }
    // Finalizes every statement; done before the connection closes.
    void Clear() { entries_.clear(); }
    // Forgets the statements without finalizing them: the connection they
    // belong to was inherited over fork() and is never touched again.  They
    // stay reachable through that connection.
    void Abandon() {
        for (auto& [sql, entry] : entries_) static_cast<void>(entry.stmt.release());
        entries_.clear();
    }

  private:
    // Looked up by the caller's text as it is, without making a string of
    // it on every call.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };
    std::unordered_map<std::string, Entry, TextHash, std::equal_to<>> entries_;
};

// A statement in use by one call: a cached one is reset and unbound when the
// call is done with it, a one-off one finalized.
class Stmt {
  public:
    Stmt() = default;
    explicit Stmt(StatementCache::Entry* entry) : entry_(entry) { entry_->busy = true; }
    explicit Stmt(StmtPtr owned) : owned_(std::move(owned)) {}
    ~Stmt() { Release(); }
    Stmt(Stmt&& other) noexcept
        : entry_(std::exchange(other.entry_, nullptr)), owned_(std::move(other.owned_)) {}
    Stmt& operator=(Stmt&& other) noexcept {
        if (this != &other) {
            Release();
            entry_ = std::exchange(other.entry_, nullptr);
            owned_ = std::move(other.owned_);
        }
        return *this;
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    sqlite3_stmt* get() const { return entry_ != nullptr ? entry_->stmt.get() : owned_.get(); }

  private:
    void Release() {
        if (entry_ == nullptr) return;
        sqlite3_reset(entry_->stmt.get());
        sqlite3_clear_bindings(entry_->stmt.get());
        entry_->busy = false;
        entry_ = nullptr;
    }
    StatementCache::Entry* entry_ = nullptr;
    StmtPtr owned_;
};

// Prepares sql on db, from the cache when it is free there.  On failure the
// result is empty and *rc says why.
Stmt PrepareCached(sqlite3* db, StatementCache* cache, const char* sql, int* rc) {
    *rc = SQLITE_OK;
    StatementCache::Entry* entry = cache->Find(db, sql, rc);
    if (entry == nullptr) return Stmt();
    if (!entry->busy) return Stmt(entry);
    sqlite3_stmt* raw = nullptr;
    *rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    StmtPtr stmt(raw);
    if (*rc == SQLITE_OK && stmt == nullptr) *rc = SQLITE_ERROR;
    return *rc == SQLITE_OK ? Stmt(std::move(stmt)) : Stmt();
}

// Runs one statement that returns no rows (BEGIN, COMMIT, SAVEPOINT...) through
// the cache, as sqlite3_exec would run it.
int ExecCached(sqlite3* db, StatementCache* cache, const char* sql) {
    int rc = SQLITE_OK;
    Stmt stmt = PrepareCached(db, cache, sql, &rc);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_step(stmt.get());
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// What reads of the store returned, kept while the store stays as it was:
// the same few hundred keys and values are read for every request, and a
// read served from here costs a map lookup instead of several statements.
// An entry holds one read call's result (a key found by its path, a value,
// the name at an enumeration index).  Entries are trusted only inside a read
// transaction that found the store unchanged since they were made: SQLite's
// data_version (changed by every commit of another connection, this
// process's or another's) and this process's own count of writes are both
// the same.  So a read sees what it would have seen without the memo.
struct MemoEntry {
    Status status = kNotFound;
    std::int64_t id = 0;
    std::string text;  // key path, REG_SZ data or enumerated name
    std::uint32_t number = 0;
    ValueType type = ValueType::Sz;
};

struct ReadMemo {
    static constexpr std::size_t kMaxEntries = 4096;
    std::unordered_map<std::string, MemoEntry> entries;
    std::int64_t data_version = -1;
    std::uint64_t writes = 0;
    // The read transaction in which the state was last compared, and
    // whether the entries may be used in it.
    std::uint64_t checked_in = 0;
    bool usable = false;

    void Clear() {
        entries.clear();
        data_version = -1;
        usable = false;
        checked_in = 0;
    }
};

struct Connection {
    DbPtr db;
    StatementCache cache;  // statements of db; cleared before db closes
    ReadMemo memo;         // what reads on db returned; ids belong to db's file
    StoreId id;
    dev_t dev = 0;  // the file the connection has open, to notice a replaced one
    ino_t ino = 0;
    pid_t pid = 0;

    // Closes the connection (statements first) and forgets the file.
    void Reset() {
        memo.Clear();
        cache.Clear();
        db.reset();
        id = StoreId();
        dev = 0;
        ino = 0;
        pid = 0;
    }
};

// Recursive: a Transaction keeps it locked from Begin to Commit, so that the
// calls made inside by the same thread get through while every other thread
// waits for the end of the transaction.
std::recursive_mutex g_mutex;
Connection g_conn;

// The open Transaction of the process, if any (owned by the thread that
// holds g_mutex through it).  depth counts nested Begin calls; doomed is set
// when an inner level rolled back, so the outermost Commit cannot succeed.
struct OpenTransaction {
    int depth = 0;
    bool doomed = false;
};
OpenTransaction g_tx;
// The open ReadBatch of the process, if any (owned like g_tx).  reading is
// set while its SQLite read transaction is open on g_conn.
struct OpenBatch {
    int depth = 0;
    bool reading = false;
};
OpenBatch g_batch;
// Counts the writes this process began on the store (calls that write,
// calls inside a Transaction, a Transaction's begin and end): the memo
// compares it, since this connection's own commits leave data_version as it
// is.  g_read_serial counts the read transactions begun, so that the memo
// compares the store's state once per read transaction.
std::uint64_t g_writes = 0;
std::uint64_t g_read_serial = 0;
// Set once by UseReadOnlyStore: the store is only read, never created,
// changed or given a journal by this process.
bool g_read_only = false;
// Connections inherited over fork() are never touched again in the child:
// closing one there could disturb the parent's locks.  They are parked here
// so that they stay reachable (not reported as leaks) until exit.
std::vector<sqlite3*> g_abandoned;

bool IsBusy(int rc) {
    int primary = rc & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_PROTOCOL;
}

// This process's ID, asked of the kernel once.  Every registry call checks
// it to tell a forked child, which must not use its parent's connection;
// getpid each time would be a system call per value read.  A fork forgets
// it, so that the child asks again.
std::atomic<pid_t> g_self_pid{0};

void ForgetSelfPid() {
    g_self_pid.store(0, std::memory_order_relaxed);
}

pid_t SelfPid() {
    pid_t pid = g_self_pid.load(std::memory_order_relaxed);
    if (pid != 0) return pid;
    static const bool forgotten_on_fork = pthread_atfork(nullptr, nullptr, ForgetSelfPid) == 0;
    pid = getpid();
    if (forgotten_on_fork) g_self_pid.store(pid, std::memory_order_relaxed);
    return pid;
}

// mkdir -p for the database's directory.
bool MakeDirs(const std::string& dir) {
    if (dir.empty()) return true;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
    return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

void SleepBeforeRetry(int attempt) {
    // Jitter keeps two waiting processes from retrying in lock-step.
    static thread_local std::minstd_rand rng(static_cast<unsigned>(SelfPid()));
    int cap = attempt < 6 ? (2 << attempt) : 100;
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % cap));
}

// The statements of one attempt of one transaction.  The first SQLite error
// is remembered; later calls do nothing, so a body can run straight through
// and the runner decides afterwards whether to retry or fail.
class Tx {
  public:
    Tx(sqlite3* db, StatementCache* cache) : db_(db), cache_(cache) {}

    int error() const { return err_; }
    bool ok() const { return err_ == SQLITE_OK; }

    Stmt Prepare(const char* sql) {
        if (!ok()) return Stmt();
        int rc = SQLITE_OK;
        Stmt stmt = PrepareCached(db_, cache_, sql, &rc);
        if (rc != SQLITE_OK) Fail(rc);
        return stmt;
    }
    void Bind(sqlite3_stmt* stmt, int index, std::int64_t value) {
        if (stmt != nullptr && ok()) Check(sqlite3_bind_int64(stmt, index, value));
    }
    void Bind(sqlite3_stmt* stmt, int index, const std::string& text) {
        if (stmt != nullptr && ok())
            Check(sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                                    SQLITE_TRANSIENT));
    }
    // True when a row is ready; false at the end or on error.
    bool Step(sqlite3_stmt* stmt) {
        if (stmt == nullptr || !ok()) return false;
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) Fail(rc);
        return false;
    }
    std::int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
    int Changes() const { return sqlite3_changes(db_); }
    void Fail(int rc) {
        if (ok()) err_ = rc == SQLITE_OK ? SQLITE_ERROR : rc;
    }

  private:
    void Check(int rc) {
        if (rc != SQLITE_OK) Fail(rc);
    }
    sqlite3* db_;
    StatementCache* cache_;
    int err_ = SQLITE_OK;
};

std::string ColumnText(sqlite3_stmt* stmt, int col) {
    const unsigned char* p = sqlite3_column_text(stmt, col);
    int n = sqlite3_column_bytes(stmt, col);
    return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p), n);
}

// True when the memo's entries hold for the read transaction tx runs in;
// empties the memo when the store changed since they were made.  Never
// inside a Transaction, whose reads see its own uncommitted writes.  The
// state is compared once per read transaction.  Caller holds g_mutex.
bool MemoCurrent(Tx& tx) {
    ReadMemo& memo = g_conn.memo;
    if (g_tx.depth > 0) return false;
    if (memo.checked_in == g_read_serial) return memo.usable;
    memo.checked_in = g_read_serial;
    memo.usable = false;
    Stmt stmt = tx.Prepare("PRAGMA data_version");
    if (!tx.Step(stmt.get())) return false;
    const std::int64_t version = sqlite3_column_int64(stmt.get(), 0);
    if (version != memo.data_version || memo.writes != g_writes ||
        memo.entries.size() >= ReadMemo::kMaxEntries) {
        memo.entries.clear();
        memo.data_version = version;
        memo.writes = g_writes;
    }
    memo.usable = true;
    return true;
}

// One read call's result: from the memo when it holds one for this state,
// else read(out) inside tx, kept for the next call.  Only answers are kept
// (found, missing, past the end), never a failure.  Caller holds g_mutex.
template <class Read>
Status Memoized(Tx& tx, const std::string& key, MemoEntry* out, Read&& read) {
    const bool current = MemoCurrent(tx);
    if (current) {
        auto it = g_conn.memo.entries.find(key);
        if (it != g_conn.memo.entries.end()) {
            *out = it->second;
            return out->status;
        }
    }
    *out = MemoEntry();
    const Status st = read(out);
    out->status = st;
    // A long batch of many different reads keeps no more than the bound.
    if (current && tx.ok() && (st == kSuccess || st == kNotFound || st == kNoMoreItems) &&
        g_conn.memo.entries.size() < ReadMemo::kMaxEntries)
        g_conn.memo.entries.insert_or_assign(key, *out);
    return st;
}

// The memo's key of one read: its kind, the key id it starts from and the
// name or index it asks for (names never hold NUL).
std::string MemoKey(char kind, std::int64_t id, const std::string& name) {
    std::string key(1, kind);
    key += std::to_string(id);
    key.push_back('\0');
    key += name;
    return key;
}

int ExecRetry(sqlite3* db, const char* sql) {
    auto deadline = std::chrono::steady_clock::now() + kRetryLimit;
    for (int attempt = 0;; ++attempt) {
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (!IsBusy(rc) || std::chrono::steady_clock::now() > deadline) return rc;
        SleepBeforeRetry(attempt);
    }
}

// Creates the tables and the machine-wide hive roots once per file.  Runs in
// an immediate transaction so that processes opening a fresh file at the
// same moment do not both create it.
int InitSchema(sqlite3* db) {
    static const char* const kSchema =
        "CREATE TABLE IF NOT EXISTS hives(tag TEXT PRIMARY KEY, key_id INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " parent INTEGER, name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
        "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " key_id INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
        " type INTEGER NOT NULL, data, UNIQUE(key_id, name));"
        "CREATE TABLE IF NOT EXISTS store(uid INTEGER NOT NULL);"
        "INSERT INTO store(uid) VALUES(random());"
        "PRAGMA user_version=1;";
    // A file made before needs no write lock: a process that starts while
    // another holds a long transaction must not wait for it just to open.
    {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr) == SQLITE_OK) {
            StmtPtr stmt(raw);
            if (sqlite3_step(stmt.get()) == SQLITE_ROW &&
                sqlite3_column_int(stmt.get(), 0) >= kSchemaVersion)
                return SQLITE_OK;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + kRetryLimit;
    for (int attempt = 0;; ++attempt) {
        int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            int version = -1;
            sqlite3_stmt* raw = nullptr;
            rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr);
            StmtPtr stmt(raw);
            if (rc == SQLITE_OK) {
                rc = sqlite3_step(stmt.get());
                if (rc == SQLITE_ROW) {
                    version = sqlite3_column_int(stmt.get(), 0);
                    rc = SQLITE_OK;
                }
            }
            stmt.reset();
            if (rc == SQLITE_OK && version < kSchemaVersion) {
                rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
                for (const char* tag : {"HKLM", "HKCR"}) {
                    if (rc != SQLITE_OK) break;
                    std::string sql = std::string("INSERT INTO keys(parent, name) VALUES(NULL, '") +
                                      tag + "'); INSERT INTO hives(tag, key_id) VALUES('" + tag +
                                      "', last_insert_rowid());";
                    rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
                }
            }
            if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) return SQLITE_OK;
            if (!sqlite3_get_autocommit(db))
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        if (!IsBusy(rc) || std::chrono::steady_clock::now() > deadline) return rc;
        SleepBeforeRetry(attempt);
    }
}

int ReadStoreUid(sqlite3* db, std::int64_t* uid) {
    auto deadline = std::chrono::steady_clock::now() + kRetryLimit;
    for (int attempt = 0;; ++attempt) {
        sqlite3_stmt* raw = nullptr;
        int rc = sqlite3_prepare_v2(db, "SELECT uid FROM store", -1, &raw, nullptr);
        StmtPtr stmt(raw);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_ROW) {
                *uid = sqlite3_column_int64(stmt.get(), 0);
                return SQLITE_OK;
            }
            if (rc == SQLITE_DONE) return SQLITE_CORRUPT;
        }
        if (!IsBusy(rc) || std::chrono::steady_clock::now() > deadline) return rc;
        SleepBeforeRetry(attempt);
    }
}

// The file name as an SQLite URI path: every byte outside the unreserved
// set and "/" percent-encoded, so "?", "#" or "%" in a directory name cannot
// be read as URI syntax.
std::string UriPath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "file:";
    for (unsigned char c : path) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// Makes db, opened on path (store uid, file status st), the connection g_conn.
// Caller holds g_mutex.
void AdoptConnection(DbPtr db, const std::string& path, std::int64_t uid, const struct stat& st) {
    g_conn.db = std::move(db);
    g_conn.id = StoreId{path, uid};
    g_conn.dev = st.st_dev;
    g_conn.ino = st.st_ino;
    g_conn.pid = SelfPid();
}

// Why the last call of this thread failed with kAccessDenied (see
// LastStoreProblem); cleared whenever a connection is in place.
thread_local std::string t_problem;

void NoteProblem(std::string text) {
    try {
        t_problem = std::move(text);
    } catch (...) {
        t_problem.clear();
    }
}

std::string ParentDir(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// "mode 0644, owner root, group zelway" of an existing file, or empty.
std::string ModeAndOwner(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::string owner = std::to_string(st.st_uid);
    std::string group = std::to_string(st.st_gid);
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found_pw = nullptr;
    if (getpwuid_r(st.st_uid, &pw, buf.data(), buf.size(), &found_pw) == 0 && found_pw != nullptr)
        owner = pw.pw_name;
    struct group gr;
    struct group* found_gr = nullptr;
    if (getgrgid_r(st.st_gid, &gr, buf.data(), buf.size(), &found_gr) == 0 && found_gr != nullptr)
        group = gr.gr_name;
    return std::string("mode ") + mode + ", owner " + owner + ", group " + group;
}

// The user this process runs as, for "permission denied" texts.
std::string ProcessUser() {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    const uid_t uid = geteuid();
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        return pw.pw_name;
    return "uid " + std::to_string(uid);
}

// One line that names the store file and says why SQLite (result rc on db,
// which may be null) could not use it.  A refused open or write is traced to
// the file's or its directory's permissions, since the store also makes its
// journal files ("-wal", "-shm") beside the file.
std::string DescribeFailure(sqlite3* db, int rc, const std::string& path) {
    const int primary = rc & 0xff;
    const int sys = db != nullptr ? sqlite3_system_errno(db) : 0;
    const std::string what = "cannot use the registry store " + path + ": ";
    if (primary == SQLITE_NOTADB)
        return what + "the file is not a registry store (damaged or replaced)";
    if (primary == SQLITE_CORRUPT) return what + "the file is damaged (" + sqlite3_errstr(rc) + ")";
    if (primary == SQLITE_FULL) return what + "the disk is full";
    if (IsBusy(rc)) return what + "it stays locked by another process";
    if (primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN || primary == SQLITE_PERM ||
        primary == SQLITE_AUTH || sys == EACCES || sys == EPERM || sys == EROFS) {
        const std::string dir = ParentDir(path);
        const std::string user = ProcessUser();
        if (access(dir.c_str(), X_OK) != 0)
            return what + "permission denied for " + user + ": cannot enter the directory " + dir +
                   " (" + ModeAndOwner(dir) + ")";
        if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), R_OK | W_OK) != 0)
            return what + "permission denied for " + user + " (" + ModeAndOwner(path) + ")";
        if (access(dir.c_str(), W_OK) != 0)
            return what + "permission denied for " + user + " in the directory " + dir + " (" +
                   ModeAndOwner(dir) + "; the store's journal files are made there)";
    }
    std::string text = what + sqlite3_errstr(rc);
    if (sys != 0) text += std::string(" (") + std::strerror(sys) + ")";
    return text;
}

// Makes g_conn a read-only connection to the existing file at path; nothing
// is created.  A read-only SQLite connection to a WAL database would create
// the "-wal" and "-shm" files beside it and leave them behind, so while no
// other process has the store open (no "-wal" file) the file is opened as
// immutable: read straight from the database file without locks or journal
// files.  While a writer has it open its "-wal" and "-shm" files exist and
// are shared as every reader does (the "-shm" index may be updated in
// place; no data is written).  A missing or uninitialised file: kNotFound.
// Caller holds g_mutex.
Status OpenReadOnly(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return kNotFound;
        NoteProblem("cannot use the registry store " + path + ": " + std::strerror(errno));
        return kAccessDenied;
    }
    if (!S_ISREG(st.st_mode)) {
        NoteProblem("cannot use the registry store " + path + ": not a regular file");
        return kAccessDenied;
    }
    struct stat wal;
    const bool live = stat((path + "-wal").c_str(), &wal) == 0;
    const std::string uri = UriPath(path) + (live ? "?mode=ro" : "?immutable=1");
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    DbPtr db(raw);
    auto fail = [&](int code) {
        NoteProblem(DescribeFailure(db.get(), code, path));
        return kAccessDenied;
    };
    if (rc != SQLITE_OK) return fail(rc);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    {
        sqlite3_stmt* stmt_raw = nullptr;
        rc = sqlite3_prepare_v2(db.get(), "PRAGMA user_version", -1, &stmt_raw, nullptr);
        if (rc != SQLITE_OK) return fail(rc);
        StmtPtr stmt(stmt_raw);
        rc = sqlite3_step(stmt.get());
        if (rc != SQLITE_ROW) return fail(rc);
        if (sqlite3_column_int(stmt.get(), 0) < kSchemaVersion) return kNotFound;
    }
    std::int64_t uid = 0;
    if ((rc = ReadStoreUid(db.get(), &uid)) != SQLITE_OK) return fail(rc);
    AdoptConnection(std::move(db), path, uid, st);
    t_problem.clear();
    return kSuccess;
}

// Makes g_conn a usable connection to the current registry file.  Caller
// holds g_mutex.
Status EnsureConnection() {
    std::string path = paths::RegistryFile();
    if (g_conn.db && g_conn.pid != SelfPid()) {
        g_conn.cache.Abandon();
        g_abandoned.push_back(g_conn.db.release());
        g_conn.Reset();
    }
    if (g_conn.db && g_conn.id.path == path) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && st.st_dev == g_conn.dev && st.st_ino == g_conn.ino) {
            t_problem.clear();
            return kSuccess;
        }
    }
    g_conn.Reset();
    if (g_read_only) return OpenReadOnly(path);

    std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) {
        NoteProblem("cannot use the registry store " + path + ": cannot make its directory " +
                    path.substr(0, slash) + ": " + std::strerror(errno));
        return kAccessDenied;
    }

    sqlite3* raw = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    DbPtr db(raw);
    auto fail = [&](int code) {
        NoteProblem(DescribeFailure(db.get(), code, path));
        return kAccessDenied;
    };
    if (rc != SQLITE_OK) return fail(rc);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // WAL lets readers run beside a writer.  Switching needs a brief lock,
    // so it is retried like any write; a file system without WAL support
    // keeps the rollback journal, which is just as safe.
    if ((rc = ExecRetry(db.get(), "PRAGMA journal_mode=WAL")) != SQLITE_OK) return fail(rc);
    if ((rc = ExecRetry(db.get(), "PRAGMA synchronous=NORMAL")) != SQLITE_OK) return fail(rc);
    if ((rc = InitSchema(db.get())) != SQLITE_OK) return fail(rc);
    std::int64_t uid = 0;
    if ((rc = ReadStoreUid(db.get(), &uid)) != SQLITE_OK) return fail(rc);

    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        NoteProblem("cannot use the registry store " + path + ": " + std::strerror(errno));
        return kAccessDenied;
    }
    AdoptConnection(std::move(db), path, uid, st);
    t_problem.clear();
    return kSuccess;
}

}  // namespace

struct Key::Impl {
    Hive hive = Hive::LocalMachine;
    std::string path;
    std::int64_t id = 0;
    StoreId store;
};

namespace {

// Allocation failure is the only exception the store's code can meet; it
// becomes a status so that nothing throws out of a public call.
template <class F>
Status NoThrow(F&& f) {
    try {
        return f();
    } catch (...) {
        return kOutOfMemory;
    }
}

// Runs body(tx) as one transaction, retrying it whole while the database is
// busy.  When handle is given it must belong to the current store.  A body
// result other than kSuccess rolls a write back, so no call ever leaves a
// half-done change.  Bodies must not write caller outputs: they may run more
// than once.
// One call inside the open Transaction: a savepoint, released on success and
// rolled back on failure.  The transaction holds the write lock, so there is
// nothing to wait for and no retry.  Caller holds g_mutex.
template <class Body>
Status RunInTransaction(const Key::Impl* handle, Body&& body, StoreId* store_out) {
    sqlite3* db = g_conn.db.get();
    if (db == nullptr || g_conn.pid != SelfPid()) return kInvalidHandle;
    if (handle != nullptr && !(handle->store == g_conn.id)) return kInvalidHandle;
    if (store_out != nullptr) *store_out = g_conn.id;
    ++g_writes;  // reads inside see the transaction's own writes
    StatementCache* cache = &g_conn.cache;
    if (ExecCached(db, cache, "SAVEPOINT zel_call") != SQLITE_OK) return kAccessDenied;
    Status st = kAccessDenied;
    int rc = SQLITE_ERROR;
    try {
        Tx tx(db, cache);
        st = body(tx);
        rc = tx.error();
    } catch (...) {
        st = kOutOfMemory;
    }
    if (rc != SQLITE_OK && st == kSuccess) st = kAccessDenied;
    if (st != kSuccess) static_cast<void>(ExecCached(db, cache, "ROLLBACK TO zel_call"));
    if (ExecCached(db, cache, "RELEASE zel_call") != SQLITE_OK && st == kSuccess)
        st = kAccessDenied;
    return st;
}

// Ends the read transaction of the open ReadBatch, if it has one.  Caller
// holds g_mutex.
void EndBatchRead() {
    if (!g_batch.reading) return;
    g_batch.reading = false;
    sqlite3* db = g_conn.db.get();
    if (db != nullptr && g_conn.pid == SelfPid() && !sqlite3_get_autocommit(db))
        static_cast<void>(ExecCached(db, &g_conn.cache, "COMMIT"));
}

// A read inside the open ReadBatch: runs body in the batch's read
// transaction, beginning it first when needed.  False when the read could
// not be done there (the store was busy or failed); the batch's transaction
// is then ended and the caller runs the read on its own, with its retries.
// Caller holds g_mutex.
template <class Body>
bool RunInBatch(const Key::Impl* handle, Body&& body, StoreId* store_out, Status* result) {
    if (g_batch.reading && g_conn.pid != SelfPid()) g_batch.reading = false;  // forked
    if (!g_batch.reading) {
        if (EnsureConnection() != kSuccess) return false;
        if (ExecCached(g_conn.db.get(), &g_conn.cache, "BEGIN") != SQLITE_OK) return false;
        ++g_read_serial;
        g_batch.reading = true;
    }
    if (handle != nullptr && !(handle->store == g_conn.id)) {
        *result = kInvalidHandle;
        return true;
    }
    if (store_out != nullptr) *store_out = g_conn.id;
    Tx tx(g_conn.db.get(), &g_conn.cache);
    try {
        *result = body(tx);
    } catch (...) {
        EndBatchRead();
        throw;
    }
    if (tx.ok()) return true;
    EndBatchRead();
    return false;
}

template <class Body>
Status Run(bool write, const Key::Impl* handle, Body&& body, StoreId* store_out = nullptr) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (g_tx.depth > 0) return RunInTransaction(handle, body, store_out);
    if (write) ++g_writes;
    if (g_batch.depth > 0) {
        try {
            Status st = kSuccess;
            if (!write && RunInBatch(handle, body, store_out, &st)) return st;
        } catch (...) {
            return kOutOfMemory;
        }
        // A write (or a failed read) goes on its own; the batch's next read
        // begins a new read transaction, which sees the write.
        EndBatchRead();
    }
    if (write && g_read_only) {
        NoteProblem("the registry store " + paths::RegistryFile() +
                    " is opened for reading only by this program");
        return kAccessDenied;
    }
    try {
        Status st = EnsureConnection();
        if (st != kSuccess) return st;
        if (handle != nullptr && !(handle->store == g_conn.id)) return kInvalidHandle;
        if (store_out != nullptr) *store_out = g_conn.id;
        sqlite3* db = g_conn.db.get();
        StatementCache* cache = &g_conn.cache;
        auto deadline = std::chrono::steady_clock::now() + kRetryLimit;
        for (int attempt = 0;; ++attempt) {
            ++g_read_serial;
            int rc = ExecCached(db, cache, write ? "BEGIN IMMEDIATE" : "BEGIN");
            if (rc == SQLITE_OK) {
                Tx tx(db, cache);
                st = body(tx);
                rc = tx.error();
                if (rc == SQLITE_OK) {
                    rc = ExecCached(db, cache, (write && st == kSuccess) ? "COMMIT" : "ROLLBACK");
                    if (rc == SQLITE_OK) return st;
                }
                if (!sqlite3_get_autocommit(db))
                    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            if (!IsBusy(rc) || std::chrono::steady_clock::now() > deadline) {
                NoteProblem(DescribeFailure(db, rc, g_conn.id.path));
                return kAccessDenied;
            }
            SleepBeforeRetry(attempt);
        }
    } catch (...) {
        // Only allocation can throw here; the transaction must not stay open.
        if (g_conn.db && !sqlite3_get_autocommit(g_conn.db.get()))
            sqlite3_exec(g_conn.db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return kOutOfMemory;
    }
}

bool ValidName(const std::string& name, std::size_t max) {
    return name.size() <= max && name.find('\0') == std::string::npos;
}

// Splits "a\b\c" into its levels.  One trailing "\" is tolerated; empty
// levels, over-long names and NUL bytes are not.
bool SplitPath(const std::string& subkey, std::vector<std::string>* parts) {
    parts->clear();
    std::string text = subkey;
    if (!text.empty() && text.back() == '\\') text.pop_back();
    if (text.empty()) return subkey.empty();
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find('\\', start);
        std::string part = text.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || !ValidName(part, kMaxKeyNameLength)) return false;
        parts->push_back(std::move(part));
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

std::string JoinKeyPath(const std::string& base, const std::string& name) {
    return base.empty() ? name : base + "\\" + name;
}

bool KeyAlive(Tx& tx, std::int64_t id) {
    Stmt stmt = tx.Prepare("SELECT 1 FROM keys WHERE id=?1");
    tx.Bind(stmt.get(), 1, id);
    return tx.Step(stmt.get());
}

// The child of parent named name (any case): its id and stored name.
bool FindChild(Tx& tx, std::int64_t parent, const std::string& name, std::int64_t* id,
               std::string* stored) {
    Stmt stmt = tx.Prepare("SELECT id, name FROM keys WHERE parent=?1 AND name=?2");
    tx.Bind(stmt.get(), 1, parent);
    tx.Bind(stmt.get(), 2, name);
    if (!tx.Step(stmt.get())) return false;
    *id = sqlite3_column_int64(stmt.get(), 0);
    *stored = ColumnText(stmt.get(), 1);
    return true;
}

std::string HiveTag(Hive hive) {
    switch (hive) {
        case Hive::LocalMachine:
            return "HKLM";
        case Hive::ClassesRoot:
            return "HKCR";
        case Hive::CurrentUser:
            break;
    }
    // Each Unix login has its own current-user hive.
    uid_t uid = geteuid();
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && found->pw_name[0] != '\0')
        return std::string("HKCU:") + found->pw_name;
    return std::string("HKCU:#").append(std::to_string(uid));
}

}  // namespace

Key::Key() = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;

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

Key::Key(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

namespace {

Key MakeKey(Hive hive, std::string path, std::int64_t id, const StoreId& store) {
    auto impl = std::make_unique<Key::Impl>();
    impl->hive = hive;
    impl->path = std::move(path);
    impl->id = id;
    impl->store = store;
    return Key(std::move(impl));
}

// Follows parts below start, creating missing levels when create is set.
// Outputs are the final key's id, its path (appended to base, stored case)
// and whether the final key was made here.
Status Walk(Tx& tx, std::int64_t start, const std::string& base,
            const std::vector<std::string>& parts, bool create, std::int64_t* id, std::string* path,
            bool* created) {
    *id = start;
    *path = base;
    *created = false;
    for (const std::string& part : parts) {
        std::int64_t child = 0;
        std::string stored;
        if (!*created && FindChild(tx, *id, part, &child, &stored)) {
            *id = child;
            *path = JoinKeyPath(*path, stored);
            continue;
        }
        if (!tx.ok() || !create) return kNotFound;
        Stmt stmt = tx.Prepare("INSERT INTO keys(parent, name) VALUES(?1, ?2)");
        tx.Bind(stmt.get(), 1, *id);
        tx.Bind(stmt.get(), 2, part);
        tx.Step(stmt.get());
        *id = tx.LastInsertId();
        *path = JoinKeyPath(*path, part);
        *created = true;
    }
    return tx.ok() ? kSuccess : kAccessDenied;
}

Status OpenOrCreate(const Key& parent, const std::string& subkey, Key* out, bool create,
                    Disposition* disposition) {
    return NoThrow([&]() -> Status {
        if (out == nullptr) return kInvalidParameter;
        if (!parent.IsOpen()) return kInvalidHandle;
        std::vector<std::string> parts;
        if (!SplitPath(subkey, &parts)) return kInvalidParameter;
        const Key::Impl& p = *parent.impl();
        const Hive hive = p.hive;
        std::int64_t id = 0;
        std::string path;
        bool created = false;
        StoreId store;
        // A read-only store opens existing keys for a create; a key that
        // would have to be made cannot be.
        const bool write = create && !g_read_only;
        auto walk = [&](bool make) {
            return [&, make](Tx& tx) -> Status {
                auto read = [&](Tx& t) -> Status {
                    if (!KeyAlive(t, p.id)) return kNotFound;
                    return Walk(t, p.id, p.path, parts, make, &id, &path, &created);
                };
                if (make) return read(tx);
                MemoEntry found;
                const Status st = Memoized(tx, MemoKey('W', p.id, p.path + '\0' + subkey), &found,
                                           [&](MemoEntry* entry) {
                                               const Status s = read(tx);
                                               entry->id = id;
                                               entry->text = path;
                                               return s;
                                           });
                id = found.id;
                path = found.text;
                created = false;
                return st;
            };
        };
        // Most creates find the key there already: looking first needs no
        // write lock, so they neither wait for nor hold up other writers.
        Status st = Run(false, &p, walk(false), &store);
        if (st == kNotFound && write) st = Run(true, &p, walk(true), &store);
        if (st == kNotFound && create && g_read_only) return kAccessDenied;
        if (st != kSuccess) return st;
        // parent may be *out itself: everything needed from it was copied above.
        *out = MakeKey(hive, std::move(path), id, store);
        if (disposition != nullptr)
            *disposition = created ? Disposition::CreatedNewKey : Disposition::OpenedExistingKey;
        return kSuccess;
    });
}

Status FindValue(const Key& key, const std::string& name, ValueType* type, std::string* text,
                 std::uint32_t* number) {
    return NoThrow([&]() -> Status {
        if (!key.IsOpen()) return kInvalidHandle;
        if (!ValidName(name, kMaxValueNameLength)) return kInvalidParameter;
        const Key::Impl& k = *key.impl();
        MemoEntry found;
        const Status st = Run(false, &k, [&](Tx& tx) -> Status {
            return Memoized(tx, MemoKey('V', k.id, name), &found, [&](MemoEntry* entry) {
                Stmt stmt = tx.Prepare("SELECT type, data FROM vals WHERE key_id=?1 AND name=?2");
                tx.Bind(stmt.get(), 1, k.id);
                tx.Bind(stmt.get(), 2, name);
                if (!tx.Step(stmt.get())) return kNotFound;
                std::int64_t stored = sqlite3_column_int64(stmt.get(), 0);
                if (stored == static_cast<std::int64_t>(ValueType::Sz)) {
                    entry->type = ValueType::Sz;
                    entry->text = ColumnText(stmt.get(), 1);
                } else if (stored == static_cast<std::int64_t>(ValueType::Dword)) {
                    entry->type = ValueType::Dword;
                    entry->number = static_cast<std::uint32_t>(sqlite3_column_int64(stmt.get(), 1));
                } else {
                    return kNotFound;  // a type this build does not know
                }
                return kSuccess;
            });
        });
        if (st != kSuccess) return st;
        *type = found.type;
        if (text != nullptr && found.type == ValueType::Sz) *text = std::move(found.text);
        if (number != nullptr && found.type == ValueType::Dword) *number = found.number;
        return kSuccess;
    });
}

Status SetValue(const Key& key, const std::string& name, ValueType type, const std::string* text,
                std::uint32_t number) {
    return NoThrow([&]() -> Status {
        if (!key.IsOpen()) return kInvalidHandle;
        if (!ValidName(name, kMaxValueNameLength)) return kInvalidParameter;
        // A string value ends at its first NUL in the registry's model; one with
        // a NUL inside would be silently cut by every reader, so refuse it.
        if (text != nullptr && text->find('\0') != std::string::npos) return kInvalidParameter;
        const Key::Impl& k = *key.impl();
        return Run(true, &k, [&](Tx& tx) -> Status {
            if (!KeyAlive(tx, k.id)) return tx.ok() ? kNotFound : kAccessDenied;
            Stmt stmt = tx.Prepare(
                "INSERT INTO vals(key_id, name, type, data) VALUES(?1, ?2, ?3, ?4)"
                " ON CONFLICT(key_id, name) DO UPDATE SET type=excluded.type, data=excluded.data");
            tx.Bind(stmt.get(), 1, k.id);
            tx.Bind(stmt.get(), 2, name);
            tx.Bind(stmt.get(), 3, static_cast<std::int64_t>(type));
            if (text != nullptr)
                tx.Bind(stmt.get(), 4, *text);
            else
                tx.Bind(stmt.get(), 4, static_cast<std::int64_t>(number));
            tx.Step(stmt.get());
            return tx.ok() ? kSuccess : kAccessDenied;
        });
    });
}

}  // namespace

Status OpenHive(Hive hive, Key* out) {
    return NoThrow([&]() -> Status {
        if (out == nullptr) return kInvalidParameter;
        std::string tag;
        try {
            tag = HiveTag(hive);
        } catch (...) {
            return kAccessDenied;
        }
        std::int64_t id = 0;
        StoreId store;
        auto find = [&](Tx& tx) -> Status {
            Stmt stmt = tx.Prepare("SELECT key_id FROM hives WHERE tag=?1");
            tx.Bind(stmt.get(), 1, tag);
            if (!tx.Step(stmt.get())) return kNotFound;
            id = sqlite3_column_int64(stmt.get(), 0);
            return kSuccess;
        };
        auto find_memoized = [&](Tx& tx) -> Status {
            MemoEntry found;
            const Status st = Memoized(tx, MemoKey('H', 0, tag), &found, [&](MemoEntry* entry) {
                const Status s = find(tx);
                entry->id = id;
                return s;
            });
            id = found.id;
            return st;
        };
        Status st = Run(false, nullptr, find_memoized, &store);
        if (st == kNotFound) {
            // First use of this login's current-user hive.
            st = Run(
                true, nullptr,
                [&](Tx& tx) -> Status {
                    if (find(tx) == kSuccess) return kSuccess;
                    Stmt key = tx.Prepare("INSERT INTO keys(parent, name) VALUES(NULL, ?1)");
                    tx.Bind(key.get(), 1, tag);
                    tx.Step(key.get());
                    id = tx.LastInsertId();
                    Stmt root = tx.Prepare("INSERT INTO hives(tag, key_id) VALUES(?1, ?2)");
                    tx.Bind(root.get(), 1, tag);
                    tx.Bind(root.get(), 2, id);
                    tx.Step(root.get());
                    return tx.ok() ? kSuccess : kAccessDenied;
                },
                &store);
        }
        if (st != kSuccess) return st;
        *out = MakeKey(hive, std::string(), id, store);
        return kSuccess;
    });
}

namespace {

// Repeats sql (BEGIN IMMEDIATE, COMMIT) while another process holds the lock,
// within the retry limit of a single call.
int ExecWhileBusy(sqlite3* db, const char* sql) {
    auto deadline = std::chrono::steady_clock::now() + kRetryLimit;
    for (int attempt = 0;; ++attempt) {
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (!IsBusy(rc) || std::chrono::steady_clock::now() > deadline) return rc;
        SleepBeforeRetry(attempt);
    }
}

// Ends the open transaction of the process.  Caller holds g_mutex.
void EndTransaction() {
    sqlite3* db = g_conn.db.get();
    if (db != nullptr && g_conn.pid == SelfPid() && !sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    g_tx = OpenTransaction();
}

}  // namespace

// Out of line, like every member: the store's code stays in one library.
Transaction::Transaction() = default;

Transaction::~Transaction() {
    Rollback();
}

bool Transaction::IsOpen() const {
    return open_;
}

Status Transaction::Begin() {
    if (open_) return kSuccess;
    g_mutex.lock();
    ++g_writes;
    if (g_tx.depth > 0) {
        ++g_tx.depth;
        open_ = true;
        return kSuccess;
    }
    EndBatchRead();
    Status st =
        g_read_only ? kAccessDenied : NoThrow([]() -> Status { return EnsureConnection(); });
    if (st == kSuccess && ExecWhileBusy(g_conn.db.get(), "BEGIN IMMEDIATE") != SQLITE_OK)
        st = kAccessDenied;
    if (st != kSuccess) {
        g_mutex.unlock();
        return st;
    }
    g_tx.depth = 1;
    g_tx.doomed = false;
    open_ = true;
    return kSuccess;
}

Status Transaction::Commit() {
    if (!open_) return kInvalidHandle;
    open_ = false;
    ++g_writes;
    Status st = kSuccess;
    if (--g_tx.depth == 0) {
        sqlite3* db = g_conn.db.get();
        if (g_tx.doomed || db == nullptr || g_conn.pid != SelfPid() ||
            ExecWhileBusy(db, "COMMIT") != SQLITE_OK)
            st = kAccessDenied;
        EndTransaction();  // rolls back whatever a failed COMMIT left open
    } else if (g_tx.doomed) {
        st = kAccessDenied;
    }
    g_mutex.unlock();
    return st;
}

void Transaction::Rollback() {
    if (!open_) return;
    open_ = false;
    ++g_writes;
    if (--g_tx.depth == 0) {
        EndTransaction();
    } else {
        g_tx.doomed = true;
    }
    g_mutex.unlock();
}

Status OpenKey(const Key& parent, const std::string& subkey, Key* out) {
    return OpenOrCreate(parent, subkey, out, false, nullptr);
}

Status OpenKey(Hive hive, const std::string& subkey, Key* out) {
    Key root;
    Status st = OpenHive(hive, &root);
    if (st != kSuccess) return st;
    return OpenKey(root, subkey, out);
}

Status CreateKey(const Key& parent, const std::string& subkey, Key* out, Disposition* disposition) {
    return OpenOrCreate(parent, subkey, out, true, disposition);
}

Status CreateKey(Hive hive, const std::string& subkey, Key* out, Disposition* disposition) {
    Key root;
    Status st = OpenHive(hive, &root);
    if (st != kSuccess) return st;
    return CreateKey(root, subkey, out, disposition);
}

Status EnumKey(const Key& key, std::uint32_t index, std::string* name) {
    return NoThrow([&]() -> Status {
        if (name == nullptr) return kInvalidParameter;
        if (!key.IsOpen()) return kInvalidHandle;
        const Key::Impl& k = *key.impl();
        std::string found;
        Status st = Run(false, &k, [&](Tx& tx) -> Status {
            MemoEntry entry;
            const Status s =
                Memoized(tx, MemoKey('K', k.id, std::to_string(index)), &entry, [&](MemoEntry* e) {
                    if (!KeyAlive(tx, k.id)) return kNotFound;
                    Stmt stmt = tx.Prepare(
                        "SELECT name FROM keys WHERE parent=?1 ORDER BY name LIMIT 1 OFFSET ?2");
                    tx.Bind(stmt.get(), 1, k.id);
                    tx.Bind(stmt.get(), 2, static_cast<std::int64_t>(index));
                    if (!tx.Step(stmt.get())) return kNoMoreItems;
                    e->text = ColumnText(stmt.get(), 0);
                    return kSuccess;
                });
            found = std::move(entry.text);
            return s;
        });
        if (st == kSuccess) *name = std::move(found);
        return st;
    });
}

Status EnumValue(const Key& key, std::uint32_t index, std::string* name, ValueType* type) {
    return NoThrow([&]() -> Status {
        if (name == nullptr) return kInvalidParameter;
        if (!key.IsOpen()) return kInvalidHandle;
        const Key::Impl& k = *key.impl();
        std::string found;
        ValueType found_type = ValueType::Sz;
        Status st = Run(false, &k, [&](Tx& tx) -> Status {
            MemoEntry entry;
            const Status s =
                Memoized(tx, MemoKey('E', k.id, std::to_string(index)), &entry, [&](MemoEntry* e) {
                    if (!KeyAlive(tx, k.id)) return kNotFound;
                    Stmt stmt = tx.Prepare(
                        "SELECT name, type FROM vals WHERE key_id=?1 ORDER BY id LIMIT 1 OFFSET "
                        "?2");
                    tx.Bind(stmt.get(), 1, k.id);
                    tx.Bind(stmt.get(), 2, static_cast<std::int64_t>(index));
                    if (!tx.Step(stmt.get())) return kNoMoreItems;
                    e->text = ColumnText(stmt.get(), 0);
                    e->type = static_cast<ValueType>(sqlite3_column_int64(stmt.get(), 1));
                    return kSuccess;
                });
            found = std::move(entry.text);
            found_type = entry.type;
            return s;
        });
        if (st != kSuccess) return st;
        *name = std::move(found);
        if (type != nullptr) *type = found_type;
        return kSuccess;
    });
}

Status QueryString(const Key& key, const std::string& name, std::string* out) {
    return NoThrow([&]() -> Status {
        if (out == nullptr) return kInvalidParameter;
        ValueType type = ValueType::Sz;
        std::string text;
        Status st = FindValue(key, name, &type, &text, nullptr);
        if (st != kSuccess) return st;
        if (type != ValueType::Sz) return kNotFound;
        *out = std::move(text);
        return kSuccess;
    });
}

Status QueryDword(const Key& key, const std::string& name, std::uint32_t* out) {
    return NoThrow([&]() -> Status {
        if (out == nullptr) return kInvalidParameter;
        ValueType type = ValueType::Sz;
        std::uint32_t number = 0;
        Status st = FindValue(key, name, &type, nullptr, &number);
        if (st != kSuccess) return st;
        if (type != ValueType::Dword) return kNotFound;
        *out = number;
        return kSuccess;
    });
}

Status QueryType(const Key& key, const std::string& name, ValueType* type) {
    return NoThrow([&]() -> Status {
        if (type == nullptr) return kInvalidParameter;
        ValueType found = ValueType::Sz;
        Status st = FindValue(key, name, &found, nullptr, nullptr);
        if (st == kSuccess) *type = found;
        return st;
    });
}

Status SetString(const Key& key, const std::string& name, const std::string& data) {
    return SetValue(key, name, ValueType::Sz, &data, 0);
}

Status SetDword(const Key& key, const std::string& name, std::uint32_t data) {
    return SetValue(key, name, ValueType::Dword, nullptr, data);
}

Status DeleteValue(const Key& key, const std::string& name) {
    return NoThrow([&]() -> Status {
        if (!key.IsOpen()) return kInvalidHandle;
        if (!ValidName(name, kMaxValueNameLength)) return kInvalidParameter;
        const Key::Impl& k = *key.impl();
        return Run(true, &k, [&](Tx& tx) -> Status {
            Stmt stmt = tx.Prepare("DELETE FROM vals WHERE key_id=?1 AND name=?2");
            tx.Bind(stmt.get(), 1, k.id);
            tx.Bind(stmt.get(), 2, name);
            tx.Step(stmt.get());
            if (!tx.ok()) return kAccessDenied;
            return tx.Changes() > 0 ? kSuccess : kNotFound;
        });
    });
}

Status DeleteTree(const Key& parent, const std::string& subkey) {
    return NoThrow([&]() -> Status {
        if (!parent.IsOpen()) return kInvalidHandle;
        std::vector<std::string> parts;
        if (!SplitPath(subkey, &parts)) return kInvalidParameter;
        const Key::Impl& p = *parent.impl();
        return Run(true, &p, [&](Tx& tx) -> Status {
            if (!KeyAlive(tx, p.id)) return tx.ok() ? kNotFound : kAccessDenied;
            std::int64_t target = 0;
            std::string path;
            bool created = false;
            Status st = Walk(tx, p.id, p.path, parts, false, &target, &path, &created);
            if (st != kSuccess) return st;
            // Every key below target, then their values and themselves; target's
            // own values go too, and target itself unless it is parent.
            static const char* const kBelow =
                "WITH RECURSIVE below(id) AS (SELECT id FROM keys WHERE parent=?1"
                " UNION ALL SELECT keys.id FROM keys JOIN below ON keys.parent=below.id) ";
            const std::string del_vals =
                std::string(kBelow) + "DELETE FROM vals WHERE key_id IN below OR key_id=?1";
            const std::string del_keys =
                std::string(kBelow) + "DELETE FROM keys WHERE id IN below OR (id=?1 AND ?2)";
            for (const std::string& sql : {del_vals, del_keys}) {
                Stmt stmt = tx.Prepare(sql.c_str());
                tx.Bind(stmt.get(), 1, target);
                if (sql == del_keys) tx.Bind(stmt.get(), 2, std::int64_t{parts.empty() ? 0 : 1});
                tx.Step(stmt.get());
            }
            return tx.ok() ? kSuccess : kAccessDenied;
        });
    });
}

Status DeleteTree(Hive hive, const std::string& subkey) {
    Key root;
    Status st = OpenHive(hive, &root);
    if (st != kSuccess) return st;
    return DeleteTree(root, subkey);
}

namespace {

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

ReadBatch::ReadBatch() {
    g_mutex.lock();
    ++g_batch.depth;
}

ReadBatch::~ReadBatch() {
    if (--g_batch.depth == 0) EndBatchRead();
    g_mutex.unlock();
}

std::string LastStoreProblem() {
    return t_problem;
}

void UseReadOnlyStore() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (g_read_only) return;
    g_read_only = true;
    EndBatchRead();
    // A connection opened for writing is not kept: from now on only the
    // read-only one is used.
    if (g_conn.db && g_conn.pid == SelfPid() && g_tx.depth == 0) g_conn.Reset();
}

bool ReadOnlyStore() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return g_read_only;
}

bool ParseKeyName(const std::string& text, Hive* hive, std::string* subkey) {
    if (hive == nullptr || subkey == nullptr) return false;
    try {
        std::size_t slash = text.find('\\');
        std::string head = text.substr(0, slash);
        std::string rest = slash == std::string::npos ? std::string() : text.substr(slash + 1);
        while (!rest.empty() && rest.back() == '\\') rest.pop_back();
        std::vector<std::string> parts;
        if (!SplitPath(rest, &parts)) return false;
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
