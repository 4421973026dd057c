#include "ble/LGUtils.hpp"

#include <algorithm>
#include <cctype>

#include "ble/LGCharacteristic.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/LGService.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool isReady(const std::shared_ptr<LGPeripheral>& peripheral) {
    return peripheral->cbPeripheral() && peripheral->cbPeripheral()->state() == CBPeripheralStateConnected;
}

using ErrorMaker = ErrorPtr (*)(std::int64_t, const std::string&);
using ServiceStep = std::function<void(const std::shared_ptr<LGService>& service)>;
using FailureStep = std::function<void(const ErrorPtr& error)>;

// The steps the three ready-peripheral operations share: discover the service (which
// rebuilds the peripheral's service wrappers), find it, and hand it on. A UUID text that
// does not parse names nothing the peripheral can offer: it is reported as missing.
void findService(const std::string& serviceUUID, const std::shared_ptr<LGPeripheral>& peripheral, ErrorMaker makeError,
                 FailureStep fail, ServiceStep next) {
    const auto uuid = UUID::fromString(serviceUUID);
    if (!uuid) {
        fail(makeError(kLGUtilsMissingServiceErrorCode, kLGUtilsMissingServiceErrorMessage));
        return;
    }
    peripheral->discoverServices(
        std::vector<UUID>{*uuid},
        [serviceUUID, makeError, fail, next](const std::vector<std::shared_ptr<LGService>>& services,
                                             const ErrorPtr& error) {
            if (error) {
                fail(error);
                return;
            }
            auto service = LGUtils::findServiceInList(services, serviceUUID);
            if (!service) {
                fail(makeError(kLGUtilsMissingServiceErrorCode, kLGUtilsMissingServiceErrorMessage));
                return;
            }
            next(service);
        });
}

// Starts the characteristic discovery of the found service; `done` gets the list and
// the error. A characteristic UUID text that does not parse is reported as missing.
void findCharacteristics(const std::shared_ptr<LGService>& service, const std::string& charactUUID,
                         ErrorMaker makeError, FailureStep fail, LGService::CharacteristicsCallback done) {
    const auto uuid = UUID::fromString(charactUUID);
    if (!uuid) {
        fail(makeError(kLGUtilsMissingCharacteristicErrorCode, kLGUtilsMissingCharacteristicErrorMessage));
        return;
    }
    service->discoverCharacteristicsWithUUIDs(std::vector<UUID>{*uuid}, std::move(done));
}

}  // namespace

// ---- With the connect step ------------------------------------------------------------------

void LGUtils::writeData(const Bytes& data, const std::string& charactUUID, const std::string& serviceUUID,
                        const std::shared_ptr<LGPeripheral>& peripheral, WriteCallback completion) {
    if (!peripheral) return;
    if (isReady(peripheral)) {
        writeDataReadyPeripheral(data, charactUUID, serviceUUID, peripheral, std::move(completion));
        return;
    }
    // The connection's own outcome is not reported: a failed connect shows in the
    // service discovery's not-connected error.
    peripheral->connectWithTimeout(kConnectTimeoutSeconds, [=](const ErrorPtr&) {
        writeDataReadyPeripheral(data, charactUUID, serviceUUID, peripheral, completion);
    });
}

void LGUtils::readDataFromCharactUUID(const std::string& charactUUID, const std::string& serviceUUID,
                                      const std::shared_ptr<LGPeripheral>& peripheral, ReadCallback completion) {
    if (!peripheral) return;
    if (isReady(peripheral)) {
        readDataFromCharactUUIDReadyPeripheral(charactUUID, serviceUUID, peripheral, std::move(completion));
        return;
    }
    // The connection's own outcome is not reported: a failed connect shows in the
    // service discovery's not-connected error.
    peripheral->connectWithTimeout(kConnectTimeoutSeconds, [=](const ErrorPtr&) {
        readDataFromCharactUUIDReadyPeripheral(charactUUID, serviceUUID, peripheral, completion);
    });
}

void LGUtils::discoverCharactUUID(const std::string& charactUUID, const std::string& serviceUUID,
                                  const std::shared_ptr<LGPeripheral>& peripheral, DiscoverCallback completion) {
    if (!peripheral) return;
    if (isReady(peripheral)) {
        discoverCharactUUIDReadyPeripheral(charactUUID, serviceUUID, peripheral, std::move(completion));
        return;
    }
    // The connection's own outcome is not reported: a failed connect shows in the
    // service discovery's not-connected error.
    peripheral->connectWithTimeout(kConnectTimeoutSeconds, [=](const ErrorPtr&) {
        discoverCharactUUIDReadyPeripheral(charactUUID, serviceUUID, peripheral, completion);
    });
}

// ---- Ready peripheral -------------------------------------------------------------------------

void LGUtils::writeDataReadyPeripheral(const Bytes& data, const std::string& charactUUID,
                                       const std::string& serviceUUID, const std::shared_ptr<LGPeripheral>& peripheral,
                                       WriteCallback completion) {
    if (!peripheral) return;
    FailureStep fail = [completion](const ErrorPtr& error) {
        if (completion) completion(error);
    };
    findService(serviceUUID, peripheral, &LGUtils::writeErrorWithCode, fail,
                [=](const std::shared_ptr<LGService>& service) {
                    findCharacteristics(
                        service, charactUUID, &LGUtils::writeErrorWithCode, fail,
                        [=](const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics,
                            const ErrorPtr& error) {
                            auto characteristic =
                                characteristics.empty() ? nullptr : findCharacteristicInList(characteristics, charactUUID);
                            if (characteristic) {
                                characteristic->writeValue(data, completion);
                                return;
                            }
                            fail(error ? error
                                       : writeErrorWithCode(kLGUtilsMissingCharacteristicErrorCode,
                                                            kLGUtilsMissingCharacteristicErrorMessage));
                        });
                });
}

void LGUtils::readDataFromCharactUUIDReadyPeripheral(const std::string& charactUUID, const std::string& serviceUUID,
                                                     const std::shared_ptr<LGPeripheral>& peripheral,
                                                     ReadCallback completion) {
    if (!peripheral) return;
    FailureStep fail = [completion](const ErrorPtr& error) {
        if (completion) completion(std::nullopt, error);
    };
    findService(serviceUUID, peripheral, &LGUtils::readErrorWithCode, fail,
                [=](const std::shared_ptr<LGService>& service) {
                    findCharacteristics(
                        service, charactUUID, &LGUtils::readErrorWithCode, fail,
                        [=](const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics,
                            const ErrorPtr& error) {
                            auto characteristic =
                                characteristics.empty() ? nullptr : findCharacteristicInList(characteristics, charactUUID);
                            if (characteristic) {
                                characteristic->readValueWithBlock(completion);
                                return;
                            }
                            fail(error ? error
                                       : readErrorWithCode(kLGUtilsMissingCharacteristicErrorCode,
                                                           kLGUtilsMissingCharacteristicErrorMessage));
                        });
                });
}

void LGUtils::discoverCharactUUIDReadyPeripheral(const std::string& charactUUID, const std::string& serviceUUID,
                                                 const std::shared_ptr<LGPeripheral>& peripheral,
                                                 DiscoverCallback completion) {
    if (!peripheral) return;
    FailureStep fail = [completion](const ErrorPtr& error) {
        if (completion) completion(nullptr, error);
    };
    findService(serviceUUID, peripheral, &LGUtils::discoverErrorWithCode, fail,
                [=](const std::shared_ptr<LGService>& service) {
                    findCharacteristics(
                        service, charactUUID, &LGUtils::discoverErrorWithCode, fail,
                        [=](const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics,
                            const ErrorPtr& error) {
                            if (!characteristics.empty()) {
                                // Absent, without an error, when the list lacks it.
                                if (completion) completion(findCharacteristicInList(characteristics, charactUUID), nullptr);
                                return;
                            }
                            fail(error ? error
                                       : discoverErrorWithCode(kLGUtilsMissingCharacteristicErrorCode,
                                                               kLGUtilsMissingCharacteristicErrorMessage));
                        });
                });
}

// ---- Look-ups and errors ----------------------------------------------------------------------

std::shared_ptr<LGService> LGUtils::findServiceInList(const std::vector<std::shared_ptr<LGService>>& list,
                                                      const std::string& UUID) {
    const std::string wanted = lowercase(UUID);
    for (const auto& service : list) {
        if (service && lowercase(service->UUIDString()) == wanted) return service;
    }
    return nullptr;
}

std::shared_ptr<LGCharacteristic> LGUtils::findCharacteristicInList(
    const std::vector<std::shared_ptr<LGCharacteristic>>& list, const std::string& UUID) {
    const std::string wanted = lowercase(UUID);
    for (const auto& characteristic : list) {
        if (characteristic && lowercase(characteristic->UUIDString()) == wanted) return characteristic;
    }
    return nullptr;
}

ErrorPtr LGUtils::writeErrorWithCode(std::int64_t code, const std::string& message) {
    return Error::make(kLGUtilsWriteErrorDomain, code, Dictionary{{kLGErrorMessageKey, message}});
}

ErrorPtr LGUtils::readErrorWithCode(std::int64_t code, const std::string& message) {
    return Error::make(kLGUtilsReadErrorDomain, code, Dictionary{{kLGErrorMessageKey, message}});
}

ErrorPtr LGUtils::discoverErrorWithCode(std::int64_t code, const std::string& message) {
    return Error::make(kLGUtilsDiscoverErrorDomain, code, Dictionary{{kLGErrorMessageKey, message}});
}

}  // namespace tandril
