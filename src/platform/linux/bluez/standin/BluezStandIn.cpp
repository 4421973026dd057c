#include "platform/linux/bluez/standin/BluezStandIn.hpp"

#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVariant>

#include <algorithm>
#include <cstdio>

#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformService.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/RunLoop.hpp"
#include "platform/linux/bluez/standin/StandInAdapter1.hpp"
#include "platform/linux/bluez/standin/StandInAdvertisingManager1.hpp"
#include "platform/linux/bluez/standin/StandInAgentManager1.hpp"
#include "platform/linux/bluez/standin/StandInBus.hpp"
#include "platform/linux/bluez/standin/StandInDevice1.hpp"
#include "platform/linux/bluez/standin/StandInErrors.hpp"
#include "platform/linux/bluez/standin/StandInGattCharacteristic1.hpp"
#include "platform/linux/bluez/standin/StandInGattService1.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimPeripheral.hpp"
#include "sim/SimRadio.hpp"

namespace tandril {

namespace {

const QString kAdapter = "org.bluez.Adapter1";
const QString kDevice = "org.bluez.Device1";
const QString kService = "org.bluez.GattService1";
const QString kCharacteristic = "org.bluez.GattCharacteristic1";
const QString kAgentManager = "org.bluez.AgentManager1";
const QString kAdvertisingManager = "org.bluez.LEAdvertisingManager1";
const QString kAdvertisement = "org.bluez.LEAdvertisement1";
// bluetoothd waits this long for an agent's answer (REQUEST_TIMEOUT in agent.c).
constexpr int kAgentRequestTimeoutMs = 60000;
const QString kProperties = "org.freedesktop.DBus.Properties";
// bluetoothd waits this long after Disconnect before it drops a live link (DISCONNECT_TIMER).
constexpr double kDisconnectWindowSeconds = 2.0;
// A temporary device not heard for this long disappears (main.conf TemporaryTimeout).
constexpr double kTemporaryTimeoutSeconds = 30.0;

// The 128-bit lower-case form BlueZ uses for every UUID.
QString uuidText(const UUID& uuid) {
    const auto b = uuid.bytes128();
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return QString::fromLatin1(text);
}

// bluetoothd keeps a name up to its first byte that is not valid UTF-8 (strtoutf8 in
// src/shared/util.c): D-Bus strings must be valid UTF-8.
std::string validUTF8Prefix(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        if (c < 0x80) length = 1;
        else if (c >= 0xC2 && c <= 0xDF) length = 2;
        else if (c >= 0xE0 && c <= 0xEF) length = 3;
        else if (c >= 0xF0 && c <= 0xF4) length = 4;
        else break;
        if (i + length > text.size()) break;
        bool valid = true;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) valid = false;
        if (length == 3) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) valid = false;
        } else if (length == 4) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) valid = false;
        }
        if (!valid) break;
        i += length;
    }
    return text.substr(0, i);
}

QByteArray toByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

Bytes toBytes(const QByteArray& array) {
    return Bytes(reinterpret_cast<const std::uint8_t*>(array.constData()),
                 reinterpret_cast<const std::uint8_t*>(array.constData()) + array.size());
}

// An a{sv} argument of a call (empty on a wrong type).
std::optional<QVariantMap> dictionaryArgument(const QVariant& argument) {
    if (argument.canConvert<QDBusArgument>()) {
        const QDBusArgument arg = argument.value<QDBusArgument>();
        if (arg.currentSignature() != "a{sv}") return std::nullopt;
        return qdbus_cast<QVariantMap>(arg);
    }
    if (argument.metaType() == QMetaType::fromType<QVariantMap>()) return argument.toMap();
    return std::nullopt;
}

QStringList characteristicFlags(std::uint32_t properties) {
    QStringList flags;
    if (properties & CBCharacteristicPropertyBroadcast) flags << "broadcast";
    if (properties & CBCharacteristicPropertyRead) flags << "read";
    if (properties & CBCharacteristicPropertyWriteWithoutResponse) flags << "write-without-response";
    if (properties & CBCharacteristicPropertyWrite) flags << "write";
    if (properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyNotifyEncryptionRequired))
        flags << "notify";
    if (properties & (CBCharacteristicPropertyIndicate | CBCharacteristicPropertyIndicateEncryptionRequired))
        flags << "indicate";
    if (properties & CBCharacteristicPropertyAuthenticatedSignedWrites) flags << "authenticated-signed-writes";
    if (properties & CBCharacteristicPropertyExtendedProperties) flags << "extended-properties";
    return flags;
}

bool canNotify(std::uint32_t properties) {
    return properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate |
                         CBCharacteristicPropertyNotifyEncryptionRequired |
                         CBCharacteristicPropertyIndicateEncryptionRequired);
}

std::shared_ptr<SimPeripheral> simOf(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    return std::dynamic_pointer_cast<SimPeripheral>(peripheral);
}

}  // namespace

// ---- Life ---------------------------------------------------------------------------------------

std::shared_ptr<BluezStandIn> BluezStandIn::create(std::shared_ptr<SimRadio> radio, Options options) {
    StandInTypes::registerTypes();
    return std::shared_ptr<BluezStandIn>(new BluezStandIn(std::move(radio), std::move(options)));
}

BluezStandIn::BluezStandIn(std::shared_ptr<SimRadio> radio, Options options)
    : radio_(std::move(radio)),
      options_(std::move(options)),
      quirks_(options_.quirks),
      agents_(std::make_unique<StandInAgentManager1>()),
      advertising_(std::make_unique<StandInAdvertisingManager1>(options_.advertisingInstances)),
      generation_(std::make_shared<std::atomic<std::uint64_t>>(0)) {
    adapters_.push_back(std::make_unique<StandInAdapter1>(
        QString::fromStdString("/org/bluez/" + options_.adapterName), QString::fromStdString(options_.adapterAddress)));
    tree_ = std::make_unique<StandInObjectTree>([this](const QDBusMessage& message) { reply(message); });
}

BluezStandIn::~BluezStandIn() {
    generation_->fetch_add(1);
    if (running_) radio_->setPairingHandler(nullptr);
    bus_.reset();
}

bool BluezStandIn::isRunning() const { return running_; }

std::string BluezStandIn::uniqueName() const { return bus_ ? bus_->uniqueName().toStdString() : std::string(); }

bool BluezStandIn::start() {
    if (running_) return true;
    const std::uint64_t generation = generation_->fetch_add(1) + 1;
    std::weak_ptr<BluezStandIn> weak = weak_from_this();
    auto counter = generation_;
    bus_ = std::make_unique<StandInBus>(
        [weak, counter, generation](const QDBusMessage& call) {
            RunLoop::main().post([weak, counter, generation, call] {
                auto self = weak.lock();
                if (!self || counter->load() != generation) return;
                self->handle(call);
            });
        },
        [weak, counter, generation](const QString& name) {
            RunLoop::main().post([weak, counter, generation, name] {
                auto self = weak.lock();
                if (!self || counter->load() != generation) return;
                self->clientLeft(name);
            });
        });
    if (!bus_->open(options_.busAddress)) {
        error_ = bus_->error();
        bus_.reset();
        return false;
    }
    if (!queue_) queue_ = DispatchQueue::create("org.bluez.standin");
    central_ = radio_->createCentral(weak_from_this(), queue_);
    powered_ = radio_->state() == CBCentralManagerStatePoweredOn;

    tree_->clear();
    tree_->addInterface("/org/bluez", kAgentManager, {});
    if (adapterPresent_)
        for (auto& adapter : adapters_) exportAdapter(*adapter, powered_);
    // bluetoothd remembers bonded devices and their services; it forgets the others.
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (adapterPresent_ && it->second->peripheral()->isBonded()) {
            exportDevice(*it->second, std::nullopt);
            exportServices(*it->second);
            ++it;
        } else {
            it = devices_.erase(it);
        }
    }
    if (!bus_->publish("org.bluez")) {
        error_ = bus_->error();
        bus_.reset();
        central_.reset();
        return false;
    }
    running_ = true;
    std::weak_ptr<BluezStandIn> weakSelf = weak_from_this();
    radio_->setPairingHandler([weakSelf, counter, generation](const std::shared_ptr<SimPeripheral>& device,
                                                             const std::string& code, std::function<void(bool)> reply) {
        auto self = weakSelf.lock();
        if (!self || counter->load() != generation) return reply(false);
        self->confirmIncomingPairing(device, code, std::move(reply));
    });
    if (quirks_.autoEnable && adapterPresent_ && !powered_) {
        // bluetoothd registers the adapter as the controller is, then powers it on.
        RunLoop::main().schedule(std::chrono::milliseconds(100), [weak, counter, generation] {
            auto self = weak.lock();
            if (!self || counter->load() != generation) return;
            self->setPowered(true);
        });
    }
    return true;
}

void BluezStandIn::terminate() {
    if (!running_) return;
    if (adapterPresent_ && powered_) {
        // adapter_shutdown(): each powered adapter is switched off and bluetoothd waits for
        // the answers, so these signals leave before the name does.
        for (auto& [identifier, device] : devices_)
            if (device->connected) linkDown(*device);
        powered_ = false;
        for (auto& adapter : adapters_) {
            const bool wasDiscovering = !adapter->discoveryClients.empty();
            adapter->discoveryClients.clear();
            if (wasDiscovering) tree_->setProperty(adapter->path(), kAdapter, "Discovering", false);
            tree_->setProperty(adapter->path(), kAdapter, "Powered", false);
        }
        discoveryEnded();
        radio_->setState(CBCentralManagerStatePoweredOff);
    }
    stop();
}

void BluezStandIn::stop() {
    if (!running_) return;
    releaseAdvertisements();
    radio_->setPairingHandler(nullptr);
    earlyPairings_.clear();
    running_ = false;
    generation_->fetch_add(1);
    // A central of nobody's replaces ours: the radio drops our links without a word.
    central_ = radio_->createCentral(std::weak_ptr<PlatformCentralDelegate>(), queue_);
    central_.reset();
    for (auto& adapter : adapters_) adapter->discoveryClients.clear();
    for (auto& [identifier, device] : devices_) {
        if (device->disconnectTimer) RunLoop::main().cancel(*device->disconnectTimer);
        device->disconnectTimer.reset();
        if (device->temporaryTimer) RunLoop::main().cancel(*device->temporaryTimer);
        device->temporaryTimer.reset();
        device->connectCall.reset();
        device->disconnectCalls.clear();
        device->connected = false;
        device->resolving = false;
        for (auto& service : device->services)
            for (auto& characteristic : service->characteristics) {
                characteristic->reads.clear();
                characteristic->writes.clear();
                characteristic->writeOnAir = false;
                characteristic->sessions.clear();
                characteristic->notifyCalls.clear();
                characteristic->subscribing = false;
                characteristic->subscribed = false;
            }
    }
    agents_->clear();
    bus_.reset();
    tree_->clear();
}

void BluezStandIn::reply(const QDBusMessage& message) {
    if (bus_) bus_->send(message);
}

// ---- Controls ----------------------------------------------------------------------------------

void BluezStandIn::setPowered(bool powered) {
    radio_->setState(powered ? CBCentralManagerStatePoweredOn : CBCentralManagerStatePoweredOff);
}

void BluezStandIn::removeAdapter() {
    if (!adapterPresent_) return;
    releaseAdvertisements();
    if (central_) central_->stopAdvertising();
    adapterPresent_ = false;
    for (auto& [identifier, device] : devices_)
        if (central_ && (device->connected || device->connectCall)) central_->cancelPeripheralConnection(device->peripheral());
    if (central_) central_->stopScan();
    devices_.clear();
    for (auto& adapter : adapters_) {
        adapter->discoveryClients.clear();
        tree_->removeObject(adapter->path());
    }
}

void BluezStandIn::addAdapter(const std::string& name, const std::string& address) {
    adapters_.push_back(std::make_unique<StandInAdapter1>(QString::fromStdString("/org/bluez/" + name),
                                                          QString::fromStdString(address)));
    if (running_ && adapterPresent_) exportAdapter(*adapters_.back(), powered_);
}

void BluezStandIn::setNeverAnswers(const std::string& member, bool neverAnswers) {
    if (neverAnswers) neverAnswers_.insert(member);
    else neverAnswers_.erase(member);
}

void BluezStandIn::setPropertyFault(const std::string& interface, const std::string& property,
                                    StandInObjectTree::PropertyFault fault) {
    tree_->setPropertyFault(QString::fromStdString(interface), QString::fromStdString(property), fault);
}

void BluezStandIn::setVanishesOnCall(const std::string& member) { vanishesOn_.insert(member); }

void BluezStandIn::removeDevice(const UUID& identifier) { forgetDevice(identifier, true); }

void BluezStandIn::floodAdvertisements(const std::shared_ptr<SimPeripheral>& peripheral, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        radio_->advertise(peripheral, peripheral->signalStrength() - static_cast<std::int64_t>(i % 20));
}

void BluezStandIn::rewriteAddress(const UUID& identifier, const std::string& address, bool publicAddress) {
    StandInDevice1* device = findDevice(identifier);
    if (!device) return;
    device->setAddress(QString::fromStdString(address), publicAddress);
    tree_->setProperty(device->path(), kDevice, "Address", device->address());
    tree_->setProperty(device->path(), kDevice, "AddressType", QString(publicAddress ? "public" : "random"));
}

void BluezStandIn::setClassOfDevice(const UUID& identifier, std::uint32_t classOfDevice) {
    for (auto& peripheral : radio_->peripherals()) {
        if (peripheral->identifier() != identifier) continue;
        StandInDevice1& device = deviceFor(peripheral);
        device.classOfDevice = classOfDevice;
        if (tree_->hasInterface(device.path(), kDevice))
            tree_->setProperty(device.path(), kDevice, "Class", QVariant::fromValue(uint(classOfDevice)));
    }
}

void BluezStandIn::setManufacturerData(const UUID& identifier, std::uint16_t company, Bytes data) {
    for (auto& peripheral : radio_->peripherals()) {
        if (peripheral->identifier() != identifier) continue;
        StandInDevice1& device = deviceFor(peripheral);
        device.manufacturer = company;
        device.manufacturerData = std::move(data);
        if (tree_->hasInterface(device.path(), kDevice)) {
            StandInManufacturerData value;
            value[company] = QDBusVariant(toByteArray(device.manufacturerData));
            tree_->setProperty(device.path(), kDevice, "ManufacturerData", QVariant::fromValue(value));
        }
    }
}

// ---- Observation -------------------------------------------------------------------------------

std::string BluezStandIn::addressFor(const UUID& identifier) {
    const auto b = identifier.bytes128();
    char text[18];
    // A static random address: the two top bits set.
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", b[10] | 0xC0, b[11], b[12], b[13], b[14],
                  b[15]);
    return text;
}

std::string BluezStandIn::adapterPath() const { return adapters_.front()->path().toStdString(); }

std::string BluezStandIn::devicePath(const UUID& identifier) const {
    std::string address = addressFor(identifier);
    std::replace(address.begin(), address.end(), ':', '_');
    return adapterPath() + "/dev_" + address;
}

std::string BluezStandIn::servicePath(const UUID& identifier, const UUID& service) const {
    StandInDevice1* device = findDevice(identifier);
    if (!device) return {};
    for (const auto& entry : device->services)
        if (entry->service()->UUID() == service && tree_->hasObject(entry->path())) return entry->path().toStdString();
    return {};
}

std::string BluezStandIn::characteristicPath(const UUID& identifier, const UUID& service,
                                             const UUID& characteristic) const {
    StandInDevice1* device = findDevice(identifier);
    if (!device) return {};
    for (const auto& entry : device->services) {
        if (entry->service()->UUID() != service) continue;
        for (const auto& c : entry->characteristics)
            if (c->characteristic()->UUID() == characteristic && tree_->hasObject(c->path()))
                return c->path().toStdString();
    }
    return {};
}

std::vector<std::string> BluezStandIn::calls() const { return calls_; }

std::size_t BluezStandIn::callCount(const std::string& member) const {
    return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const std::string& call) {
        const auto dot = call.find('.');
        const auto space = call.find(' ');
        return dot != std::string::npos && call.substr(dot + 1, space - dot - 1) == member;
    }));
}

std::size_t BluezStandIn::agentCount() const { return agents_->agentCount(); }

// ---- Calls -------------------------------------------------------------------------------------

void BluezStandIn::handle(const QDBusMessage& call) {
    if (!running_) return;
    QString interface = call.interface();
    const QString shortInterface = interface.section('.', -1);
    calls_.push_back((shortInterface + "." + call.member() + " " + call.path()).toStdString());
    const std::string member = call.member().toStdString();
    if (neverAnswers_.count(member)) return;

    if (interface == "org.freedesktop.DBus.Introspectable") return reply(tree_->introspect(call));
    if (interface == "org.freedesktop.DBus.Peer") {
        if (call.member() == "Ping") return reply(call.createReply());
        return reply(StandInErrors::unknownMethod(call));
    }
    if (interface == "org.freedesktop.DBus.ObjectManager") {
        if (call.member() == "GetManagedObjects" && call.path() == "/") return reply(tree_->managedObjects(call));
        return reply(StandInErrors::unknownMethod(call));
    }
    if (!tree_->hasObject(call.path())) return reply(StandInErrors::unknownObject(call));
    if (interface == kProperties) return handleProperties(call);

    StandInDevice1* device = nullptr;
    for (auto& [identifier, candidate] : devices_)
        if (call.path() == candidate->path() || call.path().startsWith(candidate->path() + "/")) device = candidate.get();
    if (vanishesOn_.count(member) && device) {
        vanishesOn_.erase(member);
        forgetDevice(device->peripheral()->identifier(), true);
        return reply(StandInErrors::unknownObject(call));
    }
    if (interface.isEmpty()) {
        // A call without an interface goes to the object's interface that has the method.
        for (const QString& candidate : {kAdapter, kDevice, kCharacteristic, kAgentManager})
            if (tree_->hasInterface(call.path(), candidate)) interface = candidate;
    }
    if (!tree_->hasInterface(call.path(), interface)) return reply(StandInErrors::unknownMethod(call));
    if (interface == kAgentManager) return reply(agents_->handle(call));
    if (interface == kAdvertisingManager) return handleAdvertisingManager(call);
    if (interface == kAdapter) {
        for (auto& adapter : adapters_)
            if (adapter->path() == call.path()) return handleAdapter(*adapter, call);
    }
    if (interface == kDevice && device) return handleDevice(*device, call);
    if (interface == kCharacteristic && device) {
        if (StandInGattCharacteristic1* characteristic = characteristicAt(*device, call.path()))
            return handleCharacteristic(*device, *characteristic, call);
    }
    reply(StandInErrors::unknownMethod(call));
}

void BluezStandIn::handleProperties(const QDBusMessage& call) {
    if (call.member() == "Get") return reply(tree_->get(call));
    if (call.member() == "GetAll") return reply(tree_->getAll(call));
    if (call.member() != "Set") return reply(StandInErrors::unknownMethod(call));
    const QList<QVariant> args = call.arguments();
    if (args.size() != 3) return reply(StandInErrors::error(call, "org.freedesktop.DBus.Error.InvalidArgs", "Invalid arguments in method call"));
    const QString interface = args[0].toString();
    const QString name = args[1].toString();
    const QVariant value = args[2].value<QDBusVariant>().variant();
    if (!tree_->hasInterface(call.path(), interface) || !tree_->property(call.path(), interface, name).isValid())
        return reply(StandInErrors::error(call, "org.freedesktop.DBus.Error.InvalidArgs",
                                          "No such property '" + name + "'"));
    const bool isBool = value.metaType() == QMetaType::fromType<bool>();
    const bool isString = value.metaType() == QMetaType::fromType<QString>();
    if (interface == kAdapter && name == "Powered" && isBool) {
        setPowered(value.toBool());
        return reply(call.createReply());
    }
    if ((interface == kAdapter && (name == "Discoverable" || name == "Pairable") && isBool) ||
        (interface == kDevice && (name == "Trusted" || name == "Blocked" || name == "WakeAllowed") && isBool) ||
        ((interface == kAdapter || interface == kDevice) && name == "Alias" && isString)) {
        tree_->setProperty(call.path(), interface, name, value);
        return reply(call.createReply());
    }
    const bool writable = (interface == kAdapter && (name == "Powered" || name == "Discoverable" ||
                                                     name == "Pairable" || name == "Alias")) ||
                          (interface == kDevice && (name == "Trusted" || name == "Blocked" || name == "Alias"));
    if (writable) return reply(StandInErrors::invalidArguments(call, "Invalid arguments in method call"));
    reply(StandInErrors::error(call, "org.freedesktop.DBus.Error.PropertyReadOnly",
                               "Property '" + name + "' is not writable"));
}

// ---- Adapter -----------------------------------------------------------------------------------

void BluezStandIn::exportAdapter(StandInAdapter1& adapter, bool powered) {
    QVariantMap properties;
    properties["Address"] = adapter.address();
    properties["AddressType"] = QString("public");
    properties["Name"] = QString::fromStdString(options_.adapterAlias);
    properties["Alias"] = QString::fromStdString(options_.adapterAlias);
    properties["Class"] = QVariant::fromValue(uint(0x6c010c));
    properties["Powered"] = powered;
    properties["Discoverable"] = false;
    properties["DiscoverableTimeout"] = QVariant::fromValue(uint(180));
    properties["Pairable"] = true;
    properties["PairableTimeout"] = QVariant::fromValue(uint(0));
    properties["Discovering"] = false;
    properties["UUIDs"] = QStringList{"00001801-0000-1000-8000-00805f9b34fb", "00001800-0000-1000-8000-00805f9b34fb"};
    properties["Modalias"] = QString("usb:v1D6Bp0246d0542");
    properties["Roles"] = QStringList{"central", "peripheral"};
    tree_->addInterface(adapter.path(), kAdapter, properties);
    // Only the first adapter is backed by the radio; it alone advertises.
    if (&adapter == adapters_.front().get())
        tree_->addInterface(adapter.path(), kAdvertisingManager, advertising_->properties());
}

void BluezStandIn::handleAdapter(StandInAdapter1& adapter, const QDBusMessage& call) {
    const QString member = call.member();
    const QString sender = call.service();
    const bool primary = &adapter == adapters_.front().get();
    if (member == "StartDiscovery") {
        if (!powered_) return reply(StandInErrors::notReady(call));
        if (adapter.discoveryClients.count(sender))
            return reply(StandInErrors::error(call, "org.bluez.Error.InProgress", "Operation already in progress"));
        const bool first = adapter.discoveryClients.empty();
        adapter.discoveryClients.insert(sender);
        if (first && primary) startScan();
        reply(call.createReply());
        tree_->setProperty(adapter.path(), kAdapter, "Discovering", true);
        return;
    }
    if (member == "StopDiscovery") {
        if (!powered_) return reply(StandInErrors::notReady(call));
        if (!adapter.discoveryClients.erase(sender)) return reply(StandInErrors::failed(call, "No discovery started"));
        reply(call.createReply());
        if (adapter.discoveryClients.empty()) {
            if (primary) stopScan();
            tree_->setProperty(adapter.path(), kAdapter, "Discovering", false);
            if (primary) discoveryEnded();
        }
        return;
    }
    if (member == "SetDiscoveryFilter") return reply(setDiscoveryFilter(adapter, call));
    if (member == "GetDiscoveryFilters")
        return reply(call.createReply(
            QStringList{"UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData", "Discoverable", "Pattern"}));
    if (member == "RemoveDevice") {
        const QList<QVariant> args = call.arguments();
        if (args.size() != 1 || !args[0].canConvert<QDBusObjectPath>()) return reply(StandInErrors::invalidArguments(call));
        StandInDevice1* device = deviceAt(args[0].value<QDBusObjectPath>().path());
        if (!device) return reply(StandInErrors::error(call, "org.bluez.Error.DoesNotExist", "Does Not Exist"));
        const auto peripheral = device->peripheral();
        if (central_ && (device->connected || device->connectCall)) central_->cancelPeripheralConnection(peripheral);
        peripheral->setBonded(false);
        forgetDevice(peripheral->identifier(), true);
        return reply(call.createReply());
    }
    reply(StandInErrors::unknownMethod(call));
}

QDBusMessage BluezStandIn::setDiscoveryFilter(StandInAdapter1& adapter, const QDBusMessage& call) {
    const QList<QVariant> args = call.arguments();
    if (args.size() != 1) return StandInErrors::invalidArguments(call);
    const auto filter = dictionaryArgument(args[0]);
    if (!filter) return StandInErrors::invalidArguments(call);
    std::optional<std::vector<UUID>> uuids;
    bool hasRSSI = false, hasPathloss = false;
    for (auto it = filter->begin(); it != filter->end(); ++it) {
        const QString& key = it.key();
        const QVariant& value = it.value();
        if (key == "UUIDs") {
            if (value.metaType() != QMetaType::fromType<QStringList>()) return StandInErrors::invalidArguments(call);
            std::vector<UUID> list;
            for (const QString& text : value.toStringList()) {
                auto uuid = UUID::fromString(text.toStdString());
                if (!uuid) return StandInErrors::invalidArguments(call);
                list.push_back(*uuid);
            }
            if (!list.empty()) uuids = list;
        } else if (key == "RSSI") {
            if (value.metaType() != QMetaType::fromType<short>()) return StandInErrors::invalidArguments(call);
            hasRSSI = true;
        } else if (key == "Pathloss") {
            if (value.metaType() != QMetaType::fromType<ushort>()) return StandInErrors::invalidArguments(call);
            hasPathloss = true;
        } else if (key == "Transport") {
            const QString transport = value.toString();
            if (value.metaType() != QMetaType::fromType<QString>() ||
                (transport != "auto" && transport != "bredr" && transport != "le"))
                return StandInErrors::invalidArguments(call);
        } else if (key == "DuplicateData" || key == "Discoverable") {
            if (value.metaType() != QMetaType::fromType<bool>()) return StandInErrors::invalidArguments(call);
        } else if (key == "Pattern") {
            if (value.metaType() != QMetaType::fromType<QString>()) return StandInErrors::invalidArguments(call);
        } else {
            return StandInErrors::invalidArguments(call);
        }
    }
    if (hasRSSI && hasPathloss) return StandInErrors::invalidArguments(call);
    adapter.filterSet = !filter->isEmpty();
    adapter.filterUUIDs = uuids;
    if (&adapter == adapters_.front().get() && !adapter.discoveryClients.empty()) startScan();
    return call.createReply();
}

void BluezStandIn::startScan() {
    if (!central_) return;
    Dictionary options{{CBCentralManagerScanOptionAllowDuplicatesKey, true}};
    central_->scanForPeripheralsWithServices(adapters_.front()->filterUUIDs, options);
}

void BluezStandIn::stopScan() {
    if (central_) central_->stopScan();
}

void BluezStandIn::discoveryEnded() {
    // The RSSI of the last advertisement no longer holds once nobody listens.
    for (auto& [identifier, device] : devices_) tree_->invalidateProperty(device->path(), kDevice, "RSSI");
}

// ---- Devices -----------------------------------------------------------------------------------

StandInDevice1& BluezStandIn::deviceFor(const std::shared_ptr<SimPeripheral>& peripheral) {
    auto found = devices_.find(peripheral->identifier());
    if (found != devices_.end()) return *found->second;
    const UUID identifier = peripheral->identifier();
    auto device = std::make_unique<StandInDevice1>(QString::fromStdString(devicePath(identifier)),
                                                   QString::fromStdString(addressFor(identifier)), peripheral);
    peripheral->setDelegate(std::weak_ptr<PlatformPeripheralDelegate>(shared_from_this()));
    // What the simulated device advertises as manufacturer data is BlueZ's ManufacturerData:
    // the company identifier (little-endian, first two bytes) keys the rest.
    if (const auto advertised = peripheral->manufacturerData(); advertised && advertised->size() >= 2) {
        device->manufacturer = static_cast<std::uint16_t>((*advertised)[0] | ((*advertised)[1] << 8));
        device->manufacturerData = Bytes(advertised->begin() + 2, advertised->end());
    }
    return *(devices_[identifier] = std::move(device));
}

StandInDevice1* BluezStandIn::findDevice(const UUID& identifier) const {
    auto found = devices_.find(identifier);
    return found == devices_.end() ? nullptr : found->second.get();
}

StandInDevice1* BluezStandIn::deviceAt(const QString& path) const {
    for (const auto& [identifier, device] : devices_)
        if (device->path() == path) return device.get();
    return nullptr;
}

void BluezStandIn::exportDevice(StandInDevice1& device, std::optional<std::int64_t> RSSI) {
    const auto& peripheral = device.peripheral();
    QVariantMap properties;
    properties["Address"] = device.address();
    properties["AddressType"] = QString(device.isPublicAddress() ? "public" : "random");
    QString alias = device.address();
    alias.replace(':', '-');
    if (auto name = peripheral->name()) {
        const QString text = QString::fromStdString(validUTF8Prefix(*name));
        properties["Name"] = text;
        alias = text;
    }
    properties["Alias"] = alias;
    properties["Paired"] = peripheral->isBonded();
    properties["Bonded"] = peripheral->isBonded();
    properties["Trusted"] = false;
    properties["Blocked"] = false;
    properties["LegacyPairing"] = false;
    properties["Connected"] = device.connected;
    QStringList uuids;
    for (const auto& uuid : peripheral->advertisedServiceUUIDs()) uuids << uuidText(uuid);
    for (const auto& service : device.services)
        if (!uuids.contains(uuidText(service->service()->UUID()))) uuids << uuidText(service->service()->UUID());
    properties["UUIDs"] = uuids;
    properties["Adapter"] = QVariant::fromValue(QDBusObjectPath(adapters_.front()->path()));
    properties["ServicesResolved"] = false;
    if (RSSI) properties["RSSI"] = QVariant::fromValue(static_cast<short>(*RSSI));
    if (device.classOfDevice) properties["Class"] = QVariant::fromValue(uint(*device.classOfDevice));
    if (device.manufacturer) {
        StandInManufacturerData data;
        data[*device.manufacturer] = QDBusVariant(toByteArray(device.manufacturerData));
        properties["ManufacturerData"] = QVariant::fromValue(data);
    }
    tree_->addInterface(device.path(), kDevice, properties);
}

void BluezStandIn::handleDevice(StandInDevice1& device, const QDBusMessage& call) {
    const QString member = call.member();
    if (member == "Connect") return connectDevice(device, call);
    if (member == "Disconnect") return disconnectDevice(device, call);
    if (member == "Pair") {
        const auto& peripheral = device.peripheral();
        if (peripheral->isBonded()) return reply(StandInErrors::error(call, "org.bluez.Error.AlreadyExists", "Already Exists"));
        if (!peripheral->acceptsPairing())
            return reply(StandInErrors::error(call, "org.bluez.Error.AuthenticationFailed", "Authentication Failed"));
        if (!options_.pairingPasskey) {
            peripheral->setBonded(true);
            updateBond(device);
            return reply(call.createReply());
        }
        const UUID identifier = peripheral->identifier();
        return confirmPairing(device, [this, identifier, call](bool accepted) {
            StandInDevice1* current = findDevice(identifier);
            if (!accepted || !current)
                return reply(StandInErrors::error(call, "org.bluez.Error.AuthenticationRejected", "Authentication Rejected"));
            current->peripheral()->setBonded(true);
            updateBond(*current);
            reply(call.createReply());
        });
    }
    if (member == "CancelPairing")
        return reply(StandInErrors::error(call, "org.bluez.Error.DoesNotExist", "Does Not Exist"));
    if (member == "ConnectProfile" || member == "DisconnectProfile") return reply(StandInErrors::notSupported(call));
    reply(StandInErrors::unknownMethod(call));
}

void BluezStandIn::connectDevice(StandInDevice1& device, const QDBusMessage& call) {
    if (device.connected) {
        if (!quirks_.connectWhileConnectedSucceeds)
            return reply(StandInErrors::error(call, "org.bluez.Error.AlreadyConnected", "Already Connected"));
        // Inside the disconnect window too: the link still drops when the window ends.
        return reply(call.createReply());
    }
    if (device.connectCall) return reply(StandInErrors::inProgress(call));
    if (!powered_ || !central_) return reply(StandInErrors::notReady(call));
    // A device a client connects to is kept.
    device.temporary = false;
    if (device.temporaryTimer) RunLoop::main().cancel(*device.temporaryTimer);
    device.temporaryTimer.reset();
    device.connectCall = call;
    device.disconnectRequested = false;
    central_->connectPeripheral(device.peripheral(), std::nullopt);
}

void BluezStandIn::disconnectDevice(StandInDevice1& device, const QDBusMessage& call) {
    if (device.connectCall) {
        reply(StandInErrors::failed(*device.connectCall, "br-connection-canceled"));
        device.connectCall.reset();
        device.disconnectRequested = true;
        if (central_) central_->cancelPeripheralConnection(device.peripheral());
        return reply(call.createReply());
    }
    if (!device.connected) return reply(call.createReply());
    device.disconnectCalls.push_back(call);
    device.disconnectRequested = true;
    if (device.disconnectTimer) return;
    if (!quirks_.disconnectWindow) {
        if (central_) central_->cancelPeripheralConnection(device.peripheral());
        return;
    }
    std::weak_ptr<BluezStandIn> weak = weak_from_this();
    const UUID identifier = device.peripheral()->identifier();
    const std::uint64_t generation = generation_->load();
    device.disconnectTimer = RunLoop::main().schedule(seconds(kDisconnectWindowSeconds), [weak, identifier, generation] {
        auto self = weak.lock();
        if (self && self->generation_->load() == generation) self->endDisconnectWindow(identifier);
    });
}

void BluezStandIn::endDisconnectWindow(const UUID& identifier) {
    StandInDevice1* device = findDevice(identifier);
    if (!device) return;
    device->disconnectTimer.reset();
    if (central_ && device->connected) central_->cancelPeripheralConnection(device->peripheral());
}

void BluezStandIn::linkDown(StandInDevice1& device) {
    const bool wasConnected = device.connected;
    if (device.incomingConfirmation) {
        // The pairing ends with the link: bluetoothd cancels the agent's request.
        device.incomingConfirmation = false;
        if (const auto agent = agents_->defaultAgent(); agent && bus_)
            bus_->send(QDBusMessage::createMethodCall(agent->owner, agent->path, "org.bluez.Agent1", "Cancel"));
    }
    device.connected = false;
    device.resolving = false;
    if (device.disconnectTimer) RunLoop::main().cancel(*device.disconnectTimer);
    device.disconnectTimer.reset();
    for (auto& service : device.services) {
        service->discovering = false;
        for (auto& characteristic : service->characteristics) {
            for (auto& read : characteristic->reads) reply(StandInErrors::failed(read, "Not connected"));
            characteristic->reads.clear();
            for (auto& write : characteristic->writes) reply(StandInErrors::failed(write.call, "Not connected"));
            characteristic->writes.clear();
            characteristic->writeOnAir = false;
            for (auto& notify : characteristic->notifyCalls) reply(StandInErrors::failed(notify, "Not connected"));
            characteristic->notifyCalls.clear();
            characteristic->subscribing = false;
            characteristic->subscribed = false;
            if (!quirks_.reenableNotifySessions && !characteristic->sessions.empty()) {
                characteristic->sessions.clear();
                tree_->setProperty(characteristic->path(), kCharacteristic, "Notifying", false);
            }
        }
    }
    if (!wasConnected) return;
    for (auto& call : device.disconnectCalls) reply(call.createReply());
    device.disconnectCalls.clear();
    tree_->setProperty(device.path(), kDevice, "ServicesResolved", false);
    tree_->setProperty(device.path(), kDevice, "Connected", false);
    // bluetoothd keeps the attribute cache of bonded devices only.
    if (!device.peripheral()->isBonded()) removeServices(device);
}

void BluezStandIn::updateBond(StandInDevice1& device) {
    const bool bonded = device.peripheral()->isBonded();
    if (bonded) {
        device.temporary = false;
        if (device.temporaryTimer) RunLoop::main().cancel(*device.temporaryTimer);
        device.temporaryTimer.reset();
    }
    tree_->setProperty(device.path(), kDevice, "Paired", bonded);
    tree_->setProperty(device.path(), kDevice, "Bonded", bonded);
}

void BluezStandIn::restartTemporaryTimer(StandInDevice1& device) {
    if (device.temporaryTimer) RunLoop::main().cancel(*device.temporaryTimer);
    device.temporaryTimer.reset();
    if (!device.temporary || !quirks_.temporaryDevicesExpire) return;
    std::weak_ptr<BluezStandIn> weak = weak_from_this();
    const UUID identifier = device.peripheral()->identifier();
    const std::uint64_t generation = generation_->load();
    device.temporaryTimer = RunLoop::main().schedule(seconds(kTemporaryTimeoutSeconds), [weak, identifier, generation] {
        auto self = weak.lock();
        if (!self || self->generation_->load() != generation) return;
        StandInDevice1* current = self->findDevice(identifier);
        if (!current) return;
        current->temporaryTimer.reset();
        if (!current->temporary || current->connected || current->connectCall || current->peripheral()->isBonded())
            return;
        self->forgetDevice(identifier, true);
    });
}

void BluezStandIn::clientLeft(const QString& name) {
    agents_->forget(name);
    // Its advertisements go, without Release (client_disconnect_cb).
    advertising_->forget(name);
    std::erase_if(awaitingRadio_, [&](const auto& key) { return key.first == name; });
    refreshRadioAdvertising();
    publishAdvertisingState();
    for (std::size_t i = 0; i < adapters_.size(); ++i) {
        StandInAdapter1& adapter = *adapters_[i];
        if (!adapter.discoveryClients.erase(name) || !adapter.discoveryClients.empty()) continue;
        if (i == 0) stopScan();
        tree_->setProperty(adapter.path(), kAdapter, "Discovering", false);
        if (i == 0) discoveryEnded();
    }
    for (auto& [identifier, device] : devices_)
        for (auto& service : device->services)
            for (auto& characteristic : service->characteristics) {
                if (!characteristic->sessions.erase(name) || !characteristic->sessions.empty()) continue;
                if (device->connected && characteristic->subscribed) subscribe(*device, *characteristic, false);
                characteristic->subscribed = false;
                tree_->setProperty(characteristic->path(), kCharacteristic, "Notifying", false);
            }
}

void BluezStandIn::forgetDevice(const UUID& identifier, bool announce) {
    auto found = devices_.find(identifier);
    if (found == devices_.end()) return;
    if (found->second->disconnectTimer) RunLoop::main().cancel(*found->second->disconnectTimer);
    if (found->second->temporaryTimer) RunLoop::main().cancel(*found->second->temporaryTimer);
    const QString path = found->second->path();
    devices_.erase(found);
    if (announce) tree_->removeObject(path);
}

// ---- Radio events: the central ----------------------------------------------------------------

void BluezStandIn::centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& central, int state) {
    if (central != central_ || !running_) return;
    const bool powered = state == CBCentralManagerStatePoweredOn;
    if (powered == powered_) return;
    powered_ = powered;
    if (!adapterPresent_) return;
    for (auto& adapter : adapters_) {
        if (!powered) {
            const bool wasDiscovering = !adapter->discoveryClients.empty();
            adapter->discoveryClients.clear();
            if (wasDiscovering) tree_->setProperty(adapter->path(), kAdapter, "Discovering", false);
        }
        tree_->setProperty(adapter->path(), kAdapter, "Powered", powered);
    }
    if (!powered) discoveryEnded();
    // The controller takes the registered advertisements up again once it is on.
    if (powered) refreshRadioAdvertising();
}

void BluezStandIn::centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                       const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                       const Dictionary&, std::int64_t RSSI) {
    auto sim = simOf(peripheral);
    if (central != central_ || !sim || !running_ || !adapterPresent_ || !powered_) return;
    StandInDevice1& device = deviceFor(sim);
    if (sim->isBonded()) device.temporary = false;
    restartTemporaryTimer(device);
    if (!tree_->hasInterface(device.path(), kDevice) || !quirks_.knownDevicesSendNoInterfacesAdded) {
        exportDevice(device, RSSI);
        return;
    }
    // A device already known: its advertisement shows as property changes. With a
    // discovery filter set, bluetoothd sends the RSSI of every report.
    if (auto name = sim->name()) {
        const QString text = QString::fromStdString(validUTF8Prefix(*name));
        tree_->setProperty(device.path(), kDevice, "Name", text);
        tree_->setProperty(device.path(), kDevice, "Alias", text);
    }
    tree_->setProperty(device.path(), kDevice, "RSSI", QVariant::fromValue(static_cast<short>(RSSI)),
                       adapters_.front()->filterSet);
}

void BluezStandIn::centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                      const std::shared_ptr<PlatformPeripheral>& peripheral) {
    if (central != central_) return;
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device) return;
    device->connected = true;
    tree_->setProperty(device->path(), kDevice, "Connected", true);
    if (device->connectCall) {
        reply(device->connectCall->createReply());
        device->connectCall.reset();
    }
    resolveServices(*device);
}

void BluezStandIn::centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                            const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                            const ErrorPtr&) {
    if (central != central_) return;
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device || !device->connectCall) return;
    // 5.66 reports every failed LE connection so.
    reply(StandInErrors::failed(*device->connectCall, "le-connection-abort-by-local"));
    device->connectCall.reset();
}

void BluezStandIn::centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                         const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                         const ErrorPtr&) {
    if (central != central_) return;
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device) return;
    if (device->connectCall) {
        reply(StandInErrors::failed(*device->connectCall, "le-connection-abort-by-local"));
        device->connectCall.reset();
    }
    linkDown(*device);
}

// ---- Advertising ---------------------------------------------------------------------------------

void BluezStandIn::handleAdvertisingManager(const QDBusMessage& call) {
    if (call.path() != adapters_.front()->path()) return reply(StandInErrors::unknownMethod(call));
    if (call.member() == "RegisterAdvertisement") {
        if (auto refused = advertising_->take(call)) return reply(*refused);
        // As bluetoothd, read the client's object before answering.
        const QString owner = call.service();
        const QString path = call.arguments().value(0).value<QDBusObjectPath>().path();
        QDBusMessage getAll = QDBusMessage::createMethodCall(owner, path, kProperties, "GetAll");
        getAll << kAdvertisement;
        std::weak_ptr<BluezStandIn> weak = weak_from_this();
        const std::uint64_t generation = generation_->load();
        bus_->callClient(getAll, [weak, generation, owner, path](const QDBusMessage& answer) {
            RunLoop::main().post([weak, generation, owner, path, answer] {
                auto self = weak.lock();
                if (self && self->generation_->load() == generation) self->advertisementRead(owner, path, answer);
            });
        });
        return;
    }
    if (call.member() == "UnregisterAdvertisement") {
        std::vector<QDBusMessage> alsoSend;
        const QDBusMessage answer = advertising_->withdraw(call, alsoSend);
        for (const auto& message : alsoSend) reply(message);
        reply(answer);
        if (answer.type() == QDBusMessage::ReplyMessage) {
            const QString path = call.arguments().value(0).value<QDBusObjectPath>().path();
            std::erase_if(awaitingRadio_, [&](const auto& key) { return key.first == call.service() && key.second == path; });
            refreshRadioAdvertising();
            publishAdvertisingState();
        }
        return;
    }
    reply(StandInErrors::unknownMethod(call));
}

void BluezStandIn::advertisementRead(const QString& owner, const QString& path, const QDBusMessage& answer) {
    auto* advertisement = advertising_->find(owner, path);
    if (!advertisement || advertisement->parsed) return;
    // An object bluetoothd cannot read never becomes a proxy: the registration waits
    // until it is withdrawn or its client leaves.
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) return;
    const QVariant argument = answer.arguments().first();
    const QVariantMap properties = argument.metaType() == QMetaType::fromType<QDBusArgument>()
                                       ? qdbus_cast<QVariantMap>(argument.value<QDBusArgument>())
                                       : argument.toMap();
    if (!advertising_->parse(*advertisement, properties, QString::fromStdString(options_.adapterAlias))) {
        reply(StandInErrors::failed(advertisement->registration, "Failed to parse advertisement."));
        advertising_->remove(owner, path);
        return;
    }
    awaitingRadio_.emplace_back(owner, path);
    if (awaitingRadio_.size() == 1) startNextOnRadio();
}

void BluezStandIn::startNextOnRadio() {
    while (!awaitingRadio_.empty()) {
        const auto [owner, path] = awaitingRadio_.front();
        auto* advertisement = advertising_->find(owner, path);
        if (!advertisement) {
            awaitingRadio_.pop_front();
            continue;
        }
        if (!central_ || !powered_) {
            reply(StandInErrors::failed(advertisement->registration, "Failed to register advertisement"));
            advertising_->remove(owner, path);
            awaitingRadio_.pop_front();
            continue;
        }
        central_->startAdvertising(advertisement->localName, advertisement->solicitUUIDs);
        return;
    }
}

void BluezStandIn::centralManagerDidStartAdvertising(const std::shared_ptr<PlatformCentral>& central,
                                                     const ErrorPtr& error) {
    if (central != central_ || !running_ || awaitingRadio_.empty()) return;
    const auto [owner, path] = awaitingRadio_.front();
    awaitingRadio_.pop_front();
    if (auto* advertisement = advertising_->find(owner, path)) {
        if (error) {
            // add_client_complete: the kernel refused the data.
            reply(StandInErrors::failed(advertisement->registration, "Failed to register advertisement"));
            advertising_->remove(owner, path);
        } else {
            advertisement->registered = true;
            reply(advertisement->registration.createReply());
        }
    }
    publishAdvertisingState();
    startNextOnRadio();
}

void BluezStandIn::refreshRadioAdvertising() {
    if (!central_ || !awaitingRadio_.empty()) return;
    if (const auto* current = advertising_->current()) {
        if (powered_) central_->startAdvertising(current->localName, current->solicitUUIDs);
    } else {
        central_->stopAdvertising();
    }
}

void BluezStandIn::publishAdvertisingState() {
    if (!running_ || !adapterPresent_) return;
    const QVariantMap properties = advertising_->properties();
    const QString path = adapters_.front()->path();
    for (const char* name : {"ActiveInstances", "SupportedInstances"})
        tree_->setProperty(path, kAdvertisingManager, name, properties[name]);
}

void BluezStandIn::releaseAdvertisements() {
    if (!bus_) return;
    for (const auto& advertisement : advertising_->advertisements()) {
        // client_destroy: Release, then a registration still waiting is answered.
        bus_->send(QDBusMessage::createMethodCall(advertisement.owner, advertisement.path, kAdvertisement, "Release"));
        if (!advertisement.registered)
            reply(StandInErrors::failed(advertisement.registration, "Failed to complete registration"));
    }
    advertising_->clear();
    awaitingRadio_.clear();
}

bool BluezStandIn::isAdvertising() const {
    auto sim = std::dynamic_pointer_cast<SimCentral>(central_);
    return sim && sim->isAdvertising();
}

std::string BluezStandIn::advertisedName() const {
    auto sim = std::dynamic_pointer_cast<SimCentral>(central_);
    return sim ? sim->advertisedName() : std::string();
}

std::vector<UUID> BluezStandIn::advertisedSolicitedServices() const {
    auto sim = std::dynamic_pointer_cast<SimCentral>(central_);
    return sim ? sim->advertisedSolicitedServices() : std::vector<UUID>{};
}

QVariantMap BluezStandIn::advertisementProperties() const {
    const auto* current = advertising_->current();
    return current ? current->read : QVariantMap();
}

std::size_t BluezStandIn::advertisementCount() const {
    std::size_t count = 0;
    for (const auto& advertisement : advertising_->advertisements()) count += advertisement.registered ? 1 : 0;
    return count;
}

// ---- Links that devices make ---------------------------------------------------------------------

void BluezStandIn::centralManagerDidReceiveIncomingConnection(const std::shared_ptr<PlatformCentral>& central,
                                                              const std::shared_ptr<PlatformPeripheral>& peripheral) {
    auto sim = simOf(peripheral);
    if (central != central_ || !sim || !running_ || !adapterPresent_) return;
    StandInDevice1& device = deviceFor(sim);
    // A linked device stays; bluetoothd finds it as a new device when it was not known.
    if (device.temporaryTimer) RunLoop::main().cancel(*device.temporaryTimer);
    device.temporaryTimer.reset();
    device.connected = true;
    device.disconnectRequested = false;
    if (!tree_->hasInterface(device.path(), kDevice))
        exportDevice(device, std::nullopt);
    else
        tree_->setProperty(device.path(), kDevice, "Connected", true);
    // ReverseServiceDiscovery (on by default): bluetoothd reads the services of a device
    // that connected to it, as for one it connected to.
    resolveServices(device);
    auto early = earlyPairings_.find(sim->identifier());
    if (early != earlyPairings_.end()) {
        auto [code, answer] = std::move(early->second);
        earlyPairings_.erase(early);
        askAgentToConfirm(device, code, std::move(answer));
    }
}

void BluezStandIn::confirmIncomingPairing(const std::shared_ptr<SimPeripheral>& peripheral, const std::string& code,
                                          std::function<void(bool accepted)> answer) {
    StandInDevice1* device = findDevice(peripheral->identifier());
    // The radio's pairing can start before its link event reached us; bluetoothd has the
    // device object before it asks the agent.
    if (!device || !device->connected) {
        earlyPairings_[peripheral->identifier()] = {code, std::move(answer)};
        return;
    }
    askAgentToConfirm(*device, code, std::move(answer));
}

void BluezStandIn::askAgentToConfirm(StandInDevice1& device, const std::string& code,
                                     std::function<void(bool accepted)> answer) {
    const auto agent = agents_->defaultAgent();
    // No agent: bluetoothd refuses the confirmation ("No agent available for request type").
    if (!agent || !bus_) return answer(false);
    ++confirmations_;
    device.incomingConfirmation = true;
    QDBusMessage request =
        QDBusMessage::createMethodCall(agent->owner, agent->path, "org.bluez.Agent1", "RequestConfirmation");
    request << QVariant::fromValue(QDBusObjectPath(device.path()))
            << QVariant::fromValue(uint(std::stoul(code.empty() ? std::string("0") : code)));
    std::weak_ptr<BluezStandIn> weak = weak_from_this();
    const UUID identifier = device.peripheral()->identifier();
    const std::uint64_t generation = generation_->load();
    bus_->callClient(
        request,
        [weak, identifier, generation, answer](const QDBusMessage& reply) {
            const bool accepted = reply.type() == QDBusMessage::ReplyMessage;
            RunLoop::main().post([weak, identifier, generation, answer, accepted] {
                auto self = weak.lock();
                if (!self || self->generation_->load() != generation) return answer(false);
                StandInDevice1* current = self->findDevice(identifier);
                if (current) current->incomingConfirmation = false;
                answer(accepted);
                // Both sides confirmed: the device is bonded now.
                if (current && current->connected) self->updateBond(*current);
            });
        },
        kAgentRequestTimeoutMs);
}

// ---- Radio events: GATT ------------------------------------------------------------------------

void BluezStandIn::resolveServices(StandInDevice1& device) {
    device.resolving = true;
    device.peripheral()->discoverServices(std::nullopt);
}

void BluezStandIn::peripheralDidUpdateName(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device) return;
    if (auto name = peripheral->name()) {
        const QString text = QString::fromStdString(validUTF8Prefix(*name));
        tree_->setProperty(device->path(), kDevice, "Name", text);
        tree_->setProperty(device->path(), kDevice, "Alias", text);
    }
}

void BluezStandIn::peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                 const ErrorPtr& error) {
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device || !device->resolving || !device->connected) return;
    if (error) {
        device->resolving = false;
        return;
    }
    const auto services = peripheral->services();
    for (const auto& service : services) {
        auto found = std::find_if(device->services.begin(), device->services.end(),
                                  [&](const auto& entry) { return entry->service() == service; });
        if (found == device->services.end()) {
            device->services.push_back(std::make_shared<StandInGattService1>(QString(), service, 0));
            found = device->services.end() - 1;
        }
        (*found)->discovering = true;
    }
    if (services.empty()) return finishResolving(*device);
    for (const auto& service : services) peripheral->discoverCharacteristics(std::nullopt, service);
}

void BluezStandIn::peripheralDidDiscoverCharacteristicsForService(
    const std::shared_ptr<PlatformPeripheral>& peripheral, const std::shared_ptr<PlatformService>& service,
    const ErrorPtr&) {
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device || !device->resolving) return;
    for (auto& entry : device->services) {
        if (entry->service() != service) continue;
        entry->discovering = false;
        for (const auto& characteristic : service->characteristics()) {
            auto found = std::find_if(entry->characteristics.begin(), entry->characteristics.end(),
                                      [&](const auto& c) { return c->characteristic() == characteristic; });
            if (found == entry->characteristics.end())
                entry->characteristics.push_back(std::make_shared<StandInGattCharacteristic1>(QString(), characteristic));
        }
    }
    for (const auto& entry : device->services)
        if (entry->discovering) return;
    finishResolving(*device);
}

void BluezStandIn::finishResolving(StandInDevice1& device) {
    device.resolving = false;
    QStringList uuids = tree_->property(device.path(), kDevice, "UUIDs").toStringList();
    for (const auto& service : device.services)
        if (!uuids.contains(uuidText(service->service()->UUID()))) uuids << uuidText(service->service()->UUID());
    tree_->setProperty(device.path(), kDevice, "UUIDs", uuids);
    if (quirks_.servicesResolvedBeforeExport) {
        tree_->setProperty(device.path(), kDevice, "ServicesResolved", true);
        exportServices(device);
    } else {
        exportServices(device);
        tree_->setProperty(device.path(), kDevice, "ServicesResolved", true);
    }
    updateBond(device);
    // bluetoothd enables the notification sessions of the previous link again.
    if (quirks_.reenableNotifySessions)
        for (auto& service : device.services)
            for (auto& characteristic : service->characteristics)
                if (!characteristic->sessions.empty() && !characteristic->subscribing) subscribe(device, *characteristic, true);
}

void BluezStandIn::exportServices(StandInDevice1& device) {
    // Attribute handles in database order: a service declaration, then per characteristic
    // its declaration, its value and, when it can notify, its configuration descriptor.
    unsigned handle = 0x0010;
    std::vector<std::shared_ptr<StandInGattService1>> numbered;
    for (auto& service : device.services) {
        const unsigned serviceHandle = handle++;
        char name[16];
        std::snprintf(name, sizeof name, "/service%04x", serviceHandle);
        auto entry = service;
        if (service->path().isEmpty()) entry = std::make_shared<StandInGattService1>(device.path() + name, service->service(), serviceHandle);
        std::vector<std::shared_ptr<StandInGattCharacteristic1>> characteristics;
        for (auto& characteristic : service->characteristics) {
            const unsigned characteristicHandle = handle;
            handle += canNotify(characteristic->characteristic()->properties()) ? 3 : 2;
            auto c = characteristic;
            if (c->path().isEmpty()) {
                char charName[16];
                std::snprintf(charName, sizeof charName, "/char%04x", characteristicHandle);
                c = std::make_shared<StandInGattCharacteristic1>(entry->path() + charName, c->characteristic());
            }
            characteristics.push_back(c);
        }
        entry->characteristics = std::move(characteristics);
        numbered.push_back(entry);
    }
    device.services = std::move(numbered);
    for (const auto& service : device.services) {
        if (!tree_->hasObject(service->path())) {
            QVariantMap properties;
            properties["UUID"] = uuidText(service->service()->UUID());
            properties["Device"] = QVariant::fromValue(QDBusObjectPath(device.path()));
            properties["Primary"] = service->service()->isPrimary();
            properties["Includes"] = QVariant::fromValue(QList<QDBusObjectPath>());
            tree_->addInterface(service->path(), kService, properties);
        }
        for (const auto& characteristic : service->characteristics) {
            if (tree_->hasObject(characteristic->path())) continue;
            const auto& platform = characteristic->characteristic();
            QVariantMap properties;
            properties["UUID"] = uuidText(platform->UUID());
            properties["Service"] = QVariant::fromValue(QDBusObjectPath(service->path()));
            properties["Flags"] = characteristicFlags(platform->properties());
            if (canNotify(platform->properties())) {
                properties["Notifying"] = !characteristic->sessions.empty();
                properties["NotifyAcquired"] = false;
            }
            if (platform->properties() & CBCharacteristicPropertyWriteWithoutResponse) properties["WriteAcquired"] = false;
            properties["MTU"] = QVariant::fromValue(static_cast<ushort>(device.peripheral()->mtu()));
            tree_->addInterface(characteristic->path(), kCharacteristic, properties);
        }
    }
}

void BluezStandIn::removeServices(StandInDevice1& device) {
    for (const auto& service : device.services) tree_->removeObject(service->path());
    device.services.clear();
}

StandInGattCharacteristic1* BluezStandIn::characteristicFor(
    StandInDevice1& device, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    for (auto& service : device.services)
        for (auto& c : service->characteristics)
            if (c->characteristic() == characteristic) return c.get();
    return nullptr;
}

StandInGattCharacteristic1* BluezStandIn::characteristicAt(StandInDevice1& device, const QString& path) {
    for (auto& service : device.services)
        for (auto& c : service->characteristics)
            if (c->path() == path) return c.get();
    return nullptr;
}

void BluezStandIn::handleCharacteristic(StandInDevice1& device, StandInGattCharacteristic1& characteristic,
                                        const QDBusMessage& call) {
    const QString member = call.member();
    const QList<QVariant> args = call.arguments();
    const auto& platform = characteristic.characteristic();
    if (accessPairs(device, characteristic, member)) {
        // bluetoothd raises security and asks the agent before it retries the access.
        const UUID identifier = device.peripheral()->identifier();
        const QString path = characteristic.path();
        return confirmPairing(device, [this, identifier, path, call](bool accepted) {
            StandInDevice1* current = findDevice(identifier);
            StandInGattCharacteristic1* target = current ? characteristicAt(*current, path) : nullptr;
            if (!target) return reply(StandInErrors::unknownObject(call));
            if (!accepted) return reply(StandInErrors::error(call, "org.bluez.Error.NotPermitted", "Not paired"));
            // Confirmed: the device bonds with this access.
            current->peripheral()->setBonded(true);
            handleCharacteristic(*current, *target, call);
        });
    }
    if (member == "ReadValue") {
        if (args.size() != 1 || !dictionaryArgument(args[0])) return reply(StandInErrors::invalidArguments(call));
        if (!device.connected) return reply(StandInErrors::failed(call, "Not connected"));
        if (!(platform->properties() & CBCharacteristicPropertyRead))
            return reply(StandInErrors::error(call, "org.bluez.Error.NotPermitted", "Read not permitted"));
        characteristic.reads.push_back(call);
        // Callers of the same read share its answer.
        if (characteristic.reads.size() == 1) device.peripheral()->readValueForCharacteristic(platform);
        return;
    }
    if (member == "WriteValue") {
        if (args.size() != 2 || args[0].metaType() != QMetaType::fromType<QByteArray>())
            return reply(StandInErrors::invalidArguments(call));
        const auto options = dictionaryArgument(args[1]);
        if (!options) return reply(StandInErrors::invalidArguments(call));
        const QString type = options->value("type").toString();
        bool withResponse;
        if (type == "command") withResponse = false;
        else if (type == "request" || type == "reliable") withResponse = true;
        else if (type.isEmpty()) withResponse = (platform->properties() & CBCharacteristicPropertyWrite) != 0;
        else return reply(StandInErrors::invalidArguments(call));
        if (!device.connected) return reply(StandInErrors::failed(call, "Not connected"));
        const std::uint32_t needed =
            withResponse ? CBCharacteristicPropertyWrite : CBCharacteristicPropertyWriteWithoutResponse;
        if (!(platform->properties() & needed)) return reply(StandInErrors::notSupported(call));
        if (quirks_.writeInProgress && !characteristic.writes.empty()) return reply(StandInErrors::inProgress(call));
        characteristic.writes.push_back({call, toBytes(args[0].toByteArray()), withResponse});
        if (!characteristic.writeOnAir) sendNextWrite(device, characteristic);
        return;
    }
    if (member == "StartNotify") {
        if (!canNotify(platform->properties())) return reply(StandInErrors::notSupported(call));
        const QString sender = call.service();
        if (characteristic.sessions.count(sender)) return reply(call.createReply());
        // While the link is down the session is kept and subscribed on the next link.
        if (!device.connected || characteristic.subscribed) {
            characteristic.sessions.insert(sender);
            tree_->setProperty(characteristic.path(), kCharacteristic, "Notifying", true);
            return reply(call.createReply());
        }
        characteristic.notifyCalls.push_back(call);
        if (!characteristic.subscribing) subscribe(device, characteristic, true);
        return;
    }
    if (member == "StopNotify") {
        if (!characteristic.sessions.erase(call.service()))
            return reply(StandInErrors::failed(call, "No notify session started"));
        if (characteristic.sessions.empty()) {
            if (device.connected && characteristic.subscribed) subscribe(device, characteristic, false);
            characteristic.subscribed = false;
            tree_->setProperty(characteristic.path(), kCharacteristic, "Notifying", false);
        }
        return reply(call.createReply());
    }
    if (member == "AcquireNotify" || member == "AcquireWrite") return reply(StandInErrors::notSupported(call));
    reply(StandInErrors::unknownMethod(call));
}

bool BluezStandIn::accessPairs(StandInDevice1& device, StandInGattCharacteristic1& characteristic,
                               const QString& member) const {
    if (!options_.pairingPasskey || !device.connected) return false;
    const auto& peripheral = device.peripheral();
    if (peripheral->isBonded() || !peripheral->acceptsPairing()) return false;
    auto sim = std::dynamic_pointer_cast<SimCharacteristic>(characteristic.characteristic());
    if (!sim) return false;
    if (member == "ReadValue") return sim->readNeedsEncryption();
    if (member == "WriteValue") return sim->writeNeedsEncryption();
    if (member == "StartNotify") return sim->notifyNeedsEncryption();
    return false;
}

void BluezStandIn::confirmPairing(StandInDevice1& device, std::function<void(bool accepted)> then) {
    const auto agent = agents_->defaultAgent();
    if (!agent || !bus_) return then(false);
    device.confirmationWaiters.push_back(std::move(then));
    if (device.confirmationWaiters.size() > 1) return;
    ++confirmations_;
    QDBusMessage request =
        QDBusMessage::createMethodCall(agent->owner, agent->path, "org.bluez.Agent1", "RequestConfirmation");
    request << QVariant::fromValue(QDBusObjectPath(device.path())) << QVariant::fromValue(uint(*options_.pairingPasskey));
    std::weak_ptr<BluezStandIn> weak = weak_from_this();
    const UUID identifier = device.peripheral()->identifier();
    const std::uint64_t generation = generation_->load();
    bus_->callClient(request, [weak, identifier, generation](const QDBusMessage& answer) {
        const bool accepted = answer.type() == QDBusMessage::ReplyMessage;
        RunLoop::main().post([weak, identifier, generation, accepted] {
            auto self = weak.lock();
            if (!self || self->generation_->load() != generation) return;
            StandInDevice1* current = self->findDevice(identifier);
            if (!current) return;
            auto waiters = std::move(current->confirmationWaiters);
            current->confirmationWaiters.clear();
            for (auto& waiter : waiters) waiter(accepted);
        });
    });
}

void BluezStandIn::sendNextWrite(StandInDevice1& device, StandInGattCharacteristic1& characteristic) {
    while (!characteristic.writes.empty()) {
        auto& write = characteristic.writes.front();
        characteristic.writeOnAir = true;
        device.peripheral()->writeValue(write.value, characteristic.characteristic(),
                                        write.withResponse ? CBCharacteristicWriteWithResponse
                                                           : CBCharacteristicWriteWithoutResponse);
        if (write.withResponse) return;
        // A command is answered once it is on its way.
        reply(write.call.createReply());
        characteristic.writes.pop_front();
        characteristic.writeOnAir = false;
    }
}

void BluezStandIn::subscribe(StandInDevice1& device, StandInGattCharacteristic1& characteristic, bool enabled) {
    characteristic.subscribing = enabled;
    device.peripheral()->setNotifyValue(enabled, characteristic.characteristic());
}

void BluezStandIn::peripheralDidUpdateValueForCharacteristic(
    const std::shared_ptr<PlatformPeripheral>& peripheral,
    const std::shared_ptr<PlatformCharacteristic>& characteristic, const std::optional<Bytes>& value,
    const ErrorPtr& error) {
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device || !device->connected) return;
    StandInGattCharacteristic1* entry = characteristicFor(*device, characteristic);
    if (!entry) return;
    updateBond(*device);
    const QByteArray bytes = value ? toByteArray(*value) : QByteArray();
    if (!entry->reads.empty()) {
        auto reads = std::move(entry->reads);
        entry->reads.clear();
        if (error) {
            for (auto& read : reads) reply(StandInErrors::gattError(read, error, false));
            return;
        }
        if (quirks_.readEcho) tree_->setProperty(entry->path(), kCharacteristic, "Value", bytes, true);
        for (auto& read : reads) reply(read.createReply(bytes));
        return;
    }
    if (error || !value) return;
    tree_->setProperty(entry->path(), kCharacteristic, "Value", bytes, true);
}

void BluezStandIn::peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                            const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                            const ErrorPtr& error) {
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device) return;
    StandInGattCharacteristic1* entry = characteristicFor(*device, characteristic);
    if (!entry || entry->writes.empty()) return;
    updateBond(*device);
    auto write = entry->writes.front();
    entry->writes.pop_front();
    entry->writeOnAir = false;
    reply(error ? StandInErrors::gattError(write.call, error, true) : write.call.createReply());
    if (device->connected) sendNextWrite(*device, *entry);
}

void BluezStandIn::peripheralDidUpdateNotificationStateForCharacteristic(
    const std::shared_ptr<PlatformPeripheral>& peripheral,
    const std::shared_ptr<PlatformCharacteristic>& characteristic, const ErrorPtr& error) {
    StandInDevice1* device = findDevice(peripheral->identifier());
    if (!device) return;
    StandInGattCharacteristic1* entry = characteristicFor(*device, characteristic);
    if (!entry) return;
    updateBond(*device);
    const bool wasSubscribing = entry->subscribing;
    entry->subscribing = false;
    auto calls = std::move(entry->notifyCalls);
    entry->notifyCalls.clear();
    if (error) {
        for (auto& call : calls) reply(StandInErrors::gattError(call, error, true));
        return;
    }
    if (!wasSubscribing) return;
    entry->subscribed = true;
    for (auto& call : calls) entry->sessions.insert(call.service());
    if (!entry->sessions.empty()) tree_->setProperty(entry->path(), kCharacteristic, "Notifying", true);
    for (auto& call : calls) reply(call.createReply());
}

void BluezStandIn::peripheralDidUpdateRSSI(const std::shared_ptr<PlatformPeripheral>&, std::optional<std::int64_t>,
                                           const ErrorPtr&) {}

}  // namespace tandril
