#include "platform/linux/bluez/BluezAgent.hpp"

#include <QDBusConnection>

#include <algorithm>
#include <cstdio>

#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformPairingConfirmer.hpp"
#include "foundation/Log.hpp"
#include "foundation/RunLoop.hpp"
#include "platform/linux/bluez/BluezBus.hpp"
#include "platform/linux/bluez/BluezPeripheral.hpp"

namespace tandril {

namespace {
const QString agentManager = QStringLiteral("org.bluez.AgentManager1");

std::string sixDigits(uint passkey) {
    char text[16];
    std::snprintf(text, sizeof text, "%06u", passkey % 1000000u);
    return text;
}
}  // namespace

BluezAgent::BluezAgent(BluezBus* bus, double confirmTimeout) : bus_(bus), confirmTimeout_(confirmTimeout) {}

BluezAgent::~BluezAgent() {
    for (const auto& request : requests_) {
        request->answered = true;
        if (request->timer != 0) RunLoop::main().cancel(request->timer);
    }
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

void BluezAgent::answer(const std::shared_ptr<Request>& request, const QDBusMessage& reply) {
    if (request->answered.exchange(true)) return;
    if (request->timer != 0) RunLoop::main().cancel(request->timer);
    requests_.erase(std::remove(requests_.begin(), requests_.end(), request), requests_.end());
    bus_->connection().send(reply);
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
    const std::string code = sixDigits(passkey);
    auto confirmer = PlatformAdapter::pairingConfirmer();
    if (!confirmer) {
        log("[BLUEZ] Pairing with %s: nobody to confirm passkey %s, rejected", path, code);
        bus_->connection().send(
            message.createErrorReply(QStringLiteral("org.bluez.Error.Rejected"), QStringLiteral("Passkey rejected")));
        return;
    }
    std::optional<std::string> name;
    if (auto object = bus_->object(device.path())) {
        auto properties = object->find(QStringLiteral("org.bluez.Device1"));
        if (properties != object->end()) name = BluezPeripheral::nameOfDevice(properties->second);
    }
    log("[BLUEZ] Pairing with %s: asking to confirm passkey %s", path, code);
    auto request = std::make_shared<Request>();
    request->message = message;
    request->device = path;
    requests_.push_back(request);

    std::weak_ptr<BluezBusGate> gate = bus_->gate();
    // bluetoothd waits 60 s for the agent; the answer goes before that.
    request->timer = RunLoop::main().schedule(seconds(confirmTimeout_), [this, gate, request] {
        if (auto open = gate.lock()) {
            open->post([this, request] {
                if (request->answered) return;
                log("[BLUEZ] Pairing with %s: no answer in time, cancelled", request->device);
                answer(request, request->message.createErrorReply(QStringLiteral("org.bluez.Error.Canceled"),
                                                                  QStringLiteral("Confirmation timed out")));
            });
        }
    });
    auto reply = [this, gate, request](bool accepted) {
        if (request->answered) return;
        if (auto open = gate.lock()) {
            open->post([this, request, accepted] {
                answer(request, accepted ? request->message.createReply()
                                         : request->message.createErrorReply(QStringLiteral("org.bluez.Error.Rejected"),
                                                                             QStringLiteral("Passkey rejected")));
            });
        }
    };
    // The desktop asks on the main thread.
    RunLoop::main().post([confirmer, name, code, reply] { confirmer->confirmPairing(name, code, reply); });
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
    // bluetoothd gave up on its request (time-out, or the link went): a late answer of the
    // user goes nowhere.
    log("[BLUEZ] Pairing request cancelled");
    const auto pending = requests_;
    for (const auto& request : pending)
        answer(request, request->message.createErrorReply(QStringLiteral("org.bluez.Error.Canceled"),
                                                          QStringLiteral("Canceled by bluetoothd")));
}

}  // namespace tandril
