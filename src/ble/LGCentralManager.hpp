#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ble/platform/PlatformCentralDelegate.hpp"
#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"
#include "foundation/Value.hpp"

namespace tandril {

class DispatchQueue;
class LGPeripheral;
class PlatformCentral;
class PlatformPeripheral;

// The one gateway to the platform's BLE central: owns the platform central, hands every
// platform event to the main thread in order, keeps the registry of peripheral wrappers
// (one wrapper per platform peripheral), runs open-ended and timed scans, and maps the
// adapter state to a ready flag and a readable reason.
class LGCentralManager : public Object, public PlatformCentralDelegate {
public:
    using DiscoveredPeripheralCallback = std::function<void(const std::shared_ptr<LGPeripheral>& peripheral)>;
    using StateChangedCallback = std::function<void(std::int64_t state)>;
    using IncomingPeripheralCallback = std::function<void(const std::shared_ptr<LGPeripheral>& peripheral)>;
    using AdvertisingCompletion = std::function<void(const ErrorPtr& error)>;
    using ScanBlock = std::function<void(const std::vector<std::shared_ptr<LGPeripheral>>& peripherals)>;

    // The process's instance, created on first use.
    static std::shared_ptr<LGCentralManager> sharedInstance();
    // Drops the shared instance so that the next sharedInstance() builds a fresh one over
    // the adapter installed then. For tests.
    static void resetSharedInstance();

    // A new manager with its event queue and a platform central from the installed adapter.
    static std::shared_ptr<LGCentralManager> create();
    ~LGCentralManager() override;

    bool isScanning() const { return scanning_; }
    void setScanning(bool scanning) { scanning_ = scanning; }
    // The platform central; absent while no adapter is installed.
    const std::shared_ptr<PlatformCentral>& manager() const { return manager_; }
    const DiscoveredPeripheralCallback& discoveredPeripheralCallback() const { return discoveredPeripheralCallback_; }
    void setDiscoveredPeripheralCallback(DiscoveredPeripheralCallback callback);
    const StateChangedCallback& stateChangedCallback() const { return stateChangedCallback_; }
    void setStateChangedCallback(StateChangedCallback callback);
    // "com.Varn.Tandril.LGCentralQueue"; survives resetCentralManager().
    const std::shared_ptr<DispatchQueue>& centralQueue() const { return centralQueue_; }
    // The registry, in order of creation; a scan start keeps only the wrappers of
    // connected peripherals.
    const std::vector<std::shared_ptr<LGPeripheral>>& scannedPeripherals() const { return scannedPeripherals_; }
    const ScanBlock& scanBlock() const { return scanBlock_; }
    void setScanBlock(ScanBlock block);

    // True exactly when the platform central's state is 5 (powered on).
    bool isCentralReady() const;
    std::optional<std::string> centralNotReadyReason() const { return stateMessage(); }
    // The registry sorted by RSSI, strongest first; the registry itself keeps its order.
    std::vector<std::shared_ptr<LGPeripheral>> peripherals() const;

    // Stops the current platform central's scan and replaces it with a new one.
    void resetCentralManager();
    // Open-ended scan of every advertiser, duplicates off.
    void scanForPeripherals();
    // Empties the registry (keeping the wrapper of each connected peripheral), sets
    // scanning, and starts the platform scan. Every scan ends here.
    void scanForPeripheralsWithServices(const std::optional<std::vector<UUID>>& serviceUUIDs,
                                        const std::optional<Dictionary>& options);
    // Timed scan of every advertiser, duplicates on; `completion` gets the sorted list.
    void scanForPeripheralsByInterval(std::uint64_t seconds, ScanBlock completion);
    void scanForPeripheralsByInterval(std::uint64_t seconds, const std::optional<std::vector<UUID>>& serviceUUIDs,
                                      const std::optional<Dictionary>& options, ScanBlock completion);
    void stopScanForPeripherals();
    std::vector<std::shared_ptr<LGPeripheral>> retrievePeripheralsWithIdentifiers(const std::vector<UUID>& identifiers);
    std::vector<std::shared_ptr<LGPeripheral>> retrieveConnectedPeripheralsWithServices(
        const std::vector<UUID>& serviceUUIDs);
    // Advertises `localName` soliciting `solicitedServiceUUIDs`; `completion` (main thread)
    // gets the platform's answer, absent error when the advertisement is up. A newer start
    // or a stop takes the place of a start still waiting for its answer, whose completion
    // is then not called. Without a platform central the completion gets CBErrorDomain 13.
    void startAdvertising(const std::string& localName, const std::vector<UUID>& solicitedServiceUUIDs,
                          AdvertisingCompletion completion);
    void stopAdvertising();
    bool isAdvertising() const;
    // A peer that connected to our advertisement: its wrapper, whose connect completion (if
    // any) is not called. Main thread.
    const IncomingPeripheralCallback& incomingPeripheralCallback() const { return incomingPeripheralCallback_; }
    void setIncomingPeripheralCallback(IncomingPeripheralCallback callback);

    // The readable reason for the adapter state; absent for resetting and powered on.
    std::optional<std::string> stateMessage() const;
    // Find-or-create by identity of the platform object; absent only for an absent argument.
    std::shared_ptr<LGPeripheral> wrapperByPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral);
    std::vector<std::shared_ptr<LGPeripheral>> wrappersByPeripherals(
        const std::vector<std::shared_ptr<PlatformPeripheral>>& peripherals);

    // Platform events (on centralQueue; each hops to the main thread).
    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& central, int state) override;
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                             const std::shared_ptr<PlatformPeripheral>& peripheral,
                                             const Dictionary& advertisementData, std::int64_t RSSI) override;
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                            const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                  const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                  const ErrorPtr& error) override;
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                               const std::shared_ptr<PlatformPeripheral>& peripheral,
                                               const ErrorPtr& error) override;
    void centralManagerDidStartAdvertising(const std::shared_ptr<PlatformCentral>& central,
                                           const ErrorPtr& error) override;
    void centralManagerDidReceiveIncomingConnection(const std::shared_ptr<PlatformCentral>& central,
                                                    const std::shared_ptr<PlatformPeripheral>& peripheral) override;

    std::string className() const override { return "LGCentralManager"; }

    // The texts of stateMessage().
    static constexpr const char* kCentralNotInitializedMessage = "Central not initialized yet.";
    static constexpr const char* kUnsupportedMessage = "The platform/hardware doesn't support Bluetooth Low Energy.";
    static constexpr const char* kUnauthorizedMessage = "The app is not authorized to use Bluetooth Low Energy.";
    static constexpr const char* kPoweredOffMessage = "Bluetooth is currently powered off.";
    // The event queue's label.
    static constexpr const char* kCentralQueueLabel = "com.Varn.Tandril.LGCentralQueue";

protected:
    LGCentralManager();

private:
    std::shared_ptr<LGCentralManager> self();

    bool scanning_ = false;
    std::shared_ptr<PlatformCentral> manager_;
    DiscoveredPeripheralCallback discoveredPeripheralCallback_;
    StateChangedCallback stateChangedCallback_;
    std::shared_ptr<DispatchQueue> centralQueue_;
    std::vector<std::shared_ptr<LGPeripheral>> scannedPeripherals_;
    ScanBlock scanBlock_;
    IncomingPeripheralCallback incomingPeripheralCallback_;
    AdvertisingCompletion advertisingCompletion_;
};

}  // namespace tandril
