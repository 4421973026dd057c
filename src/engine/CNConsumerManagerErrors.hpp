#pragma once

#include <cstdint>
#include <string>

#include "foundation/Error.hpp"

namespace tandril {

// Errors that the consumer engine makes itself (platform errors pass through unchanged).
// Each carries a human-readable text under "NSLocalizedDescription".
inline constexpr const char* CNConsumerManagerErrorDomain = "CNConsumerManagerErrorDomain";

// The phone's main service lacks one or more of its four characteristics.
inline constexpr std::int64_t CNConsumerManagerErrorMissingMainCharacteristics = 1;
// The phone's notification-center service lacks one or more of its three characteristics.
inline constexpr std::int64_t CNConsumerManagerErrorMissingNotificationCharacteristics = 2;
// The phone does not offer a service that the connection needs.
inline constexpr std::int64_t CNConsumerManagerErrorMissingService = 3;
// A phone that connected to our advertisement did not finish pairing in time.
inline constexpr std::int64_t CNConsumerManagerErrorPairingTimeout = 4;

// The user-info key under which an error keeps the error that caused it.
inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";

// Builds an error of the engine's domain with the given text as its localized description
// and, when there is one, the error that caused it under "NSUnderlyingError" (as a
// dictionary of "domain", "code" and "userInfo"; CNUnderlyingError reads it back).
ErrorPtr CNConsumerManagerError(std::int64_t code, const std::string& description,
                                const ErrorPtr& underlying = nullptr);
// The error kept under "NSUnderlyingError", or nullptr.
ErrorPtr CNUnderlyingError(const ErrorPtr& error);

}  // namespace tandril
