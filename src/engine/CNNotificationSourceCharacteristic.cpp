#include "engine/CNNotificationSourceCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNNotificationSourceCharacteristic::characteristicUUID() { return uuidOf(Kind::NotificationSource); }

std::shared_ptr<CNNotificationSourceCharacteristic> CNNotificationSourceCharacteristic::characteristic() {
    std::shared_ptr<CNNotificationSourceCharacteristic> description(new CNNotificationSourceCharacteristic());
    initialise(*description, Kind::NotificationSource);
    return description;
}

}  // namespace tandril
