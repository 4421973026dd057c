#include "platform/linux/desktop/BusApplication.hpp"

#include <QDBusConnectionInterface>

#include "foundation/Log.hpp"
#include "platform/linux/desktop/BusRunningApplication.hpp"

namespace tandril {

BusApplication::BusApplication(const QDBusConnection& connection, QString busName, Handlers handlers)
    : connection_(connection), busName_(std::move(busName)), handlers_(std::move(handlers)) {}

BusApplication::~BusApplication() {
    if (!registered_) return;
    connection_.unregisterObject(BusRunningApplication::objectPathForName(busName_));
    connection_.unregisterService(busName_);
}

bool BusApplication::ownName(const QDBusConnection& connection, const QString& busName) {
    if (!connection.isConnected()) {
        log("[BusApplication] No session bus: cannot take %s", busName.toStdString());
        return false;
    }
    const auto reply = connection.interface()->registerService(busName, QDBusConnectionInterface::DontQueueService,
                                                               QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        log("[BusApplication] The session bus refused %s: %s", busName.toStdString(),
            reply.error().message().toStdString());
        return false;
    }
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        log("[BusApplication] %s is already owned by another process.", busName.toStdString());
        return false;
    }
    return true;
}

bool BusApplication::start() {
    if (!ownName(connection_, busName_)) return false;
    registered_ = true;
    if (!connection_.registerObject(BusRunningApplication::objectPathForName(busName_), this,
                                    QDBusConnection::ExportAllSlots)) {
        log("[BusApplication] Could not export org.freedesktop.Application for %s", busName_.toStdString());
    }
    return true;
}

void BusApplication::Activate(const QVariantMap&) {
    if (handlers_.activate) handlers_.activate();
}

void BusApplication::Open(const QStringList&, const QVariantMap&) {
    if (handlers_.activate) handlers_.activate();
}

void BusApplication::ActivateAction(const QString& actionName, const QVariantList&, const QVariantMap&) {
    if (actionName != QLatin1String("quit")) {
        log("[BusApplication] Ignoring the unknown action %s", actionName.toStdString());
        return;
    }
    log("[BusApplication] Asked to quit over the session bus.");
    if (handlers_.quit) handlers_.quit();
}

}  // namespace tandril
