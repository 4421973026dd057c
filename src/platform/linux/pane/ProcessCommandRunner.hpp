#pragma once

#include "pane/PaneCommandRunner.hpp"

namespace tandril {

// Runs a program on the calling thread and waits for it, at most the given limit. The program
// runs in a process group of its own, so that a time-out ends everything it started (a shell
// pipeline's tools too); its standard error is discarded.
class ProcessCommandRunner : public PaneCommandRunner {
public:
    std::optional<std::string> run(const std::string& program, const std::vector<std::string>& arguments,
                                   std::chrono::milliseconds limit) override;
};

}  // namespace tandril
