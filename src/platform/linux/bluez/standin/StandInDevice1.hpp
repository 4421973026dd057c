#pragma once

#include <QtCore/QString>
#include <QtDBus/QDBusMessage>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "foundation/Bytes.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

class SimPeripheral;
class StandInGattService1;

// One exported org.bluez.Device1 and the link state bluetoothd keeps for it.
class StandInDevice1 {
public:
    StandInDevice1(QString path, QString address, std::shared_ptr<SimPeripheral> peripheral)
        : path_(std::move(path)), address_(std::move(address)), peripheral_(std::move(peripheral)) {}

    const QString& path() const { return path_; }
    const QString& address() const { return address_; }
    // Identity resolution rewrites the address in place; the path keeps the first one.
    void setAddress(QString address, bool isPublic) {
        address_ = std::move(address);
        publicAddress_ = isPublic;
    }
    bool isPublicAddress() const { return publicAddress_; }
    const std::shared_ptr<SimPeripheral>& peripheral() const { return peripheral_; }

    // The Connect call waiting for the link, and the Disconnect calls waiting for its end.
    std::optional<QDBusMessage> connectCall;
    std::vector<QDBusMessage> disconnectCalls;
    bool connected = false;
    // The disconnect window is running (a Disconnect was asked on a live link).
    std::optional<RunLoop::TimerId> disconnectTimer;
    // The link ended because the client asked for it.
    bool disconnectRequested = false;

    std::vector<std::shared_ptr<StandInGattService1>> services;
    // Service discovery runs on the current link.
    bool resolving = false;
    // Only heard so far: removed when not heard for a while (until a Connect or a bond).
    bool temporary = true;
    std::optional<RunLoop::TimerId> temporaryTimer;
    // The pairing agent is asked to confirm; what waits for its answer.
    std::vector<std::function<void(bool accepted)>> confirmationWaiters;
    // The device pairs on a link it made (a phone that connected to us) and the agent's
    // answer is awaited: bluetoothd cancels the request when the link goes.
    bool incomingConfirmation = false;
    // The class of device of a device known over BR/EDR (Device1.Class), if any.
    std::optional<std::uint32_t> classOfDevice;
    // The company identifier and data the device advertises, if any.
    std::optional<std::uint16_t> manufacturer;
    Bytes manufacturerData;

private:
    QString path_;
    QString address_;
    bool publicAddress_ = false;
    std::shared_ptr<SimPeripheral> peripheral_;
};

}  // namespace tandril
