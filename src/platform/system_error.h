#pragma once
#include <cstdint>
#include <string>

namespace tph {

// The system error description of an operating-system error code, in the form
// of support/system_error.h, with the text the platform's message formatter gives.
std::string describe_system_error(uint32_t code);

}  // namespace tph
