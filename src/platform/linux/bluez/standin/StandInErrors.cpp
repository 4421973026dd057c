#include "platform/linux/bluez/standin/StandInErrors.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

QDBusMessage StandInErrors::error(const QDBusMessage& call, const QString& name, const QString& text) {
    return call.createErrorReply(name, text);
}

QDBusMessage StandInErrors::inProgress(const QDBusMessage& call) {
    return error(call, "org.bluez.Error.InProgress", "In Progress");
}

QDBusMessage StandInErrors::notReady(const QDBusMessage& call) {
    return error(call, "org.bluez.Error.NotReady", "Resource Not Ready");
}

QDBusMessage StandInErrors::notConnected(const QDBusMessage& call) {
    return error(call, "org.bluez.Error.NotConnected", "Not Connected");
}

QDBusMessage StandInErrors::invalidArguments(const QDBusMessage& call, const QString& text) {
    return error(call, "org.bluez.Error.InvalidArguments", text);
}

QDBusMessage StandInErrors::failed(const QDBusMessage& call, const QString& text) {
    return error(call, "org.bluez.Error.Failed", text);
}

QDBusMessage StandInErrors::notSupported(const QDBusMessage& call) {
    return error(call, "org.bluez.Error.NotSupported", "Operation is not supported");
}

QDBusMessage StandInErrors::unknownMethod(const QDBusMessage& call) {
    return error(call, "org.freedesktop.DBus.Error.UnknownMethod",
                 QString("Method \"%1\" with signature \"%2\" on interface \"%3\" doesn't exist\n")
                     .arg(call.member(), call.signature(), call.interface()));
}

QDBusMessage StandInErrors::unknownObject(const QDBusMessage& call) {
    return error(call, "org.freedesktop.DBus.Error.UnknownObject",
                 QString("Method \"%1\" with signature \"%2\" on interface \"%3\" doesn't exist\n")
                     .arg(call.member(), call.signature(), call.interface()));
}

QDBusMessage StandInErrors::gattError(const QDBusMessage& call, const ErrorPtr& cause, bool write) {
    if (!cause) return failed(call, "Operation failed");
    if (cause->domain() == CBErrorDomain) {
        if (cause->code() == CBErrorNotConnected || cause->code() == CBErrorPeripheralDisconnected ||
            cause->code() == CBErrorConnectionTimeout)
            return failed(call, "Not connected");
        return failed(call, "Operation failed");
    }
    switch (cause->code()) {
    case CBATTErrorReadNotPermitted: return error(call, "org.bluez.Error.NotPermitted", "Read not permitted");
    case CBATTErrorWriteNotPermitted: return error(call, "org.bluez.Error.NotPermitted", "Write not permitted");
    case CBATTErrorInsufficientAuthentication:
    case CBATTErrorInsufficientEncryptionKeySize:
    case CBATTErrorInsufficientEncryption: return error(call, "org.bluez.Error.NotPermitted", "Not paired");
    case CBATTErrorInsufficientAuthorization: return error(call, "org.bluez.Error.NotAuthorized", "Not Authorized");
    case CBATTErrorRequestNotSupported: return notSupported(call);
    case CBATTErrorInvalidOffset: return invalidArguments(call, "Invalid offset");
    case CBATTErrorInvalidAttributeValueLength: return invalidArguments(call, "Invalid Length");
    default: break;
    }
    (void)write;
    return failed(call, QString("Operation failed with ATT error: 0x%1").arg(cause->code(), 2, 16, QChar('0')));
}

}  // namespace tandril
