#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Bytes.hpp"
#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

class PlatformCharacteristic;
class PlatformPeripheralDelegate;
class PlatformService;

// A remote BLE device as the platform reports it. One object per device for as long as
// the device is known. Operations are asked from the main thread and return at once; each
// answer is an event on the central's event queue, delivered to the delegate, never a
// direct call. After the link dropped nothing more arrives for it.
//
// Getters are safe from any thread: the adapter updates the object on its event queue.
// The state reads CBPeripheralStateDisconnected (0) by the time its disconnect event is
// delivered.
class PlatformPeripheral : public Object {
public:
    ~PlatformPeripheral() override = default;

    virtual tandril::UUID identifier() const = 0;
    virtual std::optional<std::string> name() const = 0;
    // CBPeripheralState* (0 disconnected, 1 connecting, 2 connected, 3 disconnecting).
    virtual int state() const = 0;
    // The services discovered so far, in the platform's order; empty before the first discovery.
    virtual std::vector<std::shared_ptr<PlatformService>> services() const = 0;
    // The RSSI of the latest readRSSI() answer; absent before the first.
    virtual std::optional<std::int64_t> RSSI() const = 0;

    // The object that receives this peripheral's events. Not owned.
    virtual std::shared_ptr<PlatformPeripheralDelegate> delegate() const = 0;
    virtual void setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) = 0;

    // An absent filter discovers everything.
    virtual void discoverServices(const std::optional<std::vector<tandril::UUID>>& serviceUUIDs) = 0;
    virtual void discoverCharacteristics(const std::optional<std::vector<tandril::UUID>>& characteristicUUIDs,
                                         const std::shared_ptr<PlatformService>& service) = 0;
    virtual void readValueForCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) = 0;
    // `type` is CBCharacteristicWriteWithResponse (answered by a write event) or
    // CBCharacteristicWriteWithoutResponse (no event).
    virtual void writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic,
                            int type) = 0;
    virtual void setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) = 0;
    virtual void readRSSI() = 0;

    std::string className() const override { return "CBPeripheral"; }
    // "<CBPeripheral: 0x…, identifier = 8-4-4-4-12, name = NAME, state = disconnected>"
    std::string description() const override;

protected:
    PlatformPeripheral() = default;
};

}  // namespace tandril
