#include "platform/linux/bluez/BluezAgent.hpp"

#include <QDBusConnection>

#include <atomic>
#include <cstdio>

#include "foundation/Log.hpp"
#include "foundation/RunLoop.hpp"
#include "platform/linux/bluez/BluezBus.hpp"

namespace tandril {

namespace {
const QString agentManager = QStringLiteral("org.bluez.AgentManager1");

std::string sixDigits(uint passkey) {
    char text[16];
    std::snprintf(text, sizeof text, "%06u", passkey % 1000000u);
    return text;
}
}  // namespace

BluezAgent::BluezAgent(BluezBus* bus, std::function<Confirmer()> confirmer)
    : bus_(bus), confirmer_(std::move(confirmer)) {}

BluezAgent::~BluezAgent() {
    if (exported_) bus_->connection().unregisterObject(QString::fromLatin1(ObjectPath));
}

void BluezAgent::registerWithBluez() {
    if (!bus_->isConnected()) return;
    if (!exported_) {
        exported_ = bus_->connection().registerObject(QString::fromLatin1(ObjectPath), QStringLiteral("org.bluez.Agent1"),
                                                      this, QDBusConnection::ExportAllSlots);
        if (!exported_) {
            log("[BLUEZ] Cannot export the pairing agent");
            return;
        }
    }
    const QDBusObjectPath path(QString::fromLatin1(ObjectPath));
    BluezBus* bus = bus_;
    bus_->call(QStringLiteral("/org/bluez"), agentManager, QStringLiteral("RegisterAgent"),
               {QVariant::fromValue(path), QString::fromLatin1(Capability)}, 25, [bus, path](const QDBusMessage& reply) {
                   // AlreadyExists: registered before on this connection.
                   if (reply.type() == QDBusMessage::ErrorMessage &&
                       reply.errorName() != QLatin1String("org.bluez.Error.AlreadyExists")) {
                       log("[BLUEZ] RegisterAgent failed: %s", reply.errorName().toStdString());
                       return;
                   }
                   bus->call(QStringLiteral("/org/bluez"), agentManager, QStringLiteral("RequestDefaultAgent"),
                             {QVariant::fromValue(path)}, 25, [](const QDBusMessage& answer) {
                                 if (answer.type() == QDBusMessage::ErrorMessage)
                                     log("[BLUEZ] RequestDefaultAgent failed: %s", answer.errorName().toStdString());
                             });
               });
}

void BluezAgent::reject(const QDBusMessage& message, const char* why) {
    message.setDelayedReply(true);
    bus_->connection().send(
        message.createErrorReply(QStringLiteral("org.bluez.Error.Rejected"), QString::fromLatin1(why)));
}

void BluezAgent::Release() {}

QString BluezAgent::RequestPinCode(const QDBusObjectPath& device, const QDBusMessage& message) {
    log("[BLUEZ] Pairing with %s asks for a PIN code: rejected", device.path().toStdString());
    reject(message, "PIN entry is not supported");
    return {};
}

void BluezAgent::DisplayPinCode(const QDBusObjectPath& device, const QString& pincode) {
    log("[BLUEZ] Pairing with %s: PIN code %s", device.path().toStdString(), pincode.toStdString());
}

uint BluezAgent::RequestPasskey(const QDBusObjectPath& device, const QDBusMessage& message) {
    log("[BLUEZ] Pairing with %s asks for a passkey: rejected", device.path().toStdString());
    reject(message, "Passkey entry is not supported");
    return 0;
}

void BluezAgent::DisplayPasskey(const QDBusObjectPath& device, uint passkey, ushort) {
    log("[BLUEZ] Pairing with %s: passkey %s", device.path().toStdString(), sixDigits(passkey));
}

void BluezAgent::RequestConfirmation(const QDBusObjectPath& device, uint passkey, const QDBusMessage& message) {
    message.setDelayedReply(true);
    const std::string path = device.path().toStdString();
    Confirmer confirm = confirmer_ ? confirmer_() : nullptr;
    if (!confirm) {
        log("[BLUEZ] Pairing with %s: confirming passkey %s", path, sixDigits(passkey));
        bus_->connection().send(message.createReply());
        return;
    }
    auto gate = bus_->gate();
    BluezBus* bus = bus_;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto answer = [gate, bus, message, answered](bool accepted) {
        if (answered->exchange(true)) return;
        gate->post([bus, message, accepted] {
            bus->connection().send(accepted ? message.createReply()
                                            : message.createErrorReply(QStringLiteral("org.bluez.Error.Rejected"),
                                                                       QStringLiteral("Passkey rejected")));
        });
    };
    // The desktop asks on the main thread.
    RunLoop::main().post([confirm, path, passkey, answer] { confirm(path, passkey, answer); });
}

void BluezAgent::RequestAuthorization(const QDBusObjectPath& device, const QDBusMessage& message) {
    // Just-works pairing.
    log("[BLUEZ] Pairing with %s: accepted", device.path().toStdString());
    message.setDelayedReply(true);
    bus_->connection().send(message.createReply());
}

void BluezAgent::AuthorizeService(const QDBusObjectPath& device, const QString& uuid, const QDBusMessage& message) {
    log("[BLUEZ] Service %s of %s not authorized", uuid.toStdString(), device.path().toStdString());
    reject(message, "Service not authorized");
}

void BluezAgent::Cancel() {
    log("[BLUEZ] Pairing request cancelled");
}

}  // namespace tandril
