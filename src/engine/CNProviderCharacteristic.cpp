#include "engine/CNProviderCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

std::optional<tandril::UUID> CNProviderCharacteristic::characteristicUUID() {
    return tandril::UUID::fromString("81410E6A-5D95-447D-8850-A63EAEC37BB4");
}

std::shared_ptr<CNProviderCharacteristic> CNProviderCharacteristic::characteristic() {
    std::shared_ptr<CNProviderCharacteristic> description(new CNProviderCharacteristic());
    initialise(*description, *characteristicUUID(), CBCharacteristicPropertyRead, CBAttributePermissionsReadEncryptionRequired);
    return description;
}

}  // namespace tandril
