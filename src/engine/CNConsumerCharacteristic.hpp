#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// The consumer record (main service). Write; writeable over an encrypted link only.
class CNConsumerCharacteristic : public CNCharacteristic {
public:
    // Its row in the characteristic table (CNCharacteristic.cpp).
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNConsumerCharacteristic> characteristic();

    std::string className() const override { return "CNConsumerCharacteristic"; }

protected:
    CNConsumerCharacteristic() = default;
};

}  // namespace tandril
