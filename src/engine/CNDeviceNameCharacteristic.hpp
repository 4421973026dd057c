#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// The phone's device name (main service). Read; readable.
class CNDeviceNameCharacteristic : public CNCharacteristic {
public:
    // Its row in the characteristic table (CNCharacteristic.cpp).
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNDeviceNameCharacteristic> characteristic();

    std::string className() const override { return "CNDeviceNameCharacteristic"; }

protected:
    CNDeviceNameCharacteristic() = default;
};

}  // namespace tandril
