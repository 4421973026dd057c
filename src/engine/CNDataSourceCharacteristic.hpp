#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// Data Source (notification-center service). Notifies over an encrypted link only.
class CNDataSourceCharacteristic : public CNCharacteristic {
public:
    // "22EAC6E9-24D6-4BB5-BE44-B36ACE7C7BFB"
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNDataSourceCharacteristic> characteristic();

    std::string className() const override { return "CNDataSourceCharacteristic"; }

protected:
    CNDataSourceCharacteristic() = default;
};

}  // namespace tandril
