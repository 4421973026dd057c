#pragma once

#include <cstdint>
#include <memory>

#include "foundation/Error.hpp"
#include "foundation/Value.hpp"

namespace tandril {

class PlatformCentral;
class PlatformPeripheral;

// The events of the platform central. They arrive on the central's event queue (the queue
// given to PlatformAdapter::createCentral), one at a time, in the radio's order.
class PlatformCentralDelegate {
public:
    virtual ~PlatformCentralDelegate() = default;

    // `state` is the central's new state (CBCentralManagerState*). A new central always
    // reports its state once, soon after it was created.
    virtual void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& central, int state) = 0;
    // One advertisement received while scanning; `advertisementData` uses the
    // CBAdvertisementData* keys; `RSSI` in dBm.
    virtual void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                     const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                     const Dictionary& advertisementData, std::int64_t RSSI) = 0;
    virtual void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                    const std::shared_ptr<PlatformPeripheral>& peripheral) = 0;
    virtual void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                          const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                          const ErrorPtr& error) = 0;
    // `error` is absent for a disconnection that the central asked for.
    virtual void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                       const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                       const ErrorPtr& error) = 0;

    // The answer to PlatformCentral::startAdvertising: absent error when the advertisement
    // is up. Empty by default.
    virtual void centralManagerDidStartAdvertising(const std::shared_ptr<PlatformCentral>& central,
                                                   const ErrorPtr& error);
    // A device linked to us on its own (it connected to our advertisement), not through
    // connectPeripheral. The link is up: the peripheral's state reads connected and its
    // GATT operations work as for a link we made; cancelPeripheralConnection ends it with
    // an ordinary disconnect event. Empty by default.
    virtual void centralManagerDidReceiveIncomingConnection(const std::shared_ptr<PlatformCentral>& central,
                                                            const std::shared_ptr<PlatformPeripheral>& peripheral);
};

}  // namespace tandril
