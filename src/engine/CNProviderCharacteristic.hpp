#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// The provider record (main service). Read; readable over an encrypted link only.
class CNProviderCharacteristic : public CNCharacteristic {
public:
    // Its row in the characteristic table (CNCharacteristic.cpp).
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNProviderCharacteristic> characteristic();

    std::string className() const override { return "CNProviderCharacteristic"; }

protected:
    CNProviderCharacteristic() = default;
};

}  // namespace tandril
