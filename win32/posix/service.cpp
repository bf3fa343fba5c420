// The service control manager, process tokens and account names of the
// emulated machine.
//
// The service database is the machine hive's services key (ImagePath,
// ObjectName, Start, and the optional Type, ErrorControl, DisplayName, Group);
// the run state is the machine's too (service_run.cpp), so every user's
// processes see the same services running. Windows' default permissions are
// modelled: every user may query every service; root controls every service,
// a standard user only the services that run under its own account. A
// private registry is a machine of its user's own, who controls everything.
//
// Accounts: an ordinary user is <computer name>\<login name>; root is
// NT AUTHORITY\SYSTEM with the user name "SYSTEM", the way a LocalSystem
// service sees itself on Windows.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "win32/posix/places.h"
#include "win32/posix/posix.h"
#include "win32/posix/service_run.h"
#include "win32/registry_value.h"

namespace posix {

namespace {

constexpr DWORD kErrorDatabaseDoesNotExist = 1065;
constexpr DWORD kServiceAcceptStop = 0x00000001;
constexpr size_t kMaxServiceName = 256;
constexpr const char* kServicesKey = "System\\CurrentControlSet\\services\\";

// ---- handles ------------------------------------------------------------------

struct ManagerObject : KernelObject {
    explicit ManagerObject(DWORD rights) : access(rights) {}
    DWORD access;
};

struct ServiceObject : KernelObject {
    ServiceObject(std::string serviceName, DWORD rights, bool known, uid_t user)
        : name(std::move(serviceName)), access(rights), accountKnown(known), account(user) {}
    std::string name;
    DWORD access;
    bool accountKnown;  // its ObjectName names an account of this machine
    uid_t account;      // the user its process runs as
};

// Rights that change a service or its state, as opposed to asking about it.
constexpr DWORD kControlRights = SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_CHANGE_CONFIG |
                                 SERVICE_USER_DEFINED_CONTROL | DELETE | WRITE_DAC | WRITE_OWNER;

struct TokenObject : KernelObject {
    TokenObject(uid_t user, DWORD rights) : uid(user), access(rights) {}
    uid_t uid;
    DWORD access;
};

DWORD MapManagerAccess(DWORD access) {
    if (access & GENERIC_READ) {
        access |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    }
    if (access & GENERIC_WRITE) {
        access |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    }
    if (access & GENERIC_EXECUTE) {
        access |= READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    }
    if (access & GENERIC_ALL) {
        access |= SC_MANAGER_ALL_ACCESS;
    }
    // Every manager handle may connect.
    return (access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL)) | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD access) {
    if (access & GENERIC_READ) {
        access |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    }
    if (access & GENERIC_WRITE) {
        access |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
    }
    if (access & GENERIC_EXECUTE) {
        access |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    }
    if (access & GENERIC_ALL) {
        access |= SERVICE_ALL_ACCESS;
    }
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

SC_HANDLE ToScHandle(HANDLE handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}
HANDLE ToHandle(SC_HANDLE handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The service behind `handle` when it carries `right`; else null and the last error.
std::shared_ptr<ServiceObject> ServiceWithRight(SC_HANDLE handle, DWORD right) {
    auto service = LookupHandleAs<ServiceObject>(ToHandle(handle));
    if (!service) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if ((service->access & right) != right) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return service;
}

// ---- the service database ---------------------------------------------------------

class ServiceKey {
public:
    explicit ServiceKey(const std::string& name) {
        m_result = Api().RegOpenKeyExA != nullptr
                       ? Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kServicesKey + name).c_str(), 0, KEY_READ, &m_key)
                       : static_cast<LONG>(ERROR_CALL_NOT_IMPLEMENTED);
    }
    ~ServiceKey() {
        if (m_result == ERROR_SUCCESS) {
            Api().RegCloseKey(m_key);
        }
    }
    ServiceKey(const ServiceKey&) = delete;
    ServiceKey& operator=(const ServiceKey&) = delete;

    // ERROR_SERVICE_DOES_NOT_EXIST for a missing key, the registry's code for other failures.
    DWORD Error() const {
        if (m_result == ERROR_FILE_NOT_FOUND || m_result == ERROR_PATH_NOT_FOUND) {
            return ERROR_SERVICE_DOES_NOT_EXIST;
        }
        return static_cast<DWORD>(m_result);
    }
    bool Ok() const { return m_result == ERROR_SUCCESS; }

    // REG_EXPAND_SZ text is expanded only when `expand` asks for it.
    bool String(const char* value, std::string& text, bool expand = false) const {
        DWORD type = REG_NONE;
        if (ReadRegistryValue(Api(), m_key, value, type, text) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ)) {
            return false;
        }
        text.resize(strnlen(text.c_str(), text.size()));
        if (expand && type == REG_EXPAND_SZ) {
            text = ExpandEnvironment(text);
        }
        return true;
    }

    DWORD Dword(const char* value, DWORD fallback) const {
        DWORD type = REG_NONE;
        DWORD data = 0;
        DWORD size = sizeof data;
        const LONG result =
            Api().RegQueryValueExA(m_key, value, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size);
        return result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof data ? data : fallback;
    }

    std::string StringOr(const char* value, const std::string& fallback) const {
        std::string text;
        return String(value, text) ? text : fallback;
    }

private:
    HKEY m_key = nullptr;
    LONG m_result;
};

// The status the manager reports: the service's own report while its process
// lives, else running or stopped by the process alone. `pid` (optional): the
// service's process while it runs, else 0.
SERVICE_STATUS CurrentStatus(const ServicePlace& place, DWORD* pid = nullptr) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    const ServiceRunState run = ReadRunState(place);
    SERVICE_STATUS reported{};
    const bool hasReport = ReadReportedStatus(place, reported);
    if (pid != nullptr) {
        *pid = run.running ? static_cast<DWORD>(run.pid) : 0;
    }
    if (run.running) {
        if (run.stopRequested) {
            status.dwCurrentState = SERVICE_STOP_PENDING;
        } else if (hasReport) {
            status.dwCurrentState = reported.dwCurrentState;
            status.dwCheckPoint = reported.dwCheckPoint;
            status.dwWaitHint = reported.dwWaitHint;
            status.dwWin32ExitCode = reported.dwWin32ExitCode;
        } else {
            status.dwCurrentState = SERVICE_RUNNING;
        }
        if (status.dwCurrentState == SERVICE_RUNNING) {
            status.dwControlsAccepted = kServiceAcceptStop;
        }
        return status;
    }
    status.dwCurrentState = SERVICE_STOPPED;
    if (hasReport && reported.dwCurrentState == SERVICE_STOPPED) {
        status.dwWin32ExitCode = reported.dwWin32ExitCode;
    } else if (run.known && !run.stopRequested) {
        // It ended without being asked to and without saying so.
        status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    }
    return status;
}

ServicePlace PlaceOf(const ServiceObject& service, bool make) {
    return PlaceOfService(service.name, service.account, make);
}

// The user an ObjectName names: LocalSystem and the NT AUTHORITY accounts are
// root; ".\\name", "COMPUTER\\name" and "name" are that login.
bool AccountUid(std::string name, uid_t& uid) {
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name == "localsystem" || name == ".\\localsystem" || name.rfind("nt authority\\", 0) == 0) {
        uid = 0;
        return true;
    }
    const size_t slash = name.find('\\');
    if (slash != std::string::npos) {
        char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof computer;
        const std::string domain = name.substr(0, slash);
        if (domain != "." && (!Api().GetComputerNameA(computer, &size) || strcasecmp(domain.c_str(), computer) != 0)) {
            return false;
        }
        name = name.substr(slash + 1);
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    uid = found->pw_uid;
    return true;
}

// The account a service runs as. On a machine of the user's own (a private
// registry) every service runs as that user.
bool AccountOf(const ServiceKey& key, uid_t& uid) {
    if (PrivateRegistry()) {
        uid = geteuid();
        return true;
    }
    return AccountUid(key.StringOr("ObjectName", "LocalSystem"), uid);
}

bool MayControl(bool known, uid_t account) {
    return PrivateRegistry() || geteuid() == 0 || (known && geteuid() == account);
}

bool IsValidServiceName(const char* name) {
    return name != nullptr && *name != '\0' && std::strlen(name) <= kMaxServiceName &&
           std::strpbrk(name, "/\\") == nullptr;
}

bool IsLocalMachine(const char* machine) {
    if (machine == nullptr || *machine == '\0') {
        return true;
    }
    while (*machine == '\\') {
        ++machine;
    }
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof computer;
    if (Api().GetComputerNameA == nullptr || !Api().GetComputerNameA(computer, &size)) {
        return false;
    }
    return strcasecmp(machine, computer) == 0 || strcasecmp(machine, "localhost") == 0 ||
           std::strcmp(machine, ".") == 0;
}

// ---- service control manager ---------------------------------------------------------

SC_HANDLE WINAPI OpenSCManagerAImpl(LPCSTR machine, LPCSTR database, DWORD access) {
    if (!IsLocalMachine(machine)) {
        return Fail(ERROR_BAD_NETPATH);
    }
    if (database != nullptr && strcasecmp(database, "ServicesActive") != 0) {
        return Fail(kErrorDatabaseDoesNotExist);
    }
    HANDLE handle = InsertHandle(std::make_shared<ManagerObject>(MapManagerAccess(access)));
    return Succeed(ToScHandle(handle));
}

SC_HANDLE WINAPI OpenServiceAImpl(SC_HANDLE manager, LPCSTR name, DWORD access) {
    if (!LookupHandleAs<ManagerObject>(ToHandle(manager))) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (name == nullptr) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    if (!IsValidServiceName(name)) {
        return Fail(ERROR_INVALID_NAME);
    }
    const ServiceKey key(name);
    if (!key.Ok()) {
        return Fail(key.Error());
    }
    uid_t account = 0;
    const bool known = AccountOf(key, account);
    const DWORD rights = MapServiceAccess(access);
    if ((rights & kControlRights) != 0 && !MayControl(known, account)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    HANDLE handle = InsertHandle(std::make_shared<ServiceObject>(name, rights, known, account));
    return Succeed(ToScHandle(handle));
}

BOOL WINAPI CloseServiceHandleImpl(SC_HANDLE handle) {
    auto object = LookupHandle(ToHandle(handle));
    if (!std::dynamic_pointer_cast<ManagerObject>(object) && !std::dynamic_pointer_cast<ServiceObject>(object)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    RemoveHandle(ToHandle(handle));
    return Succeed(TRUE);
}

BOOL WINAPI QueryServiceStatusImpl(SC_HANDLE handle, LPSERVICE_STATUS status) {
    auto service = ServiceWithRight(handle, SERVICE_QUERY_STATUS);
    if (!service) {
        return FALSE;
    }
    if (status == nullptr) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    *status = CurrentStatus(PlaceOf(*service, false));
    return Succeed(TRUE);
}

// The status with the process that runs the service (0 while it is stopped).
BOOL WINAPI QueryServiceStatusExImpl(SC_HANDLE handle, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                                     LPDWORD needed) {
    auto service = ServiceWithRight(handle, SERVICE_QUERY_STATUS);
    if (!service) {
        return FALSE;
    }
    if (level != SC_STATUS_PROCESS_INFO || needed == nullptr) {
        return Fail(level != SC_STATUS_PROCESS_INFO ? ERROR_INVALID_LEVEL : ERROR_INVALID_ADDRESS);
    }
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    if (buffer == nullptr || size < sizeof(SERVICE_STATUS_PROCESS)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DWORD pid = 0;
    const SERVICE_STATUS status = CurrentStatus(PlaceOf(*service, false), &pid);
    SERVICE_STATUS_PROCESS full{};
    std::memcpy(&full, &status, sizeof status);
    full.dwProcessId = pid;
    std::memcpy(buffer, &full, sizeof full);
    return Succeed(TRUE);
}

BOOL WINAPI QueryServiceConfigAImpl(SC_HANDLE handle, LPQUERY_SERVICE_CONFIGA config, DWORD size, LPDWORD needed) {
    auto service = ServiceWithRight(handle, SERVICE_QUERY_CONFIG);
    if (!service) {
        return FALSE;
    }
    if (needed == nullptr) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    const ServiceKey key(service->name);
    if (!key.Ok()) {
        return Fail(key.Error());
    }
    // The strings follow the record in the caller's buffer; the dependencies
    // are an empty double-terminated list.
    const std::string strings[] = {
        key.StringOr("ImagePath", ""),
        key.StringOr("Group", ""),
        std::string(1, '\0'),
        key.StringOr("ObjectName", "LocalSystem"),
        key.StringOr("DisplayName", service->name),
    };
    size_t total = sizeof(QUERY_SERVICE_CONFIGA);
    for (const std::string& text : strings) {
        total += text.size() + 1;
    }
    *needed = static_cast<DWORD>(total);
    if (config == nullptr || size < total) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    char* cursor = reinterpret_cast<char*>(config) + sizeof(QUERY_SERVICE_CONFIGA);
    LPSTR pointers[5];
    for (size_t i = 0; i < 5; ++i) {
        pointers[i] = cursor;
        std::memcpy(cursor, strings[i].c_str(), strings[i].size() + 1);
        cursor += strings[i].size() + 1;
    }
    config->dwServiceType = key.Dword("Type", SERVICE_WIN32_OWN_PROCESS);
    config->dwStartType = key.Dword("Start", SERVICE_DEMAND_START);
    config->dwErrorControl = key.Dword("ErrorControl", SERVICE_ERROR_NORMAL);
    config->lpBinaryPathName = pointers[0];
    config->lpLoadOrderGroup = pointers[1];
    config->dwTagId = 0;
    config->lpDependencies = pointers[2];
    config->lpServiceStartName = pointers[3];
    config->lpDisplayName = pointers[4];
    return Succeed(TRUE);
}

BOOL WINAPI StartServiceAImpl(SC_HANDLE handle, DWORD argc, LPCSTR* argv) {
    auto service = ServiceWithRight(handle, SERVICE_START);
    if (!service) {
        return FALSE;
    }
    const ServiceKey key(service->name);
    if (!key.Ok()) {
        return Fail(key.Error());
    }
    if (!service->accountKnown) {
        return Fail(ERROR_SERVICE_LOGON_FAILED);
    }
    const ServicePlace place = PlaceOf(*service, true);
    const ServiceLock lock(place);
    if (!lock.Held()) {
        return Fail(place.error != ERROR_SUCCESS ? place.error : ERROR_ACCESS_DENIED);
    }
    if (ReadRunState(place).running) {
        return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    }
    if (key.Dword("Start", SERVICE_DEMAND_START) == SERVICE_DISABLED) {
        return Fail(ERROR_SERVICE_DISABLED);
    }
    std::string imagePath;
    std::vector<std::string> args;
    if (key.String("ImagePath", imagePath, true)) {
        args = SplitCommandLine(imagePath);
    }
    if (args.empty()) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    for (DWORD i = 0; argv != nullptr && i < argc; ++i) {
        args.emplace_back(argv[i] ? argv[i] : "");
    }

    // A service that reports its own progress starts out pending, as the
    // manager reports any service until it has called in.
    RemoveReportedStatus(place);
    if (key.Dword("ReportsStatus", 0) != 0 && !WriteReportedStatus(place, FirstPendingStatus())) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const DWORD error = LaunchService(
        place, args, {"QVTR_SERVICE_NAME=" + service->name, "QVTR_SERVICE_STATUS=" + ReportedStatusPath(place)});
    if (error != ERROR_SUCCESS) {
        RemoveReportedStatus(place);
        return Fail(error);
    }
    return Succeed(TRUE);
}

BOOL WINAPI ControlServiceImpl(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
    DWORD right = 0;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            right = SERVICE_STOP;
            break;
        case SERVICE_CONTROL_INTERROGATE:
            right = SERVICE_INTERROGATE;
            break;
        default:
            return Fail(LookupHandleAs<ServiceObject>(ToHandle(handle)) ? ERROR_INVALID_SERVICE_CONTROL
                                                                        : ERROR_INVALID_HANDLE);
    }
    auto service = ServiceWithRight(handle, right);
    if (!service) {
        return FALSE;
    }
    if (status == nullptr) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    const ServicePlace place = PlaceOf(*service, false);
    const ServiceLock lock(place);
    *status = CurrentStatus(place);
    if (status->dwCurrentState == SERVICE_STOPPED) {
        return Fail(ERROR_SERVICE_NOT_ACTIVE);
    }
    if (control == SERVICE_CONTROL_STOP) {
        if (status->dwCurrentState == SERVICE_STOP_PENDING) {
            return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        }
        const DWORD error = StopService(place);
        if (error != ERROR_SUCCESS) {
            return Fail(error);
        }
        *status = CurrentStatus(place);
    }
    return Succeed(TRUE);
}

// The service's key and its run state; a service that runs is refused, as
// Windows would mark it and keep it until it stops.
BOOL WINAPI DeleteServiceImpl(SC_HANDLE handle) {
    auto service = ServiceWithRight(handle, DELETE);
    if (!service) {
        return FALSE;
    }
    const ServicePlace place = PlaceOf(*service, false);
    const ServiceLock lock(place);
    if (CurrentStatus(place).dwCurrentState != SERVICE_STOPPED) {
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    const LONG result = DeleteRegistryTree(HKEY_LOCAL_MACHINE, kServicesKey + service->name);
    if (result != ERROR_SUCCESS) {
        return Fail(result == ERROR_FILE_NOT_FOUND ? ERROR_SERVICE_DOES_NOT_EXIST : static_cast<DWORD>(result));
    }
    ForgetService(place);
    return Succeed(TRUE);
}

// ---- tokens and accounts ------------------------------------------------------------

// A SID laid out as Windows lays it out: revision, count, authority, sub-authorities.
struct Sid {
    BYTE revision;
    BYTE subAuthorityCount;
    BYTE identifierAuthority[6];
    DWORD subAuthority[5];
};

constexpr BYTE kNtAuthority = 5;
constexpr DWORD kLocalSystemRid = 18;
constexpr DWORD kNonUniqueRid = 21;
// The emulated machine's own domain identifier.
constexpr DWORD kMachineId[3] = {0x51565452, 0x00000001, 0x00000002};

Sid SidOfUid(uid_t uid) {
    Sid sid{};
    sid.revision = 1;
    sid.identifierAuthority[5] = kNtAuthority;
    if (uid == 0) {
        sid.subAuthorityCount = 1;
        sid.subAuthority[0] = kLocalSystemRid;
    } else {
        sid.subAuthorityCount = 5;
        sid.subAuthority[0] = kNonUniqueRid;
        sid.subAuthority[1] = kMachineId[0];
        sid.subAuthority[2] = kMachineId[1];
        sid.subAuthority[3] = kMachineId[2];
        sid.subAuthority[4] = static_cast<DWORD>(uid);
    }
    return sid;
}

size_t SidSize(const Sid& sid) {
    return 8 + 4 * static_cast<size_t>(sid.subAuthorityCount);
}

// The uid a SID of this machine names; false for any other SID.
bool UidOfSid(const void* data, uid_t& uid) {
    Sid sid{};
    std::memcpy(&sid, data, 8);
    if (sid.revision != 1 || sid.subAuthorityCount < 1 || sid.subAuthorityCount > 5) {
        return false;
    }
    std::memcpy(&sid, data, SidSize(sid));
    const BYTE nt[6] = {0, 0, 0, 0, 0, kNtAuthority};
    if (std::memcmp(sid.identifierAuthority, nt, 6) != 0) {
        return false;
    }
    if (sid.subAuthorityCount == 1 && sid.subAuthority[0] == kLocalSystemRid) {
        uid = 0;
        return true;
    }
    if (sid.subAuthorityCount == 5 && sid.subAuthority[0] == kNonUniqueRid && sid.subAuthority[1] == kMachineId[0] &&
        sid.subAuthority[2] == kMachineId[1] && sid.subAuthority[3] == kMachineId[2] && sid.subAuthority[4] != 0) {
        uid = static_cast<uid_t>(sid.subAuthority[4]);
        return true;
    }
    return false;
}

// The login name of `uid`; the number itself when the system has no name for it.
std::string UserName(uid_t uid) {
    if (uid == 0) {
        return "SYSTEM";
    }
    std::vector<char> buffer(1024);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    return found != nullptr && found->pw_name != nullptr ? std::string(found->pw_name) : std::to_string(uid);
}

std::string DomainName(uid_t uid) {
    if (uid == 0) {
        return "NT AUTHORITY";
    }
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof computer;
    if (Api().GetComputerNameA == nullptr || !Api().GetComputerNameA(computer, &size)) {
        return "WORKGROUP";
    }
    return computer;
}

BOOL WINAPI OpenProcessTokenImpl(HANDLE process, DWORD access, PHANDLE token) {
    if (token == nullptr) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    // Only the calling process is reachable, through its pseudo-handle.
    if (process != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DWORD rights = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & (GENERIC_READ | GENERIC_ALL)) {
        rights |= TOKEN_READ;
    }
    *token = InsertHandle(std::make_shared<TokenObject>(geteuid(), rights));
    return Succeed(TRUE);
}

BOOL WINAPI GetTokenInformationImpl(HANDLE handle, TOKEN_INFORMATION_CLASS kind, LPVOID data, DWORD size,
                                    PDWORD returned) {
    auto token = LookupHandleAs<TokenObject>(handle);
    if (!token) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if ((token->access & TOKEN_QUERY) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (returned == nullptr) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    if (kind != TokenUser) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    const Sid sid = SidOfUid(token->uid);
    const size_t total = sizeof(TOKEN_USER) + SidSize(sid);
    *returned = static_cast<DWORD>(total);
    if (data == nullptr || size < total) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* user = static_cast<TOKEN_USER*>(data);
    auto* sidBytes = static_cast<BYTE*>(data) + sizeof(TOKEN_USER);
    std::memcpy(sidBytes, &sid, SidSize(sid));
    user->User.Sid = sidBytes;
    user->User.Attributes = 0;
    return Succeed(TRUE);
}

BOOL WINAPI LookupAccountSidAImpl(LPCSTR system, PSID sid, LPSTR name, LPDWORD nameSize, LPSTR domain,
                                  LPDWORD domainSize, PSID_NAME_USE use) {
    if (sid == nullptr || nameSize == nullptr || domainSize == nullptr || use == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!IsLocalMachine(system)) {
        return Fail(ERROR_BAD_NETPATH);
    }
    uid_t uid = 0;
    if (!UidOfSid(sid, uid)) {
        return Fail(ERROR_NONE_MAPPED);
    }
    const std::string user = UserName(uid);
    const std::string domainName = DomainName(uid);
    if (name == nullptr || domain == nullptr || *nameSize < user.size() + 1 || *domainSize < domainName.size() + 1) {
        *nameSize = static_cast<DWORD>(user.size() + 1);
        *domainSize = static_cast<DWORD>(domainName.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(name, user.c_str(), user.size() + 1);
    std::memcpy(domain, domainName.c_str(), domainName.size() + 1);
    *nameSize = static_cast<DWORD>(user.size());
    *domainSize = static_cast<DWORD>(domainName.size());
    *use = uid == 0 ? SidTypeWellKnownGroup : SidTypeUser;
    return Succeed(TRUE);
}

BOOL WINAPI GetUserNameAImpl(LPSTR buffer, LPDWORD size) {
    if (size == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::string user = UserName(geteuid());
    if (buffer == nullptr || *size < user.size() + 1) {
        *size = static_cast<DWORD>(user.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, user.c_str(), user.size() + 1);
    *size = static_cast<DWORD>(user.size() + 1);  // the terminator counts, as on Windows
    return Succeed(TRUE);
}

}  // namespace

void BindService(Win32Api& t) {
    t.OpenSCManagerA = OpenSCManagerAImpl;
    t.OpenServiceA = OpenServiceAImpl;
    t.QueryServiceStatus = QueryServiceStatusImpl;
    t.QueryServiceStatusEx = QueryServiceStatusExImpl;
    t.QueryServiceConfigA = QueryServiceConfigAImpl;
    t.StartServiceA = StartServiceAImpl;
    t.ControlService = ControlServiceImpl;
    t.DeleteService = DeleteServiceImpl;
    t.CloseServiceHandle = CloseServiceHandleImpl;

    t.OpenProcessToken = OpenProcessTokenImpl;
    t.GetTokenInformation = GetTokenInformationImpl;
    t.LookupAccountSidA = LookupAccountSidAImpl;
    t.GetUserNameA = GetUserNameAImpl;
}

}  // namespace posix
