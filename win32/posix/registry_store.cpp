// The SQLite store under the POSIX registry: opening, schema, statements,
// transactions and waiting out other processes.
#include "win32/posix/registry_store.h"
#include "win32/posix/safe_files.h"
#include "win32/posix/syscalls.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
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

std::atomic<bool> g_opened{false};
Store* g_store = nullptr;
LONG g_openError = ERROR_SUCCESS;
pthread_mutex_t g_openMutex = PTHREAD_MUTEX_INITIALIZER;

// A child of fork must not use its parent's connection: it opens its own.
void AfterFork() {
    g_opened.store(false);
    g_store = nullptr;  // the parent's connection is left alone, never closed here
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    g_openMutex = fresh;
}

bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (Sys().mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
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

std::string DatabasePath() {
    if (const char* path = std::getenv("QVTR_REGISTRY"); path != nullptr && *path != '\0') {
        return path;
    }
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return std::string(data) + "/qvtr/registry.db";
    }
    // Never a shared directory: the home the password database gives, whatever $HOME says or lacks.
    const std::string home = PasswordHome();
    return home.empty() ? std::string() : home + "/.local/share/qvtr/registry.db";
}

// Whether this thread's latest failed step ran into the file-size limit: the
// rollback that follows a failure must not hide it.
thread_local bool t_sizeLimitHit = false;

int StepWithRetry(sqlite3_stmt* statement) {
    const auto start = std::chrono::steady_clock::now();
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        const unsigned limitsBefore = FileSizeGuard::LimitsHit();
        int rc;
        {
            // A write past the file-size limit fails (disk full) instead of killing the host.
            FileSizeGuard guard;
            rc = sqlite3_step(statement);
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE && FileSizeGuard::LimitsHit() != limitsBefore) {
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

Store* Store::Get(LONG& error) {
    if (g_opened.load(std::memory_order_acquire)) {
        error = g_openError;
        return g_store;
    }
    static const int registered = pthread_atfork(nullptr, nullptr, AfterFork);
    (void)registered;
    pthread_mutex_lock(&g_openMutex);
    if (!g_opened.load()) {
        // Lives for the rest of the process: other objects' destructors may still need it.
        auto* store = new Store;
        const std::string path = DatabasePath();
        std::string reason;
        // Opening (and closing) may grow SQLite's files: past the size limit that fails.
        FileSizeGuard guard;
        if (store->Open(path, reason)) {
            g_store = store;
            g_openError = ERROR_SUCCESS;
        } else {
            std::fprintf(stderr, "qvtr: cannot open the registry %s: %s\n", path.c_str(), reason.c_str());
            g_store = nullptr;
            g_openError = store->m_db ? store->LastError() : ERROR_REGISTRY_IO_FAILED;
            if (store->m_db) {
                sqlite3_close_v2(store->m_db);
            }
            delete store;
        }
        g_opened.store(true, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_openMutex);
    error = g_openError;
    return g_store;
}

// Opens the store file, creating it the owner's alone; refuses what another user
// could have put in its place.
static bool OpenStoreFile(const std::string& path, std::string& reason) {
    struct stat info {};
    int fd = OpenChecked(path.c_str(), O_RDWR, 0, info);
    if (fd < 0 && errno == ENOENT) {
        fd = OpenChecked(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600, info);
    }
    if (fd < 0) {
        reason =
            errno == EACCES ? "it is not a regular file of yours, or others can write to it" : std::strerror(errno);
        return false;
    }
    Sys().close(fd);
    return true;
}

bool Store::Open(const std::string& path, std::string& reason) {
    if (path.empty() || path[0] != '/') {
        reason = "no home directory in the password database; set QVTR_REGISTRY to an absolute path";
        return false;
    }
    if (!MakeDirectories(path)) {
        reason = std::string("cannot create its directory: ") + std::strerror(errno);
        return false;
    }
    const size_t slash = path.rfind('/');
    if (CheckDirectoryChain(slash == 0 ? "/" : path.substr(0, slash)) != ERROR_SUCCESS) {
        reason = "a directory on its path belongs to another user or others can write to it";
        return false;
    }
    // Created by us first, so that it (and SQLite's -wal and -shm beside it) is the owner's alone.
    if (!OpenStoreFile(path, reason)) {
        return false;
    }
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        reason = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        return false;
    }
    MapCounters(path + "-seq");
    sqlite3_busy_timeout(m_db, 2000);
    sqlite3_extended_result_codes(m_db, 1);
    // WAL: readers never wait for writers. NORMAL: a commit survives the death of
    // any process; only a power loss can take back the latest commits.
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL") ||
        !Exec("PRAGMA journal_size_limit=4194304") || !EnsureSchema()) {
        reason = sqlite3_errmsg(m_db);
        return false;
    }
    return true;
}

bool Store::EnsureSchema() {
    bool present = false;
    {
        Statement check = Prepare("SELECT count(*) FROM sqlite_master WHERE name = 'vals'");
        present = check.Step() == SQLITE_ROW && check.Int(0) == 1;  // the common case: nothing to write
    }
    if (!present) {
        if (!Exec("BEGIN IMMEDIATE")) {
            return false;
        }
        if (!Exec(kSchema) || !Exec("COMMIT")) {
            Exec("ROLLBACK");
            return false;
        }
    }
    m_classesPath = std::string(kMachineRoot) + "\\SOFTWARE\\CLASSES";
    // The current user's key is named as Samba names a Unix user: S-1-22-1-uid.
    const std::string sid = "S-1-22-1-" + std::to_string(static_cast<unsigned long>(getuid()));
    m_userPath = std::string(kUsersRoot) + "\\" + sid;
    return EnsureKey(std::string(kMachineRoot) + "\\SOFTWARE", "SOFTWARE", kMachineRoot) &&
           EnsureKey(m_classesPath, "Classes", std::string(kMachineRoot) + "\\SOFTWARE") &&
           EnsureKey(std::string(kUsersRoot) + "\\.DEFAULT", ".DEFAULT", kUsersRoot) &&
           EnsureKey(m_userPath, sid, kUsersRoot);
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

void Store::MapCounters(const std::string& path) {
    const int fd = Sys().open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (Sys().fstat(fd, &info) == 0 &&
        (info.st_size >= static_cast<off_t>(sizeof(Counters)) || Sys().ftruncate(fd, sizeof(Counters)) == 0)) {
        void* memory = Sys().mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory != MAP_FAILED) {
            m_counters = static_cast<Counters*>(memory);  // a zero-filled file is two zero counters
        }
    }
    Sys().close(fd);
}

void Store::WriteBegins() {
    if (m_counters == nullptr) {
        return;
    }
    // The write lock is ours: any earlier writer is done, whether it said so or not.
    m_counters->ended.store(m_counters->begun.load());
    m_ticket = m_counters->begun.fetch_add(1) + 1;
}

void Store::WriteEnds() {
    if (m_counters == nullptr) {
        return;
    }
    uint64_t ended = m_counters->ended.load();
    while (ended < m_ticket && !m_counters->ended.compare_exchange_weak(ended, m_ticket)) {
    }
}

bool Store::CacheReady(uint64_t& snapshot) {
    if (m_counters == nullptr || m_import) {
        return false;
    }
    const uint64_t ended = m_counters->ended.load();  // first: "begun" is never behind it
    const uint64_t begun = m_counters->begun.load();
    if (begun != ended) {
        return false;
    }
    if (begun != m_cacheTag) {
        m_cachedKeys.clear();
        m_cachedValues.clear();
        m_cacheTag = begun;
    }
    snapshot = begun;
    return true;
}

bool Store::Settled(uint64_t snapshot) const {
    const uint64_t ended = m_counters->ended.load();
    return ended == snapshot && m_counters->begun.load() == snapshot;
}

bool Store::Begin() {
    t_sizeLimitHit = false;
    if (m_import) {
        return Run("SAVEPOINT qvtr_call");
    }
    if (!Run("BEGIN IMMEDIATE")) {
        return false;
    }
    WriteBegins();
    return true;
}

bool Store::Commit() {
    if (m_import) {
        if (Run("RELEASE qvtr_call")) {
            return true;
        }
        Rollback();
        return false;
    }
    const bool committed = Run("COMMIT");
    if (!committed) {
        Run("ROLLBACK");
    }
    WriteEnds();
    return committed;
}

void Store::Rollback() {
    if (m_import) {
        Run("ROLLBACK TO qvtr_call");
        Run("RELEASE qvtr_call");
    } else if (!sqlite3_get_autocommit(m_db)) {
        Run("ROLLBACK");
        WriteEnds();
    }
}

LONG Store::BeginImport() {
    if (m_import) {
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
    if (!commit) {
        result = Run("ROLLBACK") ? ERROR_SUCCESS : LastError();
    } else if (!Run("COMMIT")) {
        result = LastError();
        Run("ROLLBACK");
    }
    WriteEnds();
    return result;
}

LONG Store::LastError() const {
    if (t_sizeLimitHit) {
        return ERROR_DISK_FULL;  // the file-size limit: the disk is full as far as this process may go
    }
    return SqliteToWin32(sqlite3_extended_errcode(m_db));
}

}  // namespace reg
}  // namespace posix
