#pragma once

#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "ble/platform/PlatformCentral.hpp"
#include "foundation/Error.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "platform/linux/bluez/BluezBus.hpp"
#include "platform/linux/bluez/BluezPeripheral.hpp"

namespace tandril {

class BluezAdvertisement;
class BluezCharacteristic;
class BluezPeripheral;
class BluezService;
class PlatformPeripheralDelegate;

// The contract's central over one BlueZ adapter (org.bluez.Adapter1): adapter state,
// discovery, links, GATT. Operations are asked on the main thread and hop to the D-Bus
// thread; the bus's signals and replies are turned into events there and queued on the
// central's event queue in BlueZ's order. A replaced central ends its links and scan and
// delivers nothing more.
//
// Advertising registers an org.bluez.LEAdvertisement1 object (BluezAdvertisement) with
// LEAdvertisingManager1. While it is up, a Device1 whose Connected turns true without our
// Connect is a phone that connected to us: it is reported as an incoming connection.
class BluezCentral : public PlatformCentral {
public:
    BluezCentral(const BluezOptions& options, BluezBus* bus, std::weak_ptr<PlatformCentralDelegate> delegate,
                 std::shared_ptr<DispatchQueue> queue);
    ~BluezCentral() override;

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
    void startAdvertising(const std::string& localName, const std::vector<UUID>& solicitedServiceUUIDs) override;
    void stopAdvertising() override;
    bool isAdvertising() const override;

    // ---- Peripheral operations (main thread; they hop to the D-Bus thread) ------------
    void discoverServices(const std::shared_ptr<BluezPeripheral>& peripheral,
                          const std::optional<std::vector<UUID>>& serviceUUIDs);
    void discoverCharacteristics(const std::shared_ptr<BluezPeripheral>& peripheral,
                                 const std::optional<std::vector<UUID>>& characteristicUUIDs,
                                 const std::shared_ptr<BluezService>& service);
    void readValue(const std::shared_ptr<BluezPeripheral>& peripheral,
                   const std::shared_ptr<BluezCharacteristic>& characteristic);
    void writeValue(const std::shared_ptr<BluezPeripheral>& peripheral,
                    const std::shared_ptr<BluezCharacteristic>& characteristic, const Bytes& data, bool withResponse);
    void setNotifyValue(const std::shared_ptr<BluezPeripheral>& peripheral,
                        const std::shared_ptr<BluezCharacteristic>& characteristic, bool enabled);
    void readRSSI(const std::shared_ptr<BluezPeripheral>& peripheral);

    // ---- D-Bus thread -----------------------------------------------------------------------
    // Takes over the bus: reads the tree when it is loaded and reports the state once.
    void attach();
    // Replaced or released: stops the scan, ends the sessions and links, delivers nothing more.
    void deactivate();
    bool isActive() const { return active_; }
    void busTreeLoaded(bool hasOwner);
    void busOwnerLost();
    void busInterfacesAdded(const QString& path, const BluezBus::Interfaces& added);
    void busInterfacesRemoved(const QString& path, const QStringList& removed);
    void busPropertiesChanged(const QString& path, const QString& interface, const QVariantMap& changed,
                              const QStringList& invalidated);

    // The adapter path chosen from the tree: the one named by `preferred` (its last path
    // component, its path or its address), else the first in path order; empty: none.
    static QString chooseAdapter(const BluezBus::Tree& tree, const std::string& preferred);
    // The identifier of a device: a name-based UUID of the adapter's and the device's
    // addresses, the same across restarts.
    static UUID deviceIdentifier(const QString& adapterAddress, const QString& deviceAddress);

private:
    using CentralEvent = std::function<void(const std::shared_ptr<PlatformCentralDelegate>&)>;
    using PeripheralEvent = std::function<void(const std::shared_ptr<PlatformPeripheralDelegate>&)>;

    std::shared_ptr<BluezCentral> self();
    // Runs `job` on the D-Bus thread while this central is active.
    void onBus(std::function<void()> job);
    // Runs `job` on the D-Bus thread after `delay` of the main loop's time.
    void afterDelay(double delay, std::function<void()> job);
    void deliver(CentralEvent event);
    void deliverOnLink(const std::shared_ptr<BluezPeripheral>& peripheral, std::uint64_t link, PeripheralEvent event);
    void setStateAndReport(int state);

    // Tree.
    void readAdapter(const BluezBus::Tree& tree);
    std::shared_ptr<BluezPeripheral> peripheralForDevice(const QString& path, const QVariantMap& properties);
    std::shared_ptr<BluezPeripheral> peripheralAt(const QString& devicePath) const;
    void deviceChanged(const std::shared_ptr<BluezPeripheral>& peripheral, const QVariantMap& changed,
                       const QStringList& invalidated);
    void adapterGone();
    void dropAllLinks(bool stopSessions);

    // Discovery.
    void reconcileDiscovery();
    // The adapter ended our discovery (powered off, bluetoothd or the adapter gone).
    void discoveryEnded();
    void advertisementHeard(const std::shared_ptr<BluezPeripheral>& peripheral, const QVariantMap& properties);
    Dictionary advertisementData(const QVariantMap& properties) const;

    // Advertising and incoming links.
    void registerAdvertisement(const std::string& localName, const std::vector<UUID>& solicited);
    void advertisementAnswered(const QString& path, const QDBusMessage& reply);
    // Takes the advertisement down: UnregisterAdvertisement when `unregister`, then the
    // object leaves the bus.
    void withdrawAdvertisement(bool unregister);
    void advertisementReleased(const QString& path);
    void setAdvertising(bool advertising);
    // Whether a link that came up without our Connect is a device that connected to us.
    bool isIncomingLink(const QVariantMap& device) const;
    void incomingLinkUp(const std::shared_ptr<BluezPeripheral>& peripheral, const QVariantMap& device);

    // Links.
    void sendConnect(const std::shared_ptr<BluezPeripheral>& peripheral);
    void connectAnswered(const std::shared_ptr<BluezPeripheral>& peripheral, std::uint64_t attempt,
                         const QDBusMessage& reply);
    void linkUp(const std::shared_ptr<BluezPeripheral>& peripheral);
    void linkDown(const std::shared_ptr<BluezPeripheral>& peripheral, ErrorPtr error);
    void failConnect(const std::shared_ptr<BluezPeripheral>& peripheral, ErrorPtr error);
    void endSessions(const std::shared_ptr<BluezPeripheral>& peripheral);

    // GATT.
    void checkServiceWaits(const std::shared_ptr<BluezPeripheral>& peripheral, bool timeUp, std::uint64_t waitId);
    void answerServiceWait(const std::shared_ptr<BluezPeripheral>& peripheral,
                           const BluezPeripheral::ServiceWait& wait);
    std::shared_ptr<BluezService> serviceObject(const std::shared_ptr<BluezPeripheral>& peripheral,
                                                const QString& path, const QVariantMap& properties);
    std::shared_ptr<BluezCharacteristic> characteristicObject(const std::shared_ptr<BluezPeripheral>& peripheral,
                                                              const std::shared_ptr<BluezService>& service,
                                                              const QString& path, const QVariantMap& properties);
    bool owns(const std::shared_ptr<BluezPeripheral>& peripheral,
              const std::shared_ptr<BluezCharacteristic>& characteristic) const;
    void sendRead(const std::shared_ptr<BluezPeripheral>& peripheral,
                  const std::shared_ptr<BluezCharacteristic>& characteristic, std::uint64_t link);
    void pumpWrites(const std::shared_ptr<BluezPeripheral>& peripheral,
                    const std::shared_ptr<BluezCharacteristic>& characteristic, std::uint64_t link);
    void sendNotify(const std::shared_ptr<BluezPeripheral>& peripheral,
                    const std::shared_ptr<BluezCharacteristic>& characteristic, bool enabled, std::uint64_t link,
                    int attempt);
    void valueChanged(const QString& path, const QVariantMap& changed);
    void deliverValue(const std::shared_ptr<BluezPeripheral>& peripheral,
                      const std::shared_ptr<BluezCharacteristic>& characteristic, const Bytes& value,
                      std::uint64_t link);

    const BluezOptions options_;
    BluezBus* const bus_;
    const std::shared_ptr<BluezBusGate> gate_;
    // The tree as main-thread readers see it (the bus itself may be gone by then).
    const std::shared_ptr<const BluezBus::SharedTree> tree_;
    const std::weak_ptr<PlatformCentralDelegate> delegate_;
    const std::shared_ptr<DispatchQueue> queue_;
    std::atomic<bool> active_{true};
    std::atomic<int> state_{0};

    mutable std::mutex mutex_;
    bool scanning_ = false;
    // Registered with bluetoothd and neither stopped nor released.
    bool advertising_ = false;
    // Every device object of this central, by identifier (aliases included).
    std::map<UUID, std::shared_ptr<BluezPeripheral>> byIdentifier_;

    // ---- D-Bus thread only ------------------------------------------------------------
    bool treeSeen_ = false;
    bool reportedState_ = false;
    QString adapterPath_;
    QString adapterAddress_;
    std::map<QString, std::shared_ptr<BluezPeripheral>> byPath_;
    // Discovery: what we want, what BlueZ runs for us, and the session's filter.
    bool wantDiscovery_ = false;
    bool discoveryRunning_ = false;
    bool discoveryBusy_ = false;
    // Moves on whenever the adapter's discovery ends without us (power-off, bluetoothd gone,
    // adapter gone): answers to calls made before then are stale and ignored.
    std::uint64_t discoveryEpoch_ = 0;
    std::optional<std::vector<UUID>> scanServices_;
    std::vector<UUID> solicitedServices_;
    bool allowDuplicates_ = false;
    std::set<UUID> reported_;
    std::uint64_t nextWait_ = 0;
    // The advertisement (registration sent, or registered), its number and what it solicits.
    BluezAdvertisement* advertisement_ = nullptr;
    std::uint64_t advertisementCount_ = 0;
    std::vector<UUID> advertisedSolicited_;
    // UnregisterAdvertisement calls not answered yet: bluetoothd's signals sent before its
    // answer may still be of links that came through the advertisement.
    int withdrawalsInFlight_ = 0;
};

}  // namespace tandril
