// Scan periods, exploration and verification of the devices heard, the bond test over the
// paired classic devices, and the forced disconnection.

#include <memory>

#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformClassicDevice.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNConsumerManagerInternal.hpp"
#include "engine/CNDeviceNameCharacteristic.hpp"
#include "engine/CNMainService.hpp"
#include "engine/CNNotificationService.hpp"
#include "engine/CNPairedDeviceSource.hpp"
#include "engine/CNProviderCharacteristic.hpp"
#include "engine/CNUTF8.hpp"
#include "foundation/MainThread.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

using namespace consumer;

namespace {

// Apple's company identifier, little-endian at the start of the manufacturer data.
constexpr std::uint8_t kAppleCompanyIdentifier[] = {0x4C, 0x00};

bool listsService(const Value& list, const UUID& uuid) {
    const Array* entries = list.asArray();
    if (!entries) return false;
    for (const auto& entry : *entries) {
        const std::string* text = entry.asString();
        if (!text) continue;
        auto parsed = UUID::fromString(*text);
        if (parsed && *parsed == uuid) return true;
    }
    return false;
}

}  // namespace

// --- scan control

void CNConsumerManager::startScanning() {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (scanning_) {
        log("[CONSUMER] Already scanning...");
        return;
    }
    log("[CONSUMER] Start scanning...");

    discoveredPeripherals_ = {};
    verifiedPeripherals_ = {};
    unverifiedPeripherals_ = {};

    const auto notificationUUID = catalogueUUID(CNNotificationService::serviceUUID());
    if (centralManager_) {
        Dictionary options{{CBCentralManagerScanOptionSolicitedServiceUUIDsKey,
                            Value(Array{Value(notificationUUID.UUIDString())})}};
        centralManager_->scanForPeripheralsWithServices(std::nullopt, options);
    }

    scanning_ = true;
    if (auto delegate = this->delegate()) delegate->consumerManagerDidStartScanning(this);

    if (centralManager_) {
        // Registered with the central manager; nothing more is done with them here.
        centralManager_->retrieveConnectedPeripheralsWithServices({catalogueUUID(CNMainService::serviceUUID())});
        if (auto preferred = preferredUUID()) centralManager_->retrievePeripheralsWithIdentifiers({*preferred});
    }

    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    RunLoop::main().performAfterDelay(strongSelf(), kResetScanCall, seconds(kScanPeriodSeconds), [weak] {
        if (auto self = weak.lock()) self->resetScan();
    });
}

void CNConsumerManager::resetScan() {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!scanning_) return;
    log("[CONSUMER] Resetting scan...");
    stopScanning();
    startScanning();
}

void CNConsumerManager::stopScanning() {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!scanning_) {
        log("[CONSUMER] We're not scanning...");
        return;
    }
    log("[CONSUMER] Stop scanning...");
    if (centralManager_) centralManager_->stopScanForPeripherals();
    scanning_ = false;
    if (auto delegate = this->delegate()) delegate->consumerManagerDidStopScanning(this);
    RunLoop::main().cancelPerform(this, kResetScanCall);
}

void CNConsumerManager::reset() {
    TANDRIL_ASSERT_MAIN_THREAD();
    scanning_ = false;
    // The new central advertises nothing until its state says it may.
    advertising_ = false;
    if (centralManager_) centralManager_->resetCentralManager();
}

// --- discovery and verification

bool CNConsumerManager::mayBePhone(const Dictionary& advertisementData) {
    auto manufacturer = advertisementData.find(CBAdvertisementDataManufacturerDataKey);
    if (manufacturer != advertisementData.end()) {
        if (const Bytes* data = manufacturer->second.asData();
            data && data->size() >= 2 && (*data)[0] == kAppleCompanyIdentifier[0] &&
            (*data)[1] == kAppleCompanyIdentifier[1]) {
            return true;
        }
    }
    const UUID mainUUID = catalogueUUID(CNMainService::serviceUUID());
    const UUID notificationUUID = catalogueUUID(CNNotificationService::serviceUUID());
    for (const char* key : {CBAdvertisementDataServiceUUIDsKey, CBAdvertisementDataSolicitedServiceUUIDsKey}) {
        auto list = advertisementData.find(key);
        if (list == advertisementData.end()) continue;
        if (listsService(list->second, mainUUID) || listsService(list->second, notificationUUID)) return true;
    }
    return false;
}

void CNConsumerManager::discoveredPeripheral(const std::shared_ptr<LGPeripheral>& peripheral) {
    TANDRIL_ASSERT_MAIN_THREAD();
    log("[CONSUMER] Discovered peripheral %@", peripheral);
    if (!peripheral) return;
    auto identifier = identifierOf(peripheral);
    for (const auto& known : discoveredPeripherals_) {
        if (known == peripheral || (identifier && identifierOf(known) == identifier)) return;
    }
    discoveredPeripherals_.push_back(peripheral);

    // Connecting to every advertiser in range would mean connecting to the neighbours'
    // headphones and televisions every scan period: only what could be a phone is explored.
    // (A wrapper handed in without an advertisement has nothing to judge by.)
    if (const auto& advertisement = peripheral->advertisingData(); advertisement && !mayBePhone(*advertisement)) {
        log("[EXPLORE] Not exploring %@: its advertisement is not a phone's", peripheral);
        return;
    }

    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    explorePeripheral(peripheral, [weak](std::shared_ptr<LGPeripheral> p, bool verified, bool bonded, ErrorPtr) {
        auto self = weak.lock();
        if (self && p) self->exploreOutcome(p, verified, bonded);
    });
}

void CNConsumerManager::exploreOutcome(const std::shared_ptr<LGPeripheral>& p, bool verified, bool bonded) {
    if (!verified) {
        unverifiedPeripherals_.push_back(p);
        // A late outcome for the phone that is being connected leaves its link alone.
        if (isConnectedPhone(p)) return;
        p->disconnectWithCompletion([](const ErrorPtr& error) {
            log("[EXPLORE] Disconnected from un-Tandril peripheral (%@)", error);
        });
        return;
    }
    log("Peripheral %@ is a Tandril!", p);
    verifiedPeripherals_.push_back(p);
    auto preferred = preferredUUID();
    if (bonded && preferred) {
        log("pref %@", *preferred);
        if (!connectedPeripheral_) {
            connectToPeripheral(p);
        } else if (!isConnectedPhone(p)) {
            // Another phone holds the connection: this one must not stay linked.
            p->disconnectWithCompletion([](const ErrorPtr& error) {
                log("[EXPLORE] Disconnected from surplus Tandril peripheral (%@)", error);
            });
        }
        return;
    }
    p->disconnectWithCompletion([](const ErrorPtr& error) {
        log("[EXPLORE] Disconnected from unbonded-Tandril peripheral (%@)", error);
    });
}

void CNConsumerManager::explorePeripheral(const std::shared_ptr<LGPeripheral>& peripheral, ExploreCallback callback) {
    explorePeripheral(peripheral, std::move(callback), 0);
}

void CNConsumerManager::explorePeripheral(const std::shared_ptr<LGPeripheral>& peripheral, ExploreCallback callback,
                                          int attempt) {
    if (connectedPeripheral_ || !peripheral) return;
    log("[EXPLORE] Exploring %@", peripheral);

    // The connection attempt of an exploration ends by itself after a while.
    struct Attempt {
        bool finished = false;
        RunLoop::TimerId timer = 0;
    };
    auto state = std::make_shared<Attempt>();
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;

    peripheral->connectWithCompletion([weak, weakPeripheral, callback, state, attempt](const ErrorPtr& error) {
        if (state->finished) return;
        state->finished = true;
        RunLoop::main().cancel(state->timer);
        auto self = weak.lock();
        auto p = weakPeripheral.lock();
        if (!self || !p) return;
        if (error) {
            log("[EXPLORE] Couldn't connect to %@. (Error: %@)", p, error);
            if (callback) callback(p, false, false, error);
            return;
        }
        log("[EXPLORE] Connected to %@", p);
        self->exploreConnected(p, callback, attempt);
    });

    state->timer = RunLoop::main().schedule(
        seconds(kExploreConnectTimeoutSeconds), [weak, weakPeripheral, callback, state] {
            if (state->finished) return;
            state->finished = true;
            auto self = weak.lock();
            auto p = weakPeripheral.lock();
            if (!self || !p) return;
            // The connection sequence took the device over: its own time limit rules now.
            if (self->isConnectedPhone(p)) return;
            // When a newer wrapper took over the device (a new scan period), that wrapper's
            // exploration owns the link: leave it alone. (A late connection still finds the
            // attempt finished and goes no further.)
            if (!p->receivesPlatformEvents()) return;
            auto error = LGPeripheral::connectionErrorWithCode(kLGPeripheralConnectionTimeoutErrorCode,
                                                               kLGPeripheralConnectionTimeoutMessage);
            log("[EXPLORE] Couldn't connect to %@. (Error: %@)", p, error);
            if (callback) callback(p, false, false, error);
        });
}

void CNConsumerManager::exploreConnected(const std::shared_ptr<LGPeripheral>& peripheral, ExploreCallback callback,
                                         int attempt) {
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    const std::vector<UUID> uuids{catalogueUUID(CNMainService::serviceUUID()),
                                  catalogueUUID(CNNotificationService::serviceUUID())};
    peripheral->discoverServices(uuids, [weak, weakPeripheral, callback, attempt](
                                            const std::vector<std::shared_ptr<LGService>>& services,
                                            const ErrorPtr& error) {
        auto self = weak.lock();
        auto p = weakPeripheral.lock();
        if (!self || !p) return;
        log("[EXPLORE] Found %lu services. %@ (Error: %@)", services.size(), p, error);

        if (error && error->domain() == CBErrorDomain && error->code() == CBErrorNotConnected) {
            if (attempt >= kMaxExploreRetries) {
                // Given up: the device counts as not verified (and is disconnected there).
                if (callback) callback(p, false, false, error);
                return;
            }
            p->disconnectWithCompletion(nullptr);
            RunLoop::main().schedule(seconds(kExploreRetryDelay), [weak, p, callback, attempt] {
                if (auto again = weak.lock()) again->explorePeripheral(p, callback, attempt + 1);
            });
            return;
        }
        if (services.empty()) {
            if (callback) callback(p, false, false, nullptr);
            return;
        }
        auto mainService = firstService(services, catalogueUUID(CNMainService::serviceUUID()));
        if (!mainService) {
            if (callback) callback(p, true, false, nullptr);
            return;
        }
        log("[EXPLORE] Found main service!");
        const std::vector<UUID> characteristicUUIDs{catalogueUUID(CNDeviceNameCharacteristic::characteristicUUID()),
                                                    catalogueUUID(CNProviderCharacteristic::characteristicUUID())};
        mainService->discoverCharacteristicsWithUUIDs(
            characteristicUUIDs, [weak, weakPeripheral, callback](
                                     const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics,
                                     const ErrorPtr&) {
                auto self2 = weak.lock();
                auto p2 = weakPeripheral.lock();
                if (!self2 || !p2) return;
                auto deviceName =
                    lastCharacteristic(characteristics, catalogueUUID(CNDeviceNameCharacteristic::characteristicUUID()));
                auto provider =
                    lastCharacteristic(characteristics, catalogueUUID(CNProviderCharacteristic::characteristicUUID()));
                if (!deviceName) {
                    if (callback) callback(p2, true, false, nullptr);
                    return;
                }
                log("[EXPLORE] Found device name characteristic! %@", deviceName);
                deviceName->readValueWithBlock([weak, weakPeripheral, callback, provider](
                                                   const std::optional<Bytes>& data, const ErrorPtr& readError) {
                    auto self3 = weak.lock();
                    auto p3 = weakPeripheral.lock();
                    if (!self3 || !p3) return;
                    if (data && !readError) {
                        auto name = CNUTF8::decode(*data);
                        log("[EXPLORE] Device name: %@", name);
                        p3->setRealName(name);
                    } else {
                        log("[EXPLORE] Error reading device name: %@", readError);
                    }
                    self3->exploreBondTest(p3, provider, callback);
                });
            });
    });
}

void CNConsumerManager::exploreBondTest(const std::shared_ptr<LGPeripheral>& peripheral,
                                        const std::shared_ptr<LGCharacteristic>& provider, ExploreCallback callback) {
    if (deviceForPeripheral(peripheral)) {
        log("paired");
        if (callback) callback(peripheral, true, true, nullptr);
        return;
    }
    log("not paired");

    bool phonePaired = false;
    if (pairedDevices_) {
        for (const auto& device : pairedDevices_->pairedDevices()) {
            auto name = device ? device->name() : std::nullopt;
            if (name && name->find("iPhone") != std::string::npos) {
                phonePaired = true;
                break;
            }
        }
    }
    if (!phonePaired || !provider) {
        if (callback) callback(peripheral, true, false, nullptr);
        return;
    }

    log("[EXPLORE] Reading provider characteristic");
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    provider->readValueWithBlock([weakPeripheral, callback](const std::optional<Bytes>& data, const ErrorPtr& error) {
        log("[EXPLORE] Received provider data: %@ (%@)", optionalBytes(data), error);
        auto p = weakPeripheral.lock();
        if (p && callback) callback(p, true, data.has_value() && !error, nullptr);
    });
}

std::shared_ptr<PlatformClassicDevice> CNConsumerManager::deviceForPeripheral(
    const std::shared_ptr<LGPeripheral>& peripheral) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!pairedDevices_ || !peripheral) return nullptr;
    const auto advertisedName = peripheral->cbPeripheral() ? peripheral->cbPeripheral()->name() : std::nullopt;
    for (const auto& device : pairedDevices_->pairedDevices()) {
        if (!device) continue;
        const auto deviceName = device->name();
        log("Device: %@", deviceName);
        log("Peripheral: %@, %@", advertisedName, peripheral->realName());
        if (!deviceName) continue;
        if (advertisedName && *deviceName == *advertisedName) return device;
        if (*deviceName == peripheral->name()) return device;
        // An empty advertised name is contained in every text and proves nothing.
        if (advertisedName && !advertisedName->empty() && deviceName->find(*advertisedName) != std::string::npos) {
            return device;
        }
    }
    return nullptr;
}

void CNConsumerManager::forceDisconnection(const std::shared_ptr<LGPeripheral>& peripheral,
                                           PeripheralCallback callback) {
    if (!peripheral) return;
    if (auto device = deviceForPeripheral(peripheral)) {
        device->closeConnection();
        if (callback) callback(peripheral);
        return;
    }
    // The wrapper may complete one disconnection twice (its fallback, then the platform's
    // late report): the caller hears of it once.
    auto done = std::make_shared<bool>(false);
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    peripheral->disconnectWithCompletion([weakPeripheral, callback, done](const ErrorPtr&) {
        if (*done) return;
        *done = true;
        auto p = weakPeripheral.lock();
        if (p && callback) callback(p);
    });
}

}  // namespace tandril
