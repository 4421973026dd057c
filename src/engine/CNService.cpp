#include "engine/CNService.hpp"

#include "engine/CNCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNService::serviceUUID() {
    return std::nullopt;
}

std::shared_ptr<CNService> CNService::service() {
    std::shared_ptr<CNService> description(new CNService());
    initialise(*description, serviceUUID());
    return description;
}

void CNService::initialise(CNService& service, std::optional<tandril::UUID> uuid) {
    service.uuid_ = std::move(uuid);
    service.primary_ = true;
    service.characteristics_.clear();
}

void CNService::setCharacteristics(std::vector<std::shared_ptr<CNCharacteristic>> characteristics) {
    characteristics_ = std::move(characteristics);
}

}  // namespace tandril
