#pragma once

#include <cstdint>

namespace tandril {

// Values of the platform's BLE central interface, numbered as the platform numbers them.
// Every adapter (the simulated radio, BlueZ) reports in these terms.

// Adapter (central) state.
inline constexpr int CBCentralManagerStateUnknown = 0;
inline constexpr int CBCentralManagerStateResetting = 1;
inline constexpr int CBCentralManagerStateUnsupported = 2;
inline constexpr int CBCentralManagerStateUnauthorized = 3;
inline constexpr int CBCentralManagerStatePoweredOff = 4;
inline constexpr int CBCentralManagerStatePoweredOn = 5;

// Peripheral link state.
inline constexpr int CBPeripheralStateDisconnected = 0;
inline constexpr int CBPeripheralStateConnecting = 1;
inline constexpr int CBPeripheralStateConnected = 2;
inline constexpr int CBPeripheralStateDisconnecting = 3;

// Scan options (keys of the options dictionary). The allow-duplicates value is a boolean;
// the solicited-services value is an array of UUID texts (UUID::UUIDString()).
inline constexpr const char* CBCentralManagerScanOptionAllowDuplicatesKey = "kCBScanOptionAllowDuplicates";
inline constexpr const char* CBCentralManagerScanOptionSolicitedServiceUUIDsKey = "kCBScanOptionSolicitedServiceUUIDs";

// Advertisement data keys. Service lists are arrays of UUID texts; the local name is a
// string; the RSSI travels beside the dictionary, not in it.
inline constexpr const char* CBAdvertisementDataLocalNameKey = "kCBAdvDataLocalName";
inline constexpr const char* CBAdvertisementDataServiceUUIDsKey = "kCBAdvDataServiceUUIDs";
inline constexpr const char* CBAdvertisementDataSolicitedServiceUUIDsKey = "kCBAdvDataSolicitedServiceUUIDs";
inline constexpr const char* CBAdvertisementDataIsConnectable = "kCBAdvDataIsConnectable";
inline constexpr const char* CBAdvertisementDataManufacturerDataKey = "kCBAdvDataManufacturerData";
inline constexpr const char* CBAdvertisementDataTxPowerLevelKey = "kCBAdvDataTxPowerLevel";

// Characteristic property bits.
inline constexpr std::uint32_t CBCharacteristicPropertyBroadcast = 0x01;
inline constexpr std::uint32_t CBCharacteristicPropertyRead = 0x02;
inline constexpr std::uint32_t CBCharacteristicPropertyWriteWithoutResponse = 0x04;
inline constexpr std::uint32_t CBCharacteristicPropertyWrite = 0x08;
inline constexpr std::uint32_t CBCharacteristicPropertyNotify = 0x10;
inline constexpr std::uint32_t CBCharacteristicPropertyIndicate = 0x20;
inline constexpr std::uint32_t CBCharacteristicPropertyAuthenticatedSignedWrites = 0x40;
inline constexpr std::uint32_t CBCharacteristicPropertyExtendedProperties = 0x80;
inline constexpr std::uint32_t CBCharacteristicPropertyNotifyEncryptionRequired = 0x100;
inline constexpr std::uint32_t CBCharacteristicPropertyIndicateEncryptionRequired = 0x200;

// Attribute permission bits.
inline constexpr std::uint32_t CBAttributePermissionsReadable = 0x01;
inline constexpr std::uint32_t CBAttributePermissionsWriteable = 0x02;
inline constexpr std::uint32_t CBAttributePermissionsReadEncryptionRequired = 0x04;
inline constexpr std::uint32_t CBAttributePermissionsWriteEncryptionRequired = 0x08;

// Write types of writeValue().
inline constexpr int CBCharacteristicWriteWithResponse = 0;
inline constexpr int CBCharacteristicWriteWithoutResponse = 1;

// Error domains and codes. Platform errors pass through the BLE layer unchanged.
inline constexpr const char* CBErrorDomain = "CBErrorDomain";
inline constexpr int CBErrorUnknown = 0;
inline constexpr int CBErrorInvalidParameters = 1;
inline constexpr int CBErrorInvalidHandle = 2;
inline constexpr int CBErrorNotConnected = 3;
inline constexpr int CBErrorOutOfSpace = 4;
inline constexpr int CBErrorOperationCancelled = 5;
inline constexpr int CBErrorConnectionTimeout = 6;
inline constexpr int CBErrorPeripheralDisconnected = 7;
inline constexpr int CBErrorUUIDNotAllowed = 8;
inline constexpr int CBErrorAlreadyAdvertising = 9;
inline constexpr int CBErrorConnectionFailed = 10;
inline constexpr int CBErrorConnectionLimitReached = 11;
inline constexpr int CBErrorOperationNotSupported = 13;

inline constexpr const char* CBATTErrorDomain = "CBATTErrorDomain";
inline constexpr int CBATTErrorInvalidHandle = 0x01;
inline constexpr int CBATTErrorReadNotPermitted = 0x02;
inline constexpr int CBATTErrorWriteNotPermitted = 0x03;
inline constexpr int CBATTErrorInvalidPdu = 0x04;
inline constexpr int CBATTErrorInsufficientAuthentication = 0x05;
inline constexpr int CBATTErrorRequestNotSupported = 0x06;
inline constexpr int CBATTErrorInvalidOffset = 0x07;
inline constexpr int CBATTErrorInsufficientAuthorization = 0x08;
inline constexpr int CBATTErrorPrepareQueueFull = 0x09;
inline constexpr int CBATTErrorAttributeNotFound = 0x0A;
inline constexpr int CBATTErrorAttributeNotLong = 0x0B;
inline constexpr int CBATTErrorInsufficientEncryptionKeySize = 0x0C;
inline constexpr int CBATTErrorInvalidAttributeValueLength = 0x0D;
inline constexpr int CBATTErrorUnlikelyError = 0x0E;
inline constexpr int CBATTErrorInsufficientEncryption = 0x0F;
inline constexpr int CBATTErrorUnsupportedGroupType = 0x10;
inline constexpr int CBATTErrorInsufficientResources = 0x11;
// Application error codes of the notification-center profile, reported in the ATT domain.
inline constexpr int ANCSErrorUnknownCommand = 0xA0;
inline constexpr int ANCSErrorInvalidCommand = 0xA1;
inline constexpr int ANCSErrorInvalidParameter = 0xA2;
inline constexpr int ANCSErrorActionFailed = 0xA3;

}  // namespace tandril
