#include "sim/SimService.hpp"

#include <algorithm>

#include "sim/SimCharacteristic.hpp"
#include "sim/SimPeripheral.hpp"

namespace tandril {

SimService::SimService(tandril::UUID uuid, bool primary, std::weak_ptr<SimPeripheral> peripheral)
    : uuid_(std::move(uuid)), primary_(primary), peripheral_(std::move(peripheral)) {}

std::shared_ptr<PlatformPeripheral> SimService::peripheral() const {
    return peripheral_.lock();
}

std::vector<std::shared_ptr<PlatformCharacteristic>> SimService::characteristics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {discovered_.begin(), discovered_.end()};
}

std::shared_ptr<SimCharacteristic> SimService::addCharacteristic(const tandril::UUID& uuid, std::uint32_t properties,
                                                                 std::uint32_t permissions,
                                                                 std::optional<Bytes> value) {
    auto characteristic = std::make_shared<SimCharacteristic>(
        uuid, properties, permissions, std::move(value), std::static_pointer_cast<SimService>(shared_from_this()));
    std::lock_guard<std::mutex> lock(mutex_);
    database_.push_back(characteristic);
    return characteristic;
}

std::shared_ptr<SimCharacteristic> SimService::characteristic(const tandril::UUID& uuid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& characteristic : database_) {
        if (characteristic->UUID() == uuid) return characteristic;
    }
    return nullptr;
}

std::vector<std::shared_ptr<SimCharacteristic>> SimService::allCharacteristics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return database_;
}

void SimService::addDiscovered(const std::vector<std::shared_ptr<SimCharacteristic>>& characteristics) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<SimCharacteristic>> merged;
    for (const auto& characteristic : database_) {
        const bool known = std::find(discovered_.begin(), discovered_.end(), characteristic) != discovered_.end();
        const bool found =
            std::find(characteristics.begin(), characteristics.end(), characteristic) != characteristics.end();
        if (known || found) merged.push_back(characteristic);
    }
    discovered_ = std::move(merged);
}

void SimService::clearDiscovered() {
    std::lock_guard<std::mutex> lock(mutex_);
    discovered_.clear();
}

}  // namespace tandril
