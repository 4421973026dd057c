#include "engine/CNMainService.hpp"

#include "engine/CNDeviceNameCharacteristic.hpp"
#include "engine/CNConsumerCharacteristic.hpp"
#include "engine/CNProviderCharacteristic.hpp"
#include "engine/CNConnectionCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNMainService::serviceUUID() {
    return tandril::UUID::fromString("37788B13-93EB-4C29-A15F-79DE5DA30A57");
}

std::shared_ptr<CNMainService> CNMainService::service() {
    std::shared_ptr<CNMainService> description(new CNMainService());
    initialise(*description, serviceUUID());
    description->setCharacteristics({
        CNDeviceNameCharacteristic::characteristic(),
        CNConsumerCharacteristic::characteristic(),
        CNProviderCharacteristic::characteristic(),
        CNConnectionCharacteristic::characteristic(),
    });
    return description;
}

}  // namespace tandril
