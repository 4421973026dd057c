#pragma once

#include <optional>
#include <string>

#include "agent/TDRHost.hpp"

namespace tandril::test {

class FakeHost : public TDRHost {
public:
    std::optional<std::string> localizedName() const override { return name; }
    std::optional<std::string> name = std::string("Study Desktop");
};

}  // namespace tandril::test
