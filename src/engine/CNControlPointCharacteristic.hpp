#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// Control Point (notification-center service). Write; writeable over an encrypted link only.
class CNControlPointCharacteristic : public CNCharacteristic {
public:
    // "69D1D8F3-45E1-49A8-9821-9BBDFDAAD9D9"
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNControlPointCharacteristic> characteristic();

    std::string className() const override { return "CNControlPointCharacteristic"; }

protected:
    CNControlPointCharacteristic() = default;
};

}  // namespace tandril
