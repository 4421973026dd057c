#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/Error.hpp"

namespace tandril {

class CNConsumerManager;
class CNNotification;
class LGPeripheral;

// The four phases of a connection, reported in this order.
using CNConnectionPhase = std::int32_t;
inline constexpr CNConnectionPhase CNConnectionPhaseConnecting = 0;
inline constexpr CNConnectionPhase CNConnectionPhasePairing = 1;
inline constexpr CNConnectionPhase CNConnectionPhaseSubscribing = 2;
inline constexpr CNConnectionPhase CNConnectionPhaseConnected = 3;

// What the engine reports to its owner. Every operation receives the engine first.
class CNConsumerManagerDelegate {
public:
    virtual ~CNConsumerManagerDelegate() = default;

    virtual void consumerManagerUpdatedState(CNConsumerManager* manager, std::int64_t state) = 0;
    // Declared for owners that want it; the engine has no path that sends it.
    virtual void consumerManagerDiscoveredPeripheralsPreferredPeripheral(
        CNConsumerManager* manager, const std::vector<std::shared_ptr<LGPeripheral>>& peripherals,
        const std::shared_ptr<LGPeripheral>& preferredPeripheral) = 0;
    virtual void consumerManagerDidStartScanning(CNConsumerManager* manager) = 0;
    virtual void consumerManagerDidStopScanning(CNConsumerManager* manager) = 0;
    virtual void consumerManagerUpdatedConnectionPhase(CNConsumerManager* manager, CNConnectionPhase phase) = 0;
    virtual void consumerManagerWillConnectToPeripheral(CNConsumerManager* manager,
                                                        const std::shared_ptr<LGPeripheral>& peripheral) = 0;
    virtual void consumerManagerDidConnectToPeripheral(CNConsumerManager* manager,
                                                       const std::shared_ptr<LGPeripheral>& peripheral) = 0;
    virtual void consumerManagerFailedToConnectToPeripheralError(CNConsumerManager* manager,
                                                                 const std::shared_ptr<LGPeripheral>& peripheral,
                                                                 const ErrorPtr& error) = 0;
    virtual void consumerManagerDisconnectedFromPeripheralError(CNConsumerManager* manager,
                                                                const std::shared_ptr<LGPeripheral>& peripheral,
                                                                const ErrorPtr& error) = 0;
    virtual void consumerManagerAddedNotification(CNConsumerManager* manager,
                                                  const std::shared_ptr<CNNotification>& notification) = 0;
    virtual void consumerManagerRemovedNotification(CNConsumerManager* manager,
                                                    const std::shared_ptr<CNNotification>& notification) = 0;
};

}  // namespace tandril
