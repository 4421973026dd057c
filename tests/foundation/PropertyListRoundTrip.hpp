#pragma once

// The property-list reader's invariants, shared by its fuzz target and the corpus replay
// test: a parse gives a value or an error, never both or neither, and whatever is read
// survives being written as XML and read back, dates to the second (the catalogue and
// the defaults are rewritten from what was read).

#include <chrono>
#include <cmath>
#include <string>

#include "foundation/PropertyList.hpp"

namespace tandril::test {

// NaN is the one value not equal to itself; a value holding one is compared by kind only.
inline bool holdsNaN(const Value& value) {
    if (value.isReal()) return std::isnan(*value.asReal());
    if (const Array* array = value.asArray()) {
        for (const Value& item : *array) {
            if (holdsNaN(item)) return true;
        }
    }
    if (const Dictionary* dictionary = value.asDictionary()) {
        for (const auto& entry : *dictionary) {
            if (holdsNaN(entry.second)) return true;
        }
    }
    return false;
}

// The value as XML can hold it: XML dates have whole seconds, as the platform writes them.
inline Value withWholeSecondDates(const Value& value) {
    if (const auto date = value.asDate()) return Value(std::chrono::floor<std::chrono::seconds>(*date));
    if (const Array* array = value.asArray()) {
        Array out;
        for (const Value& item : *array) out.push_back(withWholeSecondDates(item));
        return Value(std::move(out));
    }
    if (const Dictionary* dictionary = value.asDictionary()) {
        Dictionary out;
        for (const auto& entry : *dictionary) out.emplace(entry.first, withWholeSecondDates(entry.second));
        return Value(std::move(out));
    }
    return value;
}

// Empty when the input keeps the invariants, otherwise what went wrong.
inline std::string propertyListRoundTripFault(const Bytes& input) {
    ErrorPtr error;
    const auto value = PropertyList::parse(input, &error);
    if (value.has_value() == static_cast<bool>(error)) return "a value and an error, or neither";
    if (!value) return {};
    const auto xml = PropertyList::serialize(*value, PropertyList::Format::XML);
    if (!xml) return {};  // a value that XML cannot hold is refused with an error, not written
    ErrorPtr againError;
    const auto again = PropertyList::parse(*xml, &againError);
    if (!again) return "its XML form cannot be read back: " + againError->description();
    if (holdsNaN(*value) ? again->type() != value->type() : *again != withWholeSecondDates(*value)) {
        return "its XML form reads back different: " + again->description();
    }
    return {};
}

}  // namespace tandril::test
