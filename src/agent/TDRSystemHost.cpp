#include "agent/TDRSystemHost.hpp"

#include <unistd.h>

#include <array>

namespace tandril {

std::optional<std::string> TDRSystemHost::localizedName() const {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name.data());
}

}  // namespace tandril
