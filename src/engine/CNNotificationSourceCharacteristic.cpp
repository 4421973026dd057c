#include "engine/CNNotificationSourceCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

std::optional<tandril::UUID> CNNotificationSourceCharacteristic::characteristicUUID() {
    return tandril::UUID::fromString("9FBF120D-6301-42D9-8C58-25E699A21DBD");
}

std::shared_ptr<CNNotificationSourceCharacteristic> CNNotificationSourceCharacteristic::characteristic() {
    std::shared_ptr<CNNotificationSourceCharacteristic> description(new CNNotificationSourceCharacteristic());
    initialise(*description, *characteristicUUID(), CBCharacteristicPropertyNotifyEncryptionRequired, CBAttributePermissionsReadEncryptionRequired);
    return description;
}

}  // namespace tandril
