#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tandril {

// A byte string: characteristic values, reassembly buffers, file contents.
using Bytes = std::vector<std::uint8_t>;

// Bytes from the characters of a text (no terminator).
Bytes bytesFromString(std::string_view text);
// The text whose characters are the given bytes (no validation).
std::string stringFromBytes(const Bytes& bytes);
// Lower-case hex digits, no separators: "00180401".
std::string hexString(const Bytes& bytes);
// The platform's data description: "<00180401 2a000000>" (groups of four bytes).
std::string bytesDescription(const Bytes& bytes);
// Parses hex digits (white space ignored); std::nullopt-like empty result with ok=false on bad input.
bool bytesFromHex(std::string_view hex, Bytes& out);

}  // namespace tandril
