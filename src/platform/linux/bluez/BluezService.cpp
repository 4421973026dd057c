#include "platform/linux/bluez/BluezService.hpp"

#include <algorithm>

#include "platform/linux/bluez/BluezCharacteristic.hpp"
#include "platform/linux/bluez/BluezPeripheral.hpp"

namespace tandril {

BluezService::BluezService(QString path, tandril::UUID uuid, bool primary, std::weak_ptr<BluezPeripheral> peripheral)
    : path_(std::move(path)), uuid_(std::move(uuid)), peripheral_(std::move(peripheral)), primary_(primary) {}

bool BluezService::isPrimary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return primary_;
}

void BluezService::setPrimary(bool primary) {
    std::lock_guard<std::mutex> lock(mutex_);
    primary_ = primary;
}

std::shared_ptr<PlatformPeripheral> BluezService::peripheral() const {
    return peripheral_.lock();
}

std::vector<std::shared_ptr<PlatformCharacteristic>> BluezService::characteristics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {characteristics_.begin(), characteristics_.end()};
}

std::vector<std::shared_ptr<BluezCharacteristic>> BluezService::discovered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return characteristics_;
}

void BluezService::addDiscovered(const std::vector<std::shared_ptr<BluezCharacteristic>>& found) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& characteristic : found) {
        if (std::find(characteristics_.begin(), characteristics_.end(), characteristic) == characteristics_.end())
            characteristics_.push_back(characteristic);
    }
    // Handle order, which BlueZ's paths (charXXXX, hexadecimal handles) follow.
    std::sort(characteristics_.begin(), characteristics_.end(),
              [](const auto& a, const auto& b) { return a->path() < b->path(); });
}

void BluezService::removeDiscovered(const std::shared_ptr<BluezCharacteristic>& characteristic) {
    std::lock_guard<std::mutex> lock(mutex_);
    characteristics_.erase(std::remove(characteristics_.begin(), characteristics_.end(), characteristic),
                           characteristics_.end());
}

}  // namespace tandril
