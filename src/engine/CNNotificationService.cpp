#include "engine/CNNotificationService.hpp"

#include "engine/CNNotificationSourceCharacteristic.hpp"
#include "engine/CNControlPointCharacteristic.hpp"
#include "engine/CNDataSourceCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNNotificationService::serviceUUID() {
    return tandril::UUID::fromString("7905F431-B5CE-4E99-A40F-4B1E122D00D0");
}

std::shared_ptr<CNNotificationService> CNNotificationService::service() {
    std::shared_ptr<CNNotificationService> description(new CNNotificationService());
    initialise(*description, serviceUUID());
    description->setCharacteristics({
        CNNotificationSourceCharacteristic::characteristic(),
        CNControlPointCharacteristic::characteristic(),
        CNDataSourceCharacteristic::characteristic(),
    });
    return description;
}

}  // namespace tandril
