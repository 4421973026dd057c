#include "shared/CatalogueFlag.hpp"

#include "shared/UnicodeWhitespace.hpp"

namespace tandril {

bool CatalogueFlag::read(std::string_view text) {
    text = UnicodeWhitespace::trimLeading(text);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.front() == '0') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    const char first = text.front();
    return first == 'Y' || first == 'y' || first == 'T' || first == 't' || (first >= '1' && first <= '9');
}

bool CatalogueFlag::read(const Value& value) {
    if (const std::string* text = value.asString()) {
        return read(std::string_view(*text));
    }
    if (value.isNumber()) {
        return value.asBoolean().value_or(false);
    }
    return false;
}

const char* CatalogueFlag::text(bool enabled) {
    return enabled ? "1" : "0";
}

}  // namespace tandril
