#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "foundation/Bytes.hpp"
#include "foundation/Date.hpp"

namespace tandril {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;

// A property-list value: string, integer, real, boolean, data, date, array or dictionary,
// or null (absent). Carries user-info maps, advertisement data, defaults and bus payloads.
class Value {
public:
    // The enumerators share their names with the types they stand for (scoped, so no clash).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
    enum class Type { Null, String, Integer, Real, Boolean, Data, Date, Array, Dictionary };
#pragma GCC diagnostic pop

    Value() = default;
    Value(std::nullptr_t) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::int64_t i) : v_(i) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(bool b) : v_(b) {}
    Value(Bytes b) : v_(std::move(b)) {}
    Value(Date d) : v_(d) {}
    Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
    Value(Dictionary d) : v_(std::make_shared<Dictionary>(std::move(d))) {}

    Type type() const;
    bool isNull() const { return type() == Type::Null; }
    bool isString() const { return type() == Type::String; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isNumber() const { return isInteger() || isReal() || isBoolean(); }
    bool isBoolean() const { return type() == Type::Boolean; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed access; nullptr when the value holds another type.
    const std::string* asString() const;
    const Bytes* asData() const;
    const Array* asArray() const;
    const Dictionary* asDictionary() const;
    std::optional<std::int64_t> asInteger() const;  // integer, or a real truncated, or boolean 0/1
    std::optional<double> asReal() const;           // any number
    std::optional<bool> asBoolean() const;          // boolean, or a number != 0
    std::optional<Date> asDate() const;

    // Dictionary member, or a null value when absent or not a dictionary.
    const Value& operator[](const std::string& key) const;
    // Array element, or a null value when out of range or not an array.
    const Value& at(std::size_t index) const;

    // The platform's description form (used by %@ in log lines): strings print bare,
    // numbers as digits, arrays "(\n    a,\n    b\n)", dictionaries "{\n    key = value;\n}".
    std::string description() const;

    friend bool operator==(const Value& a, const Value& b);
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

private:
    // Arrays and dictionaries are shared immutable; a Value is a cheap copy.
    std::variant<std::monostate, std::string, std::int64_t, double, bool, Bytes, Date,
                 std::shared_ptr<const Array>, std::shared_ptr<const Dictionary>>
        v_;
};

// Prints description(): readable values in test failures.
std::ostream& operator<<(std::ostream& out, const Value& value);

}  // namespace tandril
