#include "ble/LGService.hpp"

#include "ble/LGCharacteristic.hpp"
#include "ble/StringExtraction.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "ble/platform/PlatformService.hpp"
#include "foundation/MainThread.hpp"

namespace tandril {

LGService::LGService(std::shared_ptr<PlatformService> service) : cbService_(std::move(service)) {}

LGService::~LGService() = default;

void LGService::setCharacteristics(std::vector<std::shared_ptr<LGCharacteristic>> characteristics) {
    characteristics_ = std::move(characteristics);
}

std::string LGService::UUIDString() const {
    return cbService_ ? representativeString(cbService_->UUID()) : std::string();
}

void LGService::discoverCharacteristicsWithCompletion(CharacteristicsCallback completion) {
    discoverCharacteristicsWithUUIDs(std::nullopt, std::move(completion));
}

void LGService::discoverCharacteristicsWithUUIDs(const std::optional<std::vector<UUID>>& characteristicUUIDs,
                                                 CharacteristicsCallback completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    discoverCharBlock_ = std::move(completion);
    if (!cbService_) return;
    if (auto peripheral = cbService_->peripheral()) peripheral->discoverCharacteristics(characteristicUUIDs, cbService_);
}

void LGService::handleDiscoveredCharacteristics(const std::vector<std::shared_ptr<PlatformCharacteristic>>&,
                                                const ErrorPtr& error) {
    TANDRIL_ASSERT_MAIN_THREAD();
    updateCharacteristicWrappers();
    // Taken out of the slot before the call, so that a discovery the completion starts
    // keeps its own completion.
    auto completion = std::move(discoverCharBlock_);
    discoverCharBlock_ = nullptr;
    if (completion) completion(characteristics_, error);
}

void LGService::updateCharacteristicWrappers() {
    std::vector<std::shared_ptr<LGCharacteristic>> wrappers;
    if (cbService_) {
        for (const auto& characteristic : cbService_->characteristics())
            wrappers.push_back(std::make_shared<LGCharacteristic>(characteristic));
    }
    characteristics_ = std::move(wrappers);
}

std::shared_ptr<LGCharacteristic> LGService::wrapperByCharacteristic(
    const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    for (const auto& wrapper : characteristics_) {
        if (wrapper->cbCharacteristic() == characteristic) return wrapper;
    }
    return nullptr;
}

std::string LGService::description() const {
    return defaultDescription() + " <" + UUIDString() + ">";
}

}  // namespace tandril
