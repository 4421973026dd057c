#include "platform/linux/bluezphone/BluezPhoneServer.hpp"

#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>

#include "ble/platform/PlatformConstants.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimNotificationProvider.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimService.hpp"

namespace tandril {

namespace {

const QString kObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kService = QStringLiteral("org.bluez.GattService1");
const QString kCharacteristic = QStringLiteral("org.bluez.GattCharacteristic1");

using InterfaceMap = QMap<QString, QVariantMap>;
using ObjectMap = QMap<QDBusObjectPath, InterfaceMap>;

QByteArray toQt(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

Bytes fromQt(const QByteArray& bytes) {
    return Bytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                 reinterpret_cast<const std::uint8_t*>(bytes.constData()) + bytes.size());
}

QVariantMap optionsOf(const QVariant& argument) {
    if (argument.canConvert<QDBusArgument>()) return qdbus_cast<QVariantMap>(argument.value<QDBusArgument>());
    return argument.toMap();
}

QString uuidText(const tandril::UUID& uuid) { return QString::fromStdString(uuid.lowercaseString()); }

}  // namespace

BluezPhoneServer::BluezPhoneServer(QDBusConnection connection, std::shared_ptr<SimPhone> phone, Options options,
                                   QObject* parent)
    : QDBusVirtualObject(parent), connection_(std::move(connection)), phone_(std::move(phone)), options_(std::move(options)) {
    qDBusRegisterMetaType<InterfaceMap>();
    qDBusRegisterMetaType<ObjectMap>();
    int serviceIndex = 0;
    for (const auto& service : phone_->allServices()) {
        const QString servicePath = options_.root + QStringLiteral("/service%1").arg(serviceIndex++);
        servicePaths_.push_back(servicePath);
        serviceUUIDs_.push_back(service->UUID());
        int characteristicIndex = 0;
        for (const auto& characteristic : service->allCharacteristics()) {
            entries_.push_back(
                Entry{servicePath + QStringLiteral("/char%1").arg(characteristicIndex++), servicePath, characteristic});
        }
    }
    // The provider's events reach the central through the Notification Source.
    phone_->provider().setEventSender([this](const Bytes& event) {
        if (auto* source = entryFor(SimPhone::notificationSourceUUID())) sendValue(*source, event);
    });
}

BluezPhoneServer::~BluezPhoneServer() {
    phone_->provider().setEventSender(nullptr);
    if (exported_) connection_.unregisterObject(options_.root, QDBusConnection::UnregisterTree);
}

bool BluezPhoneServer::exportTree() {
    exported_ = connection_.registerVirtualObject(options_.root, this, QDBusConnection::SubPath);
    return exported_;
}

void BluezPhoneServer::registerWith(const QString& adapterPath, std::function<void(const QString& error)> done) {
    auto call = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), adapterPath,
                                               QStringLiteral("org.bluez.GattManager1"),
                                               QStringLiteral("RegisterApplication"));
    call << QVariant::fromValue(QDBusObjectPath(options_.root)) << QVariantMap{};
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, 30000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done, watcher] {
        watcher->deleteLater();
        done(watcher->isError() ? watcher->error().name() : QString());
    });
}

QStringList BluezPhoneServer::flagsFor(const SimCharacteristic& characteristic) {
    QStringList flags;
    const auto properties = characteristic.properties();
    if (properties & CBCharacteristicPropertyRead)
        flags << (characteristic.readNeedsEncryption() ? QStringLiteral("encrypt-read") : QStringLiteral("read"));
    if (properties & CBCharacteristicPropertyWriteWithoutResponse) flags << QStringLiteral("write-without-response");
    if (properties & CBCharacteristicPropertyWrite)
        flags << (characteristic.writeNeedsEncryption() ? QStringLiteral("encrypt-write") : QStringLiteral("write"));
    if (properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyNotifyEncryptionRequired))
        flags << (characteristic.notifyNeedsEncryption() ? QStringLiteral("encrypt-notify") : QStringLiteral("notify"));
    if (properties & (CBCharacteristicPropertyIndicate | CBCharacteristicPropertyIndicateEncryptionRequired))
        flags << QStringLiteral("indicate");
    return flags;
}

QVariantMap BluezPhoneServer::characteristicProperties(const Entry& entry) const {
    QVariantMap properties;
    properties[QStringLiteral("UUID")] = uuidText(entry.characteristic->UUID());
    properties[QStringLiteral("Service")] = QVariant::fromValue(QDBusObjectPath(entry.servicePath));
    properties[QStringLiteral("Flags")] = flagsFor(*entry.characteristic);
    properties[QStringLiteral("Notifying")] = entry.notifying;
    return properties;
}

ObjectMap BluezPhoneServer::managedObjects() const {
    ObjectMap objects;
    for (std::size_t i = 0; i < servicePaths_.size(); ++i) {
        QVariantMap properties;
        properties[QStringLiteral("UUID")] = uuidText(serviceUUIDs_[i]);
        properties[QStringLiteral("Primary")] = true;
        objects[QDBusObjectPath(servicePaths_[i])][kService] = properties;
    }
    for (const auto& entry : entries_) objects[QDBusObjectPath(entry.path)][kCharacteristic] = characteristicProperties(entry);
    return objects;
}

QString BluezPhoneServer::introspect(const QString& path) const {
    if (path == options_.root)
        return QStringLiteral("<interface name=\"org.freedesktop.DBus.ObjectManager\"><method name=\"GetManagedObjects\">"
                              "<arg type=\"a{oa{sa{sv}}}\" direction=\"out\"/></method></interface>");
    for (const auto& servicePath : servicePaths_)
        if (path == servicePath) return QStringLiteral("<interface name=\"org.bluez.GattService1\"/>");
    for (const auto& entry : entries_)
        if (path == entry.path)
            return QStringLiteral("<interface name=\"org.bluez.GattCharacteristic1\">"
                                  "<method name=\"ReadValue\"><arg type=\"a{sv}\" direction=\"in\"/>"
                                  "<arg type=\"ay\" direction=\"out\"/></method>"
                                  "<method name=\"WriteValue\"><arg type=\"ay\" direction=\"in\"/>"
                                  "<arg type=\"a{sv}\" direction=\"in\"/></method>"
                                  "<method name=\"StartNotify\"/><method name=\"StopNotify\"/></interface>");
    return {};
}

BluezPhoneServer::Entry* BluezPhoneServer::entryAt(const QString& path) {
    for (auto& entry : entries_)
        if (entry.path == path) return &entry;
    return nullptr;
}

BluezPhoneServer::Entry* BluezPhoneServer::entryFor(const tandril::UUID& uuid) {
    for (auto& entry : entries_)
        if (entry.characteristic->UUID() == uuid) return &entry;
    return nullptr;
}

bool BluezPhoneServer::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    const QString path = message.path();
    if (path == options_.root && message.interface() == kObjectManager && message.member() == QStringLiteral("GetManagedObjects")) {
        connection.send(message.createReply(QVariant::fromValue(managedObjects())));
        return true;
    }
    if (message.interface() == kProperties) {
        QVariantMap properties;
        QString interface;
        if (auto* entry = entryAt(path)) {
            properties = characteristicProperties(*entry);
            interface = kCharacteristic;
        } else {
            for (std::size_t i = 0; i < servicePaths_.size(); ++i) {
                if (servicePaths_[i] != path) continue;
                properties[QStringLiteral("UUID")] = uuidText(serviceUUIDs_[i]);
                properties[QStringLiteral("Primary")] = true;
                interface = kService;
            }
        }
        const auto arguments = message.arguments();
        if (interface.isEmpty() || arguments.isEmpty() || arguments[0].toString() != interface) {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                                     QStringLiteral("No such interface")));
            return true;
        }
        if (message.member() == QStringLiteral("GetAll")) {
            connection.send(message.createReply(properties));
        } else if (message.member() == QStringLiteral("Get") && arguments.size() == 2 &&
                   properties.contains(arguments[1].toString())) {
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(properties[arguments[1].toString()]))));
        } else {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                                     QStringLiteral("No such property or read-only")));
        }
        return true;
    }
    if (auto* entry = entryAt(path); entry && message.interface() == kCharacteristic)
        return handleCharacteristic(*entry, message, connection);
    return false;
}

bool BluezPhoneServer::handleCharacteristic(Entry& entry, const QDBusMessage& message, const QDBusConnection& connection) {
    auto& characteristic = *entry.characteristic;
    const QString member = message.member();
    const auto arguments = message.arguments();
    const std::string name = characteristic.UUID().UUIDString();
    if (member == QStringLiteral("ReadValue")) {
        const Bytes value = characteristic.storedValue().value_or(Bytes{});
        const auto options = optionsOf(arguments.value(0));
        const auto offset = static_cast<std::size_t>(options.value(QStringLiteral("offset")).toUInt());
        if (offset > value.size()) {
            connection.send(message.createErrorReply(QStringLiteral("org.bluez.Error.InvalidOffset"), QString()));
            return true;
        }
        report("read " + name);
        connection.send(message.createReply(toQt(Bytes(value.begin() + static_cast<std::ptrdiff_t>(offset), value.end()))));
        return true;
    }
    if (member == QStringLiteral("WriteValue")) {
        const Bytes data = fromQt(arguments.value(0).toByteArray());
        const auto options = optionsOf(arguments.value(1));
        characteristic.recordWrite(data);
        if (characteristic.UUID() != SimPhone::controlPointUUID()) {
            characteristic.setStoredValue(data);
            report("write " + name);
            connection.send(message.createReply());
            return true;
        }
        auto result = phone_->provider().handleCommand(data);
        if (result.error) {
            // A BlueZ server passes application errors through only in 0x80–0x9F; the
            // profile's own codes travel in the message.
            report("command refused: " + std::to_string(result.error->code()));
            connection.send(message.createErrorReply(QStringLiteral("org.bluez.Error.Failed"),
                                                     QString::number(result.error->code())));
            return true;
        }
        connection.send(message.createReply());
        if (!result.answer) return true;
        const std::size_t mtu = options.contains(QStringLiteral("mtu"))
                                    ? options.value(QStringLiteral("mtu")).toUInt()
                                    : options_.defaultMTU;
        const std::size_t payload = mtu > options_.fragmentOverhead + 1 ? mtu - options_.fragmentOverhead : 1;
        const auto fragments = SimNotificationProvider::fragments(*result.answer, payload);
        auto* source = entryFor(SimPhone::dataSourceUUID());
        for (const auto& fragment : fragments)
            if (source) sendValue(*source, fragment);
        report("answered a command in " + std::to_string(fragments.size()) + " fragment(s) of at most " +
               std::to_string(payload) + " bytes");
        return true;
    }
    if (member == QStringLiteral("StartNotify") || member == QStringLiteral("StopNotify")) {
        const bool enable = member == QStringLiteral("StartNotify");
        const bool changed = entry.notifying != enable;
        entry.notifying = enable;
        connection.send(message.createReply());
        report(std::string(enable ? "subscribed " : "unsubscribed ") + name);
        if (changed) {
            auto signal = QDBusMessage::createSignal(entry.path, kProperties, QStringLiteral("PropertiesChanged"));
            signal << kCharacteristic << QVariantMap{{QStringLiteral("Notifying"), enable}} << QStringList{};
            connection_.send(signal);
        }
        // After each subscription to the Notification Source the phone announces every
        // notification it already has.
        if (enable && characteristic.UUID() == SimPhone::notificationSourceUUID()) reannounce();
        return true;
    }
    connection.send(message.createErrorReply(QStringLiteral("org.bluez.Error.NotSupported"), member));
    return true;
}

void BluezPhoneServer::reannounce() {
    auto* source = entryFor(SimPhone::notificationSourceUUID());
    if (!source || !source->notifying) return;
    const auto events = phone_->provider().preExistingEvents();
    ++announcements_;
    for (const auto& event : events) sendValue(*source, event);
    report("announced " + std::to_string(events.size()) + " notification(s)");
}

bool BluezPhoneServer::isNotificationSourceSubscribed() const {
    for (const auto& entry : entries_)
        if (entry.characteristic->UUID() == SimPhone::notificationSourceUUID()) return entry.notifying;
    return false;
}

void BluezPhoneServer::sendValue(Entry& entry, const Bytes& value) {
    if (!entry.notifying) return;
    // bluetoothd sends a notification for each change of Value it hears.
    auto signal = QDBusMessage::createSignal(entry.path, kProperties, QStringLiteral("PropertiesChanged"));
    signal << kCharacteristic << QVariantMap{{QStringLiteral("Value"), toQt(value)}} << QStringList{};
    connection_.send(signal);
}

void BluezPhoneServer::report(const std::string& line) const {
    if (reporter_) reporter_(line);
}

}  // namespace tandril
