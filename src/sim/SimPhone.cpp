#include "sim/SimPhone.hpp"

#include <algorithm>

#include "ble/platform/PlatformConstants.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimService.hpp"

namespace tandril {

// The companion application's main service and the phone's notification-center service,
// as the phone publishes them.
UUID SimPhone::mainServiceUUID() { return UUID::fromStringOrNil("37788B13-93EB-4C29-A15F-79DE5DA30A57"); }
UUID SimPhone::deviceNameUUID() { return UUID::fromStringOrNil("1A955AF6-9D8C-44D9-AD3C-1DD1D6C556B9"); }
UUID SimPhone::providerUUID() { return UUID::fromStringOrNil("81410E6A-5D95-447D-8850-A63EAEC37BB4"); }
UUID SimPhone::consumerUUID() { return UUID::fromStringOrNil("EB01BF93-19D5-4C63-A74B-E86BB29874A7"); }
UUID SimPhone::connectionUUID() { return UUID::fromStringOrNil("876801F6-39D5-4C7B-BF0F-DA7508E98ACF"); }
UUID SimPhone::notificationServiceUUID() { return UUID::fromStringOrNil("7905F431-B5CE-4E99-A40F-4B1E122D00D0"); }
UUID SimPhone::notificationSourceUUID() { return UUID::fromStringOrNil("9FBF120D-6301-42D9-8C58-25E699A21DBD"); }
UUID SimPhone::controlPointUUID() { return UUID::fromStringOrNil("69D1D8F3-45E1-49A8-9821-9BBDFDAAD9D9"); }
UUID SimPhone::dataSourceUUID() { return UUID::fromStringOrNil("22EAC6E9-24D6-4BB5-BE44-B36ACE7C7BFB"); }

std::shared_ptr<SimPhone> SimPhone::create(std::optional<std::string> advertisedName, std::string deviceName,
                                           tandril::UUID identifier) {
    return make(std::move(advertisedName), std::move(deviceName), identifier, false);
}

std::shared_ptr<SimPhone> SimPhone::createStockIPhone(std::optional<std::string> name, tandril::UUID identifier) {
    return make(std::move(name), "", identifier, true);
}

std::shared_ptr<SimPhone> SimPhone::make(std::optional<std::string> advertisedName, std::string deviceName,
                                         tandril::UUID identifier, bool stock) {
    std::shared_ptr<SimPhone> phone(new SimPhone(std::move(advertisedName), deviceName, identifier));
    phone->stock_ = stock;
    if (stock) {
        phone->buildNotificationService();
        // It offers nothing to scanners and connects only to a desktop it was told to.
        phone->setAdvertising(false);
        phone->setAcceptsPairing(false);
        phone->setPairsOnIncomingLink(true);
        phone->setReconnectsWhenAdvertised(true);
    } else {
        phone->buildDatabase(deviceName);
    }
    std::weak_ptr<SimPhone> weakPhone = phone;
    phone->provider_.setEventSender([weakPhone](const Bytes& event) {
        if (auto p = weakPhone.lock()) p->sendEvent(event);
    });
    return phone;
}

SimPhone::SimPhone(std::optional<std::string> advertisedName, std::string, tandril::UUID identifier)
    : SimPeripheral(std::move(advertisedName), identifier) {
    setManufacturerData(appleManufacturerData());
}

Bytes SimPhone::appleManufacturerData() {
    // Apple's company identifier 0x004C (little-endian), then a Nearby Info record as an
    // iPhone sends it: type 0x10, length 5, status and action flags, four opaque bytes.
    return Bytes{0x4C, 0x00, 0x10, 0x05, 0x01, 0x18, 0x3A, 0x5F, 0x42};
}

void SimPhone::buildDatabase(const std::string& deviceName) {
    auto main = addService(mainServiceUUID());
    main->addCharacteristic(deviceNameUUID(), CBCharacteristicPropertyRead, CBAttributePermissionsReadable,
                            bytesFromString(deviceName));
    main->addCharacteristic(consumerUUID(), CBCharacteristicPropertyWrite,
                            CBAttributePermissionsWriteEncryptionRequired);
    main->addCharacteristic(providerUUID(), CBCharacteristicPropertyRead, CBAttributePermissionsReadEncryptionRequired,
                            bytesFromString("provider"));
    main->addCharacteristic(connectionUUID(), CBCharacteristicPropertyNotifyEncryptionRequired,
                            CBAttributePermissionsReadEncryptionRequired);

    buildNotificationService();

    setAdvertisedServiceUUIDs({mainServiceUUID()});
    setSolicitedServiceUUIDs({notificationServiceUUID()});
}

void SimPhone::buildNotificationService() {
    auto ancs = addService(notificationServiceUUID());
    ancs->addCharacteristic(notificationSourceUUID(), CBCharacteristicPropertyNotifyEncryptionRequired,
                            CBAttributePermissionsReadEncryptionRequired);
    ancs->addCharacteristic(controlPointUUID(), CBCharacteristicPropertyWrite,
                            CBAttributePermissionsWriteEncryptionRequired);
    ancs->addCharacteristic(dataSourceUUID(), CBCharacteristicPropertyNotifyEncryptionRequired,
                            CBAttributePermissionsReadEncryptionRequired);
}

bool SimPhone::tap() {
    auto owner = radio();
    auto central = owner ? owner->central() : nullptr;
    if (!central || !central->isAdvertising()) return false;
    const auto solicited = central->advertisedSolicitedServices();
    if (std::find(solicited.begin(), solicited.end(), notificationServiceUUID()) == solicited.end()) return false;
    return connectIncoming();
}

std::shared_ptr<SimCharacteristic> SimPhone::deviceNameCharacteristic() const {
    return characteristic(mainServiceUUID(), deviceNameUUID());
}
std::shared_ptr<SimCharacteristic> SimPhone::providerCharacteristic() const {
    return characteristic(mainServiceUUID(), providerUUID());
}
std::shared_ptr<SimCharacteristic> SimPhone::consumerCharacteristic() const {
    return characteristic(mainServiceUUID(), consumerUUID());
}
std::shared_ptr<SimCharacteristic> SimPhone::connectionCharacteristic() const {
    return characteristic(mainServiceUUID(), connectionUUID());
}
std::shared_ptr<SimCharacteristic> SimPhone::notificationSourceCharacteristic() const {
    return characteristic(notificationServiceUUID(), notificationSourceUUID());
}
std::shared_ptr<SimCharacteristic> SimPhone::controlPointCharacteristic() const {
    return characteristic(notificationServiceUUID(), controlPointUUID());
}
std::shared_ptr<SimCharacteristic> SimPhone::dataSourceCharacteristic() const {
    return characteristic(notificationServiceUUID(), dataSourceUUID());
}

void SimPhone::setDeviceNameValue(const Bytes& value) {
    if (auto c = deviceNameCharacteristic()) c->setStoredValue(value);
}

void SimPhone::setDeviceName(const std::string& name) { setDeviceNameValue(bytesFromString(name)); }

void SimPhone::setProviderValue(const Bytes& value) {
    if (auto c = providerCharacteristic()) c->setStoredValue(value);
}

bool SimPhone::notifyConnection(const Bytes& value) {
    auto c = connectionCharacteristic();
    return c && notify(c, value);
}

std::vector<Bytes> SimPhone::controlPointCommands() const {
    auto c = controlPointCharacteristic();
    return c ? c->writtenValues() : std::vector<Bytes>{};
}

ErrorPtr SimPhone::handleWrite(SimCharacteristic& characteristic, const Bytes& data, bool withResponse) {
    if (characteristic.UUID() != controlPointUUID()) return SimPeripheral::handleWrite(characteristic, data, withResponse);
    answerToSend_.reset();
    auto result = provider_.handleCommand(data);
    if (result.error) return result.error;
    answerToSend_ = std::move(result.answer);
    return nullptr;
}

void SimPhone::didWrite(SimCharacteristic& characteristic, const Bytes& data) {
    SimPeripheral::didWrite(characteristic, data);
    if (characteristic.UUID() != controlPointUUID() || !answerToSend_) return;
    const Bytes answer = std::move(*answerToSend_);
    answerToSend_.reset();
    if (!answersCommands_) return;
    const std::size_t payload = mtu() > 3 ? mtu() - 3 : 1;
    sendDataSourceFragments(SimNotificationProvider::fragments(answer, payload));
}

void SimPhone::didSetNotify(SimCharacteristic& characteristic, bool enabled) {
    SimPeripheral::didSetNotify(characteristic, enabled);
    // After each subscription to the Notification Source the phone announces every
    // notification it already has.
    if (!enabled || characteristic.UUID() != notificationSourceUUID()) return;
    for (const auto& event : provider_.preExistingEvents()) sendEvent(event);
}

void SimPhone::sendEvent(const Bytes& event) {
    auto c = notificationSourceCharacteristic();
    if (c && notify(c, event)) sentEvents_.push_back(event);
}

void SimPhone::sendDataSource(const Bytes& value) { sendDataSourceFragments({value}); }

void SimPhone::sendDataSourceFragments(const std::vector<Bytes>& fragments) {
    auto c = dataSourceCharacteristic();
    if (!c) return;
    const TimePoint now = RunLoop::main().now();
    TimePoint at = dataSourceFreeAt_ ? std::max(now, *dataSourceFreeAt_) : now;
    for (const auto& fragment : fragments) {
        if (notify(c, fragment, at - now)) sentFragments_.push_back(fragment);
        at += fragmentInterval_;
    }
    dataSourceFreeAt_ = at;
}

}  // namespace tandril
