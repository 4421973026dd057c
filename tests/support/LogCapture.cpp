#include "support/LogCapture.hpp"

#include <algorithm>

#include "foundation/Log.hpp"

namespace tandril::test {

LogCapture::LogCapture() {
    setLogSink([this](const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    });
}

LogCapture::~LogCapture() { resetLogSink(); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& line) const { return count(line) > 0; }

std::size_t LogCapture::count(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace tandril::test
