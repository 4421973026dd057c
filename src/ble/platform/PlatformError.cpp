#include "ble/platform/PlatformError.hpp"

#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

ErrorPtr PlatformError::centralError(std::int64_t code) {
    return Error::withDescription(CBErrorDomain, code, centralErrorDescription(code));
}

ErrorPtr PlatformError::attError(std::int64_t code) {
    return Error::withDescription(CBATTErrorDomain, code, attErrorDescription(code));
}

std::string PlatformError::centralErrorDescription(std::int64_t code) {
    switch (code) {
        case CBErrorInvalidParameters: return "The specified parameters are invalid.";
        case CBErrorInvalidHandle: return "The specified attribute handle is invalid.";
        case CBErrorNotConnected: return "The device is not connected.";
        case CBErrorOutOfSpace: return "The device has run out of space.";
        case CBErrorOperationCancelled: return "The operation was cancelled.";
        case CBErrorConnectionTimeout: return "The connection has timed out unexpectedly.";
        case CBErrorPeripheralDisconnected: return "The specified device has disconnected from us.";
        case CBErrorUUIDNotAllowed: return "The specified UUID is not allowed for this operation.";
        case CBErrorAlreadyAdvertising: return "The peripheral is already advertising.";
        case CBErrorConnectionFailed: return "The connection has failed unexpectedly.";
        case CBErrorConnectionLimitReached: return "The device has reached the connection limit.";
        case CBErrorOperationNotSupported: return "The operation is not supported.";
        default: return "Unknown error.";
    }
}

std::string PlatformError::attErrorDescription(std::int64_t code) {
    switch (code) {
        case CBATTErrorInvalidHandle: return "The handle is invalid.";
        case CBATTErrorReadNotPermitted: return "Reading is not permitted.";
        case CBATTErrorWriteNotPermitted: return "Writing is not permitted.";
        case CBATTErrorInvalidPdu: return "The command is invalid.";
        case CBATTErrorInsufficientAuthentication: return "Authentication is insufficient.";
        case CBATTErrorRequestNotSupported: return "The request is not supported.";
        case CBATTErrorInvalidOffset: return "The offset is invalid.";
        case CBATTErrorInsufficientAuthorization: return "Authorization is insufficient.";
        case CBATTErrorPrepareQueueFull: return "The prepare queue is full.";
        case CBATTErrorAttributeNotFound: return "The attribute could not be found.";
        case CBATTErrorAttributeNotLong: return "The attribute is not long.";
        case CBATTErrorInsufficientEncryptionKeySize: return "The encryption key size is insufficient.";
        case CBATTErrorInvalidAttributeValueLength: return "The value's length is invalid.";
        case CBATTErrorUnlikelyError: return "The request has failed unexpectedly.";
        case CBATTErrorInsufficientEncryption: return "Encryption is insufficient.";
        case CBATTErrorUnsupportedGroupType: return "The group type is not supported.";
        case CBATTErrorInsufficientResources: return "Resources are insufficient.";
        default: return "Unknown ATT error.";
    }
}

}  // namespace tandril
