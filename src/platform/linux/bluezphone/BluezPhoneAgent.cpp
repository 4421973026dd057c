#include "platform/linux/bluezphone/BluezPhoneAgent.hpp"

#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusPendingCallWatcher>

namespace tandril {

BluezPhoneAgent::BluezPhoneAgent(QDBusConnection connection, QString path, QString capability, QObject* parent)
    : QDBusVirtualObject(parent), connection_(std::move(connection)), path_(std::move(path)), capability_(std::move(capability)) {}

BluezPhoneAgent::~BluezPhoneAgent() {
    if (exported_) connection_.unregisterObject(path_);
}

bool BluezPhoneAgent::exportObject() {
    exported_ = connection_.registerVirtualObject(path_, this);
    return exported_;
}

void BluezPhoneAgent::registerWith(std::function<void(const QString& error)> done) {
    callManager(QStringLiteral("RegisterAgent"), [this, done](const QString& error) {
        if (!error.isEmpty()) {
            done(error);
            return;
        }
        callManager(QStringLiteral("RequestDefaultAgent"), done);
    });
}

void BluezPhoneAgent::callManager(const QString& member, std::function<void(const QString& error)> done) {
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), QStringLiteral("/org/bluez"),
                                                  QStringLiteral("org.bluez.AgentManager1"), member);
    message << QVariant::fromValue(QDBusObjectPath(path_));
    if (member == QStringLiteral("RegisterAgent")) message << capability_;
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(message, 30000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done, watcher] {
        watcher->deleteLater();
        done(watcher->isError() ? watcher->error().name() : QString());
    });
}

QString BluezPhoneAgent::introspect(const QString&) const {
    return QStringLiteral(
        "<interface name=\"org.bluez.Agent1\"><method name=\"Release\"/>"
        "<method name=\"RequestPinCode\"><arg type=\"o\" direction=\"in\"/><arg type=\"s\" direction=\"out\"/></method>"
        "<method name=\"RequestPasskey\"><arg type=\"o\" direction=\"in\"/><arg type=\"u\" direction=\"out\"/></method>"
        "<method name=\"DisplayPasskey\"><arg type=\"o\" direction=\"in\"/><arg type=\"u\" direction=\"in\"/>"
        "<arg type=\"q\" direction=\"in\"/></method>"
        "<method name=\"RequestConfirmation\"><arg type=\"o\" direction=\"in\"/><arg type=\"u\" direction=\"in\"/></method>"
        "<method name=\"RequestAuthorization\"><arg type=\"o\" direction=\"in\"/></method>"
        "<method name=\"AuthorizeService\"><arg type=\"o\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/></method>"
        "<method name=\"Cancel\"/></interface>");
}

bool BluezPhoneAgent::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.path() != path_ || message.interface() != QStringLiteral("org.bluez.Agent1")) return false;
    const QString member = message.member();
    const auto arguments = message.arguments();
    const QString device = arguments.isEmpty() ? QString() : arguments[0].value<QDBusObjectPath>().path();
    if (reporter_) {
        std::string line = "agent " + member.toStdString();
        if (!device.isEmpty()) line += " " + device.toStdString();
        if (member == QStringLiteral("RequestConfirmation") && arguments.size() > 1)
            line += " " + QStringLiteral("%1").arg(arguments[1].toUInt(), 6, 10, QLatin1Char('0')).toStdString();
        reporter_(line);
    }
    if (member == QStringLiteral("RequestPinCode")) {
        connection.send(message.createReply(QStringLiteral("000000")));
    } else if (member == QStringLiteral("RequestPasskey")) {
        connection.send(message.createReply(QVariant::fromValue(0u)));
    } else {
        // Release, Display…, RequestConfirmation, RequestAuthorization, AuthorizeService,
        // Cancel: accepted.
        connection.send(message.createReply());
    }
    return true;
}

}  // namespace tandril
