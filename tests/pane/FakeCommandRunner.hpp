#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "pane/PaneCommandRunner.hpp"

namespace tandril::test {

// Answers every command with canned output; nullopt plays a tool that hangs or cannot start.
class FakeCommandRunner : public PaneCommandRunner {
public:
    struct Call {
        std::string program;
        std::vector<std::string> arguments;
        std::chrono::milliseconds limit;
    };

    std::optional<std::string> run(const std::string& program, const std::vector<std::string>& arguments,
                                   std::chrono::milliseconds limit) override {
        calls.push_back({program, arguments, limit});
        return output;
    }

    std::optional<std::string> output = std::string("LMP Version: 0x9\n");
    std::vector<Call> calls;
};

}  // namespace tandril::test
