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

// Entries of the change ring, and of each kind of memory.
constexpr uint64_t kRingSize = 8192;
constexpr size_t kMemoryLimit = 4096;
constexpr uint64_t kSharedMagic = 0x314B525452565151ull;

// What a ring entry names: its kind in the top byte, a key's row id below.
constexpr uint64_t kValueOf = 1ull << 56;   // hash: the value's folded name
constexpr uint64_t kSubKeyOf = 2ull << 56;  // hash: the sub-key's folded path
constexpr uint64_t kKeyGone = 3ull << 56;   // the key, its values and positions
constexpr uint64_t kAllChanged = 4ull << 56;
constexpr uint64_t kIdMask = (1ull << 56) - 1;

uint64_t Hash(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a: the same in every process
    for (unsigned char c : bytes) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

}  // namespace

struct Store::Shared {
    std::atomic<uint64_t> begun;  // the first two stay where older builds put them
    std::atomic<uint64_t> ended;
    std::atomic<uint64_t> magic;
    std::atomic<uint64_t> logged;  // entries ever appended to the ring
    struct Entry {
        std::atomic<uint64_t> what;
        std::atomic<uint64_t> hash;
    } ring[kRingSize];
};

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
    MapShared(path + "-seq");
    sqlite3_busy_timeout(m_db, 2000);
    sqlite3_extended_result_codes(m_db, 1);
    // WAL: readers never wait for writers. NORMAL: a commit survives the death of
    // any process; only a power loss can take back the latest commits.
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL") ||
        !Exec("PRAGMA journal_size_limit=4194304") || !Exec("PRAGMA cache_size=-32768") || !EnsureSchema()) {
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

void Store::MapShared(const std::string& path) {
    const int fd = Sys().open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    void* memory = MAP_FAILED;
    if (Sys().fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        (info.st_size >= static_cast<off_t>(sizeof(Shared)) || Sys().ftruncate(fd, sizeof(Shared)) == 0)) {
        memory = Sys().mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    Sys().close(fd);
    if (memory == MAP_FAILED) {
        return;
    }
    auto* shared = static_cast<Shared*>(memory);  // a zero-filled file is an empty ring
    uint64_t magic = 0;
    shared->magic.compare_exchange_strong(magic, kSharedMagic);
    if (shared->magic.load() != kSharedMagic) {
        Sys().munmap(memory, sizeof(Shared));
        return;
    }
    m_shared = shared;
    m_logRead = shared->logged.load();
}

void Store::WriteBegins() {
    m_writing = true;
    if (m_shared == nullptr) {
        return;
    }
    // The write lock is ours: any earlier writer is done, whether it said so or not.
    const uint64_t begun = m_shared->begun.load();
    m_shared->ended.store(begun);
    if (begun != m_synced) {
        CatchUp();
    }
    m_ticket = begun + 1;
    m_shared->begun.store(m_ticket);
}

void Store::WriteEnds() {
    m_writing = false;
    if (m_shared == nullptr) {
        return;
    }
    uint64_t ended = m_shared->ended.load();
    while (ended < m_ticket && !m_shared->ended.compare_exchange_weak(ended, m_ticket)) {
    }
}

// Called before the write lock is let go: what follows in the ring is another writer's.
void Store::OwnChangesAnnounced(bool kept) {
    if (!kept) {
        Forget();
    }
    if (m_shared != nullptr) {
        m_logRead = m_shared->logged.load();
        m_synced = m_ticket;
    }
}

void Store::CatchUp() {
    const uint64_t end = m_shared->logged.load();
    if (end < m_logRead || end - m_logRead > kRingSize) {
        Forget();
    } else {
        for (uint64_t i = m_logRead; i < end; ++i) {
            const Shared::Entry& entry = m_shared->ring[i % kRingSize];
            const uint64_t what = entry.what.load();
            const uint64_t hash = entry.hash.load();
            const int64_t id = static_cast<int64_t>(what & kIdMask);
            switch (what & ~kIdMask) {
                case kValueOf:
                    ForgetValue(id, hash);
                    break;
                case kSubKeyOf:
                    ForgetKey(id, hash);
                    break;
                case kKeyGone:
                    ForgetKeyContents(id);
                    break;
                default:
                    Forget();
                    break;
            }
        }
        // A writer that began meanwhile may have written over what was just read.
        if (m_shared->logged.load() - m_logRead >= kRingSize) {
            Forget();
        }
    }
    m_logRead = end;
}

void Store::Forget() {
    ++m_generation;
    m_cachedKeys.clear();
    m_keys.clear();
    m_cachedValueCount = 0;
}

void Store::ForgetKey(int64_t parent, uint64_t pathHash) {
    ++m_generation;
    m_cachedKeys.erase(pathHash);
    auto found = m_keys.find(parent);
    if (found != m_keys.end()) {
        found->second.subKeys.valid = false;
        found->second.counted = false;
    }
}

void Store::ForgetValue(int64_t key, uint64_t nameHash) {
    ++m_generation;
    auto found = m_keys.find(key);
    if (found != m_keys.end()) {
        m_cachedValueCount -= found->second.values.erase(nameHash);
        found->second.valueCursor.valid = false;
        found->second.counted = false;
    }
}

void Store::ForgetKeyContents(int64_t id) {
    ++m_generation;
    auto found = m_keys.find(id);
    if (found != m_keys.end()) {
        m_cachedValueCount -= found->second.values.size();
        m_keys.erase(found);
    }
}

void Store::Announce(uint64_t what, uint64_t hash) {
    ++m_generation;
    if (m_shared == nullptr) {
        return;
    }
    const uint64_t position = m_shared->logged.load();
    Shared::Entry& entry = m_shared->ring[position % kRingSize];
    entry.what.store(what);
    entry.hash.store(hash);
    m_shared->logged.store(position + 1);
}

bool Store::Sync(uint64_t& snapshot) {
    if (m_shared == nullptr) {
        return false;
    }
    if (m_writing) {
        snapshot = m_ticket;  // only this process can change anything now
        return true;
    }
    const uint64_t ended = m_shared->ended.load();  // first: "begun" is never behind it
    const uint64_t begun = m_shared->begun.load();
    if (begun != ended) {
        return false;
    }
    if (begun != m_synced) {
        CatchUp();
        m_synced = begun;
    }
    snapshot = begun;
    return true;
}

bool Store::Settled(uint64_t snapshot) const {
    if (m_writing) {
        return true;
    }
    const uint64_t ended = m_shared->ended.load();
    return ended == snapshot && m_shared->begun.load() == snapshot;
}

bool Store::FindCachedKey(const std::string& path, int64_t& id) const {
    auto found = m_cachedKeys.find(Hash(path));
    if (found == m_cachedKeys.end() || found->second.path != path) {
        return false;
    }
    id = found->second.id;
    return true;
}

void Store::CacheKey(const std::string& path, int64_t id) {
    if (m_cachedKeys.size() >= kMemoryLimit) {
        m_cachedKeys.clear();
    }
    CachedKey& entry = m_cachedKeys[Hash(path)];
    entry.path = path;
    entry.id = id;
}

Store::KeyMemory& Store::MemoryOf(int64_t key) {
    auto found = m_keys.find(key);
    if (found != m_keys.end()) {
        return found->second;
    }
    // What is dropped is only asked of the database again; a key enumerated
    // half-way is kept where possible, its next step would start over.
    while (m_keys.size() >= kMemoryLimit) {
        auto victim = m_keys.begin();
        int tries = 16;
        for (auto it = victim; it != m_keys.end() && tries-- > 0; ++it) {
            const KeyMemory& memory = it->second;
            if (!(memory.subKeys.valid && memory.subKeys.below > 0) &&
                !(memory.valueCursor.valid && memory.valueCursor.below > 0)) {
                victim = it;
                break;
            }
        }
        m_cachedValueCount -= victim->second.values.size();
        m_keys.erase(victim);
    }
    return m_keys[key];
}

const Store::CachedValue* Store::FindCachedValue(int64_t key, const std::string& folded) const {
    auto memory = m_keys.find(key);
    if (memory == m_keys.end()) {
        return nullptr;
    }
    auto found = memory->second.values.find(Hash(folded));
    return found != memory->second.values.end() && found->second.name == folded ? &found->second : nullptr;
}

void Store::CacheValue(int64_t key, const std::string& folded, const CachedValue& value) {
    if (m_cachedValueCount >= kMemoryLimit) {
        for (auto& memory : m_keys) {
            memory.second.values.clear();
        }
        m_cachedValueCount = 0;
    }
    auto& values = MemoryOf(key).values;
    auto inserted = values.emplace(Hash(folded), value);
    if (inserted.second) {
        ++m_cachedValueCount;
    } else {
        inserted.first->second = value;
    }
    inserted.first->second.name = folded;
}

Store::KeyMemory* Store::Known(int64_t key) {
    auto found = m_keys.find(key);
    return found != m_keys.end() ? &found->second : nullptr;
}

void Store::KeyAdded(int64_t parent, int64_t id, const std::string& path) {
    Announce(kSubKeyOf | static_cast<uint64_t>(parent), Hash(path));
    CacheKey(path, id);
    auto found = m_keys.find(parent);
    if (found == m_keys.end()) {
        return;
    }
    found->second.counted = false;
    if (found->second.subKeys.valid && path < found->second.subKeys.at) {
        ++found->second.subKeys.below;
    }
}

void Store::KeyRemoved(int64_t parent, int64_t id, const std::string& path) {
    Announce(kSubKeyOf | static_cast<uint64_t>(parent), Hash(path));
    Announce(kKeyGone | static_cast<uint64_t>(id), 0);
    CacheKey(path, 0);
    ForgetKeyContents(id);
    auto found = m_keys.find(parent);
    if (found == m_keys.end()) {
        return;
    }
    found->second.counted = false;
    if (found->second.subKeys.valid && path < found->second.subKeys.at) {
        KeyCursor& cursor = found->second.subKeys;
        cursor.valid = cursor.below > 0;
        cursor.below -= cursor.valid ? 1 : 0;
    }
}

void Store::ValueWritten(int64_t key, const std::string& folded, int64_t rowid) {
    Announce(kValueOf | static_cast<uint64_t>(key), Hash(folded));
    auto found = m_keys.find(key);
    if (found == m_keys.end()) {
        return;
    }
    m_cachedValueCount -= found->second.values.erase(Hash(folded));
    found->second.counted = false;
    // A new value comes after every other; one before the position was rewritten in place.
    ValueCursor& cursor = found->second.valueCursor;
    if (cursor.valid && rowid < cursor.at) {
        cursor.valid = false;
    }
}

void Store::ValueRemoved(int64_t key, const std::string& folded, int64_t rowid) {
    Announce(kValueOf | static_cast<uint64_t>(key), Hash(folded));
    auto found = m_keys.find(key);
    if (found == m_keys.end()) {
        return;
    }
    m_cachedValueCount -= found->second.values.erase(Hash(folded));
    found->second.counted = false;
    ValueCursor& cursor = found->second.valueCursor;
    if (cursor.valid && rowid < cursor.at) {
        cursor.valid = cursor.below > 0;
        cursor.below -= cursor.valid ? 1 : 0;
    }
}

void Store::EverythingChanged() {
    Announce(kAllChanged, 0);
    Forget();
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
    OwnChangesAnnounced(true);
    const bool committed = Run("COMMIT");
    if (!committed) {
        OwnChangesAnnounced(false);
        Run("ROLLBACK");
    }
    WriteEnds();
    return committed;
}

void Store::Rollback() {
    if (m_import) {
        Forget();  // what this call changed in memory may be undone now
        if (m_savepoint) {
            Run("ROLLBACK TO qvtr_call");
            Run("RELEASE qvtr_call");
        }
    } else if (m_writing) {
        OwnChangesAnnounced(false);
        if (!sqlite3_get_autocommit(m_db)) {  // SQLite may have rolled back already
            Run("ROLLBACK");
        }
        WriteEnds();
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
    OwnChangesAnnounced(commit);
    if (!commit) {
        result = Run("ROLLBACK") ? ERROR_SUCCESS : LastError();
    } else if (!Run("COMMIT")) {
        result = LastError();
        OwnChangesAnnounced(false);
        Run("ROLLBACK");
    }
    WriteEnds();
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
    Forget();
    return result;
}

LONG Store::LastError() const {
    if (t_sizeLimitHit) {
        return ERROR_DISK_FULL;  // a full disk, or the file-size limit: full as far as this process may go
    }
    return SqliteToWin32(sqlite3_extended_errcode(m_db));
}

}  // namespace reg
}  // namespace posix
