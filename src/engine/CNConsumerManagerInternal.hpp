#pragma once

// Helpers shared by the files of CNConsumerManager: the names of its delayed calls, its
// timings, and matching discovered attributes against the GATT catalogue.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "ble/LGCharacteristic.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/LGService.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "ble/platform/PlatformService.hpp"
#include "foundation/Log.hpp"
#include "foundation/UUID.hpp"

namespace tandril::consumer {

// Names of the engine's delayed calls.
inline constexpr const char* kResetScanCall = "resetScan";
inline constexpr const char* kRequestProviderDataCall = "requestProviderData";
inline constexpr const char* kConnectToPeripheralCall = "connectToPeripheral";
inline constexpr const char* kUpdateAdvertisingCall = "updateAdvertising";
inline constexpr const char* kPairingTimeoutCall = "pairingTimedOut";

inline constexpr std::uint64_t kConnectTimeoutSeconds = 5;
inline constexpr double kWrongServicesRetryDelay = 1.0;
inline constexpr double kExploreRetryDelay = 1.0;
inline constexpr double kScanPeriodSeconds = 60.0;
inline constexpr double kProviderPollDelay = 30.0;
// How long a phone that connected to our advertisement may take to pair and let us
// subscribe: as long as the system's pairing agent waits for the user's answer.
inline constexpr double kIncomingPairingTimeoutSeconds = 60.0;

inline UUID catalogueUUID(const std::optional<UUID>& uuid) { return uuid.value_or(UUID()); }

inline bool hasUUID(const std::shared_ptr<LGService>& service, const UUID& uuid) {
    return service && service->cbService() && service->cbService()->UUID() == uuid;
}

inline bool hasUUID(const std::shared_ptr<LGCharacteristic>& characteristic, const UUID& uuid) {
    return characteristic && characteristic->cbCharacteristic() && characteristic->cbCharacteristic()->UUID() == uuid;
}

inline std::shared_ptr<LGService> firstService(const std::vector<std::shared_ptr<LGService>>& services,
                                               const UUID& uuid) {
    for (const auto& service : services) {
        if (hasUUID(service, uuid)) return service;
    }
    return nullptr;
}

inline std::shared_ptr<LGCharacteristic> lastCharacteristic(
    const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics, const UUID& uuid) {
    std::shared_ptr<LGCharacteristic> found;
    for (const auto& characteristic : characteristics) {
        if (hasUUID(characteristic, uuid)) found = characteristic;
    }
    return found;
}

inline std::optional<UUID> identifierOf(const std::shared_ptr<LGPeripheral>& peripheral) {
    if (!peripheral || !peripheral->cbPeripheral()) return std::nullopt;
    return peripheral->cbPeripheral()->identifier();
}

inline LogArg optionalBytes(const std::optional<Bytes>& data) { return data ? LogArg(*data) : LogArg(nullptr); }

// Texts of optional byte strings for log lines (absent prints as "(null)").
inline std::optional<std::string> describe(const std::optional<Bytes>& value) {
    if (!value) return std::nullopt;
    return bytesDescription(*value);
}

}  // namespace tandril::consumer
