#include "shared/UnicodeWhitespace.hpp"

#include <utf8proc.h>

namespace tandril {

namespace {

// Decodes the code point at `offset`; returns its length in bytes, or -1 for invalid UTF-8.
utf8proc_ssize_t decodeAt(std::string_view text, std::size_t offset, utf8proc_int32_t& codePoint) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data()) + offset;
    const auto length = static_cast<utf8proc_ssize_t>(text.size() - offset);
    const utf8proc_ssize_t used = utf8proc_iterate(bytes, length, &codePoint);
    return used > 0 ? used : -1;
}

}  // namespace

bool UnicodeWhitespace::isWhitespaceOrNewline(std::int32_t codePoint) {
    if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) {
        return true;
    }
    if (!utf8proc_codepoint_valid(codePoint)) {
        return false;
    }
    switch (utf8proc_category(codePoint)) {
        case UTF8PROC_CATEGORY_ZS:
        case UTF8PROC_CATEGORY_ZL:
        case UTF8PROC_CATEGORY_ZP:
            return true;
        default:
            return false;
    }
}

std::string_view UnicodeWhitespace::trimLeading(std::string_view text) {
    std::size_t offset = 0;
    while (offset < text.size()) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t used = decodeAt(text, offset, codePoint);
        if (used < 0 || !isWhitespaceOrNewline(codePoint)) {
            break;
        }
        offset += static_cast<std::size_t>(used);
    }
    return text.substr(offset);
}

std::string_view UnicodeWhitespace::trim(std::string_view text) {
    text = trimLeading(text);
    // Walk forward, remembering where the last character that is not white space ends.
    std::size_t offset = 0;
    std::size_t end = 0;
    while (offset < text.size()) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t used = decodeAt(text, offset, codePoint);
        if (used < 0) {
            offset += 1;
            end = offset;
            continue;
        }
        offset += static_cast<std::size_t>(used);
        if (!isWhitespaceOrNewline(codePoint)) {
            end = offset;
        }
    }
    return text.substr(0, end);
}

}  // namespace tandril
