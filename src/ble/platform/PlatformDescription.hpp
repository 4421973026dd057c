#pragma once

#include <string>

#include "foundation/Object.hpp"

namespace tandril {

// "<ClassName: 0x…, FIELDS>": the platform objects' description form, built on the
// default object description.
std::string platformObjectDescription(const Object& object, const std::string& fields);

}  // namespace tandril
