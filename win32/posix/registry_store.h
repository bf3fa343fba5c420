// The persisted registry of the POSIX backend, the database half (the memory
// half is registry_memory.h): one SQLite database per hive
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

#include "win32/posix/registry_memory.h"
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

// Splits a relative path into its names; empty names (doubled separators, a
// trailing one) are skipped as Windows does. ERROR_BAD_PATHNAME for a path that
// starts with a separator.
LONG SplitPath(const char* subKey, std::vector<std::string>& names);
// `base` and the names, folded, each after a separator (none before the first
// when `base` is empty).
std::string JoinPath(const std::string& base, const std::vector<std::string>& names);

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
    //
    // True when memory may be used; `snapshot` is then the mark to check with Settled.
    bool Sync(uint64_t& snapshot);
    // True when nothing was committed since `snapshot`: what was read may be kept.
    bool Settled(uint64_t snapshot) const;
    // What is kept: to be used only between a Sync and a Settled that allow it.
    Memory& Cache() { return m_memory; }
    uint64_t Generation() const { return m_memory.Generation(); }

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
    // Opens the connection to m_path, configured, with the wal-index header found.
    bool Connect(std::string& reason);
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
    void Announce(uint64_t what, uint64_t hash);

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
    Memory m_memory;

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
