#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Bytes.hpp"
#include "foundation/RunLoop.hpp"
#include "sim/SimNotificationProvider.hpp"
#include "sim/SimPeripheral.hpp"

namespace tandril {

class SimCharacteristic;

// A simulated phone running the companion application: a simulated peripheral whose GATT
// database holds the companion's main service (device name readable in the clear;
// provider, consumer and connection only over an encrypted link) and the phone's
// notification-center service (Notification Source, Control Point, Data Source, all over
// an encrypted link). Its notification provider announces every existing notification
// after each subscription to the Notification Source and answers Control Point commands
// on the Data Source in fragments of (MTU - 3) bytes, one answer after another.
class SimPhone : public SimPeripheral {
public:
    // `advertisedName` is what the radio advertises; `deviceName` the companion's device name.
    static std::shared_ptr<SimPhone> create(std::optional<std::string> advertisedName = "iPhone",
                                            std::string deviceName = "iPhone",
                                            tandril::UUID identifier = tandril::UUID::random());

    // A phone without the companion application: its database holds the notification-center
    // service alone, it does not advertise, and it links to the desktop only when the user
    // picks the desktop in the phone's Bluetooth settings (tap()); it then pairs by numeric
    // comparison and, once bonded, reconnects by itself whenever the desktop advertises.
    static std::shared_ptr<SimPhone> createStockIPhone(std::optional<std::string> name = "iPhone",
                                                       tandril::UUID identifier = tandril::UUID::random());

    // The user picks the desktop in the phone's list of devices: the phone connects when the
    // radio's central advertises soliciting the notification-center service. False, doing
    // nothing, otherwise (not advertising, other services, already linked).
    bool tap();
    bool isStockIPhone() const { return stock_; }

    // The manufacturer data an iPhone advertises: Apple's company identifier first.
    static Bytes appleManufacturerData();
    // The phone's own record of its GATT attributes.
    static tandril::UUID mainServiceUUID();
    static tandril::UUID deviceNameUUID();
    static tandril::UUID providerUUID();
    static tandril::UUID consumerUUID();
    static tandril::UUID connectionUUID();
    static tandril::UUID notificationServiceUUID();
    static tandril::UUID notificationSourceUUID();
    static tandril::UUID controlPointUUID();
    static tandril::UUID dataSourceUUID();

    SimNotificationProvider& provider() { return provider_; }
    const SimNotificationProvider& provider() const { return provider_; }

    std::shared_ptr<SimCharacteristic> deviceNameCharacteristic() const;
    std::shared_ptr<SimCharacteristic> providerCharacteristic() const;
    std::shared_ptr<SimCharacteristic> consumerCharacteristic() const;
    std::shared_ptr<SimCharacteristic> connectionCharacteristic() const;
    std::shared_ptr<SimCharacteristic> notificationSourceCharacteristic() const;
    std::shared_ptr<SimCharacteristic> controlPointCharacteristic() const;
    std::shared_ptr<SimCharacteristic> dataSourceCharacteristic() const;

    // The device-name value as raw bytes (any bytes, valid UTF-8 or not).
    void setDeviceNameValue(const Bytes& value);
    void setDeviceName(const std::string& name);
    void setProviderValue(const Bytes& value);
    // A notification of the connection characteristic; false when nobody listens.
    bool notifyConnection(const Bytes& value);

    // Every command written to the Control Point, oldest first.
    std::vector<Bytes> controlPointCommands() const;
    // Every value sent on the Notification Source and the Data Source, oldest first.
    const std::vector<Bytes>& sentEvents() const { return sentEvents_; }
    const std::vector<Bytes>& sentFragments() const { return sentFragments_; }

    // ---- Faults and pacing
    // The time between two Data Source fragments (default zero: back to back).
    void setFragmentInterval(Duration interval) { fragmentInterval_ = interval; }
    // A phone that takes commands but never answers them on the Data Source.
    void setAnswersCommands(bool answers) { answersCommands_ = answers; }
    // Sends raw bytes on the Data Source (after the answers already queued).
    void sendDataSource(const Bytes& value);
    void sendDataSourceFragments(const std::vector<Bytes>& fragments);

    std::string className() const override { return "SimPhone"; }

protected:
    SimPhone(std::optional<std::string> advertisedName, std::string deviceName, tandril::UUID identifier);
    static std::shared_ptr<SimPhone> make(std::optional<std::string> advertisedName, std::string deviceName,
                                          tandril::UUID identifier, bool stock);

    ErrorPtr handleWrite(SimCharacteristic& characteristic, const Bytes& data, bool withResponse) override;
    void didWrite(SimCharacteristic& characteristic, const Bytes& data) override;
    void didSetNotify(SimCharacteristic& characteristic, bool enabled) override;

private:
    void buildDatabase(const std::string& deviceName);
    void buildNotificationService();

    bool stock_ = false;
    void sendEvent(const Bytes& event);

    SimNotificationProvider provider_;
    // The answer of the Control Point command being written, sent once the write is answered.
    std::optional<Bytes> answerToSend_;
    Duration fragmentInterval_{0};
    bool answersCommands_ = true;
    // When the Data Source is free again: answers go out one after another.
    std::optional<TimePoint> dataSourceFreeAt_;
    std::vector<Bytes> sentEvents_;
    std::vector<Bytes> sentFragments_;
};

}  // namespace tandril
