#include "engine/CNConnectionCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNConnectionCharacteristic::characteristicUUID() { return uuidOf(Kind::Connection); }

std::shared_ptr<CNConnectionCharacteristic> CNConnectionCharacteristic::characteristic() {
    std::shared_ptr<CNConnectionCharacteristic> description(new CNConnectionCharacteristic());
    initialise(*description, Kind::Connection);
    return description;
}

}  // namespace tandril
