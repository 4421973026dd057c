#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "ble/platform/PlatformService.hpp"
#include "foundation/Bytes.hpp"

namespace tandril {

class SimCharacteristic;
class SimPeripheral;

// One service of a simulated peripheral's GATT database, and the platform object the
// central sees for it. Thread-safe.
class SimService : public PlatformService {
public:
    SimService(tandril::UUID uuid, bool primary, std::weak_ptr<SimPeripheral> peripheral);

    // Platform side.
    tandril::UUID UUID() const override { return uuid_; }
    bool isPrimary() const override { return primary_; }
    std::shared_ptr<PlatformPeripheral> peripheral() const override;
    // The characteristics the central discovered so far.
    std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics() const override;

    // Device side: the database.
    std::shared_ptr<SimPeripheral> simPeripheral() const { return peripheral_.lock(); }
    std::shared_ptr<SimCharacteristic> addCharacteristic(const tandril::UUID& uuid, std::uint32_t properties,
                                                         std::uint32_t permissions,
                                                         std::optional<Bytes> value = std::nullopt);
    std::shared_ptr<SimCharacteristic> characteristic(const tandril::UUID& uuid) const;
    std::vector<std::shared_ptr<SimCharacteristic>> allCharacteristics() const;

    // Used by the radio: adds to the discovered list (keeping database order, no repeats).
    void addDiscovered(const std::vector<std::shared_ptr<SimCharacteristic>>& characteristics);
    void clearDiscovered();

private:
    const tandril::UUID uuid_;
    const bool primary_;
    const std::weak_ptr<SimPeripheral> peripheral_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimCharacteristic>> database_;
    std::vector<std::shared_ptr<SimCharacteristic>> discovered_;
};

}  // namespace tandril
