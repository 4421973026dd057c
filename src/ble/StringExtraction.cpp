#include "ble/StringExtraction.hpp"

namespace tandril {

std::string representativeString(const UUID& uuid) {
    static const char digits[] = "0123456789abcdef";
    const Bytes& bytes = uuid.data();
    std::string text;
    text.reserve(bytes.size() * 2 + 4);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
        if (i == 3 || i == 5 || i == 7 || i == 9) text += '-';
    }
    return text;
}

}  // namespace tandril
