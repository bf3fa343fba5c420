#include "win32/posix/named_objects.h"

#include <unistd.h>

#include <cstring>

namespace posix {

namespace {

// Win32 object names are case-sensitive and may hold any character but the
// namespace separator; shared-memory names take one path component, so
// everything outside a safe set is written as %XX.
std::string Escape(const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                          c == '-' || c == '.';
        if (safe) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
    return escaped;
}

const std::string& UserPrefix() {
    static const std::string prefix = "/qvtr-" + std::to_string(getuid()) + "-";
    return prefix;
}

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

std::string SharedObjectName(const char* name) {
    if (StartsWith(name, "Global\\")) {
        return "/qvtr-global-" + Escape(name + 7);
    }
    if (StartsWith(name, "Local\\")) {
        return UserPrefix() + Escape(name + 6);
    }
    return UserPrefix() + Escape(name);
}

std::string SharedObjectPath(const std::string& sharedName) {
    return "/dev/shm" + sharedName;
}

}  // namespace posix
