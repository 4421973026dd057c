#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/CNConsumerManagerDelegate.hpp"
#include "engine/CNNotificationCodec.hpp"
#include "foundation/Bytes.hpp"
#include "foundation/Error.hpp"
#include "foundation/NotificationCenter.hpp"
#include "foundation/Object.hpp"
#include "foundation/RunLoop.hpp"
#include "foundation/UUID.hpp"
#include "foundation/Value.hpp"

namespace tandril {

class CNNotification;
class CNNotificationApplicationManager;
class CNPairedDeviceSource;
class CNPreferredDeviceStore;
class LGCentralManager;
class LGCharacteristic;
class LGPeripheral;
class LGService;
class PlatformClassicDevice;

// The notification consumer engine: scan periods, exploration and verification of phones,
// the connection sequence, the companion handshake, the subscription to the phone's
// notification-center service and its wire codec, the preferred device and the
// Bluetooth-cache recovery. Everything runs on the main thread.
class CNConsumerManager : public Object {
public:
    using ServiceCallback = std::function<void(std::shared_ptr<LGService>, ErrorPtr)>;
    using ExploreCallback =
        std::function<void(std::shared_ptr<LGPeripheral>, bool verified, bool bonded, ErrorPtr)>;
    using PeripheralCallback = std::function<void(std::shared_ptr<LGPeripheral>)>;

    // What the engine works with, given at creation; each may be absent (then what needs
    // it does nothing: no scanning without a central manager, no classic-device bond test
    // without paired devices, no application records without a catalogue, no preferred
    // device without a store).
    struct Collaborators {
        // The shared central manager.
        std::shared_ptr<LGCentralManager> centralManager;
        // The paired classic devices, for the bond test and the forced disconnection.
        std::shared_ptr<CNPairedDeviceSource> pairedDevices;
        // The application catalogue: records, their names and icons.
        std::shared_ptr<CNNotificationApplicationManager> catalogue;
        // Where the preferred phone's identifier is kept.
        std::shared_ptr<CNPreferredDeviceStore> preferredDeviceStore;
    };

    // Creates the engine and runs its creation steps (it installs callbacks on itself,
    // so it is always held by a shared pointer).
    static std::shared_ptr<CNConsumerManager> create(Collaborators collaborators);
    ~CNConsumerManager() override;

    // --- properties
    std::shared_ptr<CNConsumerManagerDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<CNConsumerManagerDelegate> delegate) { delegate_ = std::move(delegate); }
    const std::optional<std::string>& name() const { return name_; }
    void setName(std::optional<std::string> name) { name_ = std::move(name); }
    const std::shared_ptr<LGPeripheral>& connectedPeripheral() const { return connectedPeripheral_; }
    void setConnectedPeripheral(std::shared_ptr<LGPeripheral> p) { connectedPeripheral_ = std::move(p); }
    // The phone to reconnect to, kept in the preferred-device store (read on every access;
    // a stored text that is not a 128-bit UUID reads as absent).
    std::optional<UUID> preferredUUID() const;
    void setPreferredUUID(const std::optional<UUID>& uuid);
    // The verified phones of the current scan period (the chooser lists these).
    const std::vector<std::shared_ptr<LGPeripheral>>& availablePeripherals() const { return verifiedPeripherals_; }
    bool isScanning() const { return scanning_; }
    void setScanning(bool scanning) { scanning_ = scanning; }
    const std::shared_ptr<LGCentralManager>& centralManager() const { return centralManager_; }
    // The callbacks installed at creation stay with the central manager they were set on.
    void setCentralManager(std::shared_ptr<LGCentralManager> manager) { centralManager_ = std::move(manager); }

    const std::shared_ptr<LGCharacteristic>& notificationSourceCharacteristic() const { return notificationSourceCharacteristic_; }
    void setNotificationSourceCharacteristic(std::shared_ptr<LGCharacteristic> c) { notificationSourceCharacteristic_ = std::move(c); }
    const std::shared_ptr<LGCharacteristic>& controlPointCharacteristic() const { return controlPointCharacteristic_; }
    void setControlPointCharacteristic(std::shared_ptr<LGCharacteristic> c) { controlPointCharacteristic_ = std::move(c); }
    const std::shared_ptr<LGCharacteristic>& dataSourceCharacteristic() const { return dataSourceCharacteristic_; }
    void setDataSourceCharacteristic(std::shared_ptr<LGCharacteristic> c) { dataSourceCharacteristic_ = std::move(c); }

    const std::shared_ptr<CNNotificationApplicationManager>& catalogue() const { return catalogue_; }
    const std::shared_ptr<CNPairedDeviceSource>& pairedDevices() const { return pairedDevices_; }
    const std::shared_ptr<CNPreferredDeviceStore>& preferredDeviceStore() const { return preferredDeviceStore_; }

    // The codec's state (see CNNotificationCodec).
    const CNNotificationCodec& codec() const { return codec_; }
    std::shared_ptr<CNNotification> currentNotification() const { return codec_.currentNotification(); }
    const std::optional<Bytes>& dataSourceDataCache() const { return codec_.dataSourceDataCache(); }
    const std::optional<TimePoint>& lastDataSourceDataCacheUpdate() const {
        return codec_.lastDataSourceDataCacheUpdate();
    }
    const std::vector<std::shared_ptr<CNNotification>>& activeNotifications() const {
        return codec_.activeNotifications();
    }
    void setDataSourceDataCache(std::optional<Bytes> cache) { codec_.setDataSourceDataCache(std::move(cache)); }
    void setLastDataSourceDataCacheUpdate(std::optional<TimePoint> time) { codec_.setLastDataSourceDataCacheUpdate(time); }
    void setActiveNotifications(std::vector<std::shared_ptr<CNNotification>> notifications) {
        codec_.setActiveNotifications(std::move(notifications));
    }

    const std::vector<std::shared_ptr<LGPeripheral>>& discoveredPeripherals() const { return discoveredPeripherals_; }
    const std::vector<std::shared_ptr<LGPeripheral>>& unverifiedPeripherals() const { return unverifiedPeripherals_; }
    const std::vector<std::shared_ptr<LGPeripheral>>& verifiedPeripherals() const { return verifiedPeripherals_; }
    void setDiscoveredPeripherals(std::vector<std::shared_ptr<LGPeripheral>> list) { discoveredPeripherals_ = std::move(list); }
    void setUnverifiedPeripherals(std::vector<std::shared_ptr<LGPeripheral>> list) { unverifiedPeripherals_ = std::move(list); }
    void setVerifiedPeripherals(std::vector<std::shared_ptr<LGPeripheral>> list) { verifiedPeripherals_ = std::move(list); }

    // --- connection sequence
    void connectToPeripheral(const std::shared_ptr<LGPeripheral>& peripheral);
    void disconnect();
    void discoverServicesForPeripheral(const std::shared_ptr<LGPeripheral>& peripheral);
    void hookNotificationCenterService(const std::shared_ptr<LGService>& service,
                                       const std::shared_ptr<LGPeripheral>& peripheral, ServiceCallback callback);
    void receivedDisconnectionNotification(const Notification& notification);

    // --- phones that connect to us (CNConsumerManagerIncoming.cpp)
    // "Allow iPhones to connect": while on, no phone is connected, the adapter is powered
    // on and the desktop is awake, the engine advertises as name() soliciting the
    // notification-center service, so that an iPhone without the companion application
    // can pick the desktop in its Bluetooth settings, and a bonded one reconnects by itself.
    bool allowsIncomingPhones() const { return allowsIncomingPhones_; }
    void setAllowsIncomingPhones(bool allow);
    // While sleeping the engine does not advertise.
    bool isSleeping() const { return sleeping_; }
    void setSleeping(bool sleeping);
    // Whether the engine has asked the radio to advertise (and no failure came back).
    bool isAdvertising() const { return advertising_; }
    // The connected phone offers the notification-center service without the companion's
    // main service and is served without the handshake and the provider poll.
    bool isServingStockPhone() const { return stockPhone_; }
    // A peer that connected to our advertisement.
    void receivedIncomingPeripheral(const std::shared_ptr<LGPeripheral>& peripheral);

    // --- notification-service codec
    void handleNotificationSourceData(const Bytes& data);
    void handleDataSourceData(const Bytes& data);
    void handleAddedNotification(const std::shared_ptr<CNNotification>& notification);
    void handleRemovedNotification(const std::shared_ptr<CNNotification>& notification);
    static const std::uint8_t* byteDataForData(const Bytes& data) { return data.data(); }

    // --- companion main-service handshake
    void hookMainService(const std::shared_ptr<LGService>& service, const std::shared_ptr<LGPeripheral>& peripheral,
                         ServiceCallback callback);
    void requestProviderData();

    // --- scan control
    void startScanning();
    void resetScan();
    void stopScanning();
    void reset();

    // --- discovery and verification
    void discoveredPeripheral(const std::shared_ptr<LGPeripheral>& peripheral);
    void explorePeripheral(const std::shared_ptr<LGPeripheral>& peripheral, ExploreCallback callback);
    void forceDisconnection(const std::shared_ptr<LGPeripheral>& peripheral, PeripheralCallback callback);
    // The paired classic device that stands for this BLE peripheral, or nullptr.
    std::shared_ptr<PlatformClassicDevice> deviceForPeripheral(const std::shared_ptr<LGPeripheral>& peripheral);

    // --- Bluetooth-cache helper
    bool isHelperInstalled();
    bool installHelper();
    void clearCoreBluetoothCache();

    std::string description() const override;

protected:
    explicit CNConsumerManager(Collaborators collaborators);

private:
    void setUp();
    std::shared_ptr<CNConsumerManager> strongSelf();

    std::weak_ptr<CNConsumerManagerDelegate> delegate_;
    std::optional<std::string> name_;
    std::shared_ptr<LGPeripheral> connectedPeripheral_;
    bool scanning_ = false;
    std::shared_ptr<LGCentralManager> centralManager_;
    std::shared_ptr<CNPairedDeviceSource> pairedDevices_;
    std::shared_ptr<CNNotificationApplicationManager> catalogue_;
    std::shared_ptr<CNPreferredDeviceStore> preferredDeviceStore_;
    std::shared_ptr<LGCharacteristic> notificationSourceCharacteristic_;
    std::shared_ptr<LGCharacteristic> controlPointCharacteristic_;
    std::shared_ptr<LGCharacteristic> dataSourceCharacteristic_;
    std::vector<std::shared_ptr<LGPeripheral>> discoveredPeripherals_;
    std::vector<std::shared_ptr<LGPeripheral>> unverifiedPeripherals_;
    std::vector<std::shared_ptr<LGPeripheral>> verifiedPeripherals_;
    ObserverRegistration disconnectObservation_;

    // --- connection sequence (CNConsumerManagerConnection.cpp)
    // Bounds of the recoveries that would otherwise repeat for ever.
    static constexpr int kMaxWrongServicesRetries = 3;
    static constexpr int kMaxExploreRetries = 3;
    static constexpr double kExploreConnectTimeoutSeconds = 10.0;

    // True when `peripheral` is the same phone as connectedPeripheral (platform identifiers).
    bool isConnectedPhone(const std::shared_ptr<LGPeripheral>& peripheral) const;
    // Ends the current connection sequence: later completions of its steps are ignored.
    void endSequence();
    // The failure branches: disconnect, back to idle, then tell the delegate.
    void failConnection(const std::shared_ptr<LGPeripheral>& peripheral, const ErrorPtr& error,
                        const char* disconnectLogFormat);
    void discoveredConnectionServices(const std::shared_ptr<LGPeripheral>& peripheral,
                                      const std::vector<std::shared_ptr<LGService>>& services, const ErrorPtr& error,
                                      std::uint64_t sequence);
    // Discovers the main and the notification-center services of `peripheral` and hands the
    // result to `handler`, unless the sequence ended meanwhile.
    using ServicesHandler = void (CNConsumerManager::*)(const std::shared_ptr<LGPeripheral>&,
                                                        const std::vector<std::shared_ptr<LGService>>&,
                                                        const ErrorPtr&, std::uint64_t);
    void discoverPhoneServices(const std::shared_ptr<LGPeripheral>& peripheral, std::uint64_t sequence,
                               ServicesHandler handler);
    void hookedMainService(const std::shared_ptr<LGPeripheral>& peripheral, const ErrorPtr& error,
                           std::uint64_t sequence);
    void discoveredNotificationServices(const std::shared_ptr<LGPeripheral>& peripheral,
                                        const std::vector<std::shared_ptr<LGService>>& services,
                                        const ErrorPtr& error);
    void hookedNotificationService(const std::shared_ptr<LGPeripheral>& peripheral, const ErrorPtr& error);

    // --- phones that connect to us (CNConsumerManagerIncoming.cpp)
    // Starts or stops advertising to match the conditions above.
    void updateAdvertising();
    // The same, once the current event is done (after the delegate heard of a disconnection).
    void scheduleAdvertisingUpdate();
    // Back to no phone: drops the connected peripheral and what belongs to its connection,
    // and lets advertising resume once the current event is done.
    void clearConnectedPeripheral();
    void discoveredIncomingServices(const std::shared_ptr<LGPeripheral>& peripheral,
                                    const std::vector<std::shared_ptr<LGService>>& services, const ErrorPtr& error,
                                    std::uint64_t sequence);
    void incomingPairingTimedOut(const std::shared_ptr<LGPeripheral>& peripheral, std::uint64_t sequence);
    bool allowsIncomingPhones_ = false;
    bool sleeping_ = false;
    bool advertising_ = false;
    bool stockPhone_ = false;

    // Increases whenever a connection sequence starts or ends; every step checks it.
    std::uint64_t sequence_ = 0;
    // Consecutive wrong-services retries of one phone.
    std::optional<UUID> wrongServicesPhone_;
    int wrongServicesRetries_ = 0;

    // --- cache recovery (CNConsumerManagerCacheRecovery.cpp)
    // The stale-cache branches: back to idle, clear the Bluetooth cache, rebuild the central.
    void resetAfterStaleCache();

    // --- scan control and exploration (CNConsumerManagerScan.cpp)
    void explorePeripheral(const std::shared_ptr<LGPeripheral>& peripheral, ExploreCallback callback, int attempt);
    void exploreConnected(const std::shared_ptr<LGPeripheral>& peripheral, ExploreCallback callback, int attempt);
    void exploreBondTest(const std::shared_ptr<LGPeripheral>& peripheral,
                         const std::shared_ptr<LGCharacteristic>& provider, ExploreCallback callback);
    void exploreOutcome(const std::shared_ptr<LGPeripheral>& peripheral, bool verified, bool bonded);

public:
    // Whether an advertisement could be the user's phone: Apple's company identifier
    // (0x004C) at the start of the manufacturer data, or the companion's main service or
    // the notification-center service among the advertised or solicited services. Only
    // such devices are explored.
    static bool mayBePhone(const Dictionary& advertisementData);

    // --- codec (CNConsumerManagerNotifications.cpp)
    static constexpr std::size_t kMaxActiveNotifications = CNNotificationCodec::kMaxActiveNotifications;
    static constexpr std::size_t kMaxPendingNotifications = CNNotificationCodec::kMaxPendingNotifications;
    static constexpr std::size_t kMaxDataSourceAnswerSize = CNNotificationCodec::kMaxDataSourceAnswerSize;
    // Records waiting for their application's display name, oldest first
    // (currentNotification() is the oldest of them).
    const std::deque<std::shared_ptr<CNNotification>>& pendingNotifications() const {
        return codec_.pendingNotifications();
    }
    static std::optional<std::chrono::system_clock::time_point> dateFromNotificationDate(
        const std::optional<std::string>& text) {
        return CNNotificationCodec::dateFromNotificationDate(text);
    }

private:
    // Carries out what the codec asks for one value.
    void apply(CNNotificationCodec::Output output);
    void writeCommand(const CNNotificationCodec::Command& command);
    void storeNamedApplication(CNNotificationCodec::NamedApplication named);

    CNNotificationCodec codec_;
};

}  // namespace tandril
