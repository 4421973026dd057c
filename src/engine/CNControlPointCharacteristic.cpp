#include "engine/CNControlPointCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNControlPointCharacteristic::characteristicUUID() { return uuidOf(Kind::ControlPoint); }

std::shared_ptr<CNControlPointCharacteristic> CNControlPointCharacteristic::characteristic() {
    std::shared_ptr<CNControlPointCharacteristic> description(new CNControlPointCharacteristic());
    initialise(*description, Kind::ControlPoint);
    return description;
}

}  // namespace tandril
