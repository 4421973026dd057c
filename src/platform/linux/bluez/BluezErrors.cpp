#include "platform/linux/bluez/BluezErrors.hpp"

#include <cstdlib>

#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"

namespace tandril {

namespace {
const std::string bluezPrefix = "org.bluez.Error.";

bool isBluez(const std::string& name, const char* member) {
    return name == bluezPrefix + member;
}

bool isTimeout(const std::string& name) {
    return name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Timeout" ||
           name == "org.freedesktop.DBus.Error.TimedOut";
}

bool isNotConnected(const std::string& name, const std::string& message) {
    return isBluez(name, "NotConnected") || (isBluez(name, "Failed") && message == "Not connected");
}

bool isVanished(const std::string& name) {
    return name == "org.freedesktop.DBus.Error.UnknownObject" || name == "org.freedesktop.DBus.Error.UnknownMethod" ||
           name == "org.freedesktop.DBus.Error.UnknownInterface" || isBluez(name, "DoesNotExist");
}
}  // namespace

int BluezErrors::parseATTCode(const std::string& message) {
    static const std::string prefix = "Operation failed with ATT error: 0x";
    if (message.rfind(prefix, 0) != 0) return -1;
    const std::string digits = message.substr(prefix.size());
    if (digits.empty() || digits.size() > 2) return -1;
    char* end = nullptr;
    const long code = std::strtol(digits.c_str(), &end, 16);
    if (end == nullptr || *end != '\0') return -1;
    return static_cast<int>(code);
}

ErrorPtr BluezErrors::withOrigin(const ErrorPtr& error, const std::string& name, const std::string& message) {
    Dictionary info = error->userInfo();
    info[BluezErrorNameKey] = name;
    info[BluezErrorMessageKey] = message;
    return Error::make(error->domain(), error->code(), std::move(info));
}

ErrorPtr BluezErrors::gattError(const std::string& name, const std::string& message) {
    ErrorPtr error;
    if (isBluez(name, "NotPermitted")) {
        if (message == "Read not permitted")
            error = PlatformError::attError(CBATTErrorReadNotPermitted);
        else if (message == "Write not permitted")
            error = PlatformError::attError(CBATTErrorWriteNotPermitted);
        else
            // "Not paired": BlueZ folds insufficient authentication, key size and encryption
            // into one answer.
            error = PlatformError::attError(CBATTErrorInsufficientAuthentication);
    } else if (isBluez(name, "NotAuthorized")) {
        error = PlatformError::attError(CBATTErrorInsufficientAuthorization);
    } else if (isBluez(name, "NotSupported")) {
        error = PlatformError::attError(CBATTErrorRequestNotSupported);
    } else if (isBluez(name, "InvalidArguments") || isBluez(name, "InvalidValueLength") ||
               isBluez(name, "InvalidOffset")) {
        if (message == "Invalid offset" || isBluez(name, "InvalidOffset"))
            error = PlatformError::attError(CBATTErrorInvalidOffset);
        else if (message == "Invalid Length" || isBluez(name, "InvalidValueLength"))
            error = PlatformError::attError(CBATTErrorInvalidAttributeValueLength);
        else
            error = PlatformError::centralError(CBErrorInvalidParameters);
    } else if (isNotConnected(name, message)) {
        error = PlatformError::centralError(CBErrorNotConnected);
    } else if (isBluez(name, "Failed")) {
        const int code = parseATTCode(message);
        error = code > 0 ? PlatformError::attError(code) : PlatformError::centralError(CBErrorUnknown);
    } else if (isVanished(name)) {
        error = PlatformError::centralError(CBErrorInvalidHandle);
    } else if (isTimeout(name)) {
        error = PlatformError::centralError(CBErrorConnectionTimeout);
    } else {
        error = PlatformError::centralError(CBErrorUnknown);
    }
    return withOrigin(error, name, message);
}

BluezErrors::Disposition BluezErrors::gattDisposition(const std::string& name, const std::string& message,
                                                      bool linkUp) {
    if (isBluez(name, "InProgress")) return Disposition::Retry;
    if (!linkUp && (isNotConnected(name, message) || isVanished(name))) return Disposition::LinkGone;
    return Disposition::Report;
}

ErrorPtr BluezErrors::connectError(const std::string& name, const std::string& message) {
    if (isTimeout(name)) return withOrigin(PlatformError::centralError(CBErrorConnectionTimeout), name, message);
    return withOrigin(PlatformError::centralError(CBErrorConnectionFailed), name, message);
}

ErrorPtr BluezErrors::advertisingError(const std::string& name, const std::string& message) {
    int code = CBErrorUnknown;
    if (isBluez(name, "AlreadyExists"))
        code = CBErrorAlreadyAdvertising;
    else if (isBluez(name, "NotPermitted"))
        code = CBErrorOutOfSpace;
    else if (isBluez(name, "InvalidArguments") || (isBluez(name, "Failed") && message == "Failed to parse advertisement."))
        code = CBErrorInvalidParameters;
    else if (isVanished(name))
        code = CBErrorOperationNotSupported;
    else if (isTimeout(name))
        code = CBErrorConnectionTimeout;
    return withOrigin(PlatformError::centralError(code), name, message);
}

bool BluezErrors::isRetryableConnectFailure(const std::string& name, const std::string& message) {
    return isBluez(name, "Failed") && message == "le-connection-abort-by-local";
}

bool BluezErrors::isConnectInProgressElsewhere(const std::string& name, const std::string& message) {
    return (isBluez(name, "Failed") || isBluez(name, "InProgress")) && message == "Operation already in progress";
}

bool BluezErrors::isConnectCancelled(const std::string& name, const std::string& message) {
    return isBluez(name, "Failed") && message == "br-connection-canceled";
}

}  // namespace tandril
