#pragma once

#include <string>

#include "foundation/UUID.hpp"

namespace tandril {

// The BLE layer's UUID text: each byte of the UUID's kept form (2, 4 or 16 bytes) as two
// lower-case hex digits, with a "-" after bytes 3, 5, 7 and 9 where the UUID has them.
// "2a19" (16-bit), "0000180d-" (32-bit), "7905f431-b5ce-4e99-a40f-4b1e122d00d0" (128-bit).
std::string representativeString(const UUID& uuid);

}  // namespace tandril
