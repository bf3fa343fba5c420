// Symbolic names of the error codes an administrator meets with this module.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

// The code of a name such as ERROR_ACCESS_DENIED (any letter case); false when unknown.
bool FindErrorName(const std::string& name, uint32_t& code);
// The name of a code, or empty.
std::string ErrorName(uint32_t code);

}  // namespace tool
