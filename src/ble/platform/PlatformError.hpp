#pragma once

#include <cstdint>
#include <string>

#include "foundation/Error.hpp"

namespace tandril {

// Builds the errors that adapters report, with the platform's localized descriptions, so
// that every adapter's errors print alike in log lines.
class PlatformError {
public:
    // "CBErrorDomain" with the central's numbering (3 not connected, 6 timeout, 7 disconnected, ...).
    static ErrorPtr centralError(std::int64_t code);
    // "CBATTErrorDomain" with an ATT code (1, 3, 5, 8, 15, ..., and 0xA0-0xA3 of the
    // notification-center profile).
    static ErrorPtr attError(std::int64_t code);

    // The platform's text for a code of either domain.
    static std::string centralErrorDescription(std::int64_t code);
    static std::string attErrorDescription(std::int64_t code);
};

}  // namespace tandril
