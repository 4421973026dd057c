#pragma once

#include <QtCore/QString>
#include <QtDBus/QDBusMessage>

#include "foundation/Error.hpp"

namespace tandril {

// The error replies bluetoothd 5.66 gives (src/error.c, gatt-client.c, device.c), and the
// translation of the radio's errors into them.
class StandInErrors {
public:
    static QDBusMessage error(const QDBusMessage& call, const QString& name, const QString& text);
    static QDBusMessage inProgress(const QDBusMessage& call);
    static QDBusMessage notReady(const QDBusMessage& call);
    static QDBusMessage notConnected(const QDBusMessage& call);
    static QDBusMessage invalidArguments(const QDBusMessage& call, const QString& text = "Invalid arguments in method call");
    static QDBusMessage failed(const QDBusMessage& call, const QString& text);
    static QDBusMessage notSupported(const QDBusMessage& call);
    static QDBusMessage unknownMethod(const QDBusMessage& call);
    static QDBusMessage unknownObject(const QDBusMessage& call);
    // A GATT access refused by the remote device or the radio, as gatt-client.c reports it:
    // ATT 2/3 "Read/Write not permitted", 5/0x0C/0x0F "Not paired", 8 NotAuthorized,
    // 6 NotSupported, 7 "Invalid offset", 0x0D "Invalid Length", others
    // "Operation failed with ATT error: 0xNN"; link errors "Not connected".
    static QDBusMessage gattError(const QDBusMessage& call, const ErrorPtr& error, bool write);
};

}  // namespace tandril
