#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// Connection events (main service). Notifies over an encrypted link only.
class CNConnectionCharacteristic : public CNCharacteristic {
public:
    // Its row in the characteristic table (CNCharacteristic.cpp).
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNConnectionCharacteristic> characteristic();

    std::string className() const override { return "CNConnectionCharacteristic"; }

protected:
    CNConnectionCharacteristic() = default;
};

}  // namespace tandril
