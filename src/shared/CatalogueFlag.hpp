#pragma once

#include <string_view>

#include "foundation/Value.hpp"

namespace tandril {

// The "enabled" value of a catalogue entry. Both programs write the one-character texts
// "1" and "0"; reading follows the platform's boolean reading of a text, so that hand-edited
// files behave as they did there.
class CatalogueFlag {
public:
    // True when the text, after optional leading white space, an optional sign and leading
    // zeros, begins with "Y", "y", "T", "t" or a digit 1-9.
    static bool read(std::string_view text);
    // A text by the rule above; a boolean or a number by its value; anything else (and an
    // absent value) is false.
    static bool read(const Value& value);
    // "1" or "0".
    static const char* text(bool enabled);
};

}  // namespace tandril
