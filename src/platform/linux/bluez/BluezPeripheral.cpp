#include "platform/linux/bluez/BluezPeripheral.hpp"

#include "ble/platform/PlatformConstants.hpp"
#include "platform/linux/bluez/BluezCentral.hpp"
#include "platform/linux/bluez/BluezCharacteristic.hpp"
#include "platform/linux/bluez/BluezService.hpp"

namespace tandril {

BluezPeripheral::BluezPeripheral(tandril::UUID identifier, std::weak_ptr<BluezCentral> central)
    : identifier_(std::move(identifier)), central_(std::move(central)) {}

std::optional<std::string> BluezPeripheral::nameOfDevice(const QVariantMap& properties) {
    const QVariant alias = properties.value(QStringLiteral("Alias"));
    const QVariant address = properties.value(QStringLiteral("Address"));
    if (alias.userType() == QMetaType::QString && !alias.toString().isEmpty()) {
        QString fallback = address.userType() == QMetaType::QString ? address.toString() : QString();
        fallback.replace(QLatin1Char(':'), QLatin1Char('-'));
        if (alias.toString().compare(fallback, Qt::CaseInsensitive) != 0) return alias.toString().toStdString();
    }
    const QVariant name = properties.value(QStringLiteral("Name"));
    if (name.userType() == QMetaType::QString) return name.toString().toStdString();
    return std::nullopt;
}

std::optional<std::string> BluezPeripheral::name() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

int BluezPeripheral::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::vector<std::shared_ptr<PlatformService>> BluezPeripheral::services() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {services_.begin(), services_.end()};
}

std::vector<std::shared_ptr<BluezService>> BluezPeripheral::discoveredServices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return services_;
}

std::optional<std::int64_t> BluezPeripheral::RSSI() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rssi_;
}

std::shared_ptr<PlatformPeripheralDelegate> BluezPeripheral::delegate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delegate_.lock();
}

void BluezPeripheral::setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
}

void BluezPeripheral::setName(std::optional<std::string> name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::move(name);
}

void BluezPeripheral::setState(int state) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
}

void BluezPeripheral::setRSSI(std::optional<std::int64_t> rssi) {
    std::lock_guard<std::mutex> lock(mutex_);
    rssi_ = rssi;
}

void BluezPeripheral::setServices(std::vector<std::shared_ptr<BluezService>> services) {
    std::lock_guard<std::mutex> lock(mutex_);
    services_ = std::move(services);
}

QString BluezPeripheral::path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

void BluezPeripheral::setPath(QString path) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = std::move(path);
}

std::uint64_t BluezPeripheral::beginLink() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = CBPeripheralStateConnected;
    return ++link_;
}

void BluezPeripheral::endLink() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = CBPeripheralStateDisconnected;
    ++link_;
}

bool BluezPeripheral::isLink(std::uint64_t link) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == CBPeripheralStateConnected && link_ == link;
}

// ---- Operations: each hops to the D-Bus thread ---------------------------------------------

namespace {
std::shared_ptr<BluezPeripheral> selfOf(BluezPeripheral* p) {
    return std::static_pointer_cast<BluezPeripheral>(p->shared_from_this());
}
}  // namespace

void BluezPeripheral::discoverServices(const std::optional<std::vector<tandril::UUID>>& serviceUUIDs) {
    if (auto central = central_.lock()) central->discoverServices(selfOf(this), serviceUUIDs);
}

void BluezPeripheral::discoverCharacteristics(const std::optional<std::vector<tandril::UUID>>& characteristicUUIDs,
                                              const std::shared_ptr<PlatformService>& service) {
    auto own = std::dynamic_pointer_cast<BluezService>(service);
    if (!own || own->peripheral().get() != this) return;
    if (auto central = central_.lock()) central->discoverCharacteristics(selfOf(this), characteristicUUIDs, own);
}

void BluezPeripheral::readValueForCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    auto own = std::dynamic_pointer_cast<BluezCharacteristic>(characteristic);
    if (!own) return;
    if (auto central = central_.lock()) central->readValue(selfOf(this), own);
}

void BluezPeripheral::writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                 int type) {
    auto own = std::dynamic_pointer_cast<BluezCharacteristic>(characteristic);
    if (!own) return;
    if (auto central = central_.lock())
        central->writeValue(selfOf(this), own, data, type == CBCharacteristicWriteWithResponse);
}

void BluezPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    auto own = std::dynamic_pointer_cast<BluezCharacteristic>(characteristic);
    if (!own) return;
    if (auto central = central_.lock()) central->setNotifyValue(selfOf(this), own, enabled);
}

void BluezPeripheral::readRSSI() {
    if (auto central = central_.lock()) central->readRSSI(selfOf(this));
}

}  // namespace tandril
