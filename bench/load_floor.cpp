// The floor of a module's start-up: an empty C++ shared library that links what
// the module links (libstdc++, libsqlite3) and does nothing when loaded.
#include <sqlite3.h>

#include <string>

extern "C" __attribute__((visibility("default"))) const char* LoadFloorVersion() {
    static const std::string version = sqlite3_libversion();
    return version.c_str();
}
