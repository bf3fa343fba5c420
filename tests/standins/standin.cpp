// A stand-in for a terminal-server library: built as "WTSAPI32.DLL" (the
// Windows Terminal Services functions) or, with STANDIN_WF, as "WFAPI.DLL" (the
// Citrix functions of the same shape). STANDIN_NO_MESSAGE leaves out the
// message function, making an incomplete library.
//
// Its answers come from the environment at each call, so a test sets them
// before it asks (PREFIX is QVTR_STANDIN_WTS_ or QVTR_STANDIN_WF_):
//   PREFIX SESSION       the session ID, decimal (default 1)
//   PREFIX CLIENT        the client name (default "STANDIN-CLIENT")
//   PREFIX FAIL          queries that fail: "session", "client" or both, comma-separated
//   PREFIX UNTERMINATED  "1": the client name comes back without its NUL, its
//                        byte count the text's length and the buffer no larger
#include <cstdlib>
#include <cstring>
#include <string>

#include "win32/win32.h"

#if defined(_WIN32)
#define STANDIN_EXPORT extern "C" __declspec(dllexport)
#else
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if defined(STANDIN_WF)
#define STANDIN_FUNCTION(suffix) WF##suffix
#define STANDIN_PREFIX "QVTR_STANDIN_WF_"
#else
#define STANDIN_FUNCTION(suffix) WTS##suffix
#define STANDIN_PREFIX "QVTR_STANDIN_WTS_"
#endif

namespace {

long g_outstanding = 0;  // buffers handed out and not yet freed
long g_queries = 0;

// The variable's text, or `otherwise` when it is not set.
std::string Setting(const char* name, const char* otherwise) {
    const std::string variable = std::string(STANDIN_PREFIX) + name;
#if defined(_WIN32)
    // The process environment, which the C runtime's copy in this DLL would not follow.
    char buffer[512];
    const DWORD length = GetEnvironmentVariableA(variable.c_str(), buffer, sizeof buffer);
    return length == 0 || length >= sizeof buffer ? otherwise : std::string(buffer, length);
#else
    const char* text = std::getenv(variable.c_str());
    return text ? text : otherwise;
#endif
}

bool Fails(const char* query) {
    return ("," + Setting("FAIL", "") + ",").find(std::string(",") + query + ",") != std::string::npos;
}

// Exactly `size` bytes, so a read past them is caught under AddressSanitizer.
BOOL Hand(const void* data, size_t size, LPSTR* buffer, DWORD* bytes) {
    *buffer = static_cast<LPSTR>(std::malloc(size ? size : 1));
    if (*buffer == nullptr) {
        return FALSE;
    }
    std::memcpy(*buffer, data, size);
    *bytes = static_cast<DWORD>(size);
    ++g_outstanding;
    return TRUE;
}

}  // namespace

STANDIN_EXPORT BOOL WINAPI STANDIN_FUNCTION(QuerySessionInformationA)(HANDLE, DWORD, int infoClass, LPSTR* buffer,
                                                                      DWORD* bytes) {
    ++g_queries;
    *buffer = nullptr;
    *bytes = 0;
    if (infoClass == 4 && !Fails("session")) {  // the session ID
        const DWORD id = static_cast<DWORD>(std::strtoul(Setting("SESSION", "1").c_str(), nullptr, 10));
        return Hand(&id, sizeof id, buffer, bytes);
    }
    if (infoClass == 10 && !Fails("client")) {  // the client name
        const std::string text = Setting("CLIENT", "STANDIN-CLIENT");
        return Hand(text.c_str(), text.size() + (Setting("UNTERMINATED", "") == "1" ? 0 : 1), buffer, bytes);
    }
    return FALSE;
}

STANDIN_EXPORT void WINAPI STANDIN_FUNCTION(FreeMemory)(PVOID memory) {
    if (memory != nullptr) {
        --g_outstanding;
        std::free(memory);
    }
}

#if !defined(STANDIN_NO_MESSAGE)
// Present because the module looks it up; it is never called.
STANDIN_EXPORT BOOL WINAPI STANDIN_FUNCTION(SendMessageA)(HANDLE, DWORD, LPSTR, DWORD, LPSTR, DWORD, DWORD, DWORD,
                                                          DWORD*, BOOL) {
    return FALSE;
}
#endif

// For the tests: how many queries were made, or buffers not yet given back.
STANDIN_EXPORT long QvtrStandinCount(int queries) {
    return queries ? g_queries : g_outstanding;
}
