#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// Connection events (main service). Notifies over an encrypted link only.
class CNConnectionCharacteristic : public CNCharacteristic {
public:
    // "876801F6-39D5-4C7B-BF0F-DA7508E98ACF"
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNConnectionCharacteristic> characteristic();

    std::string className() const override { return "CNConnectionCharacteristic"; }

protected:
    CNConnectionCharacteristic() = default;
};

}  // namespace tandril
