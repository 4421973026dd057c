#include "platform/linux/bluez/BluezCentral.hpp"

#include <QCryptographicHash>
#include <QDBusObjectPath>

#include <algorithm>

#include "ble/platform/PlatformCentralDelegate.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "ble/platform/PlatformPeripheralDelegate.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/Log.hpp"
#include "foundation/RunLoop.hpp"
#include "platform/linux/bluez/BluezAdvertisement.hpp"
#include "platform/linux/bluez/BluezCharacteristic.hpp"
#include "platform/linux/bluez/BluezErrors.hpp"
#include "platform/linux/bluez/BluezPeripheral.hpp"
#include "platform/linux/bluez/BluezService.hpp"

namespace tandril {

namespace {
const QString adapterInterface = QStringLiteral("org.bluez.Adapter1");
const QString deviceInterface = QStringLiteral("org.bluez.Device1");
const QString serviceInterface = QStringLiteral("org.bluez.GattService1");
const QString characteristicInterface = QStringLiteral("org.bluez.GattCharacteristic1");
const QString advertisingManagerInterface = QStringLiteral("org.bluez.LEAdvertisingManager1");
// How long a write or read that BlueZ answered InProgress waits before it is sent again.
constexpr double collisionRetryDelay = 0.05;
constexpr int collisionRetries = 20;

// Typed reads of properties: a property of the wrong D-Bus type counts as missing.
std::optional<bool> boolOf(const QVariantMap& properties, const char* key) {
    auto it = properties.find(QLatin1String(key));
    if (it == properties.end() || it->userType() != QMetaType::Bool) return std::nullopt;
    return it->toBool();
}

std::optional<QString> stringOf(const QVariantMap& properties, const char* key) {
    auto it = properties.find(QLatin1String(key));
    if (it == properties.end() || it->userType() != QMetaType::QString) return std::nullopt;
    return it->toString();
}

std::optional<std::int64_t> intOf(const QVariantMap& properties, const char* key) {
    auto it = properties.find(QLatin1String(key));
    if (it == properties.end()) return std::nullopt;
    switch (it->userType()) {
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::UChar:
        case QMetaType::Char:
        case QMetaType::SChar:
            return it->toLongLong();
        default:
            return std::nullopt;
    }
}

std::optional<QStringList> stringListOf(const QVariantMap& properties, const char* key) {
    auto it = properties.find(QLatin1String(key));
    if (it == properties.end()) return std::nullopt;
    if (it->userType() == QMetaType::QStringList) return it->toStringList();
    if (it->userType() == QMetaType::QVariantList) {
        QStringList out;
        for (const auto& item : it->toList()) {
            if (item.userType() != QMetaType::QString) return std::nullopt;
            out << item.toString();
        }
        return out;
    }
    return std::nullopt;
}

std::optional<QByteArray> bytesOf(const QVariantMap& properties, const char* key) {
    auto it = properties.find(QLatin1String(key));
    if (it == properties.end() || it->userType() != QMetaType::QByteArray) return std::nullopt;
    return it->toByteArray();
}

std::optional<QString> pathOf(const QVariantMap& properties, const char* key) {
    auto it = properties.find(QLatin1String(key));
    if (it == properties.end()) return std::nullopt;
    if (it->userType() == qMetaTypeId<QDBusObjectPath>()) return it->value<QDBusObjectPath>().path();
    if (it->userType() == QMetaType::QString) return it->toString();
    return std::nullopt;
}

std::optional<UUID> uuidOf(const QVariantMap& properties, const char* key) {
    auto text = stringOf(properties, key);
    if (!text) return std::nullopt;
    return UUID::fromString(text->toStdString());
}

std::vector<UUID> uuidsOf(const QVariantMap& properties, const char* key) {
    std::vector<UUID> out;
    if (auto texts = stringListOf(properties, key)) {
        for (const auto& text : *texts) {
            if (auto uuid = UUID::fromString(text.toStdString())) out.push_back(*uuid);
        }
    }
    return out;
}

Bytes toBytes(const QByteArray& bytes) {
    return Bytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                 reinterpret_cast<const std::uint8_t*>(bytes.constData()) + bytes.size());
}

QByteArray toQBytes(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

bool contains(const std::vector<UUID>& list, const UUID& uuid) {
    return std::find(list.begin(), list.end(), uuid) != list.end();
}

bool intersects(const std::vector<UUID>& a, const std::vector<UUID>& b) {
    return std::any_of(a.begin(), a.end(), [&](const UUID& u) { return contains(b, u); });
}

// "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF/service000c/char000d" → "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF".
QString devicePathOf(const QString& path) {
    const int start = path.indexOf(QLatin1String("/dev_"));
    if (start < 0) return {};
    const int end = path.indexOf(QLatin1Char('/'), start + 1);
    return end < 0 ? path : path.left(end);
}

// Services BlueZ's own plugins claim (GAP, GATT, Device Information, Battery, HID): listed in
// Device1.UUIDs but never exported as GattService1.
bool isClaimedByBluez(const UUID& uuid) {
    static const std::vector<UUID> claimed = {UUID::from16(0x1800), UUID::from16(0x1801), UUID::from16(0x180A),
                                              UUID::from16(0x180F), UUID::from16(0x1812)};
    return contains(claimed, uuid);
}

// The 128-bit lower-case text BlueZ uses for every UUID.
QString uuidText128(const UUID& uuid) {
    const auto b = uuid.bytes128();
    QByteArray bytes(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
    const QString hex = QString::fromLatin1(bytes.toHex());
    return hex.left(8) + QLatin1Char('-') + hex.mid(8, 4) + QLatin1Char('-') + hex.mid(12, 4) + QLatin1Char('-') +
           hex.mid(16, 4) + QLatin1Char('-') + hex.mid(20);
}

std::string errorName(const QDBusMessage& reply) {
    return reply.errorName().toStdString();
}

std::string errorMessage(const QDBusMessage& reply) {
    return reply.errorMessage().toStdString();
}
}  // namespace

BluezCentral::BluezCentral(const BluezOptions& options, BluezBus* bus, std::weak_ptr<PlatformCentralDelegate> delegate,
                           std::shared_ptr<DispatchQueue> queue)
    : options_(options), bus_(bus), gate_(bus->gate()), tree_(bus->sharedTree()), delegate_(std::move(delegate)), queue_(std::move(queue)) {}

BluezCentral::~BluezCentral() = default;

std::shared_ptr<BluezCentral> BluezCentral::self() {
    return std::static_pointer_cast<BluezCentral>(shared_from_this());
}

int BluezCentral::state() const {
    return state_;
}

bool BluezCentral::isScanning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanning_;
}

std::shared_ptr<PlatformCentralDelegate> BluezCentral::delegate() const {
    return delegate_.lock();
}

void BluezCentral::onBus(std::function<void()> job) {
    std::weak_ptr<BluezCentral> weak = self();
    gate_->post([weak, job = std::move(job)] {
        auto central = weak.lock();
        if (central && central->active_) job();
    });
}

void BluezCentral::afterDelay(double delay, std::function<void()> job) {
    std::weak_ptr<BluezBusGate> gate = gate_;
    std::weak_ptr<BluezCentral> weak = self();
    RunLoop::main().schedule(seconds(delay), [gate, weak, job = std::move(job)] {
        auto open = gate.lock();
        if (!open) return;
        open->post([weak, job] {
            auto central = weak.lock();
            if (central && central->active_) job();
        });
    });
}

void BluezCentral::deliver(CentralEvent event) {
    if (!queue_) return;
    std::weak_ptr<BluezCentral> weak = self();
    queue_->async([weak, event = std::move(event)] {
        auto central = weak.lock();
        if (!central || !central->active_) return;
        if (auto delegate = central->delegate()) event(delegate);
    });
}

void BluezCentral::deliverOnLink(const std::shared_ptr<BluezPeripheral>& peripheral, std::uint64_t link,
                                 PeripheralEvent event) {
    if (!queue_) return;
    std::weak_ptr<BluezCentral> weak = self();
    // Checked at delivery: whatever was in flight when the link dropped never arrives.
    queue_->async([weak, peripheral, link, event = std::move(event)] {
        auto central = weak.lock();
        if (!central || !central->active_ || !peripheral->isLink(link)) return;
        if (auto delegate = peripheral->delegate()) event(delegate);
    });
}

void BluezCentral::setStateAndReport(int state) {
    const bool changed = state_.exchange(state) != state;
    if (!changed && reportedState_) return;
    reportedState_ = true;
    auto central = self();
    deliver([central, state](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidUpdateState(central, state);
    });
}

// ---- Adapter and tree ---------------------------------------------------------------------------

QString BluezCentral::chooseAdapter(const BluezBus::Tree& tree, const std::string& preferred) {
    QString first;
    const QString wanted = QString::fromStdString(preferred);
    for (const auto& [path, interfaces] : tree) {
        auto adapter = interfaces.find(adapterInterface);
        if (adapter == interfaces.end()) continue;
        if (first.isEmpty()) first = path;
        if (wanted.isEmpty()) break;
        const QString address = stringOf(adapter->second, "Address").value_or(QString());
        if (path == wanted || path.section(QLatin1Char('/'), -1) == wanted ||
            address.compare(wanted, Qt::CaseInsensitive) == 0)
            return path;
    }
    return first;
}

UUID BluezCentral::deviceIdentifier(const QString& adapterAddress, const QString& deviceAddress) {
    // A version 5 (SHA-1, name-based) UUID in a namespace of our own.
    static const QByteArray space = QByteArray::fromHex("6f1c2a9e4b3d5e8fa1b2c3d4e5f60718");
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(space);
    hash.addData((adapterAddress.toUpper() + QLatin1Char('/') + deviceAddress.toUpper()).toUtf8());
    QByteArray digest = hash.result().left(16);
    digest[6] = static_cast<char>((digest[6] & 0x0F) | 0x50);
    digest[8] = static_cast<char>((digest[8] & 0x3F) | 0x80);
    return UUID::fromBytes(toBytes(digest)).value_or(UUID::random());
}

void BluezCentral::attach() {
    // A central made after the tree was read takes it at once; otherwise busTreeLoaded comes.
    if (bus_->isTreeLoaded()) busTreeLoaded(bus_->hasOwner());
}

void BluezCentral::busTreeLoaded(bool hasOwner) {
    treeSeen_ = true;
    if (!hasOwner) {
        adapterPath_.clear();
        setStateAndReport(CBCentralManagerStateUnsupported);
        return;
    }
    readAdapter(bus_->snapshot());
}

void BluezCentral::readAdapter(const BluezBus::Tree& tree) {
    adapterPath_ = chooseAdapter(tree, options_.adapterName);
    if (adapterPath_.isEmpty()) {
        // After an adapter vanished the central stays resetting until one comes back.
        if (state_ != CBCentralManagerStateResetting) setStateAndReport(CBCentralManagerStateUnsupported);
        return;
    }
    const auto& adapter = tree.at(adapterPath_).at(adapterInterface);
    adapterAddress_ = stringOf(adapter, "Address").value_or(adapterPath_);
    for (const auto& [path, interfaces] : tree) {
        auto device = interfaces.find(deviceInterface);
        if (device != interfaces.end()) peripheralForDevice(path, device->second);
    }
    const bool powered = boolOf(adapter, "Powered").value_or(false);
    setStateAndReport(powered ? CBCentralManagerStatePoweredOn : CBCentralManagerStatePoweredOff);
    if (powered) reconcileDiscovery();
}

std::shared_ptr<BluezPeripheral> BluezCentral::peripheralAt(const QString& devicePath) const {
    auto it = byPath_.find(devicePath);
    return it == byPath_.end() ? nullptr : it->second;
}

std::shared_ptr<BluezPeripheral> BluezCentral::peripheralForDevice(const QString& path, const QVariantMap& properties) {
    if (adapterPath_.isEmpty()) return nullptr;
    const auto adapter = pathOf(properties, "Adapter");
    if (adapter ? *adapter != adapterPath_ : !path.startsWith(adapterPath_ + QLatin1Char('/'))) return nullptr;
    if (auto known = peripheralAt(path)) return known;
    const auto address = stringOf(properties, "Address");
    if (!address) return nullptr;  // without an address there is no identity
    const UUID identifier = deviceIdentifier(adapterAddress_, *address);
    std::shared_ptr<BluezPeripheral> peripheral;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = byIdentifier_.find(identifier);
        if (it != byIdentifier_.end()) {
            peripheral = it->second;
        } else {
            peripheral = std::make_shared<BluezPeripheral>(identifier, std::weak_ptr<BluezCentral>(self()));
            byIdentifier_[identifier] = peripheral;
        }
    }
    byPath_[path] = peripheral;
    peripheral->setPath(path);
    peripheral->address = *address;
    // BlueZ's Name is the advertised or GAP name; Alias falls back to the address text.
    if (auto name = stringOf(properties, "Name")) peripheral->setName(name->toStdString());
    peripheral->busConnected = boolOf(properties, "Connected").value_or(false);
    peripheral->servicesResolved = boolOf(properties, "ServicesResolved").value_or(false);
    if (auto rssi = intOf(properties, "RSSI")) peripheral->advertisedRSSI = *rssi;
    return peripheral;
}

void BluezCentral::busOwnerLost() {
    if (!treeSeen_) return;
    // bluetoothd is gone and its registration with it; the engine asks again once the
    // adapter is back.
    withdrawAdvertisement(false);
    dropAllLinks(false);
    byPath_.clear();
    adapterPath_.clear();
    discoveryEnded();
    setStateAndReport(CBCentralManagerStateResetting);
}

void BluezCentral::adapterGone() {
    withdrawAdvertisement(false);
    dropAllLinks(false);
    byPath_.clear();
    adapterPath_.clear();
    discoveryEnded();
    setStateAndReport(CBCentralManagerStateResetting);
    // Another adapter may take over at once.
    const auto tree = bus_->snapshot();
    if (!chooseAdapter(tree, options_.adapterName).isEmpty()) readAdapter(tree);
}

void BluezCentral::dropAllLinks(bool stopSessions) {
    for (const auto& [path, peripheral] : byPath_) {
        (void)path;
        peripheral->connectAfterDisconnect = false;
        if (peripheral->state() == CBPeripheralStateConnected || peripheral->state() == CBPeripheralStateDisconnecting) {
            if (stopSessions) endSessions(peripheral);
            linkDown(peripheral, PlatformError::centralError(CBErrorPeripheralDisconnected));
        } else if (peripheral->connectPending || peripheral->state() == CBPeripheralStateConnecting) {
            failConnect(peripheral, PlatformError::centralError(CBErrorPeripheralDisconnected));
        }
    }
}

void BluezCentral::busInterfacesAdded(const QString& path, const BluezBus::Interfaces& added) {
    if (!treeSeen_) return;
    if (added.count(adapterInterface)) {
        if (adapterPath_.isEmpty()) readAdapter(bus_->snapshot());
        return;
    }
    if (adapterPath_.isEmpty()) return;
    auto device = added.find(deviceInterface);
    if (device != added.end()) {
        const bool known = byPath_.count(path) > 0;
        auto peripheral = peripheralForDevice(path, device->second);
        if (peripheral && intOf(device->second, "RSSI")) advertisementHeard(peripheral, device->second);
        // A device bluetoothd did not know yet that is linked already connected to us.
        if (peripheral && !known && boolOf(device->second, "Connected").value_or(false) &&
            !peripheral->connectPending && peripheral->state() == CBPeripheralStateDisconnected &&
            isIncomingLink(device->second))
            incomingLinkUp(peripheral, device->second);
        return;
    }
    const QString devicePath = devicePathOf(path);
    auto peripheral = peripheralAt(devicePath);
    if (!peripheral) return;
    if (added.count(serviceInterface)) {
        serviceObject(peripheral, path, added.at(serviceInterface));
        checkServiceWaits(peripheral, false, 0);
    } else if (added.count(characteristicInterface)) {
        // Characteristics are read from the tree when they are discovered.
    }
}

void BluezCentral::busInterfacesRemoved(const QString& path, const QStringList& removed) {
    if (!treeSeen_) return;
    if (path == adapterPath_ && removed.contains(adapterInterface)) {
        adapterGone();
        return;
    }
    if (removed.contains(deviceInterface)) {
        auto peripheral = peripheralAt(path);
        if (!peripheral) return;
        if (peripheral->state() == CBPeripheralStateConnected || peripheral->state() == CBPeripheralStateDisconnecting)
            linkDown(peripheral, PlatformError::centralError(CBErrorPeripheralDisconnected));
        else if (peripheral->connectPending)
            failConnect(peripheral, PlatformError::centralError(CBErrorConnectionFailed));
        // The object stays known by its identifier; a device that comes back gets it again.
        byPath_.erase(path);
        return;
    }
    auto peripheral = peripheralAt(devicePathOf(path));
    if (!peripheral) return;
    if (removed.contains(serviceInterface)) {
        auto it = peripheral->servicesByPath.find(path);
        if (it != peripheral->servicesByPath.end()) {
            auto services = peripheral->discoveredServices();
            services.erase(std::remove(services.begin(), services.end(), it->second), services.end());
            peripheral->setServices(std::move(services));
        }
    } else if (removed.contains(characteristicInterface)) {
        auto it = peripheral->characteristicsByPath.find(path);
        if (it != peripheral->characteristicsByPath.end()) {
            if (auto service = std::dynamic_pointer_cast<BluezService>(it->second->service()))
                service->removeDiscovered(it->second);
        }
    }
}

void BluezCentral::busPropertiesChanged(const QString& path, const QString& interface, const QVariantMap& changed,
                                        const QStringList& invalidated) {
    if (!treeSeen_) return;
    if (interface == adapterInterface) {
        if (path != adapterPath_) return;
        if (auto powered = boolOf(changed, "Powered")) {
            if (*powered) {
                setStateAndReport(CBCentralManagerStatePoweredOn);
                reconcileDiscovery();
            } else {
                // The advertisement goes with the power (the engine asks again once the
                // adapter is on); each link is reported dropped before the new state, as the
                // platform does.
                withdrawAdvertisement(true);
                dropAllLinks(true);
                // A scan asked for stays asked for: it resumes when the adapter is back on.
                discoveryEnded();
                setStateAndReport(CBCentralManagerStatePoweredOff);
            }
        }
        return;
    }
    if (interface == deviceInterface) {
        if (auto peripheral = peripheralAt(path)) deviceChanged(peripheral, changed, invalidated);
        return;
    }
    if (interface == characteristicInterface) valueChanged(path, changed);
}

void BluezCentral::deviceChanged(const std::shared_ptr<BluezPeripheral>& peripheral, const QVariantMap& changed,
                                 const QStringList& invalidated) {
    if (auto address = stringOf(changed, "Address")) {
        // Identity-key distribution rewrote the address: same object, one more identifier.
        peripheral->address = *address;
        std::lock_guard<std::mutex> lock(mutex_);
        byIdentifier_.emplace(deviceIdentifier(adapterAddress_, *address), peripheral);
    }
    if (auto name = stringOf(changed, "Name")) {
        const auto previous = peripheral->name();
        peripheral->setName(name->toStdString());
        if (previous != peripheral->name() && peripheral->state() == CBPeripheralStateConnected) {
            deliverOnLink(peripheral, peripheral->link(), [peripheral](const auto& delegate) {
                delegate->peripheralDidUpdateName(peripheral);
            });
        }
    }
    if (auto rssi = intOf(changed, "RSSI")) peripheral->advertisedRSSI = *rssi;
    if (invalidated.contains(QLatin1String("RSSI"))) peripheral->advertisedRSSI.reset();
    // With a discovery filter set, BlueZ sends RSSI on every advertising report: one
    // discovery event each. Advertising data changes count as a report too.
    if (changed.contains(QLatin1String("RSSI")) || changed.contains(QLatin1String("ManufacturerData")) ||
        changed.contains(QLatin1String("ServiceData"))) {
        if (auto object = bus_->object(peripheral->path())) {
            auto device = object->find(deviceInterface);
            if (device != object->end()) advertisementHeard(peripheral, device->second);
        }
    }
    if (auto connected = boolOf(changed, "Connected")) {
        peripheral->busConnected = *connected;
        if (*connected) {
            if (peripheral->waitingForOtherConnect && peripheral->connectPending) {
                peripheral->waitingForOtherConnect = false;
                peripheral->connectPending = false;
                linkUp(peripheral);
            } else if (!peripheral->connectPending && !peripheral->connectAfterDisconnect &&
                       peripheral->state() == CBPeripheralStateDisconnected) {
                // Not our Connect: while we advertise, a phone that connected to us.
                if (auto object = bus_->object(peripheral->path())) {
                    auto device = object->find(deviceInterface);
                    if (device != object->end() && isIncomingLink(device->second))
                        incomingLinkUp(peripheral, device->second);
                }
            }
        } else {
            peripheral->servicesResolved = false;
            if (peripheral->state() == CBPeripheralStateConnected ||
                peripheral->state() == CBPeripheralStateDisconnecting) {
                linkDown(peripheral, peripheral->disconnectRequested
                                         ? nullptr
                                         : PlatformError::centralError(CBErrorPeripheralDisconnected));
            }
            if (peripheral->connectAfterDisconnect) {
                // Started once the disconnect event is delivered, which must find the
                // peripheral disconnected.
                std::weak_ptr<BluezCentral> weak = self();
                queue_->async([weak, peripheral] {
                    auto central = weak.lock();
                    if (!central) return;
                    central->onBus([central, peripheral] {
                        if (!peripheral->connectAfterDisconnect) return;
                        peripheral->connectAfterDisconnect = false;
                        central->sendConnect(peripheral);
                    });
                });
            }
        }
    }
    if (auto resolved = boolOf(changed, "ServicesResolved")) {
        peripheral->servicesResolved = *resolved;
        if (*resolved) checkServiceWaits(peripheral, false, 0);
    }
    if (changed.contains(QLatin1String("UUIDs")) && peripheral->servicesResolved) checkServiceWaits(peripheral, false, 0);
}

// ---- Scanning -----------------------------------------------------------------------------------

void BluezCentral::scanForPeripheralsWithServices(const std::optional<std::vector<UUID>>& serviceUUIDs,
                                                  const std::optional<Dictionary>& options) {
    // Asked for while the adapter is off, resetting or gone, the scan starts once it is
    // powered on (reconcileDiscovery waits for that).
    if (!active_) return;
    std::vector<UUID> solicited;
    bool duplicates = false;
    if (options) {
        const Value entries(*options);
        if (const Array* texts = entries[CBCentralManagerScanOptionSolicitedServiceUUIDsKey].asArray()) {
            for (const auto& text : *texts) {
                if (const std::string* s = text.asString()) {
                    if (auto uuid = UUID::fromString(*s)) solicited.push_back(*uuid);
                }
            }
        }
        duplicates = entries[CBCentralManagerScanOptionAllowDuplicatesKey].asBoolean().value_or(false);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scanning_ = true;
    }
    auto filter = serviceUUIDs && !serviceUUIDs->empty() ? serviceUUIDs : std::nullopt;
    onBus([this, filter, solicited, duplicates] {
        scanServices_ = filter;
        solicitedServices_ = solicited;
        allowDuplicates_ = duplicates;
        reported_.clear();
        wantDiscovery_ = true;
        reconcileDiscovery();
    });
}

void BluezCentral::stopScan() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scanning_ = false;
    }
    onBus([this] {
        wantDiscovery_ = false;
        reconcileDiscovery();
    });
}

void BluezCentral::reconcileDiscovery() {
    if (discoveryBusy_ || adapterPath_.isEmpty() || state_ != CBCentralManagerStatePoweredOn) return;
    auto central = self();
    if (wantDiscovery_ && !discoveryRunning_) {
        discoveryBusy_ = true;
        // An LE filter: BlueZ then reports RSSI on every advertisement (DuplicateData), and
        // we check the services ourselves, since filters of all clients are merged and
        // solicitations are never parsed.
        QVariantMap filter;
        filter.insert(QStringLiteral("Transport"), QStringLiteral("le"));
        filter.insert(QStringLiteral("DuplicateData"), true);
        const QString adapter = adapterPath_;
        const std::uint64_t epoch = discoveryEpoch_;
        bus_->call(adapter, adapterInterface, QStringLiteral("SetDiscoveryFilter"), {filter}, options_.gattTimeout,
                   [central, adapter, epoch](const QDBusMessage& reply) {
                       if (!central->active_ || epoch != central->discoveryEpoch_) return;
                       if (reply.type() == QDBusMessage::ErrorMessage)
                           log("[BLUEZ] SetDiscoveryFilter failed: %s", reply.errorName().toStdString());
                       central->bus_->call(
                           adapter, adapterInterface, QStringLiteral("StartDiscovery"), {},
                           central->options_.gattTimeout, [central, epoch](const QDBusMessage& started) {
                               // The adapter went off or away meanwhile: discoveryEnded() reset
                               // the state, and the power-on starts discovery afresh.
                               if (epoch != central->discoveryEpoch_) return;
                               central->discoveryBusy_ = false;
                               if (!central->active_) return;
                               const bool ok = started.type() == QDBusMessage::ReplyMessage ||
                                               started.errorName() == QLatin1String("org.bluez.Error.InProgress");
                               if (ok) {
                                   central->discoveryRunning_ = true;
                               } else {
                                   log("[BLUEZ] StartDiscovery failed: %s %s", started.errorName().toStdString(),
                                       started.errorMessage().toStdString());
                                   // NotReady: the adapter is powering off (its Powered change
                                   // follows); the scan resumes when it is back on. Any other
                                   // refusal: not asked again until the next scan request.
                                   if (started.errorName() != QLatin1String("org.bluez.Error.NotReady"))
                                       central->wantDiscovery_ = false;
                               }
                               central->reconcileDiscovery();
                           });
                   });
    } else if (!wantDiscovery_ && discoveryRunning_) {
        discoveryBusy_ = true;
        const std::uint64_t epoch = discoveryEpoch_;
        bus_->call(adapterPath_, adapterInterface, QStringLiteral("StopDiscovery"), {}, options_.gattTimeout,
                   [central, epoch](const QDBusMessage& reply) {
                       if (epoch != central->discoveryEpoch_) return;
                       central->discoveryBusy_ = false;
                       central->discoveryRunning_ = false;
                       // "No discovery started": nothing to stop.
                       if (reply.type() == QDBusMessage::ErrorMessage &&
                           reply.errorMessage() != QLatin1String("No discovery started"))
                           log("[BLUEZ] StopDiscovery failed: %s", reply.errorName().toStdString());
                       if (central->active_) central->reconcileDiscovery();
                   });
    }
}

void BluezCentral::discoveryEnded() {
    // BlueZ ended our discovery session with the adapter's power or its own life; what we
    // want (wantDiscovery_, scanning_) stays, and every device counts as unheard again.
    ++discoveryEpoch_;
    discoveryRunning_ = false;
    discoveryBusy_ = false;
    reported_.clear();
}

Dictionary BluezCentral::advertisementData(const QVariantMap& properties) const {
    Dictionary data{{CBAdvertisementDataIsConnectable, true}};
    if (auto name = stringOf(properties, "Name")) data[CBAdvertisementDataLocalNameKey] = name->toStdString();
    const auto uuids = uuidsOf(properties, "UUIDs");
    if (!uuids.empty()) {
        Array texts;
        for (const auto& uuid : uuids) texts.emplace_back(uuid.UUIDString());
        data[CBAdvertisementDataServiceUUIDsKey] = std::move(texts);
    }
    auto manufacturer = properties.find(QStringLiteral("ManufacturerData"));
    if (manufacturer != properties.end() && manufacturer->userType() == QMetaType::QVariantMap) {
        const QVariantMap entries = manufacturer->toMap();
        // The platform gives one blob: the company identifier (little-endian), then the data.
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            bool ok = false;
            const uint company = it.key().toUInt(&ok);
            if (!ok || company > 0xFFFF || it.value().userType() != QMetaType::QByteArray) continue;
            Bytes blob{static_cast<std::uint8_t>(company & 0xFF), static_cast<std::uint8_t>(company >> 8)};
            const Bytes rest = toBytes(it.value().toByteArray());
            blob.insert(blob.end(), rest.begin(), rest.end());
            data[CBAdvertisementDataManufacturerDataKey] = std::move(blob);
            break;
        }
    }
    if (auto power = intOf(properties, "TxPower")) data[CBAdvertisementDataTxPowerLevelKey] = *power;
    return data;
}

void BluezCentral::advertisementHeard(const std::shared_ptr<BluezPeripheral>& peripheral,
                                      const QVariantMap& properties) {
    if (!wantDiscovery_ || state_ != CBCentralManagerStatePoweredOn) return;
    const auto rssi = intOf(properties, "RSSI");
    if (!rssi) return;  // a cached device that was not heard
    if (scanServices_) {
        const auto advertised = uuidsOf(properties, "UUIDs");
        if (!intersects(advertised, *scanServices_) && !intersects(advertised, solicitedServices_)) return;
    }
    const bool seen = reported_.count(peripheral->identifier()) > 0;
    if (seen && !allowDuplicates_) return;
    reported_.insert(peripheral->identifier());
    auto central = self();
    deliver([central, peripheral, data = advertisementData(properties),
             value = *rssi](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidDiscoverPeripheral(central, peripheral, data, value);
    });
}

// ---- Links --------------------------------------------------------------------------------------

void BluezCentral::connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                     const std::optional<Dictionary>&) {
    auto device = std::dynamic_pointer_cast<BluezPeripheral>(peripheral);
    if (!active_ || !device) return;
    if (device->state() == CBPeripheralStateDisconnected) device->setState(CBPeripheralStateConnecting);
    onBus([this, device] {
        if (device->state() == CBPeripheralStateConnected) {
            // Already linked: BlueZ answers Connect with success and no signal; the
            // contract still wants a connect event.
            const auto link = device->link();
            deliver([central = self(), device, link](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
                if (device->isLink(link)) delegate->centralManagerDidConnectPeripheral(central, device);
            });
            return;
        }
        if (device->connectPending) return;
        device->connectRetries = 0;
        if (device->busConnected && device->disconnectRequested) {
            // Within BlueZ's disconnect window a Connect "succeeds" and the link then drops:
            // wait for Connected to turn false.
            device->connectAfterDisconnect = true;
            return;
        }
        sendConnect(device);
    });
}

void BluezCentral::sendConnect(const std::shared_ptr<BluezPeripheral>& peripheral) {
    if (peripheral->path().isEmpty() || !byPath_.count(peripheral->path())) {
        failConnect(peripheral, PlatformError::centralError(CBErrorConnectionFailed));
        return;
    }
    peripheral->connectPending = true;
    peripheral->waitingForOtherConnect = false;
    peripheral->disconnectRequested = false;
    peripheral->setState(CBPeripheralStateConnecting);
    const std::uint64_t attempt = ++peripheral->connectAttempt;
    auto central = self();
    bus_->call(peripheral->path(), deviceInterface, QStringLiteral("Connect"), {}, options_.connectTimeout,
               [central, peripheral, attempt](const QDBusMessage& reply) {
                   if (central->active_) central->connectAnswered(peripheral, attempt, reply);
               });
}

void BluezCentral::connectAnswered(const std::shared_ptr<BluezPeripheral>& peripheral, std::uint64_t attempt,
                                   const QDBusMessage& reply) {
    if (!peripheral->connectPending || attempt != peripheral->connectAttempt) return;
    if (reply.type() == QDBusMessage::ReplyMessage) {
        peripheral->connectPending = false;
        // Connect answers once the ATT link is up, before service discovery.
        peripheral->busConnected = true;
        linkUp(peripheral);
        return;
    }
    const std::string name = errorName(reply);
    const std::string message = errorMessage(reply);
    if (BluezErrors::isConnectCancelled(name, message)) return;  // our own cancel reported it
    if (BluezErrors::isConnectInProgressElsewhere(name, message)) {
        if (peripheral->busConnected) {
            peripheral->connectPending = false;
            linkUp(peripheral);
        } else {
            peripheral->waitingForOtherConnect = true;
        }
        return;
    }
    if (BluezErrors::isRetryableConnectFailure(name, message) && peripheral->connectRetries < options_.connectRetries) {
        ++peripheral->connectRetries;
        sendConnect(peripheral);
        return;
    }
    if (name == BluezErrors::TimedOutName) {
        // Abandon the attempt BlueZ may still be making.
        bus_->call(peripheral->path(), deviceInterface, QStringLiteral("Disconnect"), {}, options_.gattTimeout,
                   [](const QDBusMessage&) {});
    }
    failConnect(peripheral, BluezErrors::connectError(name, message));
}

void BluezCentral::failConnect(const std::shared_ptr<BluezPeripheral>& peripheral, ErrorPtr error) {
    peripheral->connectPending = false;
    peripheral->waitingForOtherConnect = false;
    ++peripheral->connectAttempt;
    peripheral->setState(CBPeripheralStateDisconnected);
    deliver([central = self(), peripheral, error](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidFailToConnectPeripheral(central, peripheral, error);
    });
}

void BluezCentral::linkUp(const std::shared_ptr<BluezPeripheral>& peripheral) {
    peripheral->disconnectRequested = false;
    peripheral->incoming = false;
    const std::uint64_t link = peripheral->beginLink();
    deliver([central = self(), peripheral, link](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        if (peripheral->isLink(link)) delegate->centralManagerDidConnectPeripheral(central, peripheral);
    });
}

void BluezCentral::linkDown(const std::shared_ptr<BluezPeripheral>& peripheral, ErrorPtr error) {
    endSessions(peripheral);
    peripheral->serviceWaits.clear();
    peripheral->disconnectRequested = false;
    // The state reads disconnected by the time the event is delivered.
    peripheral->endLink();
    deliver([central = self(), peripheral, error](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidDisconnectPeripheral(central, peripheral, error);
    });
}

void BluezCentral::endSessions(const std::shared_ptr<BluezPeripheral>& peripheral) {
    for (const auto& [path, characteristic] : peripheral->characteristicsByPath) {
        characteristic->writes.clear();
        characteristic->writeInFlight = false;
        characteristic->readsInFlight = 0;
        characteristic->heldValues.clear();
        characteristic->subscribedLink = 0;
        characteristic->setNotifying(false);
        if (characteristic->hasSession) {
            // BlueZ keeps notification sessions across a reconnection and enables them
            // again by itself; end them so that a new link starts clean.
            characteristic->hasSession = false;
            bus_->call(path, characteristicInterface, QStringLiteral("StopNotify"), {}, options_.gattTimeout,
                       [](const QDBusMessage&) {});
        }
    }
}

void BluezCentral::cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    auto device = std::dynamic_pointer_cast<BluezPeripheral>(peripheral);
    if (!active_ || !device) return;
    onBus([this, device] {
        auto central = self();
        if (device->connectPending || device->connectAfterDisconnect) {
            // A pending connect: BlueZ answers our Connect with "br-connection-canceled" and
            // sends no signal, so the disconnect event is ours to give.
            const bool sent = device->connectPending;
            device->connectPending = false;
            device->connectAfterDisconnect = false;
            device->waitingForOtherConnect = false;
            ++device->connectAttempt;
            device->setState(CBPeripheralStateDisconnected);
            if (sent)
                bus_->call(device->path(), deviceInterface, QStringLiteral("Disconnect"), {}, options_.gattTimeout,
                           [](const QDBusMessage&) {});
            deliver([central, device](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
                delegate->centralManagerDidDisconnectPeripheral(central, device, nullptr);
            });
            return;
        }
        if (device->state() != CBPeripheralStateConnected) {
            if (device->state() == CBPeripheralStateConnecting) device->setState(CBPeripheralStateDisconnected);
            return;
        }
        device->disconnectRequested = true;
        device->setState(CBPeripheralStateDisconnecting);
        const auto link = device->link();
        bus_->call(device->path(), deviceInterface, QStringLiteral("Disconnect"), {}, options_.connectTimeout,
                   [central, device, link](const QDBusMessage&) {
                       // BlueZ answers once the link is down; Connected=false normally came first.
                       if (central->active_ && device->link() == link &&
                           device->state() == CBPeripheralStateDisconnecting)
                           central->linkDown(device, nullptr);
                   });
    });
}

std::vector<std::shared_ptr<PlatformPeripheral>> BluezCentral::retrievePeripheralsWithIdentifiers(
    const std::vector<UUID>& identifiers) {
    std::vector<std::shared_ptr<PlatformPeripheral>> found;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& identifier : identifiers) {
        auto it = byIdentifier_.find(identifier);
        if (it != byIdentifier_.end()) found.push_back(it->second);
    }
    return found;
}

std::vector<std::shared_ptr<PlatformPeripheral>> BluezCentral::retrieveConnectedPeripheralsWithServices(
    const std::vector<UUID>& serviceUUIDs) {
    std::vector<std::shared_ptr<PlatformPeripheral>> found;
    const auto tree = tree_->snapshot();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [identifier, peripheral] : byIdentifier_) {
        if (std::find(found.begin(), found.end(), peripheral) != found.end()) continue;
        auto object = tree.find(peripheral->path());
        if (object == tree.end()) continue;
        auto device = object->second.find(deviceInterface);
        if (device == object->second.end() || !boolOf(device->second, "Connected").value_or(false)) continue;
        if (intersects(uuidsOf(device->second, "UUIDs"), serviceUUIDs)) found.push_back(peripheral);
    }
    return found;
}

// ---- Replacement --------------------------------------------------------------------------------

void BluezCentral::deactivate() {
    if (!active_.exchange(false)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scanning_ = false;
    }
    withdrawAdvertisement(true);
    if (discoveryRunning_ && !adapterPath_.isEmpty()) {
        bus_->call(adapterPath_, adapterInterface, QStringLiteral("StopDiscovery"), {}, options_.gattTimeout,
                   [](const QDBusMessage&) {});
    }
    for (const auto& [path, peripheral] : byPath_) {
        endSessions(peripheral);
        if (peripheral->connectPending || peripheral->state() == CBPeripheralStateConnected ||
            peripheral->state() == CBPeripheralStateDisconnecting) {
            bus_->call(path, deviceInterface, QStringLiteral("Disconnect"), {}, options_.gattTimeout,
                       [](const QDBusMessage&) {});
        }
        peripheral->connectPending = false;
        peripheral->endLink();
    }
}

// ---- Advertising and incoming links -------------------------------------------------------------

void BluezCentral::startAdvertising(const std::string& localName, const std::vector<UUID>& solicitedServiceUUIDs) {
    if (!active_) return;
    setAdvertising(false);
    onBus([this, localName, solicitedServiceUUIDs] { registerAdvertisement(localName, solicitedServiceUUIDs); });
}

void BluezCentral::stopAdvertising() {
    if (!active_) return;
    setAdvertising(false);
    onBus([this] { withdrawAdvertisement(true); });
}

bool BluezCentral::isAdvertising() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertising_;
}

void BluezCentral::setAdvertising(bool advertising) {
    std::lock_guard<std::mutex> lock(mutex_);
    advertising_ = advertising;
}

void BluezCentral::registerAdvertisement(const std::string& localName, const std::vector<UUID>& solicited) {
    // Starting again replaces the advertisement.
    withdrawAdvertisement(true);
    auto central = self();
    if (adapterPath_.isEmpty() || state_ != CBCentralManagerStatePoweredOn || !bus_->isConnected()) {
        deliver([central](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
            delegate->centralManagerDidStartAdvertising(central,
                                                        PlatformError::centralError(CBErrorOperationCancelled));
        });
        return;
    }
    QStringList uuids;
    for (const auto& uuid : solicited) uuids << uuidText128(uuid);
    const QString path = QStringLiteral("/org/tandril/advertisement%1").arg(++advertisementCount_);
    std::weak_ptr<BluezCentral> weak = central;
    auto* advertisement = new BluezAdvertisement(path, localName, uuids, [weak, path] {
        if (auto owner = weak.lock(); owner && owner->active_) owner->advertisementReleased(path);
    }, bus_);
    if (!bus_->connection().registerVirtualObject(path, advertisement)) {
        delete advertisement;
        log("[BLUEZ] Cannot export the advertisement %s", path.toStdString());
        deliver([central](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
            delegate->centralManagerDidStartAdvertising(central, PlatformError::centralError(CBErrorUnknown));
        });
        return;
    }
    advertisement_ = advertisement;
    advertisedSolicited_ = solicited;
    // bluetoothd reads the object's properties before it answers: the call must not block
    // this thread, which serves them.
    bus_->call(adapterPath_, advertisingManagerInterface, QStringLiteral("RegisterAdvertisement"),
               {QVariant::fromValue(QDBusObjectPath(path)), QVariantMap()}, options_.gattTimeout,
               [central, path](const QDBusMessage& reply) {
                   if (central->active_) central->advertisementAnswered(path, reply);
               });
}

void BluezCentral::advertisementAnswered(const QString& path, const QDBusMessage& reply) {
    // The answer of an advertisement replaced, stopped or released meanwhile is not an event.
    if (!advertisement_ || advertisement_->path() != path) return;
    auto central = self();
    if (reply.type() == QDBusMessage::ReplyMessage) {
        setAdvertising(true);
        deliver([central](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
            delegate->centralManagerDidStartAdvertising(central, nullptr);
        });
        return;
    }
    const std::string name = errorName(reply);
    const std::string message = errorMessage(reply);
    log("[BLUEZ] RegisterAdvertisement failed: %s %s", name, message);
    // A registration that ran past our limit may still stand in bluetoothd: withdraw it.
    withdrawAdvertisement(name == BluezErrors::TimedOutName);
    const auto error = BluezErrors::advertisingError(name, message);
    deliver([central, error](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidStartAdvertising(central, error);
    });
}

void BluezCentral::withdrawAdvertisement(bool unregister) {
    setAdvertising(false);
    if (!advertisement_) return;
    const QString path = advertisement_->path();
    if (unregister && bus_->isConnected() && bus_->hasOwner() && !adapterPath_.isEmpty()) {
        ++withdrawalsInFlight_;
        std::weak_ptr<BluezCentral> weak = self();
        // DoesNotExist: bluetoothd dropped it already (powered off, released).
        bus_->call(adapterPath_, advertisingManagerInterface, QStringLiteral("UnregisterAdvertisement"),
                   {QVariant::fromValue(QDBusObjectPath(path))}, options_.gattTimeout, [weak](const QDBusMessage& reply) {
                       if (auto central = weak.lock()) central->withdrawalsInFlight_ = std::max(0, central->withdrawalsInFlight_ - 1);
                       if (reply.type() == QDBusMessage::ErrorMessage &&
                           reply.errorName() != QLatin1String("org.bluez.Error.DoesNotExist"))
                           log("[BLUEZ] UnregisterAdvertisement failed: %s", reply.errorName().toStdString());
                   });
    }
    if (bus_->isConnected()) bus_->connection().unregisterObject(path);
    advertisement_->deleteLater();
    advertisement_ = nullptr;
}

void BluezCentral::advertisementReleased(const QString& path) {
    if (!advertisement_ || advertisement_->path() != path) return;
    // bluetoothd ended the advertisement by itself: no longer advertising, until asked again.
    // It does so when it exits or the adapter goes (no Timeout or Duration is asked for), and
    // the state change that comes with that makes the engine ask again once the adapter is on.
    log("[BLUEZ] bluetoothd released the advertisement %s", path.toStdString());
    withdrawAdvertisement(false);
}

bool BluezCentral::isIncomingLink(const QVariantMap& device) const {
    // A device can link to us only while we advertise: from the registration until
    // bluetoothd answered its withdrawal (its signals come in order with its answers, so a
    // link it reported before that may have come through the advertisement). BlueZ 5.66
    // tells neither the link's role nor its bearer, so a classic device (one with a Class)
    // that another program links meanwhile would look the same: such a device counts only
    // when it offers a service we solicit (an iPhone known over both bearers that we
    // served before).
    if (!advertisement_ && withdrawalsInFlight_ == 0) return false;
    if (device.contains(QStringLiteral("Class")) && !intersects(uuidsOf(device, "UUIDs"), advertisedSolicited_))
        return false;
    return true;
}

void BluezCentral::incomingLinkUp(const std::shared_ptr<BluezPeripheral>& peripheral, const QVariantMap& device) {
    peripheral->busConnected = true;
    peripheral->disconnectRequested = false;
    peripheral->incoming = true;
    if (auto name = BluezPeripheral::nameOfDevice(device)) peripheral->setName(*name);
    const std::uint64_t link = peripheral->beginLink();
    deliver([central = self(), peripheral, link](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        if (peripheral->isLink(link)) delegate->centralManagerDidReceiveIncomingConnection(central, peripheral);
    });
}

// ---- Services and characteristics ---------------------------------------------------------------

std::shared_ptr<BluezService> BluezCentral::serviceObject(const std::shared_ptr<BluezPeripheral>& peripheral,
                                                          const QString& path, const QVariantMap& properties) {
    const auto uuid = uuidOf(properties, "UUID");
    if (!uuid) return nullptr;
    auto it = peripheral->servicesByPath.find(path);
    if (it != peripheral->servicesByPath.end() && it->second->UUID() == *uuid) {
        it->second->setPrimary(boolOf(properties, "Primary").value_or(true));
        return it->second;
    }
    auto service = std::make_shared<BluezService>(path, *uuid, boolOf(properties, "Primary").value_or(true),
                                                  std::weak_ptr<BluezPeripheral>(peripheral));
    peripheral->servicesByPath[path] = service;
    return service;
}

std::shared_ptr<BluezCharacteristic> BluezCentral::characteristicObject(
    const std::shared_ptr<BluezPeripheral>& peripheral, const std::shared_ptr<BluezService>& service,
    const QString& path, const QVariantMap& properties) {
    const auto uuid = uuidOf(properties, "UUID");
    if (!uuid) return nullptr;
    std::vector<std::string> flags;
    if (auto texts = stringListOf(properties, "Flags")) {
        for (const auto& text : *texts) flags.push_back(text.toStdString());
    }
    auto it = peripheral->characteristicsByPath.find(path);
    std::shared_ptr<BluezCharacteristic> characteristic;
    if (it != peripheral->characteristicsByPath.end() && it->second->UUID() == *uuid &&
        it->second->service() == service) {
        characteristic = it->second;
    } else {
        characteristic = std::make_shared<BluezCharacteristic>(path, *uuid, std::weak_ptr<BluezService>(service));
        peripheral->characteristicsByPath[path] = characteristic;
    }
    characteristic->setProperties(BluezCharacteristic::propertiesFromFlags(flags));
    return characteristic;
}

bool BluezCentral::owns(const std::shared_ptr<BluezPeripheral>& peripheral,
                        const std::shared_ptr<BluezCharacteristic>& characteristic) const {
    auto it = peripheral->characteristicsByPath.find(characteristic->path());
    return it != peripheral->characteristicsByPath.end() && it->second == characteristic;
}

void BluezCentral::discoverServices(const std::shared_ptr<BluezPeripheral>& peripheral,
                                    const std::optional<std::vector<UUID>>& serviceUUIDs) {
    if (peripheral->state() != CBPeripheralStateConnected) return;
    const auto link = peripheral->link();
    onBus([this, peripheral, serviceUUIDs, link] {
        if (!peripheral->isLink(link)) return;
        const std::uint64_t id = ++nextWait_;
        peripheral->serviceWaits.push_back({serviceUUIDs, link, id});
        // BlueZ 5.66 says nothing when its discovery fails: ServicesResolved just never
        // turns true. Bounded, so the caller always hears back.
        afterDelay(options_.serviceResolveTimeout, [this, peripheral, id] { checkServiceWaits(peripheral, true, id); });
        checkServiceWaits(peripheral, false, 0);
    });
}

void BluezCentral::checkServiceWaits(const std::shared_ptr<BluezPeripheral>& peripheral, bool timeUp,
                                     std::uint64_t waitId) {
    if (peripheral->serviceWaits.empty()) return;
    const auto object = bus_->object(peripheral->path());
    if (!object || !object->count(deviceInterface)) return;
    const auto tree = bus_->snapshot();
    std::vector<UUID> exported;
    const QString prefix = peripheral->path() + QLatin1Char('/');
    for (auto it = tree.lower_bound(prefix); it != tree.end() && it->first.startsWith(prefix); ++it) {
        auto service = it->second.find(serviceInterface);
        if (service == it->second.end()) continue;
        if (auto made = serviceObject(peripheral, it->first, service->second)) exported.push_back(made->UUID());
    }
    const auto announced = uuidsOf(object->at(deviceInterface), "UUIDs");
    std::vector<BluezPeripheral::ServiceWait> waiting;
    const auto waits = std::move(peripheral->serviceWaits);
    peripheral->serviceWaits.clear();
    for (const auto& wait : waits) {
        if (!peripheral->isLink(wait.link)) continue;
        if (timeUp && wait.id == waitId && !peripheral->servicesResolved) {
            log("[BLUEZ] Services of %s not resolved in time", peripheral->path().toStdString());
            const auto error = PlatformError::centralError(CBErrorConnectionTimeout);
            deliverOnLink(peripheral, wait.link, [peripheral, error](const auto& delegate) {
                delegate->peripheralDidDiscoverServices(peripheral, error);
            });
            continue;
        }
        bool ready = timeUp && wait.id == waitId;
        if (!ready && peripheral->servicesResolved) {
            // Wait for the services BlueZ announced (and that were asked for) to be exported.
            ready = true;
            for (const auto& uuid : announced) {
                if (isClaimedByBluez(uuid) || (wait.filter && !contains(*wait.filter, uuid))) continue;
                if (!contains(exported, uuid)) ready = false;
            }
            if (!ready) {
                // Bounded: BlueZ may announce services it never exports.
                const auto id = wait.id;
                afterDelay(options_.serviceExportWait,
                           [this, peripheral, id] { checkServiceWaits(peripheral, true, id); });
            }
        } else if (!ready && wait.id > 0) {
            // ServicesResolved has not turned true: BlueZ is still discovering.
        }
        if (ready) {
            // BlueZ exports a service's characteristics right after the service: a call
            // that bluetoothd answers after them makes sure they are all in.
            auto central = self();
            bus_->call(peripheral->path(), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                       {deviceInterface, QStringLiteral("Address")}, options_.gattTimeout,
                       [central, peripheral, wait](const QDBusMessage&) {
                           if (central->active_ && peripheral->isLink(wait.link))
                               central->answerServiceWait(peripheral, wait);
                       });
        } else {
            waiting.push_back(wait);
        }
    }
    for (auto& wait : peripheral->serviceWaits) waiting.push_back(wait);
    peripheral->serviceWaits = std::move(waiting);
}

void BluezCentral::answerServiceWait(const std::shared_ptr<BluezPeripheral>& peripheral,
                                     const BluezPeripheral::ServiceWait& wait) {
    const auto tree = bus_->snapshot();
    auto services = peripheral->discoveredServices();
    const QString prefix = peripheral->path() + QLatin1Char('/');
    for (auto it = tree.lower_bound(prefix); it != tree.end() && it->first.startsWith(prefix); ++it) {
        auto service = it->second.find(serviceInterface);
        if (service == it->second.end()) continue;
        auto made = serviceObject(peripheral, it->first, service->second);
        if (!made || (wait.filter && !contains(*wait.filter, made->UUID()))) continue;
        if (std::find(services.begin(), services.end(), made) == services.end()) services.push_back(made);
    }
    // Drop services that are gone from the tree.
    services.erase(std::remove_if(services.begin(), services.end(),
                                  [&](const auto& s) { return !tree.count(s->path()); }),
                   services.end());
    std::sort(services.begin(), services.end(), [](const auto& a, const auto& b) { return a->path() < b->path(); });
    peripheral->setServices(std::move(services));
    deliverOnLink(peripheral, wait.link, [peripheral](const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
        delegate->peripheralDidDiscoverServices(peripheral, nullptr);
    });
}

void BluezCentral::discoverCharacteristics(const std::shared_ptr<BluezPeripheral>& peripheral,
                                           const std::optional<std::vector<UUID>>& characteristicUUIDs,
                                           const std::shared_ptr<BluezService>& service) {
    if (peripheral->state() != CBPeripheralStateConnected) return;
    const auto link = peripheral->link();
    onBus([this, peripheral, characteristicUUIDs, service, link] {
        if (!peripheral->isLink(link)) return;
        const auto tree = bus_->snapshot();
        ErrorPtr error;
        if (!tree.count(service->path())) {
            error = PlatformError::centralError(CBErrorInvalidHandle);
        } else {
            std::vector<std::shared_ptr<BluezCharacteristic>> found;
            const QString prefix = service->path() + QLatin1Char('/');
            for (auto it = tree.lower_bound(prefix); it != tree.end() && it->first.startsWith(prefix); ++it) {
                auto entry = it->second.find(characteristicInterface);
                if (entry == it->second.end()) continue;
                auto made = characteristicObject(peripheral, service, it->first, entry->second);
                if (made && (!characteristicUUIDs || contains(*characteristicUUIDs, made->UUID())))
                    found.push_back(made);
            }
            service->addDiscovered(found);
        }
        deliverOnLink(peripheral, link, [peripheral, service, error](const auto& delegate) {
            delegate->peripheralDidDiscoverCharacteristicsForService(peripheral, service, error);
        });
    });
}

// ---- Reads, writes, notifications ---------------------------------------------------------------

void BluezCentral::readValue(const std::shared_ptr<BluezPeripheral>& peripheral,
                             const std::shared_ptr<BluezCharacteristic>& characteristic) {
    if (peripheral->state() != CBPeripheralStateConnected) return;
    const auto link = peripheral->link();
    onBus([this, peripheral, characteristic, link] {
        if (!peripheral->isLink(link) || !owns(peripheral, characteristic)) return;
        ++characteristic->readsInFlight;
        sendRead(peripheral, characteristic, link);
    });
}

void BluezCentral::sendRead(const std::shared_ptr<BluezPeripheral>& peripheral,
                            const std::shared_ptr<BluezCharacteristic>& characteristic, std::uint64_t link) {
    auto central = self();
    bus_->call(characteristic->path(), characteristicInterface, QStringLiteral("ReadValue"), {QVariantMap()},
               options_.pairingTimeout, [central, peripheral, characteristic, link](const QDBusMessage& reply) {
                   if (!central->active_ || !peripheral->isLink(link)) return;
                   const bool ok = reply.type() == QDBusMessage::ReplyMessage &&
                                   reply.signature() == QLatin1String("ay");
                   if (!ok && reply.type() == QDBusMessage::ErrorMessage) {
                       const auto disposition = BluezErrors::gattDisposition(errorName(reply), errorMessage(reply),
                                                                             peripheral->isLink(link));
                       if (disposition == BluezErrors::Disposition::Retry) {
                           central->afterDelay(collisionRetryDelay, [central, peripheral, characteristic, link] {
                               if (peripheral->isLink(link)) central->sendRead(peripheral, characteristic, link);
                           });
                           return;
                       }
                   }
                   characteristic->readsInFlight = std::max(0, characteristic->readsInFlight - 1);
                   // BlueZ echoes the value it read as a Value signal just before the answer:
                   // drop that echo, deliver anything else held meanwhile as notifications.
                   auto held = std::move(characteristic->heldValues);
                   characteristic->heldValues.clear();
                   std::optional<Bytes> value;
                   if (ok) {
                       value = toBytes(reply.arguments().value(0).toByteArray());
                       for (auto it = held.rbegin(); it != held.rend(); ++it) {
                           if (*it == *value) {
                               held.erase(std::next(it).base());
                               break;
                           }
                       }
                   }
                   for (const auto& notified : held) central->deliverValue(peripheral, characteristic, notified, link);
                   ErrorPtr error;
                   if (ok) {
                       characteristic->setValue(value);
                   } else if (reply.type() == QDBusMessage::ErrorMessage) {
                       error = BluezErrors::gattError(errorName(reply), errorMessage(reply));
                   } else {
                       error = PlatformError::centralError(CBErrorUnknown);
                   }
                   central->deliverOnLink(peripheral, link,
                                          [peripheral, characteristic, value, error](const auto& delegate) {
                                              delegate->peripheralDidUpdateValueForCharacteristic(
                                                  peripheral, characteristic,
                                                  value ? value : characteristic->value(), error);
                                          });
               });
}

void BluezCentral::writeValue(const std::shared_ptr<BluezPeripheral>& peripheral,
                              const std::shared_ptr<BluezCharacteristic>& characteristic, const Bytes& data,
                              bool withResponse) {
    if (peripheral->state() != CBPeripheralStateConnected) return;
    const auto link = peripheral->link();
    onBus([this, peripheral, characteristic, data, withResponse, link] {
        if (!peripheral->isLink(link) || !owns(peripheral, characteristic)) return;
        characteristic->writes.push_back({data, withResponse});
        pumpWrites(peripheral, characteristic, link);
    });
}

void BluezCentral::pumpWrites(const std::shared_ptr<BluezPeripheral>& peripheral,
                              const std::shared_ptr<BluezCharacteristic>& characteristic, std::uint64_t link) {
    if (characteristic->writeInFlight || characteristic->writes.empty() || !peripheral->isLink(link)) return;
    characteristic->writeInFlight = true;
    const auto write = characteristic->writes.front();
    QVariantMap options;
    // Always name the type: BlueZ otherwise picks one from the characteristic's flags.
    options.insert(QStringLiteral("type"), write.withResponse ? QStringLiteral("request") : QStringLiteral("command"));
    auto central = self();
    auto tries = std::make_shared<int>(0);
    {
        central->bus_->call(
            characteristic->path(), characteristicInterface, QStringLiteral("WriteValue"),
            {toQBytes(write.data), options}, central->options_.pairingTimeout,
            [central, peripheral, characteristic, link, write, tries](const QDBusMessage& reply) {
                if (!central->active_ || !peripheral->isLink(link)) return;
                if (reply.type() == QDBusMessage::ErrorMessage &&
                    BluezErrors::gattDisposition(errorName(reply), errorMessage(reply), true) ==
                        BluezErrors::Disposition::Retry &&
                    *tries < collisionRetries) {
                    // Another client's write (ours are one at a time): try again shortly.
                    ++*tries;
                    characteristic->writeInFlight = false;
                    central->afterDelay(collisionRetryDelay, [central, peripheral, characteristic, link] {
                        central->pumpWrites(peripheral, characteristic, link);
                    });
                    return;
                }
                characteristic->writeInFlight = false;
                if (!characteristic->writes.empty()) characteristic->writes.pop_front();
                ErrorPtr error;
                if (reply.type() == QDBusMessage::ErrorMessage)
                    error = BluezErrors::gattError(errorName(reply), errorMessage(reply));
                if (write.withResponse) {
                    central->deliverOnLink(peripheral, link, [peripheral, characteristic, error](const auto& delegate) {
                        delegate->peripheralDidWriteValueForCharacteristic(peripheral, characteristic, error);
                    });
                } else if (error) {
                    log("[BLUEZ] Write without response failed: %@", error);
                }
                central->pumpWrites(peripheral, characteristic, link);
            });
    }
}

void BluezCentral::setNotifyValue(const std::shared_ptr<BluezPeripheral>& peripheral,
                                  const std::shared_ptr<BluezCharacteristic>& characteristic, bool enabled) {
    // While the link is down BlueZ accepts StartNotify and subscribes later: never ask then.
    if (peripheral->state() != CBPeripheralStateConnected) return;
    const auto link = peripheral->link();
    onBus([this, peripheral, characteristic, enabled, link] {
        if (!peripheral->isLink(link) || !owns(peripheral, characteristic)) return;
        sendNotify(peripheral, characteristic, enabled, link, 0);
    });
}

void BluezCentral::sendNotify(const std::shared_ptr<BluezPeripheral>& peripheral,
                              const std::shared_ptr<BluezCharacteristic>& characteristic, bool enabled,
                              std::uint64_t link, int attempt) {
    auto central = self();
    // StartNotify may pair (BlueZ raises security by itself on an authentication error).
    const double timeout = enabled ? options_.pairingTimeout : options_.gattTimeout;
    if (enabled) characteristic->hasSession = true;
    bus_->call(characteristic->path(), characteristicInterface,
               enabled ? QStringLiteral("StartNotify") : QStringLiteral("StopNotify"), {}, timeout,
               [central, peripheral, characteristic, enabled, link, attempt](const QDBusMessage& reply) {
                   if (!central->active_ || !peripheral->isLink(link)) return;
                   const std::string name = errorName(reply);
                   const std::string message = errorMessage(reply);
                   ErrorPtr error;
                   if (reply.type() == QDBusMessage::ErrorMessage) {
                       const auto disposition = BluezErrors::gattDisposition(name, message, true);
                       if (disposition == BluezErrors::Disposition::Retry && attempt < collisionRetries) {
                           central->afterDelay(collisionRetryDelay,
                                               [central, peripheral, characteristic, enabled, link, attempt] {
                                                   if (peripheral->isLink(link))
                                                       central->sendNotify(peripheral, characteristic, enabled, link,
                                                                           attempt + 1);
                                               });
                           return;
                       }
                       // Stopping a session that is not there leaves notifications off: done.
                       if (!enabled && message == "No notify session started") {
                           error = nullptr;
                       } else {
                           error = BluezErrors::gattError(name, message);
                       }
                   }
                   if (!error) {
                       characteristic->subscribedLink = enabled ? link : 0;
                       characteristic->hasSession = enabled;
                       characteristic->setNotifying(enabled);
                   } else if (enabled) {
                       characteristic->hasSession = false;
                   }
                   central->deliverOnLink(peripheral, link, [peripheral, characteristic, error](const auto& delegate) {
                       delegate->peripheralDidUpdateNotificationStateForCharacteristic(peripheral, characteristic,
                                                                                      error);
                   });
               });
}

void BluezCentral::valueChanged(const QString& path, const QVariantMap& changed) {
    const auto value = bytesOf(changed, "Value");
    if (!value) return;
    auto peripheral = peripheralAt(devicePathOf(path));
    if (!peripheral || peripheral->state() != CBPeripheralStateConnected) return;
    auto it = peripheral->characteristicsByPath.find(path);
    if (it == peripheral->characteristicsByPath.end()) return;
    const auto& characteristic = it->second;
    if (characteristic->readsInFlight > 0) {
        characteristic->heldValues.push_back(toBytes(*value));
        return;
    }
    deliverValue(peripheral, characteristic, toBytes(*value), peripheral->link());
}

void BluezCentral::deliverValue(const std::shared_ptr<BluezPeripheral>& peripheral,
                                const std::shared_ptr<BluezCharacteristic>& characteristic, const Bytes& value,
                                std::uint64_t link) {
    // Sessions of an earlier link that BlueZ re-enabled, and values nobody subscribed to, are dropped.
    if (characteristic->subscribedLink != link || !peripheral->isLink(link)) return;
    characteristic->setValue(value);
    deliverOnLink(peripheral, link, [peripheral, characteristic, value](const auto& delegate) {
        delegate->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, value, nullptr);
    });
}

void BluezCentral::readRSSI(const std::shared_ptr<BluezPeripheral>& peripheral) {
    if (peripheral->state() != CBPeripheralStateConnected) return;
    const auto link = peripheral->link();
    onBus([this, peripheral, link] {
        if (!peripheral->isLink(link)) return;
        // BlueZ 5.66 has no RSSI read on a link: the latest advertisement's RSSI answers.
        const auto rssi = peripheral->advertisedRSSI;
        if (rssi) peripheral->setRSSI(rssi);
        ErrorPtr error = rssi ? nullptr : PlatformError::centralError(CBErrorUnknown);
        deliverOnLink(peripheral, link, [peripheral, rssi, error](const auto& delegate) {
            delegate->peripheralDidUpdateRSSI(peripheral, rssi, error);
        });
    });
}

}  // namespace tandril
