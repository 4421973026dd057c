#include "engine/CNUTF8.hpp"

namespace tandril {

bool CNUTF8::isValid(const std::uint8_t* bytes, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t count;
        std::uint32_t codePoint;
        std::uint32_t smallest;
        if ((lead & 0xE0) == 0xC0) {
            count = 1, codePoint = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            count = 2, codePoint = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            count = 3, codePoint = lead & 0x07, smallest = 0x10000;
        } else {
            return false;
        }
        if (length - i <= count) return false;
        for (std::size_t k = 1; k <= count; ++k) {
            const std::uint8_t next = bytes[i + k];
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += count + 1;
    }
    return true;
}

std::optional<std::string> CNUTF8::decode(const Bytes& bytes) { return decode(bytes.data(), bytes.size()); }

std::optional<std::string> CNUTF8::decode(const std::uint8_t* bytes, std::size_t length) {
    if (!isValid(bytes, length)) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

}  // namespace tandril
