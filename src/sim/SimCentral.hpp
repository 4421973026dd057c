#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ble/platform/PlatformCentral.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

class SimPeripheral;
class SimRadio;

// The simulated radio's platform central. Delivers every event on its queue; once
// replaced by a newer central (or released) it delivers nothing more.
class SimCentral : public PlatformCentral {
public:
    SimCentral(std::weak_ptr<SimRadio> radio, std::weak_ptr<PlatformCentralDelegate> delegate,
               std::shared_ptr<DispatchQueue> queue);
    ~SimCentral() override;

    int state() const override;
    bool isScanning() const override;
    std::shared_ptr<PlatformCentralDelegate> delegate() const override;
    std::shared_ptr<DispatchQueue> queue() const override { return queue_; }
    void scanForPeripheralsWithServices(const std::optional<std::vector<UUID>>& serviceUUIDs,
                                        const std::optional<Dictionary>& options) override;
    void stopScan() override;
    void connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral,
                           const std::optional<Dictionary>& options) override;
    void cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    std::vector<std::shared_ptr<PlatformPeripheral>> retrievePeripheralsWithIdentifiers(
        const std::vector<UUID>& identifiers) override;
    std::vector<std::shared_ptr<PlatformPeripheral>> retrieveConnectedPeripheralsWithServices(
        const std::vector<UUID>& serviceUUIDs) override;
    // Answered after the radio's advertising latency; bonded devices that reconnect by
    // themselves connect then.
    void startAdvertising(const std::string& localName, const std::vector<UUID>& solicitedServiceUUIDs) override;
    void stopAdvertising() override;
    bool isAdvertising() const override;

    // ---- Radio side -----------------------------------------------------------------
    bool isActive() const { return active_; }
    // Replaced by a newer central: stops scanning, delivers nothing more.
    void deactivate();
    // Queues `event` on the event queue; dropped at delivery when the central is no longer active.
    void deliver(std::function<void(const std::shared_ptr<PlatformCentralDelegate>&)> event);
    // Queues `job` on the event queue; dropped at delivery when the central is no longer active.
    void post(std::function<void()> job);
    // Reports an advertisement of `peripheral` if a scan runs and its filter lets it through.
    void reportAdvertisement(const std::shared_ptr<SimPeripheral>& peripheral, std::int64_t RSSI);
    // The adapter left the powered-on state: reports stop, the scan asked for stays asked for.
    void pauseScan();
    // The adapter is powered on again: a scan asked for and not stopped starts afresh (every
    // device is reported again).
    void resumeScan();
    // Whether a scan runs with duplicates allowed.
    bool allowsDuplicates() const;
    std::size_t scanCount() const;
    // The advertisement while advertising.
    std::string advertisedName() const;
    std::vector<UUID> advertisedSolicitedServices() const;
    // How many times advertising was started.
    std::size_t advertisingCount() const;

private:
    // Reports the devices in range for the scan asked for, if the adapter is powered on.
    void startReports();
    bool passesFilter(const SimPeripheral& peripheral) const;
    void scheduleRepeat(const std::shared_ptr<SimPeripheral>& peripheral, std::uint64_t scanGeneration);

    const std::weak_ptr<SimRadio> radio_;
    const std::weak_ptr<PlatformCentralDelegate> delegate_;
    const std::shared_ptr<DispatchQueue> queue_;
    std::atomic<bool> active_{true};
    mutable std::mutex mutex_;
    bool scanning_ = false;
    std::optional<std::vector<UUID>> scanServices_;
    std::vector<UUID> solicitedServices_;
    bool allowDuplicates_ = false;
    std::uint64_t scanGeneration_ = 0;
    std::size_t scanCount_ = 0;
    // Devices reported in the current scan (duplicates filter).
    std::vector<UUID> reported_;
    bool advertising_ = false;
    std::string advertisedName_;
    std::vector<UUID> advertisedSolicited_;
    std::uint64_t advertisingGeneration_ = 0;
    std::size_t advertisingCount_ = 0;
};

}  // namespace tandril
