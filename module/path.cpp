#include "module/path.h"

#include <cstring>

namespace qvtr {

std::string DirectoryOf(const char* path) {
    const char* end = nullptr;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            end = p + 1;
        }
    }
    return end ? std::string(path, end) : std::string();
}

}  // namespace qvtr
