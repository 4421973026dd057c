#include "engine/CNControlPointCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

std::optional<tandril::UUID> CNControlPointCharacteristic::characteristicUUID() {
    return tandril::UUID::fromString("69D1D8F3-45E1-49A8-9821-9BBDFDAAD9D9");
}

std::shared_ptr<CNControlPointCharacteristic> CNControlPointCharacteristic::characteristic() {
    std::shared_ptr<CNControlPointCharacteristic> description(new CNControlPointCharacteristic());
    initialise(*description, *characteristicUUID(), CBCharacteristicPropertyWrite, CBAttributePermissionsWriteEncryptionRequired);
    return description;
}

}  // namespace tandril
