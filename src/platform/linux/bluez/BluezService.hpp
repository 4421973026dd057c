#pragma once

#include <QString>

#include <memory>
#include <mutex>
#include <vector>

#include "ble/platform/PlatformService.hpp"

namespace tandril {

class BluezCharacteristic;
class BluezPeripheral;

// One org.bluez.GattService1 as the contract's service. Getters are safe from any thread.
class BluezService : public PlatformService {
public:
    BluezService(QString path, tandril::UUID uuid, bool primary, std::weak_ptr<BluezPeripheral> peripheral);

    tandril::UUID UUID() const override { return uuid_; }
    bool isPrimary() const override;
    std::shared_ptr<PlatformPeripheral> peripheral() const override;
    std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics() const override;

    const QString& path() const { return path_; }
    void setPrimary(bool primary);
    // Adds characteristics found by a discovery, keeping those found before, in path order.
    void addDiscovered(const std::vector<std::shared_ptr<BluezCharacteristic>>& found);
    void removeDiscovered(const std::shared_ptr<BluezCharacteristic>& characteristic);
    std::vector<std::shared_ptr<BluezCharacteristic>> discovered() const;

private:
    const QString path_;
    const tandril::UUID uuid_;
    const std::weak_ptr<BluezPeripheral> peripheral_;
    mutable std::mutex mutex_;
    bool primary_;
    std::vector<std::shared_ptr<BluezCharacteristic>> characteristics_;
};

}  // namespace tandril
