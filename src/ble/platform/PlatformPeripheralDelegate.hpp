#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "foundation/Bytes.hpp"
#include "foundation/Error.hpp"

namespace tandril {

class PlatformCharacteristic;
class PlatformPeripheral;
class PlatformService;

// The events of one remote peripheral. They arrive on the central's event queue, one at a
// time, in the order the radio produced them. Values that an event reports (a value, an
// RSSI) travel with the event, so two quick events deliver two values.
class PlatformPeripheralDelegate {
public:
    virtual ~PlatformPeripheralDelegate() = default;

    virtual void peripheralDidUpdateName(const std::shared_ptr<PlatformPeripheral>& peripheral) = 0;
    // The peripheral's services() are up to date when this arrives.
    virtual void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                               const ErrorPtr& error) = 0;
    // The service's characteristics() are up to date when this arrives.
    virtual void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                const std::shared_ptr<PlatformService>& service,
                                                                const ErrorPtr& error) = 0;
    // A read response or a notification alike; `value` is the characteristic's value at
    // the time of the event.
    virtual void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                           const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                           const std::optional<Bytes>& value,
                                                           const ErrorPtr& error) = 0;
    // The answer to a write with response.
    virtual void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                          const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                          const ErrorPtr& error) = 0;
    virtual void peripheralDidUpdateNotificationStateForCharacteristic(
        const std::shared_ptr<PlatformPeripheral>& peripheral,
        const std::shared_ptr<PlatformCharacteristic>& characteristic, const ErrorPtr& error) = 0;
    // The answer to readRSSI(); `RSSI` is absent when the read failed.
    virtual void peripheralDidUpdateRSSI(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                         std::optional<std::int64_t> RSSI, const ErrorPtr& error) = 0;
};

}  // namespace tandril
