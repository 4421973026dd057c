#pragma once

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tandril {

class BluezBus;

// The pairing agent (org.bluez.Agent1) the adapter registers with AgentManager1 as the
// default agent, with the "DisplayYesNo" capability: BlueZ pairs by itself on the first
// encrypted access, and a phone then pairs by numeric comparison or just works.
// RequestConfirmation goes to the confirmer (the desktop asks the user); without one the
// request is logged and accepted. PIN and passkey entry, which need a keyboard dialog, are
// rejected, and so are service authorizations (the agent serves no incoming profiles).
// Lives on the adapter's D-Bus thread.
class BluezAgent : public QObject {
    Q_OBJECT
public:
    // Gets the device's path, the passkey and a function to answer with (any thread).
    using Confirmer = std::function<void(const std::string& device, std::uint32_t passkey,
                                         std::function<void(bool)> answer)>;

    static constexpr const char* ObjectPath = "/org/tandril/agent";
    static constexpr const char* Capability = "DisplayYesNo";

    BluezAgent(BluezBus* bus, std::function<Confirmer()> confirmer);
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
    void reject(const QDBusMessage& message, const char* why);

    BluezBus* const bus_;
    const std::function<Confirmer()> confirmer_;
    bool exported_ = false;
};

}  // namespace tandril
