// The client half of a remote registry. RegConnectRegistryA for another
// machine starts the system's ssh client in batch mode ($QVTR_SSH; the user's
// own ssh configuration, keys and agent apply) with the registry server as its
// remote command ($QVTR_REMOTE_COMMAND), and keeps that one channel for the
// connected root and every key opened below it; the channel ends with the last
// of them. A channel that fails, stalls past $QVTR_REMOTE_TIMEOUT or answers
// what does not parse is dropped, and every later call on its keys answers
// RPC_S_SERVER_UNAVAILABLE.
//
// One read costs one round trip. An enumeration reads a batch of entries and
// answers the next indexes from it until a write through the channel. While the
// caller holds a snapshot (QVTR_REG_SNAPSHOT: one moment for a long read), an
// open for reading brings the tree below the key along, and the walk reads it
// from memory; the snapshot's end forgets it.
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <unordered_map>

#include "win32/posix/posix.h"
#include "win32/posix/registry_answers.h"
#include "win32/posix/registry_store.h"
#include "win32/posix/remote.h"
#include "win32/posix/remote_wire.h"
#include "win32/posix/syscalls.h"

namespace posix {

namespace {

using namespace wire;

const char kDefaultSsh[] = "ssh -o BatchMode=yes -o ConnectTimeout=10";
const char kDefaultCommand[] = "qvtr reg-server";
constexpr int kDefaultTimeoutSeconds = 10;
constexpr REGSAM kChangingRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// This machine's registry functions, as bound before the remote ones wrap them.
Win32Api g_local;

// A write transaction asked for and not yet begun on this machine's store.
struct PendingTransaction {
    std::mutex mutex;
    std::atomic<bool> pending{false};
    bool begun = false;
} g_transaction;

// This machine's functions, for a call on one of its keys: a transaction asked
// for begins now.
const Win32Api& Local() {
    if (!g_transaction.pending.load(std::memory_order_relaxed)) {
        return g_local;
    }
    std::lock_guard<std::mutex> lock(g_transaction.mutex);
    if (g_transaction.pending) {
        g_transaction.pending = false;
        g_transaction.begun = g_local.QvtrRegTransaction(QVTR_REG_BEGIN) == ERROR_SUCCESS;
    }
    return g_local;
}

// The snapshot the caller holds (0: none); each one has a number of its own.
std::atomic<uint64_t> g_snapshot{0};
std::atomic<uint64_t> g_snapshots{0};

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string Setting(const char* name, const char* otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : otherwise;
}

int IdleLimitMs() {
    const long seconds = std::strtol(Setting("QVTR_REMOTE_TIMEOUT", "").c_str(), nullptr, 10);
    return static_cast<int>(seconds > 0 && seconds <= 3600 ? seconds : kDefaultTimeoutSeconds) * 1000;
}

// What the system lacked when the channel could not be made: descriptors or else memory.
LONG ResourceError() {
    return errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY;
}

// A name ssh takes as a host and nothing else: never an option.
bool IsHostName(const std::string& host) {
    if (host.empty() || host[0] == '-' || host.size() > 255) {
        return false;
    }
    for (unsigned char c : host) {
        if (!std::isalnum(c) && std::strchr(".-_:@%[]", c) == nullptr) {
            return false;
        }
    }
    return true;
}

const char* HostOf(LPCSTR machine) {
    return machine[0] == '\\' && machine[1] == '\\' ? machine + 2 : machine;
}

bool IsThisMachine(LPCSTR machine) {
    if (machine == nullptr || *machine == '\0') {
        return true;
    }
    char own[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof own;
    return Api().GetComputerNameA(own, &size) && strcasecmp(own, HostOf(machine)) == 0;
}

// The keys of a relative path, folded and joined to `base`. False for a path
// that starts with a separator: the server gives its answer to that.
bool Below(const std::string& base, LPCSTR subKey, std::string& path) {
    std::vector<std::string> names;
    const bool plain = reg::SplitPath(subKey, names) == ERROR_SUCCESS;
    path = reg::JoinPath(base, names);
    return plain;
}

// Where a read-ahead starts: a key at or above the one opened, and the path
// from it to that key. A walk's first open starts one; a later open below it
// that finds nothing read goes on with the same walk from there.
struct ReadAhead {
    std::string top;
    std::string from;
};

// One ssh channel to the machine's registry server.
class Connection {
public:
    ~Connection() { Stop(true); }

    LONG Start(const std::string& host);
    // One request and its answer's bytes; ERROR_SUCCESS, or
    // RPC_S_SERVER_UNAVAILABLE for good once the channel failed.
    LONG Call(const Writer& request, std::string& answer);
    // A request that has no answer.
    void Post(const Writer& request);
    // The answer did not parse: the channel is dropped.
    LONG Malformed() {
        Stop(false);
        return RPC_S_SERVER_UNAVAILABLE;
    }
    bool Lost() const { return m_fd < 0; }

    // A change through the channel: what was read ahead may be wrong now.
    void Wrote() {
        ++writes;
        m_pictures.clear();
    }
    const Picture* PictureOf(const std::string& path) const {
        if (m_picturesOf == 0 || m_picturesOf != g_snapshot.load()) {
            return nullptr;
        }
        const auto found = m_pictures.find(path);
        return found == m_pictures.end() ? nullptr : &found->second;
    }
    void Keep(const std::string& base, Picture&& picture);
    ReadAhead ReadAheadFor(const std::string& path);

    std::mutex mutex;
    uint32_t root = 0;    // the server's handle of the connected root
    uint64_t writes = 0;  // changes made through the channel so far

private:
    LONG Refused();
    void Stop(bool gentle);
    bool Reaped(int ms, int* status);
    void KeepErrors();

    int m_fd = -1;
    int m_errors = -1;
    pid_t m_pid = -1;
    std::string m_errorText;
    std::unordered_map<std::string, Picture> m_pictures;
    uint64_t m_picturesOf = 0;
    std::string m_top;  // where the snapshot's walk started
};

LONG Connection::Start(const std::string& host) {
    std::vector<std::string> words = Words(Setting("QVTR_SSH", kDefaultSsh));
    const std::string program = words.empty() ? std::string() : FindProgram(words[0]);
    if (program.empty()) {
        return ERROR_BAD_NETPATH;
    }
    words.push_back(host);
    words.push_back(Setting("QVTR_REMOTE_COMMAND", kDefaultCommand));
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    int channel[2];
    int errors[2];
    if (Sys().socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        return ResourceError();
    }
    if (Sys().pipe2(errors, O_CLOEXEC) != 0) {
        const LONG error = ResourceError();
        Sys().close(channel[0]);
        Sys().close(channel[1]);
        return error;
    }
    const pid_t pid = Sys().fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        setpgid(0, 0);
        dup2(channel[1], STDIN_FILENO);
        dup2(channel[1], STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    const LONG forkError = pid < 0 ? ResourceError() : ERROR_SUCCESS;
    Sys().close(channel[1]);
    Sys().close(errors[1]);
    m_fd = channel[0];
    m_errors = errors[0];
    m_pid = pid;
    if (forkError != ERROR_SUCCESS) {
        Stop(false);
        return forkError;
    }
    Writer hello;
    hello.U8(kHello).U32(0).Text(kGreeting);
    std::string answer;
    if (!SendFrame(m_fd, hello.Bytes(), true) || !ReceiveFrame(m_fd, answer, IdleLimitMs())) {
        return Refused();
    }
    Reader in(answer);
    if (in.U32() != ERROR_SUCCESS || (in.Text(MAX_COMPUTERNAME_LENGTH + 1), !in.Done())) {
        Stop(false);
        return ERROR_BAD_NETPATH;
    }
    return ERROR_SUCCESS;
}

// Why the channel ended before the greeting: ssh's own exit status 255 and its
// words for a refused key make it a denial; anything else, no such machine. An
// ssh still running (a host that does not answer) is not waited for.
LONG Connection::Refused() {
    // The channel closed first: whatever still runs at the other end sees its end and stops.
    Sys().close(m_fd);
    m_fd = -1;
    int status = 0;
    const bool exited = Reaped(200, &status);
    KeepErrors();
    Stop(false);
    const bool denied = exited && WIFEXITED(status) && WEXITSTATUS(status) == 255 &&
                        m_errorText.find("Permission denied") != std::string::npos;
    return denied ? ERROR_ACCESS_DENIED : ERROR_BAD_NETPATH;
}

// Waits up to `ms` for ssh to end; true (with its status) when it was reaped then.
bool Connection::Reaped(int ms, int* status) {
    for (int waited = 0; m_pid > 0 && waited < ms; waited += 5) {
        const pid_t done = Sys().waitpid(m_pid, status, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) {
            m_pid = -1;
            return done > 0;
        }
        usleep(5 * 1000);
    }
    return false;
}

// What ssh said on its standard error, kept up to 4 KiB, without waiting for more.
void Connection::KeepErrors() {
    char buffer[1024];
    while (m_errors >= 0) {
        pollfd ready = {m_errors, POLLIN, 0};
        if (Sys().poll(&ready, 1, 0) <= 0) {
            return;
        }
        const ssize_t got = Sys().read(m_errors, buffer, sizeof buffer);
        if (got <= 0) {
            Sys().close(m_errors);
            m_errors = -1;
            return;
        }
        m_errorText.append(buffer, static_cast<size_t>(got));
        if (m_errorText.size() > 4096) {
            m_errorText.erase(0, m_errorText.size() - 4096);
        }
    }
}

// Closes the channel (ssh then ends, and the server with it) and reaps ssh;
// `gentle` gives it a moment to end on its own before it is killed.
void Connection::Stop(bool gentle) {
    if (m_fd >= 0) {
        Sys().close(m_fd);
        m_fd = -1;
    }
    if (m_errors >= 0) {
        Sys().close(m_errors);
        m_errors = -1;
    }
    if (gentle) {
        Reaped(500, nullptr);
    }
    if (m_pid <= 0) {
        return;
    }
    Sys().kill(-m_pid, SIGKILL);
    Sys().kill(m_pid, SIGKILL);
    while (Sys().waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

LONG Connection::Call(const Writer& request, std::string& answer) {
    if (Lost()) {
        return RPC_S_SERVER_UNAVAILABLE;
    }
    KeepErrors();  // ssh must never block on a full error pipe
    if (request.Size() > kMaxFrame || !SendFrame(m_fd, request.Bytes(), true) ||
        !ReceiveFrame(m_fd, answer, IdleLimitMs())) {
        return Malformed();
    }
    return ERROR_SUCCESS;
}

void Connection::Post(const Writer& request) {
    if (!Lost() && !SendFrame(m_fd, request.Bytes(), true)) {
        Stop(false);
    }
}

// The keys a path and the walk's top have in common, as a path.
std::string CommonPath(const std::string& a, const std::string& b) {
    size_t common = 0;
    for (size_t i = 0;; ++i) {
        const bool endA = i == a.size() || a[i] == '\\';
        const bool endB = i == b.size() || b[i] == '\\';
        if (endA && endB) {
            common = i;
        }
        if (i == a.size() || i == b.size() || a[i] != b[i]) {
            return a.substr(0, common);
        }
    }
}

ReadAhead Connection::ReadAheadFor(const std::string& path) {
    const uint64_t snapshot = g_snapshot.load();
    if (m_picturesOf != snapshot) {
        m_picturesOf = snapshot;
        m_top = path;
    }
    // A key outside the walk so far: the walk goes on from their common parent.
    m_top = CommonPath(m_top, path);
    // The keys read ahead before were walked already: memory holds one read-ahead.
    m_pictures.clear();
    return ReadAhead{m_top, path.size() > m_top.size() ? path.substr(m_top.empty() ? 0 : m_top.size() + 1) : ""};
}

void Connection::Keep(const std::string& base, Picture&& picture) {
    std::string path;
    Below(base, picture.path.c_str(), path);
    m_pictures[path] = std::move(picture);
}

// A key below a connected root. Its server handle is opened on first need
// when it was opened from a read-ahead.
struct RemoteKey {
    std::shared_ptr<Connection> connection;
    uint32_t server = 0;
    std::string path;  // folded, from the root
    REGSAM access = 0;
    SubKeys subKeys;
    Values values;
    uint64_t subKeysAt = ~uint64_t(0);  // the connection's `writes` when read
    uint64_t valuesAt = ~uint64_t(0);
};

// Remote handles are 2 modulo 4 below the predefined keys; this machine's are multiples of 4.
struct RemoteHandles {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<RemoteKey>> keys;
    uintptr_t next = 0x2002;
};

RemoteHandles& Handles() {
    static auto* table = new RemoteHandles;  // lives past static destruction
    return *table;
}

// This machine's keys are told apart without taking the table's lock.
bool MaybeRemote(HKEY hKey) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(hKey);
    return (value & 3) == 2 && value < 0x80000000u;
}

std::shared_ptr<RemoteKey> Find(HKEY hKey) {
    if (!MaybeRemote(hKey)) {
        return nullptr;
    }
    RemoteHandles& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.keys.find(reinterpret_cast<uintptr_t>(hKey));
    return found == table.keys.end() ? nullptr : found->second;
}

HKEY Insert(std::shared_ptr<RemoteKey> key) {
    RemoteHandles& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    const uintptr_t value = table.next;
    table.next = table.next + 4 < 0x80000000u ? table.next + 4 : 0x2002;
    table.keys[value] = std::move(key);
    return reinterpret_cast<HKEY>(value);
}

std::shared_ptr<RemoteKey> Remove(HKEY hKey) {
    if (!MaybeRemote(hKey)) {
        return nullptr;
    }
    RemoteHandles& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.keys.find(reinterpret_cast<uintptr_t>(hKey));
    if (found == table.keys.end()) {
        return nullptr;
    }
    std::shared_ptr<RemoteKey> key = std::move(found->second);
    table.keys.erase(found);
    return key;
}

// An answer: its bytes, and the reader of the results that follow its code.
class Answer {
public:
    Answer() = default;
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;
    std::string& Body() { return m_body; }
    Reader& Read() { return m_reader.emplace(m_body); }
    Reader* operator->() { return &*m_reader; }
    Reader& operator*() { return *m_reader; }

private:
    std::string m_body;
    std::optional<Reader> m_reader;
};

// The code of an answer, and its results in `in` when it is ERROR_SUCCESS.
LONG Ask(Connection& c, const Writer& request, Answer& in) {
    if (const LONG error = c.Call(request, in.Body())) {
        return error;
    }
    Reader& reader = in.Read();
    const LONG code = static_cast<LONG>(reader.U32());
    return !reader.Ok() ? c.Malformed() : code;
}

// Opens `subKey` below the server handle `base`; the read-ahead, when asked
// for, lands in the connection's memory.
LONG OpenOnServer(Connection& c, uint32_t base, const std::string& subKey, REGSAM access, const ReadAhead* ahead,
                  uint32_t& id) {
    Writer request;
    request.U8(kBaseRegOpenKey).U32(base).Text(subKey).U32(access).U8(ahead != nullptr ? 1 : 0);
    if (ahead != nullptr) {
        request.Text(ahead->top).Text(ahead->from);
    }
    Answer in;
    if (const LONG error = Ask(c, request, in)) {
        return error;
    }
    id = in->U32();
    const uint32_t count = ahead != nullptr ? in->U32() : 0;
    for (uint32_t i = 0; i < count && in->Ok(); ++i) {
        Picture picture;
        if (Get(*in, picture)) {
            c.Keep(ahead->top, std::move(picture));
        }
    }
    return in->Done() ? ERROR_SUCCESS : c.Malformed();
}

// The key's handle on the server, opened now if it came from a read-ahead.
LONG ServerHandle(Connection& c, RemoteKey& key, uint32_t& id) {
    if (key.server == 0) {
        if (const LONG error = OpenOnServer(c, c.root, key.path, key.access, nullptr, key.server)) {
            return error;
        }
    }
    id = key.server;
    return ERROR_SUCCESS;
}

// A request on the key's server handle, and its answer.
template <class Arguments>
LONG AskOnKey(Connection& c, RemoteKey& key, uint8_t op, Answer& in, Arguments&& arguments) {
    uint32_t id = 0;
    if (const LONG error = ServerHandle(c, key, id)) {
        return error;
    }
    Writer request;
    request.U8(op).U32(id);
    arguments(request);
    return Ask(c, request, in);
}

// The entry at `index` of a key: from the read-ahead, from the last batch while
// nothing was written, else with a batch read from there.
template <class Batch>
LONG FindEntry(Connection& c, RemoteKey& key, DWORD index, uint8_t op, Batch& own, uint64_t& at, const Batch* ahead,
               const typename Batch::Entry*& row) {
    const Batch* const sources[] = {ahead, index != 0 && at == c.writes ? &own : nullptr};
    for (const Batch* known : sources) {
        if (known == nullptr) {
            continue;
        }
        if ((row = known->At(index)) != nullptr) {
            return ERROR_SUCCESS;
        }
        if (known->PastEnd(index)) {
            return ERROR_NO_MORE_ITEMS;
        }
    }
    Answer in;
    if (const LONG error = AskOnKey(c, key, op, in, [&](Writer& w) { w.U32(index); })) {
        return error;
    }
    if (!Get(*in, own) || !in->Done() || (row = own.At(index)) == nullptr) {
        return c.Malformed();
    }
    at = c.writes;
    return ERROR_SUCCESS;
}

// ---- the registry functions, for remote keys ------------------------------------

LONG WINAPI ConnectRegistry(LPCSTR machine, HKEY hKey, PHKEY result) {
    if (result == nullptr || IsThisMachine(machine)) {
        return Local().RegConnectRegistryA(machine, hKey, result);
    }
    *result = nullptr;
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_USERS) {
        return ERROR_INVALID_HANDLE;
    }
    const std::string host = HostOf(machine);
    if (!IsHostName(host)) {
        return ERROR_BAD_NETPATH;
    }
    auto connection = std::make_shared<Connection>();
    if (const LONG error = connection->Start(host)) {
        return error;
    }
    Writer request;
    request.U8(hKey == HKEY_LOCAL_MACHINE ? kOpenLocalMachine : kOpenUsers).U32(0);
    Answer in;
    if (const LONG error = Ask(*connection, request, in)) {
        return error == RPC_S_SERVER_UNAVAILABLE ? ERROR_BAD_NETPATH : error;
    }
    connection->root = in->U32();
    if (!in->Done()) {
        connection->Malformed();
        return ERROR_BAD_NETPATH;
    }
    auto key = std::make_shared<RemoteKey>();
    key->connection = connection;
    key->server = connection->root;
    key->access = KEY_ALL_ACCESS;
    *result = Insert(std::move(key));
    return ERROR_SUCCESS;
}

LONG WINAPI OpenKeyEx(HKEY hKey, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    const std::shared_ptr<RemoteKey> parent = Find(hKey);
    if (parent == nullptr || result == nullptr) {
        return Local().RegOpenKeyExA(hKey, subKey, options, access, result);
    }
    *result = nullptr;
    Connection& c = *parent->connection;
    std::lock_guard<std::mutex> lock(c.mutex);
    auto key = std::make_shared<RemoteKey>();
    key->connection = parent->connection;
    key->access = access;
    const bool plain = Below(parent->path, subKey, key->path);
    const bool reading = plain && (access & kChangingRights) == 0 && g_snapshot.load() != 0;
    if (reading && c.PictureOf(key->path) != nullptr) {
        key->server = 0;  // read ahead: opened on the server only if something needs it
    } else if (reading) {
        const ReadAhead ahead = c.ReadAheadFor(key->path);
        if (const LONG error = OpenOnServer(c, c.root, key->path, access, &ahead, key->server)) {
            return error;
        }
    } else if (const LONG error =
                   OpenOnServer(c, parent->server != 0 ? parent->server : c.root,
                                parent->server != 0 || !plain ? (subKey != nullptr ? subKey : "") : key->path, access,
                                nullptr, key->server)) {
        return error;
    }
    *result = Insert(std::move(key));
    return ERROR_SUCCESS;
}

LONG WINAPI OpenKey(HKEY hKey, LPCSTR subKey, PHKEY result) {
    if (Find(hKey) == nullptr || result == nullptr) {
        return Local().RegOpenKeyA(hKey, subKey, result);
    }
    if (subKey == nullptr || *subKey == '\0') {
        *result = hKey;  // the same handle, as Windows hands it back
        return ERROR_SUCCESS;
    }
    return OpenKeyEx(hKey, subKey, 0, MAXIMUM_ALLOWED, result);
}

LONG WINAPI CreateKeyEx(HKEY hKey, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
    const std::shared_ptr<RemoteKey> parent = Find(hKey);
    if (parent == nullptr || result == nullptr) {
        return Local().RegCreateKeyExA(hKey, subKey, reserved, keyClass, options, access, security, result,
                                       disposition);
    }
    *result = nullptr;
    Connection& c = *parent->connection;
    std::lock_guard<std::mutex> lock(c.mutex);
    auto key = std::make_shared<RemoteKey>();
    key->connection = parent->connection;
    key->access = access;
    Below(parent->path, subKey, key->path);
    Answer in;
    const LONG error = AskOnKey(c, *parent, kBaseRegCreateKey, in, [&](Writer& w) {
        w.Text(subKey != nullptr ? subKey : "").Text(keyClass != nullptr ? keyClass : "").U32(access);
    });
    c.Wrote();
    if (error != ERROR_SUCCESS) {
        return error;
    }
    key->server = in->U32();
    const DWORD how = in->U32();
    if (!in->Done()) {
        return c.Malformed();
    }
    if (disposition != nullptr) {
        *disposition = how;
    }
    *result = Insert(std::move(key));
    return ERROR_SUCCESS;
}

LONG WINAPI CloseKey(HKEY hKey) {
    const std::shared_ptr<RemoteKey> key = Remove(hKey);
    if (key == nullptr) {
        return Local().RegCloseKey(hKey);
    }
    Connection& c = *key->connection;
    std::lock_guard<std::mutex> lock(c.mutex);
    if (key->server != 0) {
        Writer request;
        request.U8(kBaseRegCloseKey).U32(key->server);
        c.Post(request);
    }
    return c.Lost() ? RPC_S_SERVER_UNAVAILABLE : ERROR_SUCCESS;
}

LONG WINAPI QueryInfoKey(HKEY hKey, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                         LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength,
                         LPDWORD maxValueLength, LPDWORD securityDescriptor, PFILETIME lastWrite) {
    const std::shared_ptr<RemoteKey> key = Find(hKey);
    if (key == nullptr || reserved != nullptr || (keyClass != nullptr && classLength == nullptr)) {
        return Local().RegQueryInfoKeyA(hKey, keyClass, classLength, reserved, subKeys, maxSubKeyLength, maxClassLength,
                                        values, maxValueNameLength, maxValueLength, securityDescriptor, lastWrite);
    }
    Connection& c = *key->connection;
    std::lock_guard<std::mutex> lock(c.mutex);
    reg::Facts facts;
    if (const Picture* picture = c.PictureOf(key->path)) {
        facts = picture->facts;
    } else {
        Answer in;
        if (const LONG error = AskOnKey(c, *key, kBaseRegQueryInfoKey, in, [](Writer&) {})) {
            return error;
        }
        if (!Get(*in, facts) || !in->Done()) {
            return c.Malformed();
        }
    }
    return PutFacts(facts, keyClass, classLength, subKeys, maxSubKeyLength, maxClassLength, values, maxValueNameLength,
                    maxValueLength, securityDescriptor, lastWrite);
}

LONG WINAPI QueryValueEx(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    const std::shared_ptr<RemoteKey> key = Find(hKey);
    if (key == nullptr || reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return Local().RegQueryValueExA(hKey, name, reserved, type, data, dataSize);
    }
    Connection& c = *key->connection;
    std::lock_guard<std::mutex> lock(c.mutex);
    const std::string valueName = name != nullptr ? name : "";
    const Picture* picture = c.PictureOf(key->path);
    if (picture != nullptr && picture->values.first == 0 && picture->values.end) {
        const std::string folded = reg::Fold(valueName);
        for (const reg::ValueRow& row : picture->values.rows) {
            if (reg::Fold(row.name) == folded) {
                return PutValue(row.type, row.data.data(), row.data.size(), type, data, dataSize);
            }
        }
        return ERROR_FILE_NOT_FOUND;
    }
    Answer in;
    if (const LONG error = AskOnKey(c, *key, kBaseRegQueryValue, in, [&](Writer& w) { w.Text(valueName); })) {
        return error;
    }
    const DWORD valueType = in->U32();
    const std::string bytes = in->Text();
    if (!in->Done()) {
        return c.Malformed();
    }
    return PutValue(valueType, bytes.data(), bytes.size(), type, data, dataSize);
}

LONG WINAPI EnumValue(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                      LPBYTE data, LPDWORD dataSize) {
    const std::shared_ptr<RemoteKey> key = Find(hKey);
    if (key == nullptr || name == nullptr || nameLength == nullptr || reserved != nullptr ||
        (data != nullptr && dataSize == nullptr)) {
        return Local().RegEnumValueA(hKey, index, name, nameLength, reserved, type, data, dataSize);
    }
    Connection& c = *key->connection;
    std::lock_guard<std::mutex> lock(c.mutex);
    const Picture* picture = c.PictureOf(key->path);
    const reg::ValueRow* row = nullptr;
    if (const LONG error = FindEntry(c, *key, index, kBaseRegEnumValue, key->values, key->valuesAt,
                                     picture != nullptr ? &picture->values : nullptr, row)) {
        return error;
    }
    const LONG error = PutValue(row->type, row->data.data(), row->data.size(), type, data, dataSize);
    return error != ERROR_SUCCESS ? error : CopyName(row->name, name, nameLength);
}

LONG WINAPI EnumKeyEx(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPSTR keyClass,
                      LPDWORD classLength, PFILETIME lastWrite) {
    const std::shared_ptr<RemoteKey> key = Find(hKey);
    if (key == nullptr || name == nullptr || nameLength == nullptr || reserved != nullptr ||
        (keyClass != nullptr && classLength == nullptr)) {
        return Local().RegEnumKeyExA(hKey, index, name, nameLength, reserved, keyClass, classLength, lastWrite);
    }
    Connection& c = *key->connection;
    std::lock_guard<std::mutex> lock(c.mutex);
    const Picture* picture = c.PictureOf(key->path);
    const reg::SubKeyRow* row = nullptr;
    if (const LONG error = FindEntry(c, *key, index, kBaseRegEnumKey, key->subKeys, key->subKeysAt,
                                     picture != nullptr ? &picture->subKeys : nullptr, row)) {
        return error;
    }
    return PutSubKey(*row, name, nameLength, keyClass, classLength, lastWrite);
}

// The three changes that take a name: a value set, a value or a key deleted.
template <class Arguments>
LONG Change(RemoteKey& key, uint8_t op, Arguments&& arguments) {
    Connection& c = *key.connection;
    std::lock_guard<std::mutex> lock(c.mutex);
    Answer in;
    const LONG error = AskOnKey(c, key, op, in, arguments);
    c.Wrote();
    return error != ERROR_SUCCESS || in->Done() ? error : c.Malformed();
}

LONG WINAPI SetValueEx(HKEY hKey, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    const std::shared_ptr<RemoteKey> key = Find(hKey);
    if (key == nullptr) {
        return Local().RegSetValueExA(hKey, name, reserved, type, data, size);
    }
    if (data == nullptr && size != 0) {
        return ERROR_NOACCESS;
    }
    if (size > kMaxFrame - reg::kMaxValueName - 64) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    const std::string bytes(reinterpret_cast<const char*>(data), data != nullptr ? size : 0);
    return Change(*key, kBaseRegSetValue,
                  [&](Writer& w) { w.Text(name != nullptr ? name : "").U32(type).Text(bytes); });
}

LONG WINAPI DeleteValue(HKEY hKey, LPCSTR name) {
    const std::shared_ptr<RemoteKey> key = Find(hKey);
    if (key == nullptr) {
        return Local().RegDeleteValueA(hKey, name);
    }
    return Change(*key, kBaseRegDeleteValue, [&](Writer& w) { w.Text(name != nullptr ? name : ""); });
}

LONG WINAPI DeleteKey(HKEY hKey, LPCSTR subKey) {
    const std::shared_ptr<RemoteKey> key = Find(hKey);
    if (key == nullptr || subKey == nullptr) {
        return Local().RegDeleteKeyA(hKey, subKey);
    }
    return Change(*key, kBaseRegDeleteKey, [&](Writer& w) { w.Text(subKey); });
}

// The snapshot a long read takes is the read-ahead's lifetime. A write
// transaction starts on this machine's store with the first call on one of its
// keys: a tree deleted on another machine takes no lock here (that machine may
// be this one under another name, whose server would then wait on the lock).
LONG WINAPI Transaction(DWORD action) {
    std::unique_lock<std::mutex> lock(g_transaction.mutex);
    if (action == QVTR_REG_BEGIN && !g_transaction.pending && !g_transaction.begun) {
        g_transaction.pending = true;
        return ERROR_SUCCESS;
    }
    if (action == QVTR_REG_BEGIN && g_transaction.pending) {
        return ERROR_BUSY;  // as this machine's store answers a second one
    }
    const bool ending = action == QVTR_REG_COMMIT || action == QVTR_REG_ROLLBACK;
    if (ending && g_transaction.pending) {
        g_transaction.pending = false;
        return ERROR_SUCCESS;
    }
    g_transaction.begun = g_transaction.begun && !ending;
    lock.unlock();
    const LONG error = g_local.QvtrRegTransaction(action);
    if (action == QVTR_REG_SNAPSHOT && error == ERROR_SUCCESS) {
        g_snapshot = ++g_snapshots;
    } else if (ending) {
        g_snapshot = 0;
    }
    return error;
}

}  // namespace

void BindRemoteRegistry(Win32Api& t) {
    g_local = t;
    t.RegConnectRegistryA = ConnectRegistry;
    t.RegOpenKeyExA = OpenKeyEx;
    t.RegOpenKeyA = OpenKey;
    t.RegCreateKeyExA = CreateKeyEx;
    t.RegCloseKey = CloseKey;
    t.RegQueryInfoKeyA = QueryInfoKey;
    t.RegQueryValueExA = QueryValueEx;
    t.RegEnumValueA = EnumValue;
    t.RegEnumKeyExA = EnumKeyEx;
    t.RegSetValueExA = SetValueEx;
    t.RegDeleteValueA = DeleteValue;
    t.RegDeleteKeyA = DeleteKey;
    t.QvtrRegTransaction = Transaction;
    t.QvtrServeRegistry = QvtrServeRegistryImpl;
}

}  // namespace posix
