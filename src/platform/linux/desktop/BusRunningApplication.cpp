#include "platform/linux/desktop/BusRunningApplication.hpp"

#include <QDBusMessage>
#include <QVariantList>
#include <QVariantMap>

namespace tandril {

namespace {
const QString kApplicationInterface = QStringLiteral("org.freedesktop.Application");
}

BusRunningApplication::BusRunningApplication(const QDBusConnection& connection, QString busName)
    : connection_(connection), busName_(std::move(busName)) {}

std::optional<std::string> BusRunningApplication::bundleIdentifier() const { return busName_.toStdString(); }

QString BusRunningApplication::objectPathForName(const QString& busName) {
    QString path = QStringLiteral("/") + busName;
    path.replace(QLatin1Char('.'), QLatin1Char('/'));
    path.replace(QLatin1Char('-'), QLatin1Char('_'));
    return path;
}

bool BusRunningApplication::terminate() {
    QDBusMessage call = QDBusMessage::createMethodCall(busName_, objectPathForName(busName_), kApplicationInterface,
                                                       QStringLiteral("ActivateAction"));
    call << QStringLiteral("quit") << QVariantList() << QVariantMap();
    // No wait for the answer: the application may take its time, or quit before answering.
    call.setAutoStartService(false);
    return connection_.send(call);
}

bool BusRunningApplication::activate() {
    QDBusMessage call = QDBusMessage::createMethodCall(busName_, objectPathForName(busName_), kApplicationInterface,
                                                       QStringLiteral("Activate"));
    call << QVariantMap();
    call.setAutoStartService(false);
    return connection_.send(call);
}

}  // namespace tandril
