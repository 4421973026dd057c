#include "engine/CNCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNCharacteristic::characteristicUUID() {
    return std::nullopt;
}

std::shared_ptr<CNCharacteristic> CNCharacteristic::characteristic() {
    return nullptr;
}

void CNCharacteristic::initialise(CNCharacteristic& characteristic, tandril::UUID uuid, std::uint32_t properties,
                                  std::uint32_t permissions) {
    characteristic.uuid_ = std::move(uuid);
    characteristic.properties_ = properties;
    characteristic.value_.reset();
    characteristic.permissions_ = permissions;
}

}  // namespace tandril
