#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// Control Point (notification-center service). Write; writeable over an encrypted link only.
class CNControlPointCharacteristic : public CNCharacteristic {
public:
    // Its row in the characteristic table (CNCharacteristic.cpp).
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNControlPointCharacteristic> characteristic();

    std::string className() const override { return "CNControlPointCharacteristic"; }

protected:
    CNControlPointCharacteristic() = default;
};

}  // namespace tandril
