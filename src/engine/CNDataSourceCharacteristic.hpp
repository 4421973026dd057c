#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// Data Source (notification-center service). Notifies over an encrypted link only.
class CNDataSourceCharacteristic : public CNCharacteristic {
public:
    // Its row in the characteristic table (CNCharacteristic.cpp).
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNDataSourceCharacteristic> characteristic();

    std::string className() const override { return "CNDataSourceCharacteristic"; }

protected:
    CNDataSourceCharacteristic() = default;
};

}  // namespace tandril
