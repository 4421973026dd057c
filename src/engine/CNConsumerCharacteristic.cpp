#include "engine/CNConsumerCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

std::optional<tandril::UUID> CNConsumerCharacteristic::characteristicUUID() {
    return tandril::UUID::fromString("EB01BF93-19D5-4C63-A74B-E86BB29874A7");
}

std::shared_ptr<CNConsumerCharacteristic> CNConsumerCharacteristic::characteristic() {
    std::shared_ptr<CNConsumerCharacteristic> description(new CNConsumerCharacteristic());
    initialise(*description, *characteristicUUID(), CBCharacteristicPropertyWrite, CBAttributePermissionsWriteEncryptionRequired);
    return description;
}

}  // namespace tandril
