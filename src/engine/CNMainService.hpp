#pragma once

#include <memory>
#include <optional>

#include "engine/CNService.hpp"

namespace tandril {

// The companion application's main service: device name, consumer, provider, connection.
class CNMainService : public CNService {
public:
    // "37788B13-93EB-4C29-A15F-79DE5DA30A57"
    static std::optional<tandril::UUID> serviceUUID();
    static std::shared_ptr<CNMainService> service();

    std::string className() const override { return "CNMainService"; }

protected:
    CNMainService() = default;
};

}  // namespace tandril
