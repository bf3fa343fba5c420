// The Windows half of the service verbs: sc.exe's exit statuses, and create and
// delete left to sc.exe.
#include <string>
#include "service_verbs.h"

namespace tool {
namespace service {

int ExitFor(DWORD code) {
    return code != 0 ? static_cast<int>(code) : kExitFailure;
}

int RunCreateOrDelete(const Args& args) {
    const std::string& action = args[0];
    return UsageError("service", action + " is for the emulated machine on Linux; on Windows use sc.exe " + action);
}

}  // namespace service
}  // namespace tool
