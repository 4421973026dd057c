#pragma once

#include <QtCore/QString>
#include <QtDBus/QDBusMessage>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ble/platform/PlatformCentralDelegate.hpp"
#include "ble/platform/PlatformPeripheralDelegate.hpp"
#include "foundation/Bytes.hpp"
#include "foundation/UUID.hpp"
#include "platform/linux/bluez/standin/StandInObjectTree.hpp"

namespace tandril {

class DispatchQueue;
class PlatformCentral;
class SimPeripheral;
class SimRadio;
class StandInAdapter1;
class StandInAdvertisingManager1;
class StandInAgentManager1;
class StandInBus;
class StandInDevice1;
class StandInGattCharacteristic1;
class StandInGattService1;

// A stand-in bluetoothd: owns org.bluez on a bus (a private one in tests and in the
// simulator) and serves BlueZ 5.66's object tree and answers over the simulated radio.
// It is a client of the radio like any program: it creates a central of its own, turns
// D-Bus calls into the central's operations and the radio's events into replies and
// signals, so the simulated phones' scripting (latency, faults, bonding, MTU, the
// notification provider) serves over D-Bus too.
//
//   /                                       ObjectManager
//   /org/bluez                              AgentManager1
//   /org/bluez/hci0                         Adapter1, LEAdvertisingManager1
//   /org/bluez/hci0/dev_XX_XX_XX_XX_XX_XX   Device1 (address from the device's identifier)
//   .../serviceXXXX                         GattService1 (XXXX: attribute handle)
//   .../serviceXXXX/charYYYY                GattCharacteristic1
//
// Calls arrive on the stand-in's bus thread and are carried out on the main loop, where
// the radio lives (virtual time in tests); replies and signals leave from there.
// Construct, start, stop and control it on the main thread.
class BluezStandIn : public PlatformCentralDelegate,
                     public PlatformPeripheralDelegate,
                     public std::enable_shared_from_this<BluezStandIn> {
public:
    // bluetoothd's behaviours a client must cope with; each can be switched off to show
    // what a client does without it.
    struct Quirks {
        // ServicesResolved turns true before the service objects are exported.
        bool servicesResolvedBeforeExport = true;
        // ReadValue sends PropertiesChanged(Value) just before its reply.
        bool readEcho = true;
        // WriteValue answers InProgress while another write of the characteristic is
        // pending (off: writes queue up).
        bool writeInProgress = true;
        // Notification sessions survive a disconnection (Notifying stays true) and are
        // enabled again on the next link of a bonded device.
        bool reenableNotifySessions = true;
        // Connect on a connected device answers at once with no signal (off: AlreadyConnected).
        bool connectWhileConnectedSucceeds = true;
        // Disconnect of a live link waits 2 s before dropping it; a Connect inside that
        // window succeeds and the link still drops.
        bool disconnectWindow = true;
        // A device heard again sends RSSI updates, not InterfacesAdded (off: InterfacesAdded
        // for every advertisement).
        bool knownDevicesSendNoInterfacesAdded = true;
        // A device that was only heard (never connected with Connect, not bonded) is removed
        // 30 s after its last advertisement (TemporaryTimeout); off: kept.
        bool temporaryDevicesExpire = true;
        // bluetoothd powers on an adapter it finds off when it starts (main.conf AutoEnable,
        // on by default): the adapter appears with Powered false, which turns true a moment
        // later. Off: the adapter stays as the controller was.
        bool autoEnable = true;
    };

    struct Options {
        // Empty: the system bus.
        std::string busAddress;
        std::string adapterName = "hci0";
        std::string adapterAddress = "00:1A:7D:DA:71:13";
        std::string adapterAlias = "tandril-standin";
        // With a passkey, pairing (Device1.Pair, or the first encrypted access of a device
        // that accepts pairing) asks the default agent RequestConfirmation(device, passkey)
        // first; a refusal fails the pairing. Without one, devices pair by just-works and no
        // agent is asked.
        std::optional<std::uint32_t> pairingPasskey;
        // How many advertisements the controller takes (the kernel's software rotation holds 5).
        std::size_t advertisingInstances = 5;
        Quirks quirks;
    };

    static std::shared_ptr<BluezStandIn> create(std::shared_ptr<SimRadio> radio, Options options);
    ~BluezStandIn() override;
    BluezStandIn(const BluezStandIn&) = delete;
    BluezStandIn& operator=(const BluezStandIn&) = delete;

    // ---- bluetoothd's life ---------------------------------------------------------------
    // Takes org.bluez and exports the tree (bluetoothd starts): the adapter and the devices
    // it remembers (bonded ones). False with error() when the bus refused.
    bool start();
    // bluetoothd dies (killed, crashed): its links drop, the name's owner leaves the bus, the
    // tree is gone; the controller stays as it was.
    void stop();
    // bluetoothd is told to exit (SIGTERM, as systemd stops it): it powers its adapters off
    // first, so the links drop and Powered turns false before the name leaves the bus. The
    // controller stays off until a bluetoothd starts (and, with autoEnable, powers it on).
    void terminate();
    bool isRunning() const;
    const std::string& error() const { return error_; }
    // The stand-in's unique name on the bus (the owner of org.bluez while running).
    std::string uniqueName() const;

    // ---- Controls -----------------------------------------------------------------------
    // The user switches the adapter on or off (Powered; the radio's state follows).
    void setPowered(bool powered);
    // The adapter disappears (unplugged): its objects and its devices' objects are removed.
    void removeAdapter();
    // Exports a further adapter (no devices are found through it).
    void addAdapter(const std::string& name, const std::string& address);
    Quirks& quirks() { return quirks_; }

    // ---- Faults -------------------------------------------------------------------------
    // Calls of `member` (e.g. "Connect", "ReadValue") are taken and never answered.
    void setNeverAnswers(const std::string& member, bool neverAnswers = true);
    // A property of an interface is missing, or has the wrong D-Bus type, wherever it shows.
    void setPropertyFault(const std::string& interface, const std::string& property,
                          StandInObjectTree::PropertyFault fault);
    // The next call of `member` removes the called object's device mid-operation (its
    // objects vanish) and the call answers UnknownObject.
    void setVanishesOnCall(const std::string& member);
    // Removes a device's objects now, as when bluetoothd drops a temporary device.
    void removeDevice(const UUID& identifier);
    // The device advertises `count` times at once (one RSSI update each while discovering).
    void floodAdvertisements(const std::shared_ptr<SimPeripheral>& peripheral, std::size_t count);
    // The device distributes its identity key: bluetoothd rewrites its Address (and
    // AddressType) in place, on the same object path (device_update_addr).
    void rewriteAddress(const UUID& identifier, const std::string& address, bool publicAddress = true);
    // The device is also known over BR/EDR: Device1 carries its Class (e.g. 0x240404, headphones).
    void setClassOfDevice(const UUID& identifier, std::uint32_t classOfDevice);
    // Manufacturer data the device advertises (the radio's advertisements carry none).
    void setManufacturerData(const UUID& identifier, std::uint16_t company, Bytes data);

    // ---- Observation --------------------------------------------------------------------
    // "XX:XX:XX:XX:XX:XX": the device address the stand-in gives a device (a static random
    // address from its identifier).
    static std::string addressFor(const UUID& identifier);
    std::string adapterPath() const;
    std::string devicePath(const UUID& identifier) const;
    // The paths of a device's exported service / characteristic ("" when not exported).
    std::string servicePath(const UUID& identifier, const UUID& service) const;
    std::string characteristicPath(const UUID& identifier, const UUID& service, const UUID& characteristic) const;
    // Every call received, "Interface.Member path" (interface without "org.bluez."), oldest first.
    std::vector<std::string> calls() const;
    std::size_t callCount(const std::string& member) const;
    // The registered pairing agents.
    std::size_t agentCount() const;
    // How many times an agent was asked to confirm a passkey.
    std::size_t confirmationCount() const { return confirmations_; }
    // What the radio advertises for the clients' registered advertisements (empty name and
    // no services when nothing is registered), and how many are registered.
    bool isAdvertising() const;
    std::string advertisedName() const;
    std::vector<UUID> advertisedSolicitedServices() const;
    std::size_t advertisementCount() const;
    // The LEAdvertisement1 properties of the latest registered advertisement, as read from
    // its client (empty when none).
    QVariantMap advertisementProperties() const;

    // ---- Radio events (PlatformCentralDelegate, PlatformPeripheralDelegate) ------------------
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
    void peripheralDidUpdateName(const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                       const ErrorPtr& error) override;
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                        const std::shared_ptr<PlatformService>& service,
                                                        const ErrorPtr& error) override;
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                   const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                   const std::optional<Bytes>& value, const ErrorPtr& error) override;
    void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                  const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                  const ErrorPtr& error) override;
    void peripheralDidUpdateNotificationStateForCharacteristic(
        const std::shared_ptr<PlatformPeripheral>& peripheral,
        const std::shared_ptr<PlatformCharacteristic>& characteristic, const ErrorPtr& error) override;
    void peripheralDidUpdateRSSI(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                 std::optional<std::int64_t> RSSI, const ErrorPtr& error) override;

private:
    BluezStandIn(std::shared_ptr<SimRadio> radio, Options options);

    // Calls, on the main loop.
    void handle(const QDBusMessage& call);
    void handleProperties(const QDBusMessage& call);
    void handleAdapter(StandInAdapter1& adapter, const QDBusMessage& call);
    void handleDevice(StandInDevice1& device, const QDBusMessage& call);
    void handleCharacteristic(StandInDevice1& device, StandInGattCharacteristic1& characteristic,
                              const QDBusMessage& call);
    void reply(const QDBusMessage& message);

    // Advertising (LEAdvertisingManager1).
    void handleAdvertisingManager(const QDBusMessage& call);
    void advertisementRead(const QString& owner, const QString& path, const QDBusMessage& answer);
    void startNextOnRadio();
    // The radio advertises the latest registered advertisement, or stops.
    void refreshRadioAdvertising();
    void publishAdvertisingState();
    // bluetoothd drops every advertisement (it exits, the adapter goes), calling Release.
    void releaseAdvertisements();
    // A phone that pairs on the link it made: the default agent confirms the code.
    void confirmIncomingPairing(const std::shared_ptr<SimPeripheral>& peripheral, const std::string& code,
                                std::function<void(bool accepted)> reply);
    void askAgentToConfirm(StandInDevice1& device, const std::string& code, std::function<void(bool accepted)> reply);

    // Adapter and discovery.
    void exportAdapter(StandInAdapter1& adapter, bool powered);
    void startScan();
    void stopScan();
    void discoveryEnded();
    QDBusMessage setDiscoveryFilter(StandInAdapter1& adapter, const QDBusMessage& call);

    // Devices.
    StandInDevice1& deviceFor(const std::shared_ptr<SimPeripheral>& peripheral);
    StandInDevice1* findDevice(const UUID& identifier) const;
    StandInDevice1* deviceAt(const QString& path) const;
    void exportDevice(StandInDevice1& device, std::optional<std::int64_t> RSSI);
    void connectDevice(StandInDevice1& device, const QDBusMessage& call);
    void disconnectDevice(StandInDevice1& device, const QDBusMessage& call);
    void endDisconnectWindow(const UUID& identifier);
    void linkDown(StandInDevice1& device);
    void updateBond(StandInDevice1& device);
    void forgetDevice(const UUID& identifier, bool announce);
    void restartTemporaryTimer(StandInDevice1& device);
    // A client left the bus: its discovery session, notification sessions and agent end.
    void clientLeft(const QString& name);

    // GATT.
    void resolveServices(StandInDevice1& device);
    void finishResolving(StandInDevice1& device);
    void exportServices(StandInDevice1& device);
    void removeServices(StandInDevice1& device);
    StandInGattCharacteristic1* characteristicFor(StandInDevice1& device,
                                                  const std::shared_ptr<PlatformCharacteristic>& characteristic);
    StandInGattCharacteristic1* characteristicAt(StandInDevice1& device, const QString& path);
    void sendNextWrite(StandInDevice1& device, StandInGattCharacteristic1& characteristic);
    // Whether an access of `characteristic` makes the device pair now.
    bool accessPairs(StandInDevice1& device, StandInGattCharacteristic1& characteristic, const QString& member) const;
    // Asks the default agent to confirm the passkey, then runs `then(accepted)` on the main
    // loop (at once with false when no agent is registered). Calls that arrive meanwhile wait
    // for the same answer.
    void confirmPairing(StandInDevice1& device, std::function<void(bool accepted)> then);
    void subscribe(StandInDevice1& device, StandInGattCharacteristic1& characteristic, bool enabled);

    std::shared_ptr<SimRadio> radio_;
    Options options_;
    Quirks quirks_;
    std::unique_ptr<StandInBus> bus_;
    std::unique_ptr<StandInObjectTree> tree_;
    std::unique_ptr<StandInAgentManager1> agents_;
    std::unique_ptr<StandInAdvertisingManager1> advertising_;
    // Parsed advertisements waiting for the radio, oldest first (owner, path).
    std::deque<std::pair<QString, QString>> awaitingRadio_;
    // Pairings a device started before its link was announced: asked once it is.
    std::map<UUID, std::pair<std::string, std::function<void(bool accepted)>>> earlyPairings_;
    std::vector<std::unique_ptr<StandInAdapter1>> adapters_;
    bool adapterPresent_ = true;
    bool powered_ = true;
    std::shared_ptr<PlatformCentral> central_;
    std::shared_ptr<DispatchQueue> queue_;
    std::map<UUID, std::unique_ptr<StandInDevice1>> devices_;
    std::set<std::string> neverAnswers_;
    std::set<std::string> vanishesOn_;
    std::vector<std::string> calls_;
    std::size_t confirmations_ = 0;
    // Counts start/stop so that work posted by a previous run is dropped.
    std::shared_ptr<std::atomic<std::uint64_t>> generation_;
    bool running_ = false;
    std::string error_;
};

}  // namespace tandril
