#pragma once

#include <memory>
#include <optional>

#include "engine/CNCharacteristic.hpp"

namespace tandril {

// The provider record (main service). Read; readable over an encrypted link only.
class CNProviderCharacteristic : public CNCharacteristic {
public:
    // "81410E6A-5D95-447D-8850-A63EAEC37BB4"
    static std::optional<tandril::UUID> characteristicUUID();
    static std::shared_ptr<CNProviderCharacteristic> characteristic();

    std::string className() const override { return "CNProviderCharacteristic"; }

protected:
    CNProviderCharacteristic() = default;
};

}  // namespace tandril
