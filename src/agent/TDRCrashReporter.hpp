#pragma once

#include <string>

namespace tandril {

// The crash reporter: records crashes of this process from the moment it is started.
class TDRCrashReporter {
public:
    virtual ~TDRCrashReporter() = default;

    virtual void startWithAPIKey(const std::string& apiKey) = 0;
};

}  // namespace tandril
