#include "engine/CNDeviceNameCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNDeviceNameCharacteristic::characteristicUUID() { return uuidOf(Kind::DeviceName); }

std::shared_ptr<CNDeviceNameCharacteristic> CNDeviceNameCharacteristic::characteristic() {
    std::shared_ptr<CNDeviceNameCharacteristic> description(new CNDeviceNameCharacteristic());
    initialise(*description, Kind::DeviceName);
    return description;
}

}  // namespace tandril
