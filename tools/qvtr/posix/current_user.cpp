// The Linux half of the reg verbs' name for the current user's key.
#include <unistd.h>

#include "reg_verbs.h"

namespace tool {
namespace reg {

std::string CurrentUserSid() {
    return "S-1-22-1-" + std::to_string(static_cast<unsigned long>(getuid()));
}

}  // namespace reg
}  // namespace tool
