#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Bytes.hpp"

namespace tandril {

// A Bluetooth UUID as the platform keeps it: 2, 4 or 16 bytes. A 128-bit UUID on the
// Bluetooth base (0000xxxx-0000-1000-8000-00805F9B34FB) is held in its 16-bit form.
// Compares by value across forms (a 16-bit UUID equals its 128-bit expansion).
class UUID {
public:
    UUID();  // the nil 128-bit UUID

    // Parses "180A", "0000180A", or 8-4-4-4-12 in any letter case; nullopt on bad text.
    static std::optional<UUID> fromString(std::string_view text);
    // Like fromString but yields the nil UUID on bad text (for constants known to be valid).
    static UUID fromStringOrNil(std::string_view text);
    // From 2, 4 or 16 raw big-endian bytes; nullopt for another length.
    static std::optional<UUID> fromBytes(const Bytes& bytes);
    static UUID from16(std::uint16_t value);
    static UUID from32(std::uint32_t value);
    // A random version-4 UUID (peripheral identifiers).
    static UUID random();

    // The bytes in the kept form (2, 4 or 16).
    const Bytes& data() const { return bytes_; }
    // The full 128-bit form.
    std::array<std::uint8_t, 16> bytes128() const;

    // Upper-case canonical text: "180A" for 16-bit, "0000180A" for 32-bit,
    // "8-4-4-4-12" for 128-bit.
    std::string UUIDString() const;
    // Lower-case form of UUIDString().
    std::string lowercaseString() const;
    std::string description() const { return UUIDString(); }

    bool isNil() const;

    friend bool operator==(const UUID& a, const UUID& b);
    friend bool operator!=(const UUID& a, const UUID& b) { return !(a == b); }
    friend bool operator<(const UUID& a, const UUID& b);

private:
    explicit UUID(Bytes bytes) : bytes_(std::move(bytes)) {}
    Bytes bytes_;
};

struct UUIDHash {
    std::size_t operator()(const UUID& u) const;
};

// Prints UUIDString(): readable UUIDs in test failures.
std::ostream& operator<<(std::ostream& out, const UUID& uuid);

}  // namespace tandril
