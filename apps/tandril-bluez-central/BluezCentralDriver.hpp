#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ble/platform/PlatformPairingConfirmer.hpp"
#include "engine/CNConsumerManagerDelegate.hpp"

namespace tandril {

class CNConsumerManager;

// The agent's engine without the desktop: it scans once the adapter is on, scans again
// after a failure or a lost link, chooses the first phone the engine verified (as a user
// picks it in the chooser) unless a preferred phone is remembered, and writes every report
// as a line "central SECONDS report" on standard output (SECONDS on the monotonic clock):
//   state N | start | stop | phase N | will NAME | did NAME | failed DOMAIN CODE |
//   disconnected [with error] | chose NAME | added TITLE (APP) | removed TITLE |
//   confirm NAME CODE
// It also confirms every pairing code (a user pressing Confirm), reporting it first.
//
// The same reports without their times, one a line, are the run's trace: the end-to-end
// test against the real bluetoothd keeps one per scenario (tests/vm/expected/), and the
// same scenarios over the stand-in bluetoothd must give the same trace.
class BluezCentralDriver : public CNConsumerManagerDelegate,
                           public PlatformPairingConfirmer,
                           public std::enable_shared_from_this<BluezCentralDriver> {
public:
    using Sink = std::function<void(const std::string& report)>;

    // Reports go to `sink` (without their time) instead of standard output.
    explicit BluezCentralDriver(Sink sink = nullptr) : sink_(std::move(sink)) {}

    // Starts choosing; the engine scans once the adapter reports powered on.
    void start(const std::shared_ptr<CNConsumerManager>& engine);

    void consumerManagerUpdatedState(CNConsumerManager* manager, std::int64_t state) override;
    void consumerManagerDiscoveredPeripheralsPreferredPeripheral(
        CNConsumerManager* manager, const std::vector<std::shared_ptr<LGPeripheral>>& peripherals,
        const std::shared_ptr<LGPeripheral>& preferredPeripheral) override;
    void consumerManagerDidStartScanning(CNConsumerManager* manager) override;
    void consumerManagerDidStopScanning(CNConsumerManager* manager) override;
    void consumerManagerUpdatedConnectionPhase(CNConsumerManager* manager, CNConnectionPhase phase) override;
    void consumerManagerWillConnectToPeripheral(CNConsumerManager* manager,
                                                const std::shared_ptr<LGPeripheral>& peripheral) override;
    void consumerManagerDidConnectToPeripheral(CNConsumerManager* manager,
                                               const std::shared_ptr<LGPeripheral>& peripheral) override;
    void consumerManagerFailedToConnectToPeripheralError(CNConsumerManager* manager,
                                                         const std::shared_ptr<LGPeripheral>& peripheral,
                                                         const ErrorPtr& error) override;
    void consumerManagerDisconnectedFromPeripheralError(CNConsumerManager* manager,
                                                        const std::shared_ptr<LGPeripheral>& peripheral,
                                                        const ErrorPtr& error) override;
    void consumerManagerAddedNotification(CNConsumerManager* manager,
                                          const std::shared_ptr<CNNotification>& notification) override;
    void consumerManagerRemovedNotification(CNConsumerManager* manager,
                                            const std::shared_ptr<CNNotification>& notification) override;

    void confirmPairing(const std::optional<std::string>& name, const std::string& code,
                        std::function<void(bool accepted)> reply) override;

    // Writes "central SECONDS line" on standard output.
    static void say(const std::string& line);

private:
    // Every half second: the chooser's part.
    void choose();
    static std::string nameOf(const std::shared_ptr<LGPeripheral>& peripheral);
    void report(const std::string& line);

    Sink sink_;
    std::weak_ptr<CNConsumerManager> engine_;
};

}  // namespace tandril
