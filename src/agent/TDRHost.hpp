#pragma once

#include <optional>
#include <string>

namespace tandril {

// The computer the agent runs on.
class TDRHost {
public:
    virtual ~TDRHost() = default;

    // The computer's name as shown to people; absent when it cannot be told.
    virtual std::optional<std::string> localizedName() const = 0;
};

}  // namespace tandril
