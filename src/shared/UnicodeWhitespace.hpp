#pragma once

#include <cstdint>
#include <string_view>

namespace tandril {

// The white-space-and-line-break class of the desktop platform: every character of the
// Unicode separator categories (Zs, Zl, Zp: U+0020, U+00A0, U+1680, U+2000-U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000) plus the controls U+0009-U+000D and U+0085.
// Bytes that are not valid UTF-8 never count as white space.
class UnicodeWhitespace {
public:
    static bool isWhitespaceOrNewline(std::int32_t codePoint);

    // The text without leading white space.
    static std::string_view trimLeading(std::string_view text);
    // The text without leading and trailing white space.
    static std::string_view trim(std::string_view text);
};

}  // namespace tandril
