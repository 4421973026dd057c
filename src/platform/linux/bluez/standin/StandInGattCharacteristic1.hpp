#pragma once

#include <QtCore/QString>
#include <QtDBus/QDBusMessage>

#include <deque>
#include <memory>
#include <set>

#include "foundation/Bytes.hpp"

namespace tandril {

class PlatformCharacteristic;

// One exported org.bluez.GattCharacteristic1 and what bluetoothd keeps for it: the reads
// waiting for the device (callers of the same read share its answer), the write on the
// air and those queued behind it, and the clients with a notification session.
class StandInGattCharacteristic1 {
public:
    struct Write {
        QDBusMessage call;
        Bytes value;
        bool withResponse = true;
    };

    StandInGattCharacteristic1(QString path, std::shared_ptr<PlatformCharacteristic> characteristic)
        : path_(std::move(path)), characteristic_(std::move(characteristic)) {}

    const QString& path() const { return path_; }
    const std::shared_ptr<PlatformCharacteristic>& characteristic() const { return characteristic_; }

    // Callers of the read on the air.
    std::deque<QDBusMessage> reads;
    // The write on the air (answered by the device), then those waiting for it.
    std::deque<Write> writes;
    bool writeOnAir = false;
    // Bus names of the clients with a notification session.
    std::set<QString> sessions;
    // A subscription change sent to the device and not answered yet: its callers.
    std::deque<QDBusMessage> notifyCalls;
    bool subscribing = false;
    // The device has the subscription on the current link.
    bool subscribed = false;

private:
    QString path_;
    std::shared_ptr<PlatformCharacteristic> characteristic_;
};

}  // namespace tandril
