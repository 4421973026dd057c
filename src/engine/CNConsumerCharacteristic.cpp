#include "engine/CNConsumerCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNConsumerCharacteristic::characteristicUUID() { return uuidOf(Kind::Consumer); }

std::shared_ptr<CNConsumerCharacteristic> CNConsumerCharacteristic::characteristic() {
    std::shared_ptr<CNConsumerCharacteristic> description(new CNConsumerCharacteristic());
    initialise(*description, Kind::Consumer);
    return description;
}

}  // namespace tandril
