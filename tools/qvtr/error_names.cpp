#include "error_names.h"

#include <cctype>

namespace tool {

namespace {

struct ErrorName_ {
    const char* name;
    uint32_t code;
};

const ErrorName_ kNames[] = {
    {"ERROR_SUCCESS", 0},
    {"ERROR_INVALID_FUNCTION", 1},
    {"ERROR_FILE_NOT_FOUND", 2},
    {"ERROR_PATH_NOT_FOUND", 3},
    {"ERROR_TOO_MANY_OPEN_FILES", 4},
    {"ERROR_ACCESS_DENIED", 5},
    {"ERROR_INVALID_HANDLE", 6},
    {"ERROR_NOT_ENOUGH_MEMORY", 8},
    {"ERROR_INVALID_DATA", 13},
    {"ERROR_OUTOFMEMORY", 14},
    {"ERROR_WRITE_PROTECT", 19},
    {"ERROR_NOT_READY", 21},
    {"ERROR_SHARING_VIOLATION", 32},
    {"ERROR_LOCK_VIOLATION", 33},
    {"ERROR_HANDLE_EOF", 38},
    {"ERROR_NOT_SUPPORTED", 50},
    {"ERROR_BAD_NETPATH", 53},
    {"ERROR_FILE_EXISTS", 80},
    {"ERROR_INVALID_PARAMETER", 87},
    {"ERROR_BROKEN_PIPE", 109},
    {"ERROR_DISK_FULL", 112},
    {"ERROR_CALL_NOT_IMPLEMENTED", 120},
    {"ERROR_SEM_TIMEOUT", 121},
    {"ERROR_INSUFFICIENT_BUFFER", 122},
    {"ERROR_INVALID_NAME", 123},
    {"ERROR_MOD_NOT_FOUND", 126},
    {"ERROR_PROC_NOT_FOUND", 127},
    {"ERROR_DIR_NOT_EMPTY", 145},
    {"ERROR_BAD_PATHNAME", 161},
    {"ERROR_BUSY", 170},
    {"ERROR_ALREADY_EXISTS", 183},
    {"ERROR_FILENAME_EXCED_RANGE", 206},
    {"ERROR_MORE_DATA", 234},
    {"WAIT_TIMEOUT", 258},
    {"ERROR_NO_MORE_ITEMS", 259},
    {"ERROR_NOT_OWNER", 288},
    {"ERROR_MR_MID_NOT_FOUND", 317},
    {"ERROR_NOACCESS", 998},
    {"ERROR_INVALID_FLAGS", 1004},
    {"ERROR_BADDB", 1009},
    {"ERROR_BADKEY", 1010},
    {"ERROR_CANTOPEN", 1011},
    {"ERROR_CANTREAD", 1012},
    {"ERROR_CANTWRITE", 1013},
    {"ERROR_REGISTRY_CORRUPT", 1015},
    {"ERROR_REGISTRY_IO_FAILED", 1016},
    {"ERROR_KEY_DELETED", 1018},
    {"ERROR_INVALID_SERVICE_CONTROL", 1052},
    {"ERROR_SERVICE_REQUEST_TIMEOUT", 1053},
    {"ERROR_SERVICE_NO_THREAD", 1054},
    {"ERROR_SERVICE_DATABASE_LOCKED", 1055},
    {"ERROR_SERVICE_ALREADY_RUNNING", 1056},
    {"ERROR_INVALID_SERVICE_ACCOUNT", 1057},
    {"ERROR_SERVICE_DISABLED", 1058},
    {"ERROR_SERVICE_DOES_NOT_EXIST", 1060},
    {"ERROR_SERVICE_CANNOT_ACCEPT_CTRL", 1061},
    {"ERROR_SERVICE_NOT_ACTIVE", 1062},
    {"ERROR_PROCESS_ABORTED", 1067},
    {"ERROR_SERVICE_DEPENDENCY_FAIL", 1068},
    {"ERROR_SERVICE_LOGON_FAILED", 1069},
    {"ERROR_SERVICE_MARKED_FOR_DELETE", 1072},
    {"ERROR_SERVICE_EXISTS", 1073},
    {"ERROR_NOT_FOUND", 1168},
    {"ERROR_PRIVILEGE_NOT_HELD", 1314},
    {"ERROR_TIMEOUT", 1460},
    {"RPC_S_SERVER_UNAVAILABLE", 1722},
    {"S_OK", 0},
    {"E_NOTIMPL", 0x80004001},
    {"E_FAIL", 0x80004005},
    {"CO_E_CLASSSTRING", 0x800401F3},
    {"E_ACCESSDENIED", 0x80070005},
    {"E_HANDLE", 0x80070006},
    {"E_OUTOFMEMORY", 0x8007000E},
    {"E_INVALIDARG", 0x80070057},
    {"QVTR_E_UNEXPECTED", 0x90000000},
    {"QVTR_E_NOT_INITIALIZED", 0x90000001},
    {"QVTR_E_INVALID_ARGUMENT", 0x90000002},
    {"QVTR_E_LANGUAGE_FILE", 0x90000003},
    {"QVTR_E_REGISTRY_KEY", 0x90000004},
    {"QVTR_E_SERVICE_NOT_REGISTERED", 0x90000005},
    {"QVTR_E_SERVICE_NOT_STARTED", 0x90000006},
    {"QVTR_E_SESSION_UNKNOWN", 0x90000007},
    {"QVTR_E_LOCK_NOT_ACQUIRED", 0x90000008},
};

bool SameName(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

}  // namespace

bool FindErrorName(const std::string& name, uint32_t& code) {
    for (const ErrorName_& entry : kNames) {
        if (SameName(name, entry.name)) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

std::string ErrorName(uint32_t code) {
    for (const ErrorName_& entry : kNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return "";
}

}  // namespace tool
