#include "engine/CNConnectionCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

std::optional<tandril::UUID> CNConnectionCharacteristic::characteristicUUID() {
    return tandril::UUID::fromString("876801F6-39D5-4C7B-BF0F-DA7508E98ACF");
}

std::shared_ptr<CNConnectionCharacteristic> CNConnectionCharacteristic::characteristic() {
    std::shared_ptr<CNConnectionCharacteristic> description(new CNConnectionCharacteristic());
    initialise(*description, *characteristicUUID(), CBCharacteristicPropertyNotifyEncryptionRequired, CBAttributePermissionsReadEncryptionRequired);
    return description;
}

}  // namespace tandril
