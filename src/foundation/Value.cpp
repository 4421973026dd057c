#include "foundation/Value.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace tandril {

namespace {
const Value& nullValue() {
    static const Value kNull;
    return kNull;
}

// Shortest text that reads back as the same double, as the platform's numbers print.
std::string realText(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
    return std::string(buffer, result.ptr);
}

// Collection descriptions leave a string bare only when it is all ASCII letters and digits
// ("iPhone", but "\"com.apple.Mail\"", "\"_key\"", "\"Hello world\"").
bool isPlainCharacter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Decodes one UTF-8 sequence at `i`; a byte that starts no valid sequence comes back as itself.
std::uint32_t nextCodePoint(const std::string& s, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    int extra = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
    if (extra == 0) {
        ++i;
        return c;
    }
    std::uint32_t cp = c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= s.size() || (byte(i + k) & 0xC0) != 0x80) {
            extra = 0;
            cp = c;
            break;
        }
        cp = cp << 6 | (byte(i + k) & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

// A string as collection descriptions print it: bare when plain, else quoted with escapes.
std::string quotedIfNeeded(const std::string& s) {
    bool plain = !s.empty();
    for (unsigned char c : s) {
        if (!isPlainCharacter(c)) {
            plain = false;
            break;
        }
    }
    if (plain) return s;
    std::string out = "\"";
    char buffer[16];
    for (std::size_t i = 0; i < s.size();) {
        std::uint32_t cp = nextCodePoint(s, i);
        switch (cp) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\n': out += "\\n"; continue;
        case '\t': out += "\\t"; continue;
        case '\r': out += "\\r"; continue;
        default: break;
        }
        if (cp < 0x20 || cp == 0x7F) {
            std::snprintf(buffer, sizeof buffer, "\\%03o", static_cast<unsigned>(cp));
            out += buffer;
        } else if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x10000) {
            std::snprintf(buffer, sizeof buffer, "\\U%04x", static_cast<unsigned>(cp));
            out += buffer;
        } else {
            std::uint32_t v = cp - 0x10000;
            std::snprintf(buffer, sizeof buffer, "\\U%04x\\U%04x", static_cast<unsigned>(0xD800 + (v >> 10)),
                          static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
            out += buffer;
        }
    }
    out += "\"";
    return out;
}

std::string indentText(int level) { return std::string(static_cast<std::size_t>(level) * 4, ' '); }

void describe(const Value& value, int level, bool nested, std::string& out);

void describeCollection(const Value& value, int level, std::string& out) {
    if (const Array* array = value.asArray()) {
        out += "(";
        if (!array->empty()) out += "\n";
        for (std::size_t i = 0; i < array->size(); ++i) {
            out += indentText(level + 1);
            describe((*array)[i], level + 1, true, out);
            out += i + 1 < array->size() ? ",\n" : "\n";
        }
        if (!array->empty()) out += indentText(level);
        out += ")";
        return;
    }
    const Dictionary* dictionary = value.asDictionary();
    out += "{";
    if (!dictionary->empty()) out += "\n";
    for (const auto& [key, member] : *dictionary) {
        out += indentText(level + 1);
        out += quotedIfNeeded(key);
        out += " = ";
        describe(member, level + 1, true, out);
        out += ";\n";
    }
    if (!dictionary->empty()) out += indentText(level);
    out += "}";
}

// `nested` values sit inside a collection: strings are quoted when needed, and a nested
// collection starts with its own indentation, as the platform prints it ("key =     {").
void describe(const Value& value, int level, bool nested, std::string& out) {
    switch (value.type()) {
    case Value::Type::Null: out += nested ? "\"<null>\"" : "(null)"; return;
    case Value::Type::String: out += nested ? quotedIfNeeded(*value.asString()) : *value.asString(); return;
    case Value::Type::Integer: out += std::to_string(*value.asInteger()); return;
    case Value::Type::Real: out += realText(*value.asReal()); return;
    case Value::Type::Boolean: out += *value.asBoolean() ? "1" : "0"; return;
    case Value::Type::Data: out += bytesDescription(*value.asData()); return;
    case Value::Type::Date: {
        std::string text = dateDescription(*value.asDate());
        out += nested ? quotedIfNeeded(text) : text;
        return;
    }
    case Value::Type::Array:
    case Value::Type::Dictionary:
        if (nested) out += indentText(level);
        describeCollection(value, level, out);
        return;
    }
}
}  // namespace

Value::Type Value::type() const {
    switch (v_.index()) {
    case 0: return Type::Null;
    case 1: return Type::String;
    case 2: return Type::Integer;
    case 3: return Type::Real;
    case 4: return Type::Boolean;
    case 5: return Type::Data;
    case 6: return Type::Date;
    case 7: return Type::Array;
    default: return Type::Dictionary;
    }
}

const std::string* Value::asString() const { return std::get_if<std::string>(&v_); }
const Bytes* Value::asData() const { return std::get_if<Bytes>(&v_); }

const Array* Value::asArray() const {
    auto p = std::get_if<std::shared_ptr<const Array>>(&v_);
    return p ? p->get() : nullptr;
}

const Dictionary* Value::asDictionary() const {
    auto p = std::get_if<std::shared_ptr<const Dictionary>>(&v_);
    return p ? p->get() : nullptr;
}

std::optional<std::int64_t> Value::asInteger() const {
    if (auto i = std::get_if<std::int64_t>(&v_)) return *i;
    if (auto d = std::get_if<double>(&v_)) {
        // Out-of-range and NaN reals have no integer value.
        if (!(*d > -9.3e18 && *d < 9.3e18)) return std::nullopt;
        return static_cast<std::int64_t>(*d);
    }
    if (auto b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
    return std::nullopt;
}

std::optional<double> Value::asReal() const {
    if (auto i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
    if (auto d = std::get_if<double>(&v_)) return *d;
    if (auto b = std::get_if<bool>(&v_)) return *b ? 1.0 : 0.0;
    return std::nullopt;
}

std::optional<bool> Value::asBoolean() const {
    if (auto b = std::get_if<bool>(&v_)) return *b;
    if (auto i = std::get_if<std::int64_t>(&v_)) return *i != 0;
    if (auto d = std::get_if<double>(&v_)) return *d != 0;
    return std::nullopt;
}

std::optional<Date> Value::asDate() const {
    if (auto d = std::get_if<Date>(&v_)) return *d;
    return std::nullopt;
}

const Value& Value::operator[](const std::string& key) const {
    const Dictionary* dictionary = asDictionary();
    if (!dictionary) return nullValue();
    auto it = dictionary->find(key);
    return it == dictionary->end() ? nullValue() : it->second;
}

const Value& Value::at(std::size_t index) const {
    const Array* array = asArray();
    if (!array || index >= array->size()) return nullValue();
    return (*array)[index];
}

std::string Value::description() const {
    std::string out;
    describe(*this, 0, false, out);
    return out;
}

bool operator==(const Value& a, const Value& b) {
    // Integers and reals compare by numeric value, as the platform's numbers do.
    if ((a.isInteger() && b.isReal()) || (a.isReal() && b.isInteger())) return *a.asReal() == *b.asReal();
    if (a.type() != b.type()) return false;
    if (const Array* x = a.asArray()) return x == b.asArray() || *x == *b.asArray();
    if (const Dictionary* x = a.asDictionary()) return x == b.asDictionary() || *x == *b.asDictionary();
    return a.v_ == b.v_;
}

std::ostream& operator<<(std::ostream& out, const Value& value) { return out << value.description(); }

}  // namespace tandril
