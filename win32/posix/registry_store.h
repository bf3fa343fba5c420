// The persisted registry of the POSIX backend: one SQLite database per hive
// (the machine's HKEY_LOCAL_MACHINE, the user's HKEY_USERS), or one private
// file holding both; one connection per hive and process, statements prepared once.
//
// Keys are rows with their full path folded to upper case (unique), so opening a
// key of any depth is one indexed lookup; values are rows of their key, in the
// order they were first written. Every statement outside an import runs in its
// own transaction, so a change is committed when the call that made it returns.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "win32/win32.h"

namespace posix {
namespace reg {

// Windows' limits: a name component of a key, a value name, the depth of a path.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr size_t kMaxDepth = 512;

// Paths of the roots as stored; HKEY_CURRENT_USER and HKEY_CLASSES_ROOT are keys below them.
extern const char* const kMachineRoot;
extern const char* const kUsersRoot;

// ASCII case folding, as the key paths are stored and compared.
std::string Fold(const std::string& text);

// The hive a root lives in: HKEY_LOCAL_MACHINE (and HKEY_CLASSES_ROOT) in the
// machine's, HKEY_USERS (and HKEY_CURRENT_USER) in the user's.
enum class Hive { kMachine = 0, kUser = 1 };

// Path of the current user's key below HKEY_USERS, and of HKEY_CLASSES_ROOT (folded).
const std::string& UserPath();
const std::string& ClassesPath();

// A prepared statement borrowed from the cache; reset and unbound when the use ends.
class Statement {
public:
    explicit Statement(sqlite3_stmt* statement) : m_statement(statement) {}
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, int64_t value);
    Statement& Bind(int index, const std::string& bytes);  // as a blob: names are bytes
    Statement& Bind(int index, const void* bytes, size_t size);

    // SQLITE_ROW, SQLITE_DONE or an error; waits out contention with other processes.
    int Step();
    int64_t Int(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::string Text(int column) const;
    const void* Blob(int column) const { return sqlite3_column_blob(m_statement, column); }
    size_t Size(int column) const { return static_cast<size_t>(sqlite3_column_bytes(m_statement, column)); }

private:
    sqlite3_stmt* m_statement;
};

class Store {
public:
    // The store of `hive`, opened on first use (a private file is both hives).
    // Null with `error` set when it cannot be opened, and tried again at the
    // next call; ERROR_FILE_NOT_FOUND when the machine hive does not exist yet,
    // which reads as an empty HKEY_LOCAL_MACHINE. `create` makes it (root's
    // first write).
    static Store* Get(Hive hive, LONG& error, bool create = false);

    // False for a hive this user may read only (the machine's, unless root).
    bool Writable() const { return m_writable; }

    // Held around every registry call: the connection serves one thread at a time.
    std::mutex& Mutex() { return m_mutex; }

    Statement Prepare(const char* sql);
    // Runs statements without results; false on failure.
    bool Exec(const char* sql);
    // Runs one statement without results, prepared once.
    bool Run(const char* sql);
    int64_t Changes() const { return sqlite3_changes64(m_db); }
    sqlite3* Db() const { return m_db; }

    // A write transaction. Inside an import it is a savepoint of the import's
    // transaction (none for a single statement), so that the import stays all
    // or nothing. Every change goes through one, so that the change counters
    // below see it.
    bool Begin(bool oneStatement = false);
    bool Commit();
    void Rollback();

    // Reads served from memory, and enumeration positions, kept across calls.
    // Whether anything was committed since memory was last right is read from
    // SQLite's own wal-index header (shared memory every connection of the
    // database maps; its change counter moves with every commit); what each
    // commit touched (a value of a key, a sub-key of a key) is in the database's
    // `changes` table, written in the same transaction as the change. So the
    // record of a change can never be lost, replaced or cut apart from the change
    // itself, and no file of ours is mapped. Memory may be used only while the
    // header is unchanged before and after a read, or while this process writes.
    struct CachedValue {
        bool present = false;
        DWORD type = 0;
        std::string name;  // folded
        std::string data;
    };
    // Where the last enumeration of a key stopped: `below` entries sort before
    // `at` (a folded path for sub-keys, a rowid for values), which may itself be
    // gone since. A neighbouring index is then one step away, whatever the size.
    struct KeyCursor {
        bool valid = false;
        DWORD below = 0;
        std::string at;
    };
    struct ValueCursor {
        bool valid = false;
        DWORD below = 0;
        int64_t at = 0;
    };

    // True when memory may be used; `snapshot` is then the mark to check with Settled.
    bool Sync(uint64_t& snapshot);
    // True when nothing was committed since `snapshot`: what was read may be kept.
    bool Settled(uint64_t snapshot) const;

    // Cached key ids by folded path (0: no such key) and values by key and folded name.
    bool FindCachedKey(const std::string& path, int64_t& id) const;
    void CacheKey(const std::string& path, int64_t id);
    const CachedValue* FindCachedValue(int64_t key, const std::string& folded) const;
    void CacheValue(int64_t key, const std::string& folded, const CachedValue& value);
    // What is known of one key while memory agrees with the store: its
    // positions, that it exists, and how many sub-keys and values it has.
    // Consecutive entries of a key read in one statement, for the calls that
    // follow; good while nothing at all has changed since (the generation).
    // What RegQueryInfoKeyA tells of a key: counts and longest lengths of its
    // sub-keys (name, class) and values (name, data).
    struct Facts {
        std::string keyClass;
        int64_t written = 0;
        DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxValueName = 0, maxValue = 0;
    };
    struct SubKeyRow {
        std::string name, keyClass, path;
        int64_t written = 0, id = 0;
    };
    struct ValueRow {
        std::string name, data;
        DWORD type = 0;
        size_t size = 0;
        bool whole = false;  // `data` holds the bytes: small enough to keep
        int64_t rowid = 0;
    };
    template <class Row>
    struct Window {
        uint64_t generation = ~uint64_t(0);
        DWORD first = 0;
        DWORD span = 1;  // rows to read next: doubles while a walk goes on undisturbed
        std::vector<Row> rows;
        const Row* At(uint64_t now, DWORD index) const {
            return generation == now && index >= first && index - first < rows.size() ? &rows[index - first] : nullptr;
        }
    };
    uint64_t Generation() const { return m_generation; }

    struct KeyMemory {
        std::unordered_map<uint64_t, CachedValue> values;  // by hash of the folded name
        KeyCursor subKeys;
        ValueCursor valueCursor;
        Window<SubKeyRow> subKeyRows;
        Window<ValueRow> valueRows;
        bool exists = false;
        bool counted = false;  // `facts` hold
        Facts facts;
    };
    KeyMemory& MemoryOf(int64_t key);
    // Null when nothing is known of the key.
    KeyMemory* Known(int64_t key);

    // What this process changed, told while its write is under way: memory is
    // corrected here and now, and other processes are told through the ring.
    void KeyAdded(int64_t parent, int64_t id, const std::string& path);
    void KeyRemoved(int64_t parent, int64_t id, const std::string& path);
    void ValueWritten(int64_t key, const std::string& folded, int64_t rowid);
    void ValueRemoved(int64_t key, const std::string& folded, int64_t rowid);
    void EverythingChanged();

    // The import's transaction (QvtrRegTransaction).
    bool InImport() const { return m_import; }
    LONG BeginImport();
    LONG EndImport(bool commit);
    // A read transaction (QvtrRegTransaction): every read sees the store as it
    // was at the first one, and takes no file lock of its own. No writes meanwhile.
    bool InSnapshot() const { return m_snapshot; }
    LONG BeginSnapshot();
    LONG EndSnapshot();

    // The file it was opened from, for messages.
    const std::string& Path() const { return m_path; }

    // Keys below HKEY_LOCAL_MACHINE that a user store kept from when it was the
    // whole machine (beyond the two every store has); the machine reads them no more.
    int64_t StrandedMachineKeys();

    // The Win32 code of the last SQLite failure.
    LONG LastError() const;

    // After a failure of the file system under SQLite (an I/O error, a lock that
    // could not be let go), the connection may hold a wrong idea of its locks: it
    // is closed and opened afresh at the start of the next call. Memory goes too.
    bool Broken() const { return m_broken; }
    LONG Reconnect();

private:
    Store() = default;
    bool Open(Hive hive, const std::string& path, bool create, std::string& reason);
    bool Configure(Hive hive, std::string& reason);
    bool EnsureSchema(Hive hive);
    bool EnsureKey(const std::string& path, const std::string& name, const std::string& parentPath);
    void NoteStrandedMachineKeys();
    void FindHeader();
    bool ReadMark(uint64_t& mark, uint32_t* commits = nullptr) const;
    void WriteBegins();
    void WriteEnds(bool committed);
    bool CatchUp();
    bool PublishChanges();
    void GiveSpaceBack();
    void Forget();
    void Announce(uint64_t what, uint64_t hash);
    void ForgetKey(int64_t parent, uint64_t pathHash);
    void ForgetValue(int64_t key, uint64_t nameHash);
    void ForgetKeyContents(int64_t id);

    const volatile uint32_t* m_header = nullptr;  // SQLite's wal-index header as SQLite maps it
    int m_headerFd = -1;                          // else the -shm file, read with pread (a reader without write access)
    bool m_synced = false;                        // memory agrees with the store as of m_mark
    uint64_t m_mark = 0;
    uint32_t m_commitsAtBegin = 0;  // SQLite's commit count when this process's write began
    int64_t m_changesRead = 0;      // the last row of `changes` taken into account
    int64_t m_published = 0;        // the last row of `changes` this process wrote
    uint64_t m_commits = 0;         // this process's commits, to look at free space now and then
    std::vector<std::pair<uint64_t, uint64_t>> m_announced;  // this write's, not yet published
    bool m_announcedAll = false;
    bool m_writing = false;  // between WriteBegins and WriteEnds
    struct CachedKey {
        std::string path;
        int64_t id = 0;
    };
    std::unordered_map<uint64_t, CachedKey> m_cachedKeys;  // by hash of the folded path
    std::unordered_map<int64_t, KeyMemory> m_keys;
    size_t m_cachedValueCount = 0;
    uint64_t m_generation = 0;  // advances at every change seen or made

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> m_statements;
    bool m_writable = true;
    bool m_import = false;
    bool m_snapshot = false;
    bool m_savepoint = false;
    mutable bool m_broken = false;
    Hive m_hive = Hive::kUser;
    std::string m_path;
};

// Waits out SQLITE_BUSY and SQLITE_LOCKED: contention is never an error to the caller.
int StepWithRetry(sqlite3_stmt* statement);

}  // namespace reg
}  // namespace posix
