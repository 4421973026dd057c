#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "foundation/Bytes.hpp"
#include "foundation/Error.hpp"
#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"
#include "foundation/Value.hpp"

namespace tandril {

// One argument of a log line, already in the form its conversion needs.
// %@ prints `text` (or "(null)" when absent); %lu %i %d print `number`; %s prints `text`.
class LogArg {
public:
    LogArg(std::nullptr_t) {}
    LogArg(const char* s) { if (s) text_ = s; }
    LogArg(const std::string& s) : text_(s) {}
    LogArg(std::string_view s) : text_(std::string(s)) {}
    LogArg(const std::optional<std::string>& s) : text_(s) {}
    LogArg(const Bytes& b) : text_(bytesDescription(b)) {}
    LogArg(const UUID& u) : text_(u.UUIDString()) {}
    LogArg(const Value& v);
    LogArg(const ErrorPtr& e) { if (e) text_ = e->description(); }
    LogArg(const Error& e) : text_(e.description()) {}
    LogArg(const Object* o) { if (o) text_ = o->description(); }
    template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
    LogArg(const std::shared_ptr<T>& o) : LogArg(static_cast<const Object*>(o.get())) {}
    template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
    LogArg(const std::weak_ptr<T>& o) : LogArg(o.lock()) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    LogArg(T n) : number_(static_cast<std::int64_t>(n)), isNumber_(true) {}
    LogArg(bool b) : number_(b ? 1 : 0), isNumber_(true) {}
    LogArg(double d) : real_(d), isReal_(true) {}

    // The text that %@ or %s prints.
    std::string text() const;
    // The text that %lu, %i or %d prints.
    std::string numberText(bool isUnsigned) const;

private:
    std::optional<std::string> text_;
    std::int64_t number_ = 0;
    double real_ = 0;
    bool isNumber_ = false;
    bool isReal_ = false;
};

// Formats a line: %@ (object text, "(null)" when absent), %lu, %i, %d, %s, %%.
std::string formatLine(std::string_view format, std::initializer_list<LogArg> args);

// Where lines go: standard error by default. Tests install a capturing sink.
using LogSink = std::function<void(const std::string& line)>;
void setLogSink(LogSink sink);
void resetLogSink();
void writeLogLine(const std::string& line);

template <class... Args>
void log(std::string_view format, const Args&... args) {
    writeLogLine(formatLine(format, {LogArg(args)...}));
}

}  // namespace tandril
