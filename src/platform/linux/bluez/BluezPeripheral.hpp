#pragma once

#include <QString>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ble/platform/PlatformPeripheral.hpp"

namespace tandril {

class BluezCentral;
class BluezCharacteristic;
class BluezService;

// One org.bluez.Device1 as the contract's peripheral: one object per device for the life
// of its central, whatever its D-Bus path or address becomes. Operations hop to the
// adapter's D-Bus thread through the central; getters are safe from any thread. The
// fields below the getters belong to the D-Bus thread.
class BluezPeripheral : public PlatformPeripheral {
public:
    BluezPeripheral(tandril::UUID identifier, std::weak_ptr<BluezCentral> central);

    tandril::UUID identifier() const override { return identifier_; }
    std::optional<std::string> name() const override;
    int state() const override;
    std::vector<std::shared_ptr<PlatformService>> services() const override;
    std::optional<std::int64_t> RSSI() const override;
    std::shared_ptr<PlatformPeripheralDelegate> delegate() const override;
    void setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) override;

    void discoverServices(const std::optional<std::vector<tandril::UUID>>& serviceUUIDs) override;
    void discoverCharacteristics(const std::optional<std::vector<tandril::UUID>>& characteristicUUIDs,
                                 const std::shared_ptr<PlatformService>& service) override;
    void readValueForCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic,
                    int type) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void readRSSI() override;

    // The name to show for a Device1: its Alias when the user or the device set one (BlueZ
    // falls back to the address, "AA-BB-CC-DD-EE-FF", which is no name), else its Name;
    // absent when it has neither.
    static std::optional<std::string> nameOfDevice(const QVariantMap& properties);

    // ---- Updated on the D-Bus thread ----------------------------------------------------
    void setName(std::optional<std::string> name);
    void setState(int state);
    void setRSSI(std::optional<std::int64_t> rssi);
    void setServices(std::vector<std::shared_ptr<BluezService>> services);
    std::vector<std::shared_ptr<BluezService>> discoveredServices() const;
    QString path() const;
    void setPath(QString path);
    // The number of the current link: it changes when a link comes up and when it ends, so
    // events of an earlier link can be told apart at delivery.
    std::uint64_t link() const { return link_; }
    std::uint64_t beginLink();
    void endLink();
    bool isLink(std::uint64_t link) const;

    // ---- D-Bus thread only ----------------------------------------------------------------
    QString address;
    bool busConnected = false;
    bool servicesResolved = false;
    // The current link was made by the device (it connected to our advertisement).
    bool incoming = false;
    // Our connect request: standing, its attempt number (stale replies are ignored), the
    // retries it used, and whether it waits for another client's connect to finish.
    bool connectPending = false;
    std::uint64_t connectAttempt = 0;
    int connectRetries = 0;
    bool waitingForOtherConnect = false;
    // We asked for the link to end (the disconnect event then carries no error).
    bool disconnectRequested = false;
    // A connect asked for while BlueZ still closes the link: it starts once Connected is false.
    bool connectAfterDisconnect = false;
    std::optional<std::int64_t> advertisedRSSI;
    std::map<QString, std::shared_ptr<BluezService>> servicesByPath;
    std::map<QString, std::shared_ptr<BluezCharacteristic>> characteristicsByPath;
    struct ServiceWait {
        std::optional<std::vector<tandril::UUID>> filter;
        std::uint64_t link = 0;
        std::uint64_t id = 0;
    };
    std::vector<ServiceWait> serviceWaits;

private:
    const tandril::UUID identifier_;
    const std::weak_ptr<BluezCentral> central_;
    mutable std::mutex mutex_;
    std::weak_ptr<PlatformPeripheralDelegate> delegate_;
    std::optional<std::string> name_;
    int state_ = 0;
    std::optional<std::int64_t> rssi_;
    std::vector<std::shared_ptr<BluezService>> services_;
    QString path_;
    std::atomic<std::uint64_t> link_{0};
};

}  // namespace tandril
