#pragma once

#include <string>
#include <vector>

#include "agent/TDRCrashReporter.hpp"

namespace tandril::test {

class FakeCrashReporter : public TDRCrashReporter {
public:
    void startWithAPIKey(const std::string& key) override { keys.push_back(key); }
    std::vector<std::string> keys;
};

}  // namespace tandril::test
