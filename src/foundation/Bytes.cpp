#include "foundation/Bytes.hpp"

namespace tandril {

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
}  // namespace

Bytes bytesFromString(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string stringFromBytes(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string hexString(const Bytes& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(kHexDigits[b >> 4]);
        out.push_back(kHexDigits[b & 0x0f]);
    }
    return out;
}

std::string bytesDescription(const Bytes& bytes) {
    std::string out = "<";
    out.reserve(bytes.size() * 2 + bytes.size() / 4 + 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) out.push_back(' ');
        out.push_back(kHexDigits[bytes[i] >> 4]);
        out.push_back(kHexDigits[bytes[i] & 0x0f]);
    }
    out.push_back('>');
    return out;
}

bool bytesFromHex(std::string_view hex, Bytes& out) {
    Bytes result;
    result.reserve(hex.size() / 2);
    int high = -1;
    for (char c : hex) {
        if (isSpace(c)) continue;
        int v = hexValue(c);
        if (v < 0) {
            out.clear();
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            result.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {  // an odd number of digits
        out.clear();
        return false;
    }
    out = std::move(result);
    return true;
}

}  // namespace tandril
