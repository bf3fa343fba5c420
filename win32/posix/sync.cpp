// Mutexes and events, named or not, and the security descriptor calls.
//
// A named object is one page of POSIX shared memory holding a process-shared,
// robust pthread mutex (recursive for a Win32 mutex; the guard of an event).
// Every process maps a name once, however many handles it has.
//
// Which processes hold handles is kept by the kernel, not by a counter that a
// killed process would leave behind: a process with handles holds a shared
// open-file-description lock on the object's first byte. Whoever takes the
// exclusive lock is alone, so it (re)creates the object; that is also how a
// name's last handle makes the object disappear for the next creator.
//
// When a process closes its last handle to a name it keeps the mapping for the
// next use (mapping costs more than everything else together); the file is
// removed by the process that drops the mapping last, at exit or when its cache
// of unused mappings overflows. A removed object is marked dead, under the
// exclusive lock, so that a process still mapping it goes back to the name. A
// file that cannot be removed (a machine-wide one of another user, in a sticky
// directory) stays alive instead, and the next creator takes it over.
//
// The file's content is only trusted once validated, and no step loops without
// bound: a damaged object that someone keeps holding is refused, not waited on.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "win32/posix/named_objects.h"
#include "win32/posix/posix.h"
#include "win32/posix/syscalls.h"

namespace posix {

namespace {

constexpr DWORD kErrorUnknownRevision = ERROR_UNKNOWN_REVISION;
constexpr WORD kSelfRelative = 0x8000;

constexpr uint32_t kMagic = 0x52545651;  // "QVTR"
constexpr uint32_t kLayout = 1;

struct SharedBlock {
    std::atomic<uint32_t> magic;  // kMagic once the creator has set the object up
    uint32_t layout;
    uint32_t kind;
    std::atomic<uint32_t> dead;  // the name no longer leads here
    uint32_t mode;               // permission bits last given to the file
    uint32_t manualReset;
    uint32_t signaled;
    pthread_mutex_t mutex;  // the Win32 mutex, or the guard of an event
    pthread_cond_t changed;
};

constexpr size_t kBlockSize = 4096;
constexpr unsigned kMaxAttempts = 64;
static_assert(sizeof(SharedBlock) <= kBlockSize, "one page per object");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "atomics in shared memory must be lock-free");

struct Request {
    ObjectKind kind;
    mode_t mode;
    bool manualReset;
    bool signaled;
};

void InitBlock(SharedBlock* block, const Request& request) {
    block->magic.store(0, std::memory_order_relaxed);
    block->dead.store(0, std::memory_order_relaxed);
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes,
                              request.kind == ObjectKind::kMutex ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
    pthread_mutex_init(&block->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (request.kind == ObjectKind::kEvent) {
        pthread_condattr_t condition;
        pthread_condattr_init(&condition);
        pthread_condattr_setpshared(&condition, PTHREAD_PROCESS_SHARED);
        pthread_condattr_setclock(&condition, CLOCK_MONOTONIC);
        pthread_cond_init(&block->changed, &condition);
        pthread_condattr_destroy(&condition);
    }
    block->layout = kLayout;
    block->kind = static_cast<uint32_t>(request.kind);
    block->manualReset = request.manualReset;
    block->signaled = request.signaled;
    block->magic.store(kMagic, std::memory_order_release);
}

// ---- the lock that says who holds handles -------------------------------------

bool SetLock(int fd, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    int result;
    do {
        result = Sys().fcntlLock(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (result < 0 && errno == EINTR);
    return result == 0;
}

bool OthersHold(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    return Sys().fcntlLock(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

// ---- one object as this process sees it ----------------------------------------

struct Entry {
    std::string path;  // empty for an unnamed object
    int dir = -1;
    size_t fileOffset = 0;  // of the name within `dir`, in `path`
    bool global = false;
    int fd = -1;
    SharedBlock* block = nullptr;
    size_t handles = 0;
    uint64_t lastUse = 0;
    std::unique_ptr<SharedBlock> privateBlock;  // unnamed objects live in this process only

    const char* File() const { return path.c_str() + fileOffset; }
};

// Never through a link, never blocking on a FIFO planted under the name.
constexpr int kOpenFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

DWORD OpenError(int error) {
    return error == ELOOP ? ERROR_ACCESS_DENIED : ErrnoToWin32(error);
}

DWORD OpenFile(Entry& entry, mode_t mode) {
    for (unsigned attempt = 0; attempt < kMaxAttempts; ++attempt) {
        int fd = Sys().openat(entry.dir, entry.File(), kOpenFlags | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == ENOENT && !entry.global) {
            ForgetUserDirectory(entry.dir);  // removed under us; the next call finds or makes another
            return ERROR_PATH_NOT_FOUND;
        }
        if (fd < 0 && errno == EEXIST) {
            fd = Sys().openat(entry.dir, entry.File(), kOpenFlags, 0);
            if (fd < 0 && errno == ENOENT) {
                continue;  // removed meanwhile
            }
        }
        if (fd < 0) {
            return OpenError(errno);
        }
        struct stat info {};
        const DWORD error = Sys().fstat(fd, &info) != 0 ? ErrnoToWin32(errno) : CheckObjectFile(info, entry.global);
        if (error != ERROR_SUCCESS) {
            Sys().close(fd);
            if (error == ERROR_ACCESS_DENIED && S_ISREG(info.st_mode) && info.st_nlink == 0) {
                continue;  // a process that held it last removed it meanwhile
            }
            return error;
        }
        entry.fd = fd;
        return ERROR_SUCCESS;
    }
    return ERROR_ACCESS_DENIED;  // someone keeps replacing the name
}

// Maps the file; a file of the wrong size (its creator died before setting it
// up, or it is not ours) is resized only when `grow` is set, else left unmapped.
DWORD MapFile(Entry& entry, bool grow) {
    struct stat info {};
    if (Sys().fstat(entry.fd, &info) != 0) {
        return ErrnoToWin32(errno);
    }
    if (static_cast<size_t>(info.st_size) != kBlockSize) {
        if (!grow) {
            return ERROR_SUCCESS;
        }
        if (Sys().ftruncate(entry.fd, kBlockSize) != 0) {
            return ErrnoToWin32(errno);
        }
    }
    void* memory = Sys().mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, entry.fd, 0);
    if (memory == MAP_FAILED) {
        return ErrnoToWin32(errno);
    }
    entry.block = static_cast<SharedBlock*>(memory);
    return ERROR_SUCCESS;
}

void DropMapping(Entry& entry) {
    if (entry.block != nullptr) {
        Sys().munmap(entry.block, kBlockSize);
        entry.block = nullptr;
    }
    if (entry.fd >= 0) {
        Sys().close(entry.fd);  // also lets go of this process's lock
        entry.fd = -1;
    }
}

// The caller holds the exclusive lock: the object is this process's to set up.
// On failure the mapping is gone.
DWORD Create(Entry& entry, const Request& request, bool& created) {
    if (entry.block == nullptr) {
        const DWORD error = MapFile(entry, true);
        if (error != ERROR_SUCCESS) {
            DropMapping(entry);
            return error;
        }
    }
    InitBlock(entry.block, request);
    if (entry.block->mode != request.mode) {
        // The umask must not narrow the mode asked for; not the owner: keep the file's.
        Sys().fchmod(entry.fd, request.mode);
        entry.block->mode = request.mode;
    }
    SetLock(entry.fd, F_RDLCK, false);  // a downgrade never conflicts
    created = true;
    return ERROR_SUCCESS;
}

// Made by this code, of a kind it knows.
bool Valid(const SharedBlock* block) {
    return block != nullptr && block->magic.load(std::memory_order_acquire) == kMagic && block->layout == kLayout &&
           (block->kind == static_cast<uint32_t>(ObjectKind::kMutex) ||
            block->kind == static_cast<uint32_t>(ObjectKind::kEvent));
}

DWORD Unmapped(Entry& entry, DWORD error) {
    DropMapping(entry);
    return error;
}

bool NameLeadsTo(const Entry& entry) {
    struct stat mine {};
    struct stat named {};
    return Sys().fstat(entry.fd, &mine) == 0 &&
           Sys().fstatat(entry.dir, entry.File(), &named, AT_SYMLINK_NOFOLLOW) == 0 && mine.st_dev == named.st_dev &&
           mine.st_ino == named.st_ino;
}

// Makes this process a holder of the object behind `entry`, creating the object
// when no other process holds it.
DWORD Join(Entry& entry, const Request& request, bool& created) {
    for (unsigned attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (entry.fd < 0) {
            const DWORD error = OpenFile(entry, request.mode);
            if (error != ERROR_SUCCESS) {
                return error;
            }
        }
        // A dead object was removed after this process opened it, and the name
        // leads elsewhere now; one that the name still leads to was left by an
        // older build and is taken over like any other.
        if (SetLock(entry.fd, F_WRLCK, false)) {
            const DWORD mapped = entry.block != nullptr ? ERROR_SUCCESS : MapFile(entry, true);
            if (mapped != ERROR_SUCCESS) {
                return Unmapped(entry, mapped);
            }
            if (entry.block->dead.load() && !NameLeadsTo(entry)) {
                DropMapping(entry);
                continue;
            }
            return Create(entry, request, created);
        }
        if (errno != EAGAIN && errno != EACCES) {
            return Unmapped(entry, ErrnoToWin32(errno));
        }
        // Others hold it, or its creator is setting it up: wait for that, then join.
        if (!SetLock(entry.fd, F_RDLCK, true)) {
            return Unmapped(entry, ErrnoToWin32(errno));
        }
        if (entry.block == nullptr) {
            const DWORD error = MapFile(entry, false);
            if (error != ERROR_SUCCESS) {
                return Unmapped(entry, error);
            }
        }
        SharedBlock* block = entry.block;
        const bool dead = block != nullptr && block->dead.load();
        if (dead && !NameLeadsTo(entry)) {
            DropMapping(entry);
            continue;
        }
        if (!dead && Valid(block) && OthersHold(entry.fd)) {
            if (block->kind != static_cast<uint32_t>(request.kind)) {
                SetLock(entry.fd, F_UNLCK, false);
                return ERROR_INVALID_HANDLE;
            }
            created = false;
            return ERROR_SUCCESS;
        }
        // The others let go meanwhile, or a creator died half-way: take the object over.
        if (SetLock(entry.fd, F_WRLCK, false)) {
            return Create(entry, request, created);
        }
        // Another process is taking it over too, or a holder keeps a damaged
        // object: step back a little and look again, a bounded number of times.
        SetLock(entry.fd, F_UNLCK, false);
        usleep(200 + (static_cast<unsigned>(getpid()) + attempt * 7919) % 800);
    }
    return Unmapped(entry, ERROR_INVALID_HANDLE);
}

// Removes the object's name when no other process holds it, and marks it dead
// only then: an object left under its name must stay usable.
void RemoveIfUnused(Entry& entry) {
    if (entry.fd >= 0 && entry.block != nullptr && SetLock(entry.fd, F_WRLCK, false) && !entry.block->dead.load() &&
        NameLeadsTo(entry) && Sys().unlinkat(entry.dir, entry.File(), 0) == 0) {
        entry.block->dead.store(1);
    }
}

// ---- the process's named objects -------------------------------------------------

class Registry {
public:
    Registry() : m_pid(getpid()) { std::atexit(RemoveAtExit); }

    // An entry with one more handle, or null with the Win32 error set.
    Entry* Acquire(const ObjectPlace& place, const Request& request, bool& created) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_entries.find(place.path);
        if (found != m_entries.end() && found->second->handles > 0) {
            Entry* entry = found->second.get();
            if (entry->block->kind != static_cast<uint32_t>(request.kind)) {
                return Fail(ERROR_INVALID_HANDLE);
            }
            ++entry->handles;
            created = false;
            return entry;
        }
        Entry* entry = nullptr;
        if (found != m_entries.end()) {
            entry = found->second.get();
            --m_unused;
        } else {
            auto fresh = std::make_unique<Entry>();
            fresh->path = place.path;
            fresh->dir = place.dir;
            fresh->fileOffset = place.fileOffset;
            fresh->global = place.global;
            entry = fresh.get();
            m_entries.emplace(place.path, std::move(fresh));
        }
        const DWORD error = Join(*entry, request, created);
        if (error != ERROR_SUCCESS) {
            Unused(*entry);
            return Fail(error);
        }
        entry->handles = 1;
        return entry;
    }

    void Release(Entry& entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--entry.handles > 0) {
            return;
        }
        SetLock(entry.fd, F_UNLCK, false);
        Unused(entry);
    }

private:
    static constexpr size_t kMaxUnused = 16;

    // The entry has no handles: keep its mapping for the next use, within limits.
    void Unused(Entry& entry) {
        if (entry.fd < 0) {
            m_entries.erase(entry.path);
            return;
        }
        entry.lastUse = ++m_clock;
        if (++m_unused <= kMaxUnused) {
            return;
        }
        auto oldest = m_entries.end();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->second->handles == 0 &&
                (oldest == m_entries.end() || it->second->lastUse < oldest->second->lastUse)) {
                oldest = it;
            }
        }
        RemoveIfUnused(*oldest->second);
        DropMapping(*oldest->second);
        m_entries.erase(oldest);
        --m_unused;
    }

    static void RemoveAtExit();

    std::mutex m_mutex;
    std::unordered_map<std::string, std::unique_ptr<Entry>> m_entries;
    size_t m_unused = 0;
    uint64_t m_clock = 0;
    pid_t m_pid;
};

Registry& Objects() {
    static Registry* registry = new Registry;  // handles may outlive static destruction
    return *registry;
}

// Names whose last user this process is go with it. A forked child shares its
// parent's locks and must leave them alone.
void Registry::RemoveAtExit() {
    Registry& registry = Objects();
    // A thread stuck inside the registry at exit only costs the clean-up.
    std::unique_lock<std::mutex> lock(registry.m_mutex, std::try_to_lock);
    if (!lock.owns_lock() || getpid() != registry.m_pid) {
        return;
    }
    for (auto& item : registry.m_entries) {
        RemoveIfUnused(*item.second);
    }
}

// ---- handles ----------------------------------------------------------------------

struct SyncObject : KernelObject {
    SyncObject(Entry* shared, std::unique_ptr<Entry> own, ObjectKind objectKind)
        : entry(shared ? shared : own.get()), owned(std::move(own)), kind(objectKind) {}
    ~SyncObject() override {
        if (!owned) {
            Objects().Release(*entry);
        }
    }
    SharedBlock* Block() const { return entry->block; }

    Entry* entry;
    std::unique_ptr<Entry> owned;
    ObjectKind kind;
};

mode_t ModeFor(LPSECURITY_ATTRIBUTES attributes) {
    if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) {
        return 0600;
    }
    const auto* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
    const bool openToAll = descriptor->Revision == SECURITY_DESCRIPTOR_REVISION &&
                           (descriptor->Control & SE_DACL_PRESENT) != 0 && descriptor->Dacl == nullptr;
    return openToAll ? 0666 : 0600;
}

timespec DeadlineAfter(DWORD ms) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

DWORD WaitMutex(SharedBlock* block, DWORD ms) {
    int result;
    if (ms == INFINITE) {
        result = pthread_mutex_lock(&block->mutex);
    } else if (ms == 0) {
        result = pthread_mutex_trylock(&block->mutex);
    } else {
        const timespec deadline = DeadlineAfter(ms);
        result = pthread_mutex_clocklock(&block->mutex, CLOCK_MONOTONIC, &deadline);
    }
    switch (result) {
        case 0:
            return WAIT_OBJECT_0;
        case EOWNERDEAD:
            // The holder died: the caller owns the mutex now and hears that it was abandoned.
            pthread_mutex_consistent(&block->mutex);
            return WAIT_ABANDONED;
        case EBUSY:
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            SetError(ErrnoToWin32(result));
            return WAIT_FAILED;
    }
}

// Takes an event's guard; a process that died holding it left the state whole,
// since every change under the guard is one store.
void LockGuard(SharedBlock* block) {
    if (pthread_mutex_lock(&block->mutex) == EOWNERDEAD) {
        pthread_mutex_consistent(&block->mutex);
    }
}

DWORD WaitEvent(SharedBlock* block, DWORD ms) {
    const timespec deadline = DeadlineAfter(ms == INFINITE ? 0 : ms);
    LockGuard(block);
    while (block->signaled == 0) {
        int result = 0;
        if (ms == 0) {
            result = ETIMEDOUT;
        } else if (ms == INFINITE) {
            result = pthread_cond_wait(&block->changed, &block->mutex);
        } else {
            result = pthread_cond_clockwait(&block->changed, &block->mutex, CLOCK_MONOTONIC, &deadline);
        }
        if (result == EOWNERDEAD) {
            pthread_mutex_consistent(&block->mutex);
        } else if (result == ETIMEDOUT && block->signaled == 0) {
            pthread_mutex_unlock(&block->mutex);
            return WAIT_TIMEOUT;
        }
    }
    if (!block->manualReset) {
        block->signaled = 0;
    }
    pthread_mutex_unlock(&block->mutex);
    return WAIT_OBJECT_0;
}

HANDLE CreateObject(const Request& request, LPCSTR name, bool initialOwner) {
    HANDLE handle = nullptr;
    bool created = true;
    if (name == nullptr || *name == '\0') {
        auto own = std::make_unique<Entry>();
        own->privateBlock = std::make_unique<SharedBlock>();
        own->block = own->privateBlock.get();
        InitBlock(own->block, request);
        handle = InsertHandle(std::make_shared<SyncObject>(nullptr, std::move(own), request.kind));
    } else {
        Entry* entry = nullptr;
        // A second try when the user's directory vanished under the first.
        for (int attempt = 0; attempt < 2 && entry == nullptr; ++attempt) {
            const ObjectPlace place = PlaceOf(name);
            if (place.dir < 0) {
                return Fail(place.error);
            }
            entry = Objects().Acquire(place, request, created);
            if (entry == nullptr && Error() != ERROR_PATH_NOT_FOUND) {
                return nullptr;
            }
        }
        if (entry == nullptr) {
            return nullptr;
        }
        handle = InsertHandle(std::make_shared<SyncObject>(entry, nullptr, request.kind));
    }
    if (created && initialOwner) {
        WaitMutex(LookupHandleAs<SyncObject>(handle)->Block(), INFINITE);
    }
    SetError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return handle;
}

// ---- the table's entries -------------------------------------------------------------

HANDLE WINAPI CreateMutexAImpl(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name) {
    return CreateObject({ObjectKind::kMutex, ModeFor(attributes), false, false}, name, initialOwner);
}

HANDLE WINAPI CreateEventAImpl(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
    return CreateObject({ObjectKind::kEvent, ModeFor(attributes), manualReset != 0, initialState != 0}, name, false);
}

std::shared_ptr<SyncObject> ObjectOf(HANDLE handle, ObjectKind kind) {
    auto object = LookupHandleAs<SyncObject>(handle);
    if (!object || object->kind != kind) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return object;
}

BOOL WINAPI SetEventImpl(HANDLE handle) {
    auto event = ObjectOf(handle, ObjectKind::kEvent);
    if (!event) {
        return FALSE;
    }
    SharedBlock* block = event->Block();
    LockGuard(block);
    block->signaled = 1;
    pthread_cond_broadcast(&block->changed);
    pthread_mutex_unlock(&block->mutex);
    return TRUE;
}

DWORD WINAPI WaitForSingleObjectImpl(HANDLE handle, DWORD ms) {
    auto object = LookupHandleAs<SyncObject>(handle);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->kind == ObjectKind::kMutex ? WaitMutex(object->Block(), ms) : WaitEvent(object->Block(), ms);
}

BOOL WINAPI ReleaseMutexImpl(HANDLE handle) {
    auto mutex = ObjectOf(handle, ObjectKind::kMutex);
    if (!mutex) {
        return FALSE;
    }
    const int result = pthread_mutex_unlock(&mutex->Block()->mutex);
    if (result != 0) {
        return Fail(result == EPERM ? ERROR_NOT_OWNER : ErrnoToWin32(result));
    }
    return TRUE;
}

BOOL WINAPI InitializeSecurityDescriptorImpl(PSECURITY_DESCRIPTOR memory, DWORD revision) {
    if (revision != SECURITY_DESCRIPTOR_REVISION) {
        return Fail(kErrorUnknownRevision);
    }
    if (memory == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    auto* descriptor = new (memory) SECURITY_DESCRIPTOR{};
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDaclImpl(PSECURITY_DESCRIPTOR memory, BOOL present, PACL acl, BOOL defaulted) {
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(memory);
    if (descriptor == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return Fail(kErrorUnknownRevision);
    }
    if (descriptor->Control & kSelfRelative) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    descriptor->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (present) {
        descriptor->Control |= SE_DACL_PRESENT;
        if (defaulted) {
            descriptor->Control |= SE_DACL_DEFAULTED;
        }
        descriptor->Dacl = acl;
    }
    return TRUE;
}

}  // namespace

void BindSync(Win32Api& t) {
    t.CreateMutexA = CreateMutexAImpl;
    t.CreateEventA = CreateEventAImpl;
    t.SetEvent = SetEventImpl;
    t.WaitForSingleObject = WaitForSingleObjectImpl;
    t.ReleaseMutex = ReleaseMutexImpl;
    t.InitializeSecurityDescriptor = InitializeSecurityDescriptorImpl;
    t.SetSecurityDescriptorDacl = SetSecurityDescriptorDaclImpl;
}

}  // namespace posix
