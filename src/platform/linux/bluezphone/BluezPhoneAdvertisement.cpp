#include "platform/linux/bluezphone/BluezPhoneAdvertisement.hpp"

#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusVariant>

namespace tandril {

namespace {

using ManufacturerMap = QMap<quint16, QDBusVariant>;

const QString kAdvertisement = QStringLiteral("org.bluez.LEAdvertisement1");

int uuidLength(const QString& uuid) {
    // 16-bit UUIDs of the Bluetooth base take 2 bytes, every other 16.
    return uuid.size() == 4 || (uuid.size() == 36 && uuid.endsWith(QStringLiteral("-0000-1000-8000-00805f9b34fb"),
                                                                    Qt::CaseInsensitive))
               ? 2
               : 16;
}

int listLength(const QStringList& uuids) {
    if (uuids.isEmpty()) return 0;
    int length = 2;
    for (const auto& uuid : uuids) length += uuidLength(uuid);
    return length;
}

}  // namespace

BluezPhoneAdvertisement::BluezPhoneAdvertisement(QDBusConnection connection, QString path, Content content,
                                                 QObject* parent)
    : QDBusVirtualObject(parent), connection_(std::move(connection)), path_(std::move(path)), content_(std::move(content)) {
    qDBusRegisterMetaType<ManufacturerMap>();
}

BluezPhoneAdvertisement::~BluezPhoneAdvertisement() {
    if (exported_) connection_.unregisterObject(path_);
}

bool BluezPhoneAdvertisement::exportObject() {
    exported_ = connection_.registerVirtualObject(path_, this);
    return exported_;
}

int BluezPhoneAdvertisement::advertisedLength(const Content& content) {
    int length = 3;  // flags
    if (!content.localName.isEmpty()) length += 2 + static_cast<int>(content.localName.toUtf8().size());
    if (!content.manufacturerData.empty()) length += 2 + static_cast<int>(content.manufacturerData.size());
    return length + listLength(content.serviceUUIDs) + listLength(content.solicitUUIDs);
}

QVariantMap BluezPhoneAdvertisement::properties() const {
    QVariantMap properties;
    properties[QStringLiteral("Type")] = QStringLiteral("peripheral");
    if (!content_.localName.isEmpty()) properties[QStringLiteral("LocalName")] = content_.localName;
    if (content_.manufacturerData.size() >= 2) {
        const auto company = static_cast<quint16>(content_.manufacturerData[0] | (content_.manufacturerData[1] << 8));
        const QByteArray rest(reinterpret_cast<const char*>(content_.manufacturerData.data()) + 2,
                              static_cast<qsizetype>(content_.manufacturerData.size() - 2));
        ManufacturerMap data;
        data[company] = QDBusVariant(rest);
        properties[QStringLiteral("ManufacturerData")] = QVariant::fromValue(data);
    }
    // A legacy advertisement holds 31 bytes: lists that would not fit are left out (the
    // manufacturer data alone lets the agent explore the phone; its services are read
    // after connecting).
    Content fitted{content_.localName, content_.manufacturerData, {}, {}};
    fitted.serviceUUIDs = content_.serviceUUIDs;
    if (fitted.serviceUUIDs.isEmpty() || advertisedLength(fitted) > 31) fitted.serviceUUIDs.clear();
    else properties[QStringLiteral("ServiceUUIDs")] = fitted.serviceUUIDs;
    fitted.solicitUUIDs = content_.solicitUUIDs;
    if (!fitted.solicitUUIDs.isEmpty() && advertisedLength(fitted) <= 31)
        properties[QStringLiteral("SolicitUUIDs")] = fitted.solicitUUIDs;
    return properties;
}

QString BluezPhoneAdvertisement::introspect(const QString&) const {
    return QStringLiteral("<interface name=\"org.bluez.LEAdvertisement1\"><method name=\"Release\"/></interface>");
}

bool BluezPhoneAdvertisement::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.path() != path_) return false;
    if (message.interface() == QStringLiteral("org.freedesktop.DBus.Properties")) {
        const auto arguments = message.arguments();
        const auto all = properties();
        if (arguments.value(0).toString() != kAdvertisement) {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                                     QStringLiteral("No such interface")));
        } else if (message.member() == QStringLiteral("GetAll")) {
            connection.send(message.createReply(all));
        } else if (message.member() == QStringLiteral("Get") && all.contains(arguments.value(1).toString())) {
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(all[arguments.value(1).toString()]))));
        } else {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                                     QStringLiteral("No such property")));
        }
        return true;
    }
    if (message.interface() == kAdvertisement && message.member() == QStringLiteral("Release")) {
        connection.send(message.createReply());
        return true;
    }
    return false;
}

void BluezPhoneAdvertisement::registerWith(const QString& adapterPath, std::function<void(const QString& error)> done) {
    call(adapterPath, QStringLiteral("RegisterAdvertisement"), std::move(done));
}

void BluezPhoneAdvertisement::unregisterFrom(const QString& adapterPath, std::function<void(const QString& error)> done) {
    call(adapterPath, QStringLiteral("UnregisterAdvertisement"), std::move(done));
}

void BluezPhoneAdvertisement::call(const QString& adapterPath, const QString& member,
                                   std::function<void(const QString& error)> done) {
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), adapterPath,
                                                  QStringLiteral("org.bluez.LEAdvertisingManager1"), member);
    message << QVariant::fromValue(QDBusObjectPath(path_));
    if (member == QStringLiteral("RegisterAdvertisement")) message << QVariantMap{};
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(message, 30000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done, watcher] {
        watcher->deleteLater();
        if (done) done(watcher->isError() ? watcher->error().name() : QString());
    });
}

}  // namespace tandril
