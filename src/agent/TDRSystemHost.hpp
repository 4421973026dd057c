#pragma once

#include "agent/TDRHost.hpp"

namespace tandril {

// The computer's name as the system reports it (its host name).
class TDRSystemHost : public TDRHost {
public:
    std::optional<std::string> localizedName() const override;
};

}  // namespace tandril
