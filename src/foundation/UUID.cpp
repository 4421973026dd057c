#include "foundation/UUID.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>

namespace tandril {

namespace {
// 0000xxxx-0000-1000-8000-00805F9B34FB: the Bluetooth base UUID.
constexpr std::array<std::uint8_t, 16> kBase = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex digits to bytes; false on anything but an even run of hex digits.
bool parseHex(std::string_view text, Bytes& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = hexValue(text[i]);
        int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return true;
}

// A 128-bit value on the Bluetooth base with a 16-bit alias shrinks to 2 bytes.
Bytes shortened(Bytes full) {
    if (full.size() == 16 && full[0] == 0 && full[1] == 0 && std::equal(full.begin() + 4, full.end(), kBase.begin() + 4)) {
        return Bytes{full[2], full[3]};
    }
    return full;
}

void appendHex(std::string& out, const std::uint8_t* bytes, std::size_t n, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0f]);
    }
}
}  // namespace

UUID::UUID() : bytes_(16, 0) {}

std::optional<UUID> UUID::fromString(std::string_view text) {
    Bytes bytes;
    if (text.size() == 4 || text.size() == 8) {
        if (!parseHex(text, bytes)) return std::nullopt;
        return UUID(std::move(bytes));
    }
    if (text.size() != 36) return std::nullopt;
    std::string digits;
    digits.reserve(32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool dashPosition = i == 8 || i == 13 || i == 18 || i == 23;
        if (dashPosition != (text[i] == '-')) return std::nullopt;
        if (!dashPosition) digits.push_back(text[i]);
    }
    if (!parseHex(digits, bytes)) return std::nullopt;
    return UUID(shortened(std::move(bytes)));
}

UUID UUID::fromStringOrNil(std::string_view text) { return fromString(text).value_or(UUID()); }

std::optional<UUID> UUID::fromBytes(const Bytes& bytes) {
    if (bytes.size() == 2 || bytes.size() == 4) return UUID(bytes);
    if (bytes.size() == 16) return UUID(shortened(bytes));
    return std::nullopt;
}

UUID UUID::from16(std::uint16_t value) {
    return UUID(Bytes{static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

UUID UUID::from32(std::uint32_t value) {
    return UUID(Bytes{static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                      static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

UUID UUID::random() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    Bytes bytes(16);
    for (std::size_t i = 0; i < 16; i += 8) {
        std::uint64_t word = engine();
        std::memcpy(bytes.data() + i, &word, 8);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return UUID(std::move(bytes));
}

std::array<std::uint8_t, 16> UUID::bytes128() const {
    if (bytes_.size() == 16) {
        std::array<std::uint8_t, 16> out{};
        std::copy(bytes_.begin(), bytes_.end(), out.begin());
        return out;
    }
    std::array<std::uint8_t, 16> out = kBase;
    if (bytes_.size() == 2) {
        out[2] = bytes_[0];
        out[3] = bytes_[1];
    } else {
        std::copy(bytes_.begin(), bytes_.end(), out.begin());
    }
    return out;
}

std::string UUID::UUIDString() const {
    std::string out;
    if (bytes_.size() != 16) {
        appendHex(out, bytes_.data(), bytes_.size(), true);
        return out;
    }
    out.reserve(36);
    static constexpr std::size_t kGroups[] = {4, 2, 2, 2, 6};
    std::size_t offset = 0;
    for (std::size_t g = 0; g < 5; ++g) {
        if (g > 0) out.push_back('-');
        appendHex(out, bytes_.data() + offset, kGroups[g], true);
        offset += kGroups[g];
    }
    return out;
}

std::string UUID::lowercaseString() const {
    std::string text = UUIDString();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

bool UUID::isNil() const {
    return std::all_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b == 0; }) && bytes_.size() == 16;
}

bool operator==(const UUID& a, const UUID& b) { return a.bytes128() == b.bytes128(); }

bool operator<(const UUID& a, const UUID& b) { return a.bytes128() < b.bytes128(); }

std::size_t UUIDHash::operator()(const UUID& u) const {
    auto full = u.bytes128();
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    std::memcpy(&hi, full.data(), 8);
    std::memcpy(&lo, full.data() + 8, 8);
    return std::hash<std::uint64_t>()(hi ^ (lo * 0x9E3779B97F4A7C15ULL));
}

std::ostream& operator<<(std::ostream& out, const UUID& uuid) { return out << uuid.UUIDString(); }

}  // namespace tandril
