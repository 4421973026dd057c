#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace tandril::test {

// Captures every log line while alive (and restores the default sink afterwards).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // True when a captured line equals `line` exactly.
    bool contains(const std::string& line) const;
    std::size_t count(const std::string& line) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tandril::test
