#pragma once

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tandril {

class BluezBus;

// The pairing agent (org.bluez.Agent1) the adapter registers with AgentManager1 as the
// default agent, with the "DisplayYesNo" capability: BlueZ pairs by itself on the first
// encrypted access, a phone that connected to us pairs when it chooses, and either then
// pairs by numeric comparison or just works.
//
// RequestConfirmation goes to the pairing confirmer installed with
// PlatformAdapter::setPairingConfirmer (asked on the main thread with the device's name
// and the six digits): true answers the call, false org.bluez.Error.Rejected, no answer
// within `confirmTimeout` (a little less than bluetoothd's 60 s) org.bluez.Error.Canceled.
// Without a confirmer the request is rejected. PIN and passkey entry, which need a keyboard
// dialog, are rejected, and so are service authorizations (the agent serves no incoming
// profiles). Lives on the adapter's D-Bus thread.
class BluezAgent : public QObject {
    Q_OBJECT
public:
    static constexpr const char* ObjectPath = "/org/tandril/agent";
    static constexpr const char* Capability = "DisplayYesNo";

    BluezAgent(BluezBus* bus, double confirmTimeout);
    ~BluezAgent() override;

    // Exports the agent and registers it (again after bluetoothd restarted).
    void registerWithBluez();

public slots:
    void Release();
    QString RequestPinCode(const QDBusObjectPath& device, const QDBusMessage& message);
    void DisplayPinCode(const QDBusObjectPath& device, const QString& pincode);
    uint RequestPasskey(const QDBusObjectPath& device, const QDBusMessage& message);
    void DisplayPasskey(const QDBusObjectPath& device, uint passkey, ushort entered);
    void RequestConfirmation(const QDBusObjectPath& device, uint passkey, const QDBusMessage& message);
    void RequestAuthorization(const QDBusObjectPath& device, const QDBusMessage& message);
    void AuthorizeService(const QDBusObjectPath& device, const QString& uuid, const QDBusMessage& message);
    void Cancel();

private:
    // A confirmation waiting for the user: answered once, by the confirmer, the time limit
    // or bluetoothd's Cancel, whichever comes first.
    struct Request {
        QDBusMessage message;
        std::string device;
        std::atomic<bool> answered{false};
        std::uint64_t timer = 0;
    };
    void reject(const QDBusMessage& message, const char* why);
    void answer(const std::shared_ptr<Request>& request, const QDBusMessage& reply);

    BluezBus* const bus_;
    const double confirmTimeout_;
    bool exported_ = false;
    std::vector<std::shared_ptr<Request>> requests_;
};

}  // namespace tandril
