#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/Value.hpp"

namespace tandril {

// The old text form of property lists (OpenStep/NeXT style), read only:
//   { key = value; list = (a, "b c", <0fbe>); }
// Dictionaries hold `key = value;` pairs, arrays comma-separated values (a trailing comma
// is allowed), `<hex>` is data, and every other value is a string, quoted ("..." or '...',
// with C escapes, \ooo octal and \Uxxxx, also written \uxxxx) or bare (letters, digits and _$+/:.-). `//` and
// `/* */` comments are skipped. The top level must be a dictionary or an array, so a stray
// word is not taken for a property list. Nesting deeper than PropertyList::kMaxDepth is
// refused. Failures give nullopt and a description with the line number.
class OpenStepPropertyList {
public:
    static std::optional<Value> parse(std::string_view text, std::string& problem);
    // Whether the text (after white space and comments) opens the old form unambiguously:
    // "(" or a comment. A "{" may be JSON or the old form; the caller tries both.
    static bool looksLikeOpenStep(std::string_view text);
};

}  // namespace tandril
