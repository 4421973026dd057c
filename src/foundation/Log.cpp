#include "foundation/Log.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace tandril {

namespace {
std::recursive_mutex& sinkMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

void writeToStandardError(const std::string& line) {
    std::string text = line + "\n";
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// The shortest text that reads back as the same number, as the platform prints numbers.
std::string realText(double d) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
    return std::string(buffer, result.ptr);
}

bool isLengthModifier(char c) { return c == 'l' || c == 'h' || c == 'q' || c == 'z' || c == 't' || c == 'j'; }
}  // namespace

LogArg::LogArg(const Value& v) {
    if (!v.isNull()) text_ = v.description();
}

std::string LogArg::text() const {
    if (text_) return *text_;
    if (isNumber_) return std::to_string(number_);
    if (isReal_) return realText(real_);
    return "(null)";
}

std::string LogArg::numberText(bool isUnsigned) const {
    if (isNumber_) return isUnsigned ? std::to_string(static_cast<std::uint64_t>(number_)) : std::to_string(number_);
    if (isReal_) return std::to_string(static_cast<std::int64_t>(real_));
    // A text where a number was expected: print what there is rather than guess.
    if (text_) return *text_;
    return "0";
}

// Reads conversions the way the platform's formatter does for the forms this system uses:
// %@, %s, %d, %i, %u, %x (with length modifiers such as l, ll, z) and %%. Anything it does
// not understand is copied through unchanged and uses no argument; a conversion without an
// argument prints as an absent one ("(null)" or 0). No input makes it read out of bounds.
std::string formatLine(std::string_view format, std::initializer_list<LogArg> args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    auto next = args.begin();
    const LogArg* none = nullptr;
    auto take = [&]() -> const LogArg* { return next != args.end() ? &*next++ : none; };

    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (i + 1 >= format.size()) {  // a lone % at the end
            out.push_back('%');
            break;
        }
        std::size_t j = i + 1;
        if (format[j] == '%') {
            out.push_back('%');
            i = j;
            continue;
        }
        while (j < format.size() && isLengthModifier(format[j])) ++j;
        if (j >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        char conversion = format[j];
        switch (conversion) {
        case '@':
        case 's': {
            const LogArg* arg = take();
            out += arg ? arg->text() : "(null)";
            break;
        }
        case 'd':
        case 'i': {
            const LogArg* arg = take();
            out += arg ? arg->numberText(false) : "0";
            break;
        }
        case 'u': {
            const LogArg* arg = take();
            out += arg ? arg->numberText(true) : "0";
            break;
        }
        case 'x':
        case 'X': {
            const LogArg* arg = take();
            std::string digits = arg ? arg->numberText(true) : "0";
            char* end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(digits.c_str(), &end, 10);
            if (end && *end == '\0' && errno == 0) {
                char buffer[32];
                std::snprintf(buffer, sizeof buffer, conversion == 'x' ? "%llx" : "%llX", n);
                digits = buffer;
            }
            out += digits;
            break;
        }
        default:
            out.append(format.substr(i, j - i + 1));
            break;
        }
        i = j;
    }
    return out;
}

void setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
}

void resetLogSink() { setLogSink(nullptr); }

void writeLogLine(const std::string& line) {
    // Held while the sink runs, so a sink is never replaced (or destroyed) mid-line and
    // lines from different threads never interleave.
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        LogSink sink = currentSink();  // a sink may replace itself while it runs
        sink(line);
    } else {
        writeToStandardError(line);
    }
}

}  // namespace tandril
