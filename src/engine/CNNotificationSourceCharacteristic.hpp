#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// Notification Source (notification-center service). Notifies over an encrypted link only.
class CNNotificationSourceCharacteristic : public CNCharacteristic {
public:
    // Its row in the characteristic table (CNCharacteristic.cpp).
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNNotificationSourceCharacteristic> characteristic();

    std::string className() const override { return "CNNotificationSourceCharacteristic"; }

protected:
    CNNotificationSourceCharacteristic() = default;
};

}  // namespace tandril
