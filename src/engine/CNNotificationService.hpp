#pragma once

#include <memory>
#include <optional>

#include "engine/CNService.hpp"

namespace tandril {

// The phone's notification-center service: notification source, control point, data source.
class CNNotificationService : public CNService {
public:
    // "7905F431-B5CE-4E99-A40F-4B1E122D00D0"
    static std::optional<tandril::UUID> serviceUUID();
    static std::shared_ptr<CNNotificationService> service();

    std::string className() const override { return "CNNotificationService"; }

protected:
    CNNotificationService() = default;
};

}  // namespace tandril
