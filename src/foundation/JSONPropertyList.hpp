#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/Value.hpp"

namespace tandril {

// The JSON form of a property list, through nlohmann-json. Objects become dictionaries
// (a repeated key keeps its last value), integers that fit 64 bits stay integers, other
// numbers become reals. JSON null has no property-list form and is refused, as are
// non-finite numbers, text that is not valid UTF-8, and nesting deeper than
// PropertyList::kMaxDepth. Nothing throws: failures give nullopt and a description.
class JSONPropertyList {
public:
    static std::optional<Value> parse(std::string_view text, std::string& problem);
    // Compact JSON. Data, dates, null, non-finite reals and invalid UTF-8 cannot be written.
    static std::optional<std::string> serialize(const Value& value, std::string& problem);
};

}  // namespace tandril
