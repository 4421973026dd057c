#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// The phone's device name (main service). Read; readable.
class CNDeviceNameCharacteristic : public CNCharacteristic {
public:
    // "1A955AF6-9D8C-44D9-AD3C-1DD1D6C556B9"
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNDeviceNameCharacteristic> characteristic();

    std::string className() const override { return "CNDeviceNameCharacteristic"; }

protected:
    CNDeviceNameCharacteristic() = default;
};

}  // namespace tandril
