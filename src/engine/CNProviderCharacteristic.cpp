#include "engine/CNProviderCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNProviderCharacteristic::characteristicUUID() { return uuidOf(Kind::Provider); }

std::shared_ptr<CNProviderCharacteristic> CNProviderCharacteristic::characteristic() {
    std::shared_ptr<CNProviderCharacteristic> description(new CNProviderCharacteristic());
    initialise(*description, Kind::Provider);
    return description;
}

}  // namespace tandril
