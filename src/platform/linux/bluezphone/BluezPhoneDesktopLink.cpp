#include "platform/linux/bluezphone/BluezPhoneDesktopLink.hpp"

#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusVariant>

namespace tandril {

namespace {

const QString kBluez = QStringLiteral("org.bluez");
const QString kDevice = QStringLiteral("org.bluez.Device1");
const QString kAdapter = QStringLiteral("org.bluez.Adapter1");
// Longer than bluetoothd's own limits, so that bluetoothd decides: an LE connect, and a
// pairing that waits for a person on the other side.
constexpr int kConnectTimeoutMs = 40000;
constexpr int kPairTimeoutMs = 120000;

QVariantMap mapOf(const QVariant& argument) {
    if (argument.canConvert<QDBusArgument>()) return qdbus_cast<QVariantMap>(argument.value<QDBusArgument>());
    return argument.toMap();
}

std::string errorOf(const QDBusMessage& reply) {
    return (reply.errorName() + QLatin1Char(' ') + reply.errorMessage()).toStdString();
}

}  // namespace

BluezPhoneDesktopLink::BluezPhoneDesktopLink(QDBusConnection connection, QString adapterPath, QString desktopName,
                                             QObject* parent)
    : QObject(parent),
      connection_(std::move(connection)),
      adapterPath_(std::move(adapterPath)),
      desktopName_(std::move(desktopName)) {}

void BluezPhoneDesktopLink::say(const std::string& line) const {
    if (reporter_) reporter_(line);
}

void BluezPhoneDesktopLink::call(const QString& path, const QString& interface, const QString& member,
                                 const QList<QVariant>& arguments, int timeoutMs,
                                 std::function<void(const QDBusMessage& reply)> done) {
    QDBusMessage message = QDBusMessage::createMethodCall(kBluez, path, interface, member);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(message, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done = std::move(done)](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        if (done) done(finished->reply());
    });
}

void BluezPhoneDesktopLink::start() {
    if (!hooked_) {
        hooked_ = true;
        connection_.connect(kBluez, QString(), QStringLiteral("org.freedesktop.DBus.Properties"),
                            QStringLiteral("PropertiesChanged"), this, SLOT(propertiesChanged(QDBusMessage)));
        connection_.connect(kBluez, QString(), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                            QStringLiteral("InterfacesAdded"), this, SLOT(interfacesAdded(QDBusMessage)));
    }
    // A restarted bluetoothd has no links and has forgotten an unpaired desktop.
    linked_ = false;
    connecting_ = false;
    if (!bonded_) desktopPath_.clear();
    call(QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"),
         {}, -1, [this](const QDBusMessage& reply) {
             if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
             const auto objects =
                 qdbus_cast<QMap<QDBusObjectPath, QMap<QString, QVariantMap>>>(reply.arguments()[0].value<QDBusArgument>());
             for (auto it = objects.begin(); it != objects.end(); ++it) {
                 const auto device = it.value().value(kDevice);
                 if (!device.isEmpty()) deviceSeen(it.key().path(), device, false);
             }
         });
    QVariantMap filter;
    filter.insert(QStringLiteral("Transport"), QStringLiteral("le"));
    // Every advertisement of a known device shows as an RSSI update: a bonded phone hears
    // the desktop come back.
    filter.insert(QStringLiteral("DuplicateData"), true);
    call(adapterPath_, kAdapter, QStringLiteral("SetDiscoveryFilter"), {filter}, -1, [this](const QDBusMessage&) {
        call(adapterPath_, kAdapter, QStringLiteral("StartDiscovery"), {}, -1, [this](const QDBusMessage& reply) {
            say(reply.type() == QDBusMessage::ReplyMessage ? "looking for " + desktopName_.toStdString()
                                                           : "discovery not started: " + errorOf(reply));
        });
    });
}

bool BluezPhoneDesktopLink::tap() {
    if (desktopPath_.isEmpty()) {
        say("tap: no desktop named " + desktopName_.toStdString() + " heard yet");
        return false;
    }
    say("tapped " + desktopPath_.toStdString());
    wanted_ = true;
    if (linked_) {
        if (!bonded_) pair();
        return true;
    }
    if (!connecting_) connectDesktop(true);
    return true;
}

void BluezPhoneDesktopLink::connectDesktop(bool pairAfterwards) {
    connecting_ = true;
    const QString path = desktopPath_;
    call(path, kDevice, QStringLiteral("Connect"), {}, kConnectTimeoutMs, [this, path, pairAfterwards](const QDBusMessage& reply) {
        connecting_ = false;
        if (reply.type() != QDBusMessage::ReplyMessage) {
            say("connect failed: " + errorOf(reply));
            return;
        }
        say("connected to " + path.toStdString());
        if (pairAfterwards && !bonded_) pair();
    });
}

void BluezPhoneDesktopLink::pair() {
    const QString path = desktopPath_;
    call(path, kDevice, QStringLiteral("Pair"), {}, kPairTimeoutMs, [this, path](const QDBusMessage& reply) {
        // AlreadyExists: the desktop asked for security first and the pairing is done.
        if (reply.type() == QDBusMessage::ReplyMessage || reply.errorName() == QStringLiteral("org.bluez.Error.AlreadyExists")) {
            bonded_ = true;
            say("paired with " + path.toStdString());
        } else {
            say("pairing failed: " + errorOf(reply));
        }
    });
}

void BluezPhoneDesktopLink::deviceSeen(const QString& path, const QVariantMap& properties, bool heard) {
    if (!path.startsWith(adapterPath_ + QLatin1Char('/'))) return;
    if (desktopPath_.isEmpty()) {
        const bool named = properties.value(QStringLiteral("Name")).toString() == desktopName_;
        const bool pairedAlias = properties.value(QStringLiteral("Paired")).toBool() &&
                                 properties.value(QStringLiteral("Alias")).toString() == desktopName_;
        if (!named && !pairedAlias) return;
        desktopPath_ = path;
        bonded_ = properties.value(QStringLiteral("Paired")).toBool();
        wanted_ = bonded_;
        say("desktop found " + path.toStdString() + (bonded_ ? " (paired)" : ""));
    }
    if (path != desktopPath_) return;
    if (properties.contains(QStringLiteral("Paired"))) bonded_ = properties.value(QStringLiteral("Paired")).toBool();
    if (properties.contains(QStringLiteral("Connected"))) {
        const bool connected = properties.value(QStringLiteral("Connected")).toBool();
        if (connected != linked_) {
            linked_ = connected;
            say((connected ? "desktop link up " : "desktop link down ") + path.toStdString());
        }
    }
    // A bonded phone comes back by itself when it hears the desktop advertise.
    if (heard && bonded_ && wanted_ && !linked_ && !connecting_) {
        say("reconnecting to " + path.toStdString());
        connectDesktop(false);
    }
}

void BluezPhoneDesktopLink::propertiesChanged(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (arguments.size() < 2 || arguments[0].toString() != kDevice) return;
    const QVariantMap changed = mapOf(arguments[1]);
    deviceSeen(message.path(), changed, changed.contains(QStringLiteral("RSSI")));
}

void BluezPhoneDesktopLink::interfacesAdded(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (arguments.size() < 2) return;
    const QString path = arguments[0].value<QDBusObjectPath>().path();
    const auto interfaces = qdbus_cast<QMap<QString, QVariantMap>>(arguments[1].value<QDBusArgument>());
    const QVariantMap device = interfaces.value(kDevice);
    if (!device.isEmpty()) deviceSeen(path, device, device.contains(QStringLiteral("RSSI")));
}

}  // namespace tandril
