// The companion main-service handshake (device name, provider, the connection
// characteristic's subscription) and the provider poll while connected.

#include <memory>

#include "engine/CNConnectionCharacteristic.hpp"
#include "engine/CNConsumerCharacteristic.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/CNConsumerManagerInternal.hpp"
#include "engine/CNDeviceNameCharacteristic.hpp"
#include "engine/CNMainService.hpp"
#include "engine/CNProviderCharacteristic.hpp"
#include "engine/CNUTF8.hpp"
#include "foundation/MainThread.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

using namespace consumer;

void CNConsumerManager::hookMainService(const std::shared_ptr<LGService>& service,
                                       const std::shared_ptr<LGPeripheral>& peripheral, ServiceCallback callback) {
    TANDRIL_ASSERT_MAIN_THREAD();
    log("[CONSUMER] Hooking onto main service (%@)", service);
    if (!service) {
        if (callback) {
            callback(service, CNConsumerManagerError(CNConsumerManagerErrorMissingService,
                                                     "The phone offers no main service."));
        }
        return;
    }
    const UUID deviceNameUUID = CNDeviceNameCharacteristic::characteristicUUID().value_or(UUID());
    const UUID providerUUID = CNProviderCharacteristic::characteristicUUID().value_or(UUID());
    const UUID consumerUUID = CNConsumerCharacteristic::characteristicUUID().value_or(UUID());
    const UUID connectionUUID = CNConnectionCharacteristic::characteristicUUID().value_or(UUID());

    // The callbacks below live in the service's own characteristic wrappers: they hold
    // the service and the peripheral weakly so that a handshake cut short by a dropped
    // link leaves no reference cycle behind.
    std::weak_ptr<LGService> weakService = service;
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    service->discoverCharacteristicsWithUUIDs(
        std::vector<UUID>{deviceNameUUID, providerUUID, consumerUUID, connectionUUID},
        [=](const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics, const ErrorPtr& error) {
            log("[MAIN] Discovered %lu characteristics! (Error: %@)", characteristics.size(), error);
            std::shared_ptr<LGCharacteristic> deviceName, provider, consumer, connection;
            for (const auto& characteristic : characteristics) {
                if (!characteristic || !characteristic->cbCharacteristic()) continue;
                const UUID uuid = characteristic->cbCharacteristic()->UUID();
                if (uuid == deviceNameUUID) deviceName = characteristic;
                if (uuid == providerUUID) provider = characteristic;
                if (uuid == consumerUUID) consumer = characteristic;
                if (uuid == connectionUUID) connection = characteristic;
            }
            if (!deviceName || !provider || !consumer || !connection) {
                // Without its four characteristics this is not the companion's service:
                // tell the caller instead of leaving the connection in the pairing phase.
                if (callback) {
                    callback(weakService.lock(),
                             CNConsumerManagerError(CNConsumerManagerErrorMissingMainCharacteristics,
                                                    "The phone's main service lacks one of its characteristics.",
                                                    error));
                }
                return;
            }
            log("[MAIN] Device name characteristic: %@", deviceName);
            log("[MAIN] Consumer characteristic: %@", consumer);
            log("[MAIN] Provider characteristic: %@", provider);
            log("[MAIN] Connection charachteristic: %@", connection);

            connection->setNotifyValue(
                true,
                [=](const ErrorPtr& subscribeError) {
                    log("[MAIN] Subscribed to connection (Error: %@)", subscribeError);
                    if (subscribeError) {
                        if (callback) callback(weakService.lock(), subscribeError);
                        return;
                    }
                    deviceName->readValueWithBlock([=](const std::optional<Bytes>& value, const ErrorPtr& readError) {
                        const std::optional<std::string> text = value ? CNUTF8::decode(*value) : std::nullopt;
                        log("[MAIN] Received data: %@ (Error: %@)", text, readError);
                        if (text) {
                            if (auto p = weakPeripheral.lock()) p->setRealName(text);
                        }
                        provider->readValueWithBlock(
                            [=](const std::optional<Bytes>& providerValue, const ErrorPtr& providerError) {
                                const std::optional<std::string> providerText =
                                    providerValue ? CNUTF8::decode(*providerValue) : std::nullopt;
                                log("[MAIN] Received data: %@ (Error: %@)", providerText, providerError);
                                if (callback) callback(weakService.lock(), providerError);
                            });
                    });
                },
                // Only logged. Once the connection sequence discovers the services again
                // this wrapper is replaced and later notifications are dropped by the BLE
                // layer; nothing depends on them, so they are left to go.
                [](const std::optional<Bytes>& value, const ErrorPtr& updateError) {
                    log("Update %@ %@", describe(value), updateError);
                });
        });
}

// Asks the connected phone's provider characteristic for a read every 30 seconds. The read
// goes through a wrapper of its own, outside the service's list, so the phone's answer is
// not routed back here: the request itself is what keeps the companion's link busy.
void CNConsumerManager::requestProviderData() {
    TANDRIL_ASSERT_MAIN_THREAD();
    log("[CONSUMER] Requesting provider data... %@", connectedPeripheral_);
    std::shared_ptr<LGService> mainService;
    const auto mainUUID = CNMainService::serviceUUID();
    if (connectedPeripheral_ && mainUUID) {
        for (const auto& service : connectedPeripheral_->services()) {
            if (service && service->cbService() && service->cbService()->UUID() == *mainUUID) {
                mainService = service;
                break;
            }
        }
    }
    const auto providerUUID = CNProviderCharacteristic::characteristicUUID();
    if (mainService && providerUUID) {
        for (const auto& characteristic : mainService->cbService()->characteristics()) {
            if (!characteristic || characteristic->UUID() != *providerUUID) continue;
            log("[CONSUMER] Reading provider data...");
            auto wrapper = std::make_shared<LGCharacteristic>(characteristic);
            wrapper->readValueWithBlock([](const std::optional<Bytes>& value, const ErrorPtr& error) {
                log("response %@ %@", describe(value), error);
            });
        }
    }
    auto self = std::static_pointer_cast<CNConsumerManager>(shared_from_this());
    RunLoop::main().performAfterDelay(self, kRequestProviderDataCall, seconds(kProviderPollDelay),
                                      [this] { requestProviderData(); });
}

}  // namespace tandril
