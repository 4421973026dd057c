#include "foundation/JSONPropertyList.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/PropertyList.hpp"

namespace tandril {

namespace {

using json = nlohmann::json;

// Builds the value as the parser reports it, with an explicit stack of open containers:
// nlohmann's parser does not recurse, and neither does this.
class ValueBuilder {
public:
    std::optional<Value> root;
    std::string problem;

    bool null() { return refuse("null has no property-list form"); }
    bool boolean(bool b) { return add(Value(b)); }
    bool number_integer(json::number_integer_t n) { return add(Value(static_cast<std::int64_t>(n))); }
    bool number_unsigned(json::number_unsigned_t n) {
        if (n <= static_cast<json::number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
            return add(Value(static_cast<std::int64_t>(n)));
        }
        return add(Value(static_cast<double>(n)));  // past 64-bit integers, as a real
    }
    bool number_float(json::number_float_t d, const json::string_t&) {
        if (!std::isfinite(d)) return refuse("number out of range");
        return add(Value(static_cast<double>(d)));
    }
    bool string(json::string_t& s) { return add(Value(std::move(s))); }
    bool binary(json::binary_t&) { return refuse("binary values have no JSON text form"); }
    bool start_object(std::size_t) { return open(true); }
    bool key(json::string_t& k) {
        stack_.back().key = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(false); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        // "[json.exception.parse_error.101] parse error at line 1, column 2: ..." without
        // the library's tag.
        std::string message = e.what();
        if (const auto tag = message.find("] "); message.rfind("[json.exception.", 0) == 0 && tag != std::string::npos) {
            message.erase(0, tag + 2);
        }
        return refuse(message);
    }

private:
    struct Frame {
        bool isObject;
        Array array;
        Dictionary dictionary;
        std::string key;
    };

    bool refuse(const std::string& message) {
        if (problem.empty()) problem = message;
        return false;
    }
    // A value at depth d (the root is at 0) sits inside d open containers.
    bool tooDeep() const { return stack_.size() > static_cast<std::size_t>(PropertyList::kMaxDepth); }

    bool add(Value value) {
        if (tooDeep()) return refuse("nested too deeply");
        if (stack_.empty()) {
            root = std::move(value);
        } else if (stack_.back().isObject) {
            stack_.back().dictionary.insert_or_assign(std::move(stack_.back().key), std::move(value));
        } else {
            stack_.back().array.push_back(std::move(value));
        }
        return true;
    }
    bool open(bool isObject) {
        if (tooDeep()) return refuse("nested too deeply");
        stack_.push_back(Frame{isObject, {}, {}, {}});
        return true;
    }
    bool close() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        return add(frame.isObject ? Value(std::move(frame.dictionary)) : Value(std::move(frame.array)));
    }

    std::vector<Frame> stack_;
};

bool toJSON(const Value& value, json& out, int depth, std::string& problem) {
    if (depth > PropertyList::kMaxDepth) {
        problem = "nested too deeply";
        return false;
    }
    switch (value.type()) {
    case Value::Type::Null: problem = "a null value has no property-list form"; return false;
    case Value::Type::String: out = *value.asString(); return true;
    case Value::Type::Integer: out = *value.asInteger(); return true;
    case Value::Type::Boolean: out = *value.asBoolean(); return true;
    case Value::Type::Real:
        if (!std::isfinite(*value.asReal())) {
            problem = "JSON cannot hold an infinite or NaN number";
            return false;
        }
        out = *value.asReal();
        return true;
    case Value::Type::Data: problem = "JSON cannot hold data"; return false;
    case Value::Type::Date: problem = "JSON cannot hold a date"; return false;
    case Value::Type::Array:
        out = json::array();
        for (const Value& item : *value.asArray()) {
            json element;
            if (!toJSON(item, element, depth + 1, problem)) return false;
            out.push_back(std::move(element));
        }
        return true;
    case Value::Type::Dictionary:
        out = json::object();
        for (const auto& [key, item] : *value.asDictionary()) {
            json element;
            if (!toJSON(item, element, depth + 1, problem)) return false;
            out[key] = std::move(element);
        }
        return true;
    }
    return false;
}

}  // namespace

std::optional<Value> JSONPropertyList::parse(std::string_view text, std::string& problem) {
    ValueBuilder builder;
    bool ok = false;
    try {
        ok = json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json, true);
    } catch (const std::exception& e) {  // the parser reports through the builder; this is a backstop
        builder.problem = e.what();
        ok = false;
    }
    if (!ok || !builder.root) {
        problem = builder.problem.empty() ? "malformed JSON" : builder.problem;
        return std::nullopt;
    }
    return std::move(builder.root);
}

std::optional<std::string> JSONPropertyList::serialize(const Value& value, std::string& problem) {
    json document;
    if (!toJSON(value, document, 0, problem)) return std::nullopt;
    try {
        return document.dump();
    } catch (const json::exception&) {  // a text that is not valid UTF-8
        problem = "JSON cannot hold text that is not valid UTF-8";
        return std::nullopt;
    }
}

}  // namespace tandril
