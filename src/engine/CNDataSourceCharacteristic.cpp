#include "engine/CNDataSourceCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

std::optional<tandril::UUID> CNDataSourceCharacteristic::characteristicUUID() {
    return tandril::UUID::fromString("22EAC6E9-24D6-4BB5-BE44-B36ACE7C7BFB");
}

std::shared_ptr<CNDataSourceCharacteristic> CNDataSourceCharacteristic::characteristic() {
    std::shared_ptr<CNDataSourceCharacteristic> description(new CNDataSourceCharacteristic());
    initialise(*description, *characteristicUUID(), CBCharacteristicPropertyNotifyEncryptionRequired, CBAttributePermissionsReadEncryptionRequired);
    return description;
}

}  // namespace tandril
