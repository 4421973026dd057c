#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/platform/PlatformPeripheralDelegate.hpp"
#include "foundation/Error.hpp"
#include "foundation/NotificationCenter.hpp"
#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"
#include "foundation/Value.hpp"

namespace tandril {

class LGCharacteristic;
class LGService;
class PlatformCharacteristic;
class PlatformPeripheral;
class PlatformService;

// Names and texts of the peripheral wrapper that other parts compare against.
inline constexpr const char* kLGPeripheralDidConnect = "LGPeripheralDidConnect";
inline constexpr const char* kLGPeripheralDidDisconnect = "LGPeripheralDidDisconnect";
inline constexpr const char* kLGPeripheralErrorKey = "error";
inline constexpr const char* kLGPeripheralConnectionErrorDomain = "LGPeripheralConnectionErrorDomain";
inline constexpr const char* kLGErrorMessageKey = "msg";
inline constexpr const char* kLGPeripheralConnectionTimeoutMessage = "BLE Device can't be connected by given interval";
inline constexpr const char* kLGPeripheralNotConnectedMessage = "BLE Device is not connected";
inline constexpr std::int64_t kLGPeripheralConnectionTimeoutErrorCode = 408;
inline constexpr std::int64_t kLGPeripheralNotConnectedErrorCode = 409;

// Wraps one platform peripheral: connect (with or without a time limit), disconnect,
// discover services, read the signal strength, each with a completion; routes the
// peripheral's events to its service and characteristic wrappers; announces connections
// and unrequested disconnections as "LGPeripheralDidConnect" / "LGPeripheralDidDisconnect".
// Everything runs on the main thread (debug builds check the public entry points).
class LGPeripheral : public Object, public PlatformPeripheralDelegate {
public:
    using ErrorCallback = std::function<void(const ErrorPtr& error)>;
    using ServicesCallback =
        std::function<void(const std::vector<std::shared_ptr<LGService>>& services, const ErrorPtr& error)>;
    using RSSICallback = std::function<void(std::optional<std::int64_t> RSSI, const ErrorPtr& error)>;

    // initWithPeripheral: the new wrapper becomes the platform peripheral's delegate.
    static std::shared_ptr<LGPeripheral> create(std::shared_ptr<PlatformPeripheral> peripheral);
    ~LGPeripheral() override;

    // Fields.
    bool watchDogRaised() const { return watchDogRaised_; }
    const std::shared_ptr<PlatformPeripheral>& cbPeripheral() const { return cbPeripheral_; }
    // Rebuilt after every service discovery; empty before the first.
    const std::vector<std::shared_ptr<LGService>>& services() const { return services_; }
    const std::optional<std::string>& realName() const { return realName_; }
    void setRealName(std::optional<std::string> realName) { realName_ = std::move(realName); }
    std::int64_t RSSI() const { return RSSI_; }
    void setRSSI(std::int64_t RSSI) { RSSI_ = RSSI; }
    const std::optional<Dictionary>& advertisingData() const { return advertisingData_; }
    void setAdvertisingData(std::optional<Dictionary> data) { advertisingData_ = std::move(data); }
    ErrorCallback connectionBlock() const;
    void setConnectionBlock(ErrorCallback block);
    ErrorCallback disconnectBlock() const;
    void setDisconnectBlock(ErrorCallback block);
    ServicesCallback discoverServicesBlock() const;
    void setDiscoverServicesBlock(ServicesCallback block);
    RSSICallback rssiValueBlock() const;
    void setRssiValueBlock(RSSICallback block);

    // Derived.
    bool isConnected() const;
    // The platform peripheral's state (CBPeripheralState*); disconnected without one.
    int state() const;
    // True while this wrapper is its platform peripheral's delegate: a newer wrapper of the
    // same device (made after a scan start emptied the registry) takes the events over.
    bool receivesPlatformEvents() const;
    // The platform identifier as upper-case 8-4-4-4-12 text.
    std::string UUIDString() const;
    // realName, else the platform's name, else "Unknown device".
    std::string name() const;

    // Operations.
    void connectWithCompletion(ErrorCallback completion);
    void connectWithTimeout(std::uint64_t seconds, ErrorCallback completion);
    void disconnectWithCompletion(ErrorCallback completion);
    void discoverServicesWithCompletion(ServicesCallback completion);
    // An absent list discovers every service. Not connected: `completion` gets error 409
    // before this returns.
    void discoverServices(const std::optional<std::vector<UUID>>& serviceUUIDs, ServicesCallback completion);
    void readRSSIValueCompletion(RSSICallback completion);
    void handleConnectionWithError(const ErrorPtr& error);
    void handleDisconnectWithError(const ErrorPtr& error);
    static ErrorPtr connectionErrorWithCode(std::int64_t code, const std::string& message);
    std::shared_ptr<LGService> wrapperByService(const std::shared_ptr<PlatformService>& service) const;
    void updateServiceWrappers();
    // The connection time limit came due.
    void connectionWatchDogFired();
    // "<LGPeripheral: 0x…> <UUID - name - state>"
    std::string description() const override;
    // { "name": name, "uuid": UUIDString, "state": state text }
    Dictionary dictionaryRepresentation() const;
    std::string className() const override { return "LGPeripheral"; }

    // "disconnected", "connecting", "connected", or empty for any other state.
    static std::string stateText(int state);

    // The "error" entry of a notification's user info: the null value when absent,
    // otherwise a dictionary { "domain", "code", "userInfo" } that errorFromValue() reads back.
    static Value errorValue(const ErrorPtr& error);
    static ErrorPtr errorFromValue(const Value& value);
    // The error a "LGPeripheralDidConnect"/"LGPeripheralDidDisconnect" notification carries.
    static ErrorPtr errorFromNotification(const Notification& notification);

    // Platform events (on the event queue; each hops to the main thread, except the name
    // change, which is only logged).
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

    // Seconds between a disconnect request and its fallback completion.
    static constexpr double kDisconnectFallbackSeconds = 2.0;

protected:
    explicit LGPeripheral(std::shared_ptr<PlatformPeripheral> peripheral);

private:
    std::shared_ptr<LGPeripheral> self();
    std::shared_ptr<LGCharacteristic> characteristicWrapper(
        const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    void postNotification(const char* name, const ErrorPtr& error);

    bool watchDogRaised_ = false;
    std::shared_ptr<PlatformPeripheral> cbPeripheral_;
    std::vector<std::shared_ptr<LGService>> services_;
    std::optional<std::string> realName_;
    std::int64_t RSSI_ = 0;
    std::optional<Dictionary> advertisingData_;
    // The four completion slots, like everything else here, belong to the main thread.
    ErrorCallback connectionBlock_;
    ErrorCallback disconnectBlock_;
    ServicesCallback discoverServicesBlock_;
    RSSICallback rssiValueBlock_;
};

}  // namespace tandril
