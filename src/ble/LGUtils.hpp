#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Bytes.hpp"
#include "foundation/Error.hpp"

namespace tandril {

class LGCharacteristic;
class LGPeripheral;
class LGService;

inline constexpr const char* kLGUtilsWriteErrorDomain = "LGUtilsWriteErrorDomain";
inline constexpr const char* kLGUtilsReadErrorDomain = "LGUtilsReadErrorDomain";
inline constexpr const char* kLGUtilsDiscoverErrorDomain = "LGUtilsDiscoverErrorDomain";
inline constexpr std::int64_t kLGUtilsMissingServiceErrorCode = 410;
inline constexpr std::int64_t kLGUtilsMissingCharacteristicErrorCode = 411;
inline constexpr const char* kLGUtilsMissingServiceErrorMessage =
    "Provided service UUID doesn't exist in provided pheripheral";
inline constexpr const char* kLGUtilsMissingCharacteristicErrorMessage =
    "Provided characteristic doesn't exist in provided service";

// One-shot GATT operations on a peripheral wrapper given only the service and
// characteristic UUID texts: connect when needed (30 s limit), discover the service and
// the characteristic, then write, read or hand out the characteristic. UUID texts are
// compared with the wrappers' UUIDString in lower case ("2a19", "7905f431-…").
class LGUtils {
public:
    using WriteCallback = std::function<void(const ErrorPtr& error)>;
    using ReadCallback = std::function<void(const std::optional<Bytes>& value, const ErrorPtr& error)>;
    using DiscoverCallback =
        std::function<void(const std::shared_ptr<LGCharacteristic>& characteristic, const ErrorPtr& error)>;

    static void writeData(const Bytes& data, const std::string& charactUUID, const std::string& serviceUUID,
                          const std::shared_ptr<LGPeripheral>& peripheral, WriteCallback completion);
    static void readDataFromCharactUUID(const std::string& charactUUID, const std::string& serviceUUID,
                                        const std::shared_ptr<LGPeripheral>& peripheral, ReadCallback completion);
    static void discoverCharactUUID(const std::string& charactUUID, const std::string& serviceUUID,
                                    const std::shared_ptr<LGPeripheral>& peripheral, DiscoverCallback completion);

    // The same for a peripheral that is connected already.
    static void writeDataReadyPeripheral(const Bytes& data, const std::string& charactUUID,
                                         const std::string& serviceUUID,
                                         const std::shared_ptr<LGPeripheral>& peripheral, WriteCallback completion);
    static void readDataFromCharactUUIDReadyPeripheral(const std::string& charactUUID, const std::string& serviceUUID,
                                                       const std::shared_ptr<LGPeripheral>& peripheral,
                                                       ReadCallback completion);
    static void discoverCharactUUIDReadyPeripheral(const std::string& charactUUID, const std::string& serviceUUID,
                                                   const std::shared_ptr<LGPeripheral>& peripheral,
                                                   DiscoverCallback completion);

    static std::shared_ptr<LGService> findServiceInList(const std::vector<std::shared_ptr<LGService>>& list,
                                                        const std::string& UUID);
    static std::shared_ptr<LGCharacteristic> findCharacteristicInList(
        const std::vector<std::shared_ptr<LGCharacteristic>>& list, const std::string& UUID);

    static ErrorPtr writeErrorWithCode(std::int64_t code, const std::string& message);
    static ErrorPtr readErrorWithCode(std::int64_t code, const std::string& message);
    static ErrorPtr discoverErrorWithCode(std::int64_t code, const std::string& message);

    // The time limit of the connect step.
    static constexpr std::uint64_t kConnectTimeoutSeconds = 30;

    LGUtils() = delete;
};

}  // namespace tandril
