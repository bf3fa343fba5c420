// The SQLite store under the POSIX registry: opening, schema, statements,
// transactions and waiting out other processes.
#include "win32/posix/registry_store.h"

#include "win32/posix/places.h"
#include "win32/posix/safe_files.h"
#include "win32/posix/syscalls.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace posix {
namespace reg {

const char* const kMachineRoot = "HKEY_LOCAL_MACHINE";
const char* const kUsersRoot = "HKEY_USERS";

namespace {

// The last-write time of a key as a FILETIME: 100 ns units since 1601-01-01.
#define QVTR_REG_NOW "CAST((julianday('now') - 2305813.5) * 864000000000.0 AS INTEGER)"

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a stale handle cannot reach a new key
    " parent INTEGER NOT NULL,"
    " path BLOB NOT NULL UNIQUE,"  // full path folded to upper case
    " name BLOB NOT NULL,"         // the last component as created
    " class BLOB NOT NULL DEFAULT x'',"
    " written INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, path);"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " folded BLOB NOT NULL,"
    " name BLOB NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, folded));"
    "CREATE INDEX IF NOT EXISTS vals_in_order ON vals(key);"  // (key, rowid): the order of creation
    "CREATE TABLE IF NOT EXISTS changes(seq INTEGER PRIMARY KEY, what INTEGER NOT NULL, hash INTEGER NOT NULL);"
    "CREATE TRIGGER IF NOT EXISTS key_deleted AFTER DELETE ON keys BEGIN"
    " DELETE FROM vals WHERE key = old.id;"
    " UPDATE keys SET written = " QVTR_REG_NOW
    " WHERE id = old.parent; END;"
    "CREATE TRIGGER IF NOT EXISTS key_added AFTER INSERT ON keys BEGIN"
    " UPDATE keys SET written = " QVTR_REG_NOW
    " WHERE id = new.parent; END;"
    "CREATE TRIGGER IF NOT EXISTS value_added AFTER INSERT ON vals BEGIN"
    " UPDATE keys SET written = " QVTR_REG_NOW
    " WHERE id = new.key; END;"
    "CREATE TRIGGER IF NOT EXISTS value_changed AFTER UPDATE ON vals BEGIN"
    " UPDATE keys SET written = " QVTR_REG_NOW
    " WHERE id = new.key; END;"
    "CREATE TRIGGER IF NOT EXISTS value_deleted AFTER DELETE ON vals BEGIN"
    " UPDATE keys SET written = " QVTR_REG_NOW
    " WHERE id = old.key; END;"
    "INSERT OR IGNORE INTO keys(id, parent, path, name, written) VALUES"
    " (1, 0, CAST('HKEY_LOCAL_MACHINE' AS BLOB), CAST('HKEY_LOCAL_MACHINE' AS BLOB), " QVTR_REG_NOW
    "),"
    " (2, 0, CAST('HKEY_USERS' AS BLOB), CAST('HKEY_USERS' AS BLOB), " QVTR_REG_NOW ");";

// Contention is waited out this long before it becomes an error.
constexpr auto kPatience = std::chrono::seconds(60);

// One store per hive; with a private file both entries are the same store.
Store* g_stores[2] = {nullptr, nullptr};
std::atomic<bool> g_open[2] = {{false}, {false}};
pthread_mutex_t g_openMutex = PTHREAD_MUTEX_INITIALIZER;
bool g_told[2] = {false, false};  // the one line on standard error about a store that cannot be used

// A child of fork must not use its parent's connections: it opens its own.
void AfterFork() {
    for (int hive = 0; hive < 2; ++hive) {
        g_open[hive].store(false);
        g_stores[hive] = nullptr;  // the parent's connection is left alone, never closed here
    }
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    g_openMutex = fresh;
}

LONG SqliteToWin32(int code) {
    switch (code & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_NOMEM:
        case SQLITE_TOOBIG:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_REGISTRY_CORRUPT;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

// Rows of the change record a process can catch up with.
constexpr int64_t kChangesKept = 8192;
// Announcements of one write beyond which it says "everything" instead.
constexpr size_t kAnnouncedLimit = 256;

// What a change row names: its kind in the top byte, a key's row id below.
constexpr uint64_t kValueOf = 1ull << 56;   // hash: the value's folded name
constexpr uint64_t kSubKeyOf = 2ull << 56;  // hash: the sub-key's folded path
constexpr uint64_t kKeyGone = 3ull << 56;   // the key, its values and positions
constexpr uint64_t kAllChanged = 4ull << 56;
constexpr uint64_t kIdMask = (1ull << 56) - 1;

}  // namespace

std::string Fold(const std::string& text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return folded;
}

LONG SplitPath(const char* subKey, std::vector<std::string>& names) {
    if (subKey == nullptr || *subKey == '\0') {
        return ERROR_SUCCESS;
    }
    if (*subKey == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    const char* start = subKey;
    for (const char* p = subKey;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (p > start) {
                names.emplace_back(start, p);
            }
            if (*p == '\0') {
                break;
            }
            start = p + 1;
        }
    }
    return ERROR_SUCCESS;
}

std::string JoinPath(const std::string& base, const std::vector<std::string>& names) {
    std::string path = base;
    for (const std::string& name : names) {
        if (!path.empty()) {
            path += '\\';
        }
        path += Fold(name);
    }
    return path;
}

const std::string& UserPath() {
    // The current user's key is named as Samba names a Unix user: S-1-22-1-uid.
    // Asked again after a change of user (a forked child that dropped privileges).
    thread_local uid_t t_uid = static_cast<uid_t>(-1);
    thread_local std::string t_path;
    const uid_t uid = getuid();
    if (uid != t_uid) {
        t_uid = uid;
        t_path = std::string(kUsersRoot) + "\\S-1-22-1-" + std::to_string(static_cast<unsigned long>(uid));
    }
    return t_path;
}

const std::string& ClassesPath() {
    static const std::string path = std::string(kMachineRoot) + "\\SOFTWARE\\CLASSES";
    return path;
}

// Whether this thread's latest failed step ran into the file-size limit or a
// full disk: the rollback that follows a failure must not hide it.
thread_local bool t_sizeLimitHit = false;

// SQLite reports a write the disk refused as an I/O error (or SQLITE_FULL);
// the rollback that follows would hide the cause from LastError.
bool DiskRefused(sqlite3_stmt* statement, int rc) {
    if ((rc & 0xFF) == SQLITE_FULL) {
        return true;
    }
    const int error = sqlite3_system_errno(sqlite3_db_handle(statement));
    return (rc & 0xFF) == SQLITE_IOERR && (error == ENOSPC || error == EDQUOT || error == EFBIG);
}

int StepWithRetry(sqlite3_stmt* statement) {
    const auto start = std::chrono::steady_clock::now();
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        const unsigned limitsBefore = FileSizeGuard::LimitsHit();
        int rc;
        {
            // A write past the file-size limit fails (disk full) instead of killing the host.
            // A read writes nothing, so a "no limit" read within the second will do for it.
            FileSizeGuard guard(sqlite3_stmt_readonly(statement) != 0);
            rc = sqlite3_step(statement);
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE &&
            (FileSizeGuard::LimitsHit() != limitsBefore || DiskRefused(statement, rc))) {
            t_sizeLimitHit = true;
        }
        const int primary = rc & 0xFF;
        if (primary != SQLITE_BUSY && primary != SQLITE_LOCKED) {
            return rc;
        }
        // A statement of an explicit transaction cannot simply be run again.
        if (rc == SQLITE_BUSY_SNAPSHOT && !sqlite3_get_autocommit(sqlite3_db_handle(statement))) {
            return rc;
        }
        if (std::chrono::steady_clock::now() - start > kPatience) {
            return rc;
        }
        sqlite3_reset(statement);
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
}

Statement::~Statement() {
    if (m_statement != nullptr) {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
}

Statement& Statement::Bind(int index, int64_t value) {
    sqlite3_bind_int64(m_statement, index, value);
    return *this;
}

Statement& Statement::Bind(int index, const std::string& bytes) {
    return Bind(index, bytes.data(), bytes.size());
}

Statement& Statement::Bind(int index, const void* bytes, size_t size) {
    // A zero-length blob must still be a blob, not NULL.
    static const char empty = 0;
    sqlite3_bind_blob64(m_statement, index, size ? bytes : &empty, size, SQLITE_TRANSIENT);
    return *this;
}

int Statement::Step() {
    return m_statement ? StepWithRetry(m_statement) : SQLITE_MISUSE;
}

std::string Statement::Text(int column) const {
    const void* bytes = sqlite3_column_blob(m_statement, column);
    return bytes ? std::string(static_cast<const char*>(bytes), Size(column)) : std::string();
}

Store* Store::Get(Hive hive, LONG& error, bool create) {
    const int index = PrivateRegistry() ? 0 : static_cast<int>(hive);
    if (g_open[index].load(std::memory_order_acquire)) {
        error = ERROR_SUCCESS;
        return g_stores[index];
    }
    // The machine of a process that reads its version and nothing else: one look.
    struct stat info {};
    if (hive == Hive::kMachine && !PrivateRegistry() && !create &&
        Sys().fstatat(AT_FDCWD, MachineHivePath().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    static const int registered = pthread_atfork(nullptr, nullptr, AfterFork);
    (void)registered;
    pthread_mutex_lock(&g_openMutex);
    error = ERROR_SUCCESS;
    if (!g_open[index].load()) {
        // Lives for the rest of the process: other objects' destructors may still need it.
        auto* store = new Store;
        const bool machine = hive == Hive::kMachine && !PrivateRegistry();
        const std::string path = machine ? MachineHivePath() : UserHivePath();
        std::string reason;
        // Opening (and closing) may grow SQLite's files: past the size limit that fails.
        FileSizeGuard guard;
        if (store->Open(PrivateRegistry() ? Hive::kUser : hive, path, create, reason)) {
            g_stores[index] = store;
            g_open[index].store(true, std::memory_order_release);
        } else {
            error = reason.empty() ? ERROR_FILE_NOT_FOUND
                    : store->m_db  ? store->LastError()
                                   : static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
            if (!reason.empty() && !g_told[index]) {
                g_told[index] = true;
                std::fprintf(stderr, "qvtr: cannot open the registry %s: %s\n", path.c_str(), reason.c_str());
            }
            if (store->m_db) {
                sqlite3_close_v2(store->m_db);
            }
            delete store;  // tried again at the next call: what failed may pass then
        }
    }
    pthread_mutex_unlock(&g_openMutex);
    return g_stores[index];
}

namespace {

// Opens the store file, creating it when asked with `mode`; refuses what another
// user could have put in its place. The descriptor, or -1 with `reason` set
// (empty when the file does not exist and was not to be made).
int OpenStoreFile(const std::string& path, bool create, mode_t mode, bool machine, std::string& reason) {
    struct stat info {};
    int fd = OpenChecked(path.c_str(), O_RDONLY, 0, info);
    if (fd < 0 && errno == ENOENT && create) {
        fd = OpenChecked(path.c_str(), O_RDWR | O_CREAT | O_EXCL, mode, info);
    }
    if (fd < 0) {
        reason = errno == ENOENT && !create ? ""
                 : errno == EACCES          ? "it is not a regular file of yours or root's, or others can write to it"
                                            : std::strerror(errno);
        return -1;
    }
    // Every user trusts the machine's hive: nobody but its owner may be able to change it.
    if (machine && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        reason = "others can write to it";
        Sys().close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool Store::Open(Hive hive, const std::string& path, bool create, std::string& reason) {
    m_path = path;
    m_hive = hive;
    if (path.empty() || path[0] != '/') {
        reason = "no home directory in the password database; set QVTR_REGISTRY to an absolute path";
        return false;
    }
    const bool machine = hive == Hive::kMachine;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    // Root makes the machine's directories; a user only ever makes their own.
    const bool makeDirectory = !machine || (create && geteuid() == 0);
    const DWORD chain = makeDirectory
                            ? (MakeTrustedDirectory(dir, machine ? 0755 : 0700) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED)
                            : CheckDirectoryChain(dir);
    if (chain == ERROR_PATH_NOT_FOUND) {
        return false;  // no machine hive yet: an empty HKEY_LOCAL_MACHINE
    }
    if (chain != ERROR_SUCCESS) {
        reason = "its directory " + dir + " cannot be made, belongs to another user, or others can write to it";
        return false;
    }
    struct stat place {};
    if (machine && (Sys().fstatat(AT_FDCWD, dir.c_str(), &place, 0) != 0 || (place.st_mode & 022) != 0)) {
        reason = "others can write to its directory";
        return false;
    }
    // Nobody but the directory's owner makes a machine hive in it.
    create = !machine || (create && place.st_uid == geteuid());
    // Created by us first, so that it (and SQLite's -wal and -shm beside it) is the owner's.
    const int fd = OpenStoreFile(path, create, machine ? 0644 : 0600, machine, reason);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    m_writable = Sys().fstat(fd, &info) == 0 && info.st_uid == geteuid();
    Sys().close(fd);
    if (!Connect(reason)) {
        return false;
    }
    if (hive == Hive::kUser && !PrivateRegistry()) {
        NoteStrandedMachineKeys();
    }
    return true;
}

bool Store::Connect(std::string& reason) {
    const int flags = (m_writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
    RouteSqliteThroughTable();
    if (sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        reason = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        return false;
    }
    if (!Configure(m_hive, reason)) {
        return false;
    }
    FindHeader();
    return true;
}

bool Store::Configure(Hive hive, std::string& reason) {
    sqlite3_busy_timeout(m_db, 2000);
    sqlite3_extended_result_codes(m_db, 1);
    if (m_writable) {
        // Readers of the machine's hive cannot make SQLite's -wal and -shm files:
        // they stay when the last connection closes.
        int persist = 1;
        sqlite3_file_control(m_db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    // WAL: readers never wait for writers. NORMAL: a commit survives the death of
    // any process; only a power loss can take back the latest commits.
    const bool ok = (!m_writable || (Exec("PRAGMA journal_mode=WAL") && Exec("PRAGMA synchronous=NORMAL") &&
                                     Exec("PRAGMA journal_size_limit=4194304"))) &&
                    Exec("PRAGMA cache_size=-32768") && EnsureSchema(hive);
    if (!ok) {
        reason = sqlite3_errmsg(m_db);
    }
    return ok;
}

bool Store::EnsureSchema(Hive hive) {
    bool present = false;
    {
        Statement check = Prepare("SELECT count(*) FROM sqlite_master WHERE name IN ('vals', 'changes')");
        present = check.Step() == SQLITE_ROW && check.Int(0) == 2;  // the common case: nothing to write
    }
    if (!m_writable) {
        return present;
    }
    if (!present) {
        // Before the first table, so that freed pages can be given back without a rewrite.
        if (!Exec("PRAGMA auto_vacuum = INCREMENTAL") || !Exec("BEGIN IMMEDIATE")) {
            return false;
        }
        if (!Exec(kSchema) || !Exec("COMMIT")) {
            Exec("ROLLBACK");
            return false;
        }
    }
    const std::string machine = kMachineRoot;
    const std::string users = kUsersRoot;
    const std::string sid = UserPath().substr(users.size() + 1);
    const bool both = PrivateRegistry();
    return ((hive != Hive::kMachine && !both) || (EnsureKey(machine + "\\SOFTWARE", "SOFTWARE", machine) &&
                                                  EnsureKey(ClassesPath(), "Classes", machine + "\\SOFTWARE"))) &&
           ((hive != Hive::kUser && !both) ||
            (EnsureKey(users + "\\.DEFAULT", ".DEFAULT", users) && EnsureKey(UserPath(), sid, users)));
}

int64_t Store::StrandedMachineKeys() {
    Statement stranded = Prepare("SELECT count(*) FROM keys WHERE path > ?1 AND path < ?2 AND path NOT IN (?3, ?4)");
    stranded.Bind(1, std::string(kMachineRoot) + "\\").Bind(2, std::string(kMachineRoot) + "]");
    stranded.Bind(3, std::string(kMachineRoot) + "\\SOFTWARE").Bind(4, ClassesPath());
    return stranded.Step() == SQLITE_ROW ? stranded.Int(0) : 0;
}

// A user store made when it held HKEY_LOCAL_MACHINE too keeps those keys;
// nothing is moved or deleted on its own. Said once per store, on standard error.
void Store::NoteStrandedMachineKeys() {
    if (!m_writable) {
        return;
    }
    {
        Statement told = Prepare("PRAGMA user_version");
        if (told.Step() != SQLITE_ROW || (told.Int(0) & 1) != 0) {
            return;
        }
    }
    const int64_t stranded = StrandedMachineKeys();
    if (stranded > 0) {
        std::fprintf(stderr,
                     "qvtr: %s holds %lld HKEY_LOCAL_MACHINE key(s) that this machine no longer reads "
                     "(HKEY_LOCAL_MACHINE is the machine's hive, %s); `qvtr report` says what to do\n",
                     m_path.c_str(), static_cast<long long>(stranded), MachineHivePath().c_str());
        Exec("PRAGMA user_version = 1");
    }
}

bool Store::EnsureKey(const std::string& path, const std::string& name, const std::string& parentPath) {
    {
        Statement find = Prepare("SELECT id FROM keys WHERE path = ?1");
        find.Bind(1, Fold(path));
        const int rc = find.Step();
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            return false;
        }
    }
    if (!Begin()) {
        return false;
    }
    bool inserted = false;
    {
        Statement insert = Prepare(
            "INSERT OR IGNORE INTO keys(parent, path, name, written) "
            "SELECT id, ?2, ?3, " QVTR_REG_NOW " FROM keys WHERE path = ?1");
        insert.Bind(1, Fold(parentPath)).Bind(2, Fold(path)).Bind(3, name);
        inserted = insert.Step() == SQLITE_DONE;
    }
    if (!inserted) {
        Rollback();
        return false;
    }
    return Commit();
}

Statement Store::Prepare(const char* sql) {
    auto found = m_statements.find(sql);
    if (found != m_statements.end()) {
        return Statement(found->second);
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        return Statement(nullptr);
    }
    m_statements.emplace(sql, statement);
    return Statement(statement);
}

bool Store::Run(const char* sql) {
    Statement statement = Prepare(sql);
    return statement.Step() == SQLITE_DONE;
}

bool Store::Exec(const char* sql) {
    // Several statements, each run to completion, waiting out contention.
    const char* rest = sql;
    while (rest != nullptr && *rest != '\0') {
        sqlite3_stmt* statement = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(m_db, rest, -1, &statement, &tail) != SQLITE_OK) {
            return false;
        }
        int rc = SQLITE_DONE;
        if (statement != nullptr) {
            while ((rc = StepWithRetry(statement)) == SQLITE_ROW) {
            }
            sqlite3_finalize(statement);
        }
        if (rc != SQLITE_DONE) {
            return false;
        }
        rest = tail;
    }
    return true;
}

// SQLite's wal-index header: two copies of twelve words, the second written
// first, so that a reader finding them equal has a whole one. The third word
// counts commits; the fifth is the log's frame count, which every commit moves
// too; the ninth and tenth are the log's salts, new at every restart of the log.
constexpr size_t kHeaderWords = 12;

void Store::FindHeader() {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr || file->pMethods->iVersion < 2 || file->pMethods->xShmMap == nullptr) {
        return;
    }
    // Mapped already: the schema check read the database.
    volatile void* region = nullptr;
    const int rc = file->pMethods->xShmMap(file, 0, 32768, 0, &region);
    if ((rc == SQLITE_OK || (rc & 0xFF) == SQLITE_READONLY) && region != nullptr) {
        m_header = static_cast<const volatile uint32_t*>(region);
    } else if (!m_writable) {
        // A reader without write access, while no writer is connected, is not given
        // SQLite's mapping: it reads the header itself, from the file only the
        // hive's owner can change.
        m_headerFd = Sys().open((m_path + "-shm").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    }
    uint64_t mark = 0;
    m_synced = ReadMark(mark);
    m_mark = mark;
    Statement last = Prepare("SELECT coalesce(max(seq), 0) FROM changes");
    m_changesRead = last.Step() == SQLITE_ROW ? last.Int(0) : 0;
}

bool Store::ReadMark(uint64_t& mark, uint32_t* commits) const {
    uint32_t first[kHeaderWords];
    uint32_t second[kHeaderWords];
    if (m_header != nullptr) {
        for (size_t i = 0; i < kHeaderWords; ++i) {
            first[i] = m_header[i];
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        for (size_t i = 0; i < kHeaderWords; ++i) {
            second[i] = m_header[kHeaderWords + i];
        }
    } else {
        uint32_t both[2 * kHeaderWords];
        if (m_headerFd < 0 || Sys().pread(m_headerFd, both, sizeof both, 0) != static_cast<ssize_t>(sizeof both)) {
            return false;
        }
        std::memcpy(first, both, sizeof first);
        std::memcpy(second, both + kHeaderWords, sizeof second);
    }
    const bool initialised = (first[3] & 0xFF) != 0;  // isInit, the twelfth byte (little-endian)
    if (std::memcmp(first, second, sizeof first) != 0 || !initialised) {
        return false;  // being written right now
    }
    mark = ((static_cast<uint64_t>(first[2]) << 32) | first[4]) ^ ((static_cast<uint64_t>(first[8]) << 32) | first[9]);
    if (commits != nullptr) {
        *commits = first[2];
    }
    return true;
}

void Store::WriteBegins() {
    m_announced.clear();
    m_announcedAll = false;
    uint64_t mark = 0;
    // The write lock is ours: nobody else commits until we have, so the header holds still.
    if (ReadMark(mark, &m_commitsAtBegin)) {
        if ((m_synced && mark == m_mark) || CatchUp()) {
            m_synced = true;
            m_mark = mark;
        }
    } else {
        m_synced = false;
    }
    m_writing = true;
}

void Store::WriteEnds(bool committed) {
    m_writing = false;
    m_announced.clear();
    m_announcedAll = false;
    if (!committed) {
        m_memory.Forget();  // memory may hold what was just undone
        m_synced = false;
        return;
    }
    // Memory holds this commit already, and the change rows after the ones read
    // are its own, unless another commit came in between (then catch up later).
    uint64_t mark = 0;
    uint32_t commits = 0;
    if (m_synced && ReadMark(mark, &commits) && commits - m_commitsAtBegin <= 1) {
        m_mark = mark;
        m_changesRead = std::max(m_changesRead, m_published);
    } else {
        m_synced = false;
    }
}

bool Store::PublishChanges() {
    if (m_announced.empty() && !m_announcedAll) {
        return true;
    }
    if (m_announcedAll) {
        m_announced.assign(1, {kAllChanged, 0});
    }
    for (const auto& change : m_announced) {
        Statement add = Prepare("INSERT INTO changes(what, hash) VALUES (?1, ?2)");
        add.Bind(1, static_cast<int64_t>(change.first)).Bind(2, static_cast<int64_t>(change.second));
        if (add.Step() != SQLITE_DONE) {
            return false;
        }
    }
    const int64_t first = m_published;
    m_published = sqlite3_last_insert_rowid(m_db);
    // Kept as far back as any process could still need them to catch up.
    if (first / 1024 != m_published / 1024) {
        Statement prune = Prepare("DELETE FROM changes WHERE seq <= ?1");
        prune.Bind(1, m_published - kChangesKept);
        return prune.Step() == SQLITE_DONE;
    }
    return true;
}

// What other processes changed since memory was last right: their rows of
// `changes`, or everything when this process fell too far behind.
bool Store::CatchUp() {
    Statement rows = Prepare("SELECT seq, what, hash FROM changes WHERE seq > ?1 ORDER BY seq LIMIT ?2");
    rows.Bind(1, m_changesRead).Bind(2, kChangesKept + 1);
    bool all = false;
    int64_t count = 0;
    int rc = SQLITE_DONE;
    while ((rc = rows.Step()) == SQLITE_ROW) {
        const int64_t seq = rows.Int(0);
        ++count;
        all = all || seq != m_changesRead + 1 || count > kChangesKept;  // rows gone since: too far behind
        m_changesRead = seq;
        const uint64_t what = static_cast<uint64_t>(rows.Int(1));
        const uint64_t hash = static_cast<uint64_t>(rows.Int(2));
        const int64_t id = static_cast<int64_t>(what & kIdMask);
        switch (all ? kAllChanged : what & ~kIdMask) {
            case kValueOf:
                m_memory.ForgetValue(id, hash);
                break;
            case kSubKeyOf:
                m_memory.ForgetKey(id, hash);
                break;
            case kKeyGone:
                m_memory.ForgetKeyContents(id);
                break;
            default:
                all = true;
                break;
        }
    }
    // A commit that left no row was made by a program that does not say what it
    // changed (an administrator's own SQLite session): nothing known can stay.
    if (all || count == 0 || rc != SQLITE_DONE) {
        m_memory.Forget();
    }
    return rc == SQLITE_DONE;
}

void Store::Announce(uint64_t what, uint64_t hash) {
    m_memory.Changed();
    if (m_announcedAll) {
        return;
    }
    if (what == kAllChanged || m_announced.size() >= kAnnouncedLimit) {
        m_announcedAll = true;
        m_announced.clear();
        return;
    }
    m_announced.emplace_back(what, hash);
}

namespace {

// QVTR_REGISTRY_MEMORY=off: every read goes to the database, to tell a fault of
// the memory from one of the store.
bool MemoryWanted() {
    static const bool wanted = [] {
        const char* setting = std::getenv("QVTR_REGISTRY_MEMORY");
        return setting == nullptr || std::strcmp(setting, "off") != 0;
    }();
    return wanted;
}

}  // namespace

// The one gate of the memory: every read from it, and every row kept in it, is
// allowed here first.
bool Store::Sync(uint64_t& snapshot) {
    if (!MemoryWanted() || (m_header == nullptr && m_headerFd < 0)) {
        return false;
    }
    if (m_writing) {
        snapshot = m_mark;  // only this process can change anything now
        return true;
    }
    uint64_t mark = 0;
    if (!ReadMark(mark)) {
        return false;
    }
    if (!m_synced || mark != m_mark) {
        if (!CatchUp()) {
            m_synced = false;
            return false;
        }
        m_synced = true;
        m_mark = mark;
    }
    snapshot = mark;
    return true;
}

bool Store::Settled(uint64_t snapshot) const {
    if (m_writing) {
        return true;
    }
    uint64_t mark = 0;
    return ReadMark(mark) && mark == snapshot;
}

void Store::KeyAdded(int64_t parent, int64_t id, const std::string& path) {
    Announce(kSubKeyOf | static_cast<uint64_t>(parent), Hash(path));
    m_memory.KeyAdded(parent, id, path);
}

void Store::KeyRemoved(int64_t parent, int64_t id, const std::string& path) {
    Announce(kSubKeyOf | static_cast<uint64_t>(parent), Hash(path));
    Announce(kKeyGone | static_cast<uint64_t>(id), 0);
    m_memory.KeyRemoved(parent, id, path);
}

void Store::ValueWritten(int64_t key, const std::string& folded, int64_t rowid) {
    Announce(kValueOf | static_cast<uint64_t>(key), Hash(folded));
    m_memory.ValueChanged(key, folded, rowid, false);
}

void Store::ValueRemoved(int64_t key, const std::string& folded, int64_t rowid) {
    Announce(kValueOf | static_cast<uint64_t>(key), Hash(folded));
    m_memory.ValueChanged(key, folded, rowid, true);
}

void Store::EverythingChanged() {
    Announce(kAllChanged, 0);
    m_memory.Forget();
}

bool Store::Begin(bool oneStatement) {
    t_sizeLimitHit = false;
    if (m_import) {
        // A single statement is all or nothing already; a savepoint would cost
        // a page map the size of the database.
        m_savepoint = !oneStatement;
        return oneStatement || Run("SAVEPOINT qvtr_call");
    }
    if (!Run("BEGIN IMMEDIATE")) {
        return false;
    }
    WriteBegins();
    return true;
}

bool Store::Commit() {
    if (m_import) {
        if (!m_savepoint || Run("RELEASE qvtr_call")) {
            return true;
        }
        Rollback();
        return false;
    }
    // A large change, or every 256th small one (a tree deleted key by key), looks
    // whether freed pages have become most of the file.
    const bool look = m_announcedAll || ++m_commits % 256 == 0;
    const bool committed = PublishChanges() && Run("COMMIT");
    if (!committed && !sqlite3_get_autocommit(m_db)) {
        Run("ROLLBACK");
    }
    WriteEnds(committed);
    if (committed && look) {
        GiveSpaceBack();
    }
    return committed;
}

// After a change that removed much (a tree deleted, an import), the pages it
// freed go back to the file system when they are most of the file: a store
// emptied of what it held shrinks to about its size when new.
void Store::GiveSpaceBack() {
    int64_t pages = 0;
    int64_t free = 0;
    {
        Statement count = Prepare("PRAGMA page_count");
        pages = count.Step() == SQLITE_ROW ? count.Int(0) : 0;
    }
    {
        Statement count = Prepare("PRAGMA freelist_count");
        free = count.Step() == SQLITE_ROW ? count.Int(0) : 0;
    }
    if (free < 256 || free * 2 < pages) {
        return;
    }
    bool incremental = false;
    {
        Statement mode = Prepare("PRAGMA auto_vacuum");
        incremental = mode.Step() == SQLITE_ROW && mode.Int(0) == 2;
    }
    // A store made before it was incremental becomes so once, by a whole rewrite
    // of what is left (little, when most of it is free).
    Exec(incremental ? "PRAGMA incremental_vacuum" : "PRAGMA auto_vacuum = INCREMENTAL; VACUUM");
    Exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

void Store::Rollback() {
    if (m_import) {
        m_memory.Forget();  // what this call changed in memory may be undone now
        if (m_savepoint) {
            Run("ROLLBACK TO qvtr_call");
            Run("RELEASE qvtr_call");
        }
    } else if (m_writing) {
        if (!sqlite3_get_autocommit(m_db)) {  // SQLite may have rolled back already
            Run("ROLLBACK");
        }
        WriteEnds(false);
    }
}

LONG Store::BeginImport() {
    if (m_import || m_snapshot) {
        return ERROR_BUSY;  // one import at a time per process
    }
    if (!Run("BEGIN IMMEDIATE")) {
        return LastError();
    }
    WriteBegins();
    m_import = true;
    return ERROR_SUCCESS;
}

LONG Store::EndImport(bool commit) {
    if (!m_import) {
        return ERROR_INVALID_FUNCTION;
    }
    m_import = false;
    LONG result = ERROR_SUCCESS;
    bool committed = false;
    if (!commit) {
        result = Run("ROLLBACK") ? ERROR_SUCCESS : LastError();
    } else if (PublishChanges() && Run("COMMIT")) {
        committed = true;
        GiveSpaceBack();
    } else {
        result = LastError();
        Run("ROLLBACK");
    }
    WriteEnds(committed);
    return result;
}

LONG Store::BeginSnapshot() {
    if (m_import || m_snapshot) {
        return ERROR_BUSY;
    }
    if (!Run("BEGIN")) {
        return LastError();
    }
    m_snapshot = true;
    return ERROR_SUCCESS;
}

LONG Store::EndSnapshot() {
    if (!m_snapshot) {
        return ERROR_INVALID_FUNCTION;
    }
    m_snapshot = false;
    const LONG result = Run("COMMIT") ? ERROR_SUCCESS : LastError();
    // What was read may be older than what others wrote meanwhile.
    m_memory.Forget();
    m_synced = false;
    return result;
}

LONG Store::LastError() const {
    if (t_sizeLimitHit) {
        return ERROR_DISK_FULL;  // a full disk, or the file-size limit: full as far as this process may go
    }
    const int code = sqlite3_extended_errcode(m_db);
    if ((code & 0xFF) == SQLITE_IOERR || (code & 0xFF) == SQLITE_PROTOCOL) {
        m_broken = true;
    }
    return SqliteToWin32(code);
}

LONG Store::Reconnect() {
    if (m_import || m_snapshot || m_writing) {
        return ERROR_SUCCESS;  // not in the middle of a transaction: its end will tell
    }
    for (auto& statement : m_statements) {
        sqlite3_finalize(statement.second);
    }
    m_statements.clear();
    sqlite3_close_v2(m_db);  // the last connection to the file: SQLite lets go of its locks and mapping
    m_db = nullptr;
    m_header = nullptr;
    if (m_headerFd >= 0) {
        Sys().close(m_headerFd);
        m_headerFd = -1;
    }
    m_memory.Forget();
    m_synced = false;
    std::string reason;
    if (!Connect(reason)) {
        return m_db != nullptr ? LastError() : static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY);
    }
    m_broken = false;
    return ERROR_SUCCESS;
}

}  // namespace reg
}  // namespace posix
