#include "engine/CNDeviceNameCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

std::optional<tandril::UUID> CNDeviceNameCharacteristic::characteristicUUID() {
    return tandril::UUID::fromString("1A955AF6-9D8C-44D9-AD3C-1DD1D6C556B9");
}

std::shared_ptr<CNDeviceNameCharacteristic> CNDeviceNameCharacteristic::characteristic() {
    std::shared_ptr<CNDeviceNameCharacteristic> description(new CNDeviceNameCharacteristic());
    initialise(*description, *characteristicUUID(), CBCharacteristicPropertyRead, CBAttributePermissionsReadable);
    return description;
}

}  // namespace tandril
