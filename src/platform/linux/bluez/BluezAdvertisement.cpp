#include "platform/linux/bluez/BluezAdvertisement.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

namespace tandril {

BluezAdvertisement::BluezAdvertisement(QString path, const std::string& localName, QStringList solicitUUIDs,
                                       std::function<void()> released, QObject* parent)
    : QDBusVirtualObject(parent),
      path_(std::move(path)),
      localName_(shortenedName(localName)),
      solicitUUIDs_(std::move(solicitUUIDs)),
      released_(std::move(released)) {}

QString BluezAdvertisement::shortenedName(const std::string& name) {
    if (name.size() <= static_cast<std::size_t>(MaxNameBytes)) return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    std::size_t end = MaxNameBytes;
    // Back off continuation bytes (10xxxxxx) so that the cut falls before a lead byte.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(end));
}

QVariantMap BluezAdvertisement::properties() const {
    QVariantMap properties;
    properties.insert(QStringLiteral("Type"), QStringLiteral("peripheral"));
    if (!localName_.isEmpty()) properties.insert(QStringLiteral("LocalName"), localName_);
    properties.insert(QStringLiteral("SolicitUUIDs"), solicitUUIDs_);
    properties.insert(QStringLiteral("Includes"), QStringList());
    return properties;
}

QString BluezAdvertisement::introspect(const QString&) const {
    return QStringLiteral(
        "<interface name=\"org.bluez.LEAdvertisement1\">"
        "<method name=\"Release\"/>"
        "<property name=\"Type\" type=\"s\" access=\"read\"/>"
        "<property name=\"LocalName\" type=\"s\" access=\"read\"/>"
        "<property name=\"SolicitUUIDs\" type=\"as\" access=\"read\"/>"
        "<property name=\"Includes\" type=\"as\" access=\"read\"/>"
        "</interface>"
        "<interface name=\"org.freedesktop.DBus.Properties\">"
        "<method name=\"Get\"><arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
        "<arg type=\"v\" direction=\"out\"/></method>"
        "<method name=\"GetAll\"><arg type=\"s\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"out\"/></method>"
        "</interface>");
}

bool BluezAdvertisement::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.path() != path_) return false;
    const QString interface = message.interface();
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    if ((interface == QLatin1String(Interface) || interface.isEmpty()) && member == QLatin1String("Release")) {
        connection.send(message.createReply());
        if (released_) released_();
        return true;
    }
    if (interface == QLatin1String("org.freedesktop.DBus.Properties")) {
        const QString asked = arguments.value(0).toString();
        if (asked != QLatin1String(Interface)) {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                                     QStringLiteral("No such interface '%1'").arg(asked)));
            return true;
        }
        const QVariantMap all = properties();
        if (member == QLatin1String("GetAll")) {
            connection.send(message.createReply(QVariant::fromValue(all)));
            return true;
        }
        if (member == QLatin1String("Get") && arguments.size() == 2) {
            const QString name = arguments.value(1).toString();
            if (!all.contains(name)) {
                connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                                         QStringLiteral("No such property '%1'").arg(name)));
                return true;
            }
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(all.value(name)))));
            return true;
        }
    }
    connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                             QStringLiteral("No such method '%1'").arg(member)));
    return true;
}

}  // namespace tandril
