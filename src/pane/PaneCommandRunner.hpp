#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tandril {

// Runs a program synchronously and hands back what it wrote on its standard output.
class PaneCommandRunner {
public:
    virtual ~PaneCommandRunner() = default;

    // The standard output of `program` run with `arguments`, read to its end; nullopt when
    // the program could not be started or did not end within `limit` (it is then killed).
    virtual std::optional<std::string> run(const std::string& program, const std::vector<std::string>& arguments,
                                           std::chrono::milliseconds limit) = 0;
};

}  // namespace tandril
