// The connection sequence: connect with a time limit, discover both services, the
// companion handshake, the subscription to the notification-center service; the requested
// and the unrequested disconnection.

#include <memory>

#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/CNConsumerManagerInternal.hpp"
#include "engine/CNControlPointCharacteristic.hpp"
#include "engine/CNDataSourceCharacteristic.hpp"
#include "engine/CNMainService.hpp"
#include "engine/CNNotificationService.hpp"
#include "engine/CNNotificationSourceCharacteristic.hpp"
#include "foundation/MainThread.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

using namespace consumer;

bool CNConsumerManager::isConnectedPhone(const std::shared_ptr<LGPeripheral>& peripheral) const {
    if (!connectedPeripheral_ || !peripheral) return false;
    if (connectedPeripheral_ == peripheral) return true;
    auto a = identifierOf(connectedPeripheral_);
    auto b = identifierOf(peripheral);
    return a && b && *a == *b;
}

void CNConsumerManager::endSequence() { ++sequence_; }

void CNConsumerManager::connectToPeripheral(const std::shared_ptr<LGPeripheral>& peripheral) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!peripheral || connectedPeripheral_) return;

    stopScanning();

    connectedPeripheral_ = peripheral;
    updateAdvertising();
    log("[CONSUMER] Connecting to %@...", peripheral);
    const auto sequence = ++sequence_;

    if (auto delegate = this->delegate()) {
        delegate->consumerManagerUpdatedConnectionPhase(this, CNConnectionPhaseConnecting);
    }

    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    peripheral->connectWithTimeout(kConnectTimeoutSeconds, [weak, weakPeripheral, sequence](const ErrorPtr& error) {
        auto self = weak.lock();
        auto p = weakPeripheral.lock();
        if (!self || !p || sequence != self->sequence_) return;
        if (error) {
            log("[CONSUMER] Failed connecting to %@.", p);
            self->endSequence();
            self->clearConnectedPeripheral();
            // The next attempt counts its wrong-services retries afresh.
            self->wrongServicesPhone_.reset();
            self->wrongServicesRetries_ = 0;
            if (auto delegate = self->delegate()) {
                delegate->consumerManagerFailedToConnectToPeripheralError(self.get(), p, error);
            }
            return;
        }
        log("[CONSUMER] Connected to %@!", p);
        self->discoverServicesForPeripheral(p);
    });

    if (auto delegate = this->delegate()) delegate->consumerManagerWillConnectToPeripheral(this, peripheral);
}

void CNConsumerManager::failConnection(const std::shared_ptr<LGPeripheral>& peripheral, const ErrorPtr& error,
                                       const char* disconnectLogFormat) {
    peripheral->disconnectWithCompletion(
        [disconnectLogFormat](const ErrorPtr& disconnectError) { log(disconnectLogFormat, disconnectError); });
    // Idle before the delegate hears of it, so that whatever it asks the engine in return
    // already shows no phone.
    endSequence();
    clearConnectedPeripheral();
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerFailedToConnectToPeripheralError(this, peripheral, error);
    }
}

void CNConsumerManager::discoverServicesForPeripheral(const std::shared_ptr<LGPeripheral>& peripheral) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!peripheral) return;
    discoverPhoneServices(peripheral, sequence_, &CNConsumerManager::discoveredConnectionServices);
}

void CNConsumerManager::discoverPhoneServices(const std::shared_ptr<LGPeripheral>& peripheral,
                                              std::uint64_t sequence, ServicesHandler handler) {
    log("[CONSUMER] Discovering services...");
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    const std::vector<UUID> uuids{catalogueUUID(CNMainService::serviceUUID()), catalogueUUID(CNNotificationService::serviceUUID())};
    peripheral->discoverServices(uuids, [weak, weakPeripheral, sequence, handler](
                                            const std::vector<std::shared_ptr<LGService>>& services,
                                            const ErrorPtr& error) {
        auto self = weak.lock();
        auto p = weakPeripheral.lock();
        if (!self || !p || sequence != self->sequence_) return;
        ((*self).*handler)(p, services, error, sequence);
    });
}

void CNConsumerManager::discoveredConnectionServices(const std::shared_ptr<LGPeripheral>& peripheral,
                                                     const std::vector<std::shared_ptr<LGService>>& services,
                                                     const ErrorPtr& error, std::uint64_t sequence) {
    log("[CONSUMER] Discovered %lu services! (Error: %@)", services.size(), error);

    if (services.size() == 1) {
        // Only one of the two: the platform's cached view of the phone is stale.
        resetAfterStaleCache();
        return;
    }

    auto mainService = firstService(services, catalogueUUID(CNMainService::serviceUUID()));
    if (!mainService) {
        auto identifier = identifierOf(peripheral);
        if (identifier && wrongServicesPhone_ == identifier) {
            ++wrongServicesRetries_;
        } else {
            wrongServicesPhone_ = identifier;
            wrongServicesRetries_ = 1;
        }
        if (wrongServicesRetries_ > kMaxWrongServicesRetries) {
            wrongServicesPhone_.reset();
            wrongServicesRetries_ = 0;
            failConnection(peripheral,
                           CNConsumerManagerError(CNConsumerManagerErrorMissingService,
                                                  "The phone does not offer the companion's main service.", error),
                           "[CONSUMER] Disconnected because of wrong services! %@");
            return;
        }
        peripheral->disconnectWithCompletion([](const ErrorPtr& disconnectError) {
            log("[CONSUMER] Disconnected because of wrong services! %@", disconnectError);
        });
        endSequence();
        clearConnectedPeripheral();
        std::weak_ptr<CNConsumerManager> weak = strongSelf();
        auto p = peripheral;
        RunLoop::main().performAfterDelay(strongSelf(), kConnectToPeripheralCall, seconds(kWrongServicesRetryDelay),
                                          [weak, p] {
                                              if (auto again = weak.lock()) again->connectToPeripheral(p);
                                          });
        return;
    }

    wrongServicesPhone_.reset();
    wrongServicesRetries_ = 0;
    log("[CONSUMER] Main service found! %@", mainService);
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerUpdatedConnectionPhase(this, CNConnectionPhasePairing);
    }
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    auto answered = std::make_shared<bool>(false);
    hookMainService(mainService, peripheral,
                    [weak, weakPeripheral, sequence, answered](std::shared_ptr<LGService>, ErrorPtr hookError) {
                        auto self = weak.lock();
                        auto p = weakPeripheral.lock();
                        if (!self || !p || *answered || sequence != self->sequence_) return;
                        *answered = true;
                        self->hookedMainService(p, hookError, sequence);
                    });
}

void CNConsumerManager::hookedMainService(const std::shared_ptr<LGPeripheral>& peripheral, const ErrorPtr& error,
                                          std::uint64_t sequence) {
    log("[CONSUMER] Hooked to main service (Error: %@)", error);
    if (!error) {
        std::weak_ptr<CNConsumerManager> weak = strongSelf();
        std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
        const std::vector<UUID> notificationUUIDs{catalogueUUID(CNNotificationService::serviceUUID())};
        peripheral->discoverServices(notificationUUIDs, [weak, weakPeripheral, sequence](
                                                            const std::vector<std::shared_ptr<LGService>>& found,
                                                            const ErrorPtr& discoverError) {
            auto self = weak.lock();
            auto p = weakPeripheral.lock();
            if (!self || !p || sequence != self->sequence_) return;
            self->discoveredNotificationServices(p, found, discoverError);
        });
    } else if (error->domain() == CBATTErrorDomain &&
               (error->code() == CBATTErrorInsufficientAuthorization || error->code() == CBATTErrorInvalidHandle)) {
        resetAfterStaleCache();
    } else {
        failConnection(peripheral, error, "[CONSUMER] Disconnected because of failed main service (Error: %@)");
    }
}

void CNConsumerManager::discoveredNotificationServices(const std::shared_ptr<LGPeripheral>& peripheral,
                                                       const std::vector<std::shared_ptr<LGService>>& services,
                                                       const ErrorPtr& error) {
    log("[CONSUMER] Discovered %lu services! (Error: %@)", services.size(), error);
    auto notificationService = firstService(services, catalogueUUID(CNNotificationService::serviceUUID()));
    if (!notificationService) {
        failConnection(peripheral,
                       CNConsumerManagerError(CNConsumerManagerErrorMissingService,
                                              "The phone does not offer its notification-center service.", error),
                       "[CONSUMER] Disconnected because of failed notification service (Error: %@)");
        return;
    }
    log("[CONSUMER] Notification service found! %@", notificationService);
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerUpdatedConnectionPhase(this, CNConnectionPhaseSubscribing);
    }

    const auto sequence = sequence_;
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    auto answered = std::make_shared<bool>(false);
    hookNotificationCenterService(notificationService, peripheral, [weak, weakPeripheral, sequence, answered](
                                                                       std::shared_ptr<LGService>, ErrorPtr hookError) {
        auto self = weak.lock();
        auto p = weakPeripheral.lock();
        if (!self || !p || *answered || sequence != self->sequence_) return;
        *answered = true;
        self->hookedNotificationService(p, hookError);
    });
}

void CNConsumerManager::hookedNotificationService(const std::shared_ptr<LGPeripheral>& peripheral,
                                                  const ErrorPtr& error) {
    log("[CONSUMER] Hooked to notification service (Error: %@)", error);
    RunLoop::main().cancelPerform(this, kPairingTimeoutCall);
    if (error && stockPhone_ && error->domain() == CBATTErrorDomain &&
        (error->code() == CBATTErrorInsufficientAuthentication || error->code() == CBATTErrorInsufficientEncryption)) {
        log("[CONSUMER] %@ did not pair! (Error: %@)", peripheral, error);
    }
    if (error) {
        failConnection(peripheral, error,
                       "[CONSUMER] Disconnected because of failed notification service (Error: %@)");
        return;
    }
    // Exactly one poll is pending while a phone with the companion application is
    // connected; a phone without it has no provider to poll.
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    RunLoop::main().cancelPerform(this, kRequestProviderDataCall);
    if (!stockPhone_) RunLoop::main().performAfterDelay(strongSelf(), kRequestProviderDataCall, seconds(kProviderPollDelay), [weak] {
        if (auto poller = weak.lock()) poller->requestProviderData();
    });
    setPreferredUUID(identifierOf(peripheral));
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerUpdatedConnectionPhase(this, CNConnectionPhaseConnected);
    }
    if (auto delegate = this->delegate()) delegate->consumerManagerDidConnectToPeripheral(this, peripheral);
}

void CNConsumerManager::hookNotificationCenterService(const std::shared_ptr<LGService>& service,
                                                      const std::shared_ptr<LGPeripheral>& peripheral,
                                                      ServiceCallback callback) {
    TANDRIL_ASSERT_MAIN_THREAD();
    (void)peripheral;
    log("[CONSUMER] Hooking onto notification service (%@)", service);
    if (!service) {
        if (callback) {
            callback(service, CNConsumerManagerError(CNConsumerManagerErrorMissingService,
                                                     "The phone offers no notification-center service."));
        }
        return;
    }

    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGService> weakService = service;
    const UUID sourceUUID = catalogueUUID(CNNotificationSourceCharacteristic::characteristicUUID());
    const UUID controlPointUUID = catalogueUUID(CNControlPointCharacteristic::characteristicUUID());
    const UUID dataSourceUUID = catalogueUUID(CNDataSourceCharacteristic::characteristicUUID());
    service->discoverCharacteristicsWithUUIDs(
        std::vector<UUID>{sourceUUID, controlPointUUID, dataSourceUUID},
        [weak, weakService, callback, sourceUUID, controlPointUUID, dataSourceUUID](
            const std::vector<std::shared_ptr<LGCharacteristic>>& found, const ErrorPtr& discoverError) {
            auto self = weak.lock();
            auto n = weakService.lock();
            if (!self || !n) return;
            log("[ANCS] Discovered %lu characteristics", found.size());

            auto notificationSource = lastCharacteristic(found, sourceUUID);
            auto controlPoint = lastCharacteristic(found, controlPointUUID);
            auto dataSource = lastCharacteristic(found, dataSourceUUID);
            self->notificationSourceCharacteristic_ = notificationSource;
            self->controlPointCharacteristic_ = controlPoint;
            self->dataSourceCharacteristic_ = dataSource;
            log("[ANCS] Notification source: %@", notificationSource);
            log("[ANCS] Control point: %@", controlPoint);
            log("[ANCS] Data source: %@", dataSource);

            // Without both sources the subscription cannot complete: end the hook with an
            // error instead of waiting for an answer that never comes.
            const bool complete = dataSource && notificationSource;
            if (complete) {
                // The completion holds the notification source until it runs (the source
                // does not hold the data source, so this makes no cycle): the hook always answers.
                dataSource->setNotifyValue(
                    true,
                    [weak, weakService, source = notificationSource, callback](const ErrorPtr& dataError) {
                        log("[ANCS] Subscribed to data source (Error: %@)", dataError);
                        auto service2 = weakService.lock();
                        if (dataError) {
                            if (callback) callback(service2, dataError);
                            return;
                        }
                        source->setNotifyValue(
                            true,
                            [weakService, callback](const ErrorPtr& sourceError) {
                                log("[ANCS] Subscribed to notification source (Error: %@)", sourceError);
                                if (callback) callback(weakService.lock(), sourceError);
                            },
                            [weak](const std::optional<Bytes>& value, const ErrorPtr& valueError) {
                                log("[ANCS] Notification source data: %@ (Error: %@)", optionalBytes(value),
                                    valueError);
                                auto self3 = weak.lock();
                                if (self3) self3->handleNotificationSourceData(value.value_or(Bytes()));
                            });
                    },
                    [weak](const std::optional<Bytes>& value, const ErrorPtr& valueError) {
                        log("[ANCS] Data source data: %@ (Error: %@)", optionalBytes(value), valueError);
                        auto self2 = weak.lock();
                        if (self2) self2->handleDataSourceData(value.value_or(Bytes()));
                    });
            }
            if (!notificationSource || !controlPoint || !dataSource) log("Dead end");
            if (!complete && callback) {
                callback(n, CNConsumerManagerError(CNConsumerManagerErrorMissingNotificationCharacteristics,
                                                   "The phone's notification-center service lacks its data source "
                                                   "or notification source.",
                                                   discoverError));
            }
        });
}

void CNConsumerManager::disconnect() {
    TANDRIL_ASSERT_MAIN_THREAD();
    RunLoop::main().cancelPerform(this, kRequestProviderDataCall);
    // A pending reconnection after wrong services is part of the connection being ended.
    RunLoop::main().cancelPerform(this, kConnectToPeripheralCall);
    wrongServicesPhone_.reset();
    wrongServicesRetries_ = 0;

    log("[CONSUMER] Disconnecting on request... %@", connectedPeripheral_);
    if (!connectedPeripheral_) return;

    // The running sequence ends here; its later steps are ignored.
    const auto sequence = ++sequence_;
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    connectedPeripheral_->disconnectWithCompletion([weak, sequence](const ErrorPtr& error) {
        log("[CONSUMER] Disconnected on request! (Error: %@)", error);
        auto self = weak.lock();
        // A second completion of the same request (the wrapper's fallback, then the
        // platform's late report) finds the disconnection already reported.
        if (!self || sequence != self->sequence_ || !self->connectedPeripheral_) return;
        auto peripheral = self->connectedPeripheral_;
        self->endSequence();
        self->clearConnectedPeripheral();
        if (auto delegate = self->delegate()) {
            delegate->consumerManagerDisconnectedFromPeripheralError(self.get(), peripheral, nullptr);
        }
    });
}

void CNConsumerManager::receivedDisconnectionNotification(const Notification& notification) {
    TANDRIL_ASSERT_MAIN_THREAD();
    auto peripheral = std::dynamic_pointer_cast<LGPeripheral>(notification.object);
    if (!peripheral || !peripheral->cbPeripheral()) return;
    if (peripheral->state() != CBPeripheralStateDisconnected || !connectedPeripheral_) return;
    // Explored devices come and go while a phone is connected: only the phone's own link
    // counts. A scan start keeps the connected phone's wrapper, so its disconnection comes
    // from the very wrapper the sequence connected.
    if (peripheral != connectedPeripheral_) return;

    log("[CONSUMER] Disconnected from peripheral: %@", peripheral);
    endSequence();
    clearConnectedPeripheral();
    RunLoop::main().cancelPerform(this, kRequestProviderDataCall);
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerDisconnectedFromPeripheralError(this, peripheral, nullptr);
    }
}

}  // namespace tandril
