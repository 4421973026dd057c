#pragma once

#include <optional>
#include <string>

#include "foundation/Bytes.hpp"

namespace tandril {

// Strict UTF-8 decoding of texts that arrive over the air: overlong forms, surrogates,
// code points beyond U+10FFFF and cut sequences are rejected, as the platform's decoder does.
class CNUTF8 {
public:
    // The text the bytes encode; absent when they are not valid UTF-8.
    static std::optional<std::string> decode(const Bytes& bytes);
    static std::optional<std::string> decode(const std::uint8_t* bytes, std::size_t length);
    static bool isValid(const std::uint8_t* bytes, std::size_t length);
};

}  // namespace tandril
