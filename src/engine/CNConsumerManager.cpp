#include "engine/CNConsumerManager.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "ble/LGCentralManager.hpp"
#include "ble/LGCharacteristic.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/LGService.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformClassicDevice.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "ble/platform/PlatformService.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNCacheHelperClient.hpp"
#include "engine/CNConnectionCharacteristic.hpp"
#include "engine/CNConsumerCharacteristic.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/CNControlPointCharacteristic.hpp"
#include "engine/CNDataSourceCharacteristic.hpp"
#include "engine/CNDeviceNameCharacteristic.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "engine/CNMainService.hpp"
#include "engine/CNNotificationService.hpp"
#include "engine/CNNotificationSourceCharacteristic.hpp"
#include "engine/CNProviderCharacteristic.hpp"
#include "engine/CNUTF8.hpp"
#include "foundation/Date.hpp"
#include "foundation/Log.hpp"
#include "foundation/UserDefaults.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"
#include "model/CNNotificationApplicationManager.hpp"

namespace tandril {

namespace {

// The agent's defaults domain and the key of the preferred phone.
constexpr const char* kAgentDefaultsDomain = "com.Varn.Glimwick";
constexpr const char* kPreferredUUIDKey = "CNConsumerManagerPreferredUUID";

// The helper's launch label.
constexpr const char* kHelperLabel = "com.Varn.cbcache";

// Names of the engine's delayed calls.
constexpr const char* kResetScanCall = "resetScan";
constexpr const char* kRequestProviderDataCall = "requestProviderData";
constexpr const char* kConnectToPeripheralCall = "connectToPeripheral";

constexpr std::uint64_t kConnectTimeoutSeconds = 5;
constexpr double kWrongServicesRetryDelay = 1.0;
constexpr double kExploreRetryDelay = 1.0;
constexpr double kScanPeriodSeconds = 60.0;
constexpr double kProviderPollDelay = 30.0;

UUID catalogueUUID(const std::optional<UUID>& uuid) { return uuid.value_or(UUID()); }

bool hasUUID(const std::shared_ptr<LGService>& service, const UUID& uuid) {
    return service && service->cbService() && service->cbService()->UUID() == uuid;
}

bool hasUUID(const std::shared_ptr<LGCharacteristic>& characteristic, const UUID& uuid) {
    return characteristic && characteristic->cbCharacteristic() && characteristic->cbCharacteristic()->UUID() == uuid;
}

std::shared_ptr<LGService> firstService(const std::vector<std::shared_ptr<LGService>>& services, const UUID& uuid) {
    for (const auto& service : services) {
        if (hasUUID(service, uuid)) return service;
    }
    return nullptr;
}

std::shared_ptr<LGCharacteristic> lastCharacteristic(
    const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics, const UUID& uuid) {
    std::shared_ptr<LGCharacteristic> found;
    for (const auto& characteristic : characteristics) {
        if (hasUUID(characteristic, uuid)) found = characteristic;
    }
    return found;
}

std::optional<UUID> identifierOf(const std::shared_ptr<LGPeripheral>& peripheral) {
    if (!peripheral || !peripheral->cbPeripheral()) return std::nullopt;
    return peripheral->cbPeripheral()->identifier();
}

LogArg optionalBytes(const std::optional<Bytes>& data) { return data ? LogArg(*data) : LogArg(nullptr); }

// The agent's defaults. The shared instance is used when the program runs under the
// agent's domain, so that its other keys and these never overwrite each other; otherwise
// the domain's file is read afresh.
template <class Fn>
auto withAgentDefaults(Fn&& fn) {
    if (UserDefaults::standardUserDefaults().domain() == kAgentDefaultsDomain) {
        return fn(UserDefaults::standardUserDefaults());
    }
    UserDefaults defaults(kAgentDefaultsDomain);
    return fn(defaults);
}

// Notification-service wire format.
constexpr std::uint8_t kEventIDNotificationAdded = 0;
constexpr std::uint8_t kEventIDNotificationModified = 1;
constexpr std::uint8_t kEventIDNotificationRemoved = 2;
// EventFlags bit of a notification the phone already held when the subscription began.
constexpr std::uint8_t kEventFlagPreExisting = 1 << 2;

constexpr std::uint8_t kCommandIDGetNotificationAttributes = 0;
constexpr std::uint8_t kCommandIDGetAppAttributes = 1;

constexpr std::uint8_t kAttributeIDAppIdentifier = 0;
constexpr std::uint8_t kAttributeIDTitle = 1;
constexpr std::uint8_t kAttributeIDSubtitle = 2;
constexpr std::uint8_t kAttributeIDMessage = 3;
constexpr std::uint8_t kAttributeIDDate = 5;
constexpr std::uint8_t kAppAttributeIDDisplayName = 0;

// A notification-attributes answer is complete after this many tuples.
constexpr int kNotificationAttributeCount = 5;
// An identifier longer than this cannot have come from the phone (its length field is 16-bit).
constexpr std::size_t kMaxIdentifierLength = 65535;

constexpr double kDataSourceStaleSeconds = 3.0;

// A decoding failure: a read outside the buffered bytes.
class DecodeFailure : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

std::uint8_t byteAt(const Bytes& buffer, std::size_t index) {
    if (index >= buffer.size()) {
        throw DecodeFailure("range {" + std::to_string(index) + ", 1} exceeds data length " +
                            std::to_string(buffer.size()));
    }
    return CNConsumerManager::byteDataForData(buffer)[index];
}

std::uint16_t uint16At(const Bytes& buffer, std::size_t index) {
    return static_cast<std::uint16_t>(byteAt(buffer, index) | (byteAt(buffer, index + 1) << 8));
}

// The UTF-8 bytes the Control Point command carries for a record's application.
std::string identifierOf(const std::shared_ptr<CNNotification>& notification) {
    if (!notification || !notification->application()) return {};
    return notification->application()->bundleIdentifier().value_or(std::string());
}

// Texts of optional byte strings for log lines (absent prints as "(null)").
std::optional<std::string> describe(const std::optional<Bytes>& value) {
    if (!value) return std::nullopt;
    return bytesDescription(*value);
}

int digits(const std::string& text, std::size_t from, std::size_t count) {
    int value = 0;
    for (std::size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

}  // namespace

// --- creation

std::shared_ptr<CNConsumerManager> CNConsumerManager::create() {
    std::shared_ptr<CNConsumerManager> manager(new CNConsumerManager());
    manager->setUp();
    return manager;
}

CNConsumerManager::CNConsumerManager() = default;

CNConsumerManager::~CNConsumerManager() = default;

std::shared_ptr<CNConsumerManager> CNConsumerManager::strongSelf() {
    return std::static_pointer_cast<CNConsumerManager>(shared_from_this());
}

void CNConsumerManager::setUp() {
    std::weak_ptr<CNConsumerManager> weak = strongSelf();

    centralManager_ = LGCentralManager::sharedInstance();

    if (!isHelperInstalled()) installHelper();

    scanning_ = false;
    activeNotifications_.clear();

    auto& center = NotificationCenter::defaultCenter();
    disconnectObservation_ = ObserverRegistration(
        center, center.addObserver(kLGPeripheralDidDisconnect, nullptr, [weak](const Notification& notification) {
            if (auto self = weak.lock()) self->receivedDisconnectionNotification(notification);
        }));

    if (centralManager_) {
        centralManager_->setStateChangedCallback([weak](std::int64_t state) {
            auto self = weak.lock();
            if (!self) return;
            switch (state) {
                case CBCentralManagerStateUnknown: log("[CONSUMER] State: Unknown"); break;
                case CBCentralManagerStateResetting: log("[CONSUMER] State: Resetting"); break;
                case CBCentralManagerStateUnsupported: log("[CONSUMER] State: Unsupported"); break;
                case CBCentralManagerStateUnauthorized: log("[CONSUMER] State: Unauthorized"); break;
                case CBCentralManagerStatePoweredOff: log("[CONSUMER] State: Powered off"); break;
                case CBCentralManagerStatePoweredOn: log("[CONSUMER] State: Powered on"); break;
                default: break;
            }
            if (auto delegate = self->delegate()) delegate->consumerManagerUpdatedState(self.get(), state);
        });

        centralManager_->setDiscoveredPeripheralCallback([weak](const std::shared_ptr<LGPeripheral>& peripheral) {
            if (auto self = weak.lock()) self->discoveredPeripheral(peripheral);
        });
    }

    // Loads the application catalogue before the first notification arrives.
    CNNotificationApplicationManager::defaultManager();
}

// --- properties

std::optional<UUID> CNConsumerManager::preferredUUID() const {
    return withAgentDefaults([](UserDefaults& defaults) -> std::optional<UUID> {
        defaults.synchronize();
        auto text = defaults.stringForKey(kPreferredUUIDKey);
        if (!text) return std::nullopt;
        auto uuid = UUID::fromString(*text);
        // Only a full 128-bit identifier names a peripheral.
        if (!uuid || uuid->data().size() != 16) return std::nullopt;
        return uuid;
    });
}

void CNConsumerManager::setPreferredUUID(const std::optional<UUID>& uuid) {
    withAgentDefaults([&uuid](UserDefaults& defaults) {
        if (uuid) {
            defaults.setObject(Value(uuid->UUIDString()), kPreferredUUIDKey);
        } else {
            defaults.removeObjectForKey(kPreferredUUIDKey);
        }
        defaults.synchronize();
        return 0;
    });
}

std::string CNConsumerManager::description() const { return defaultDescription(); }

// --- connection sequence

bool CNConsumerManager::isConnectedPhone(const std::shared_ptr<LGPeripheral>& peripheral) const {
    if (!connectedPeripheral_ || !peripheral) return false;
    if (connectedPeripheral_ == peripheral) return true;
    auto a = identifierOf(connectedPeripheral_);
    auto b = identifierOf(peripheral);
    return a && b && *a == *b;
}

void CNConsumerManager::endSequence() { ++sequence_; }

void CNConsumerManager::connectToPeripheral(const std::shared_ptr<LGPeripheral>& peripheral) {
    if (!peripheral || connectedPeripheral_) return;

    stopScanning();

    connectedPeripheral_ = peripheral;
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
            self->connectedPeripheral_ = nullptr;
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
    connectedPeripheral_ = nullptr;
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerFailedToConnectToPeripheralError(this, peripheral, error);
    }
}

void CNConsumerManager::resetAfterStaleCache() {
    endSequence();
    connectedPeripheral_ = nullptr;
    clearCoreBluetoothCache();
    reset();
}

void CNConsumerManager::discoverServicesForPeripheral(const std::shared_ptr<LGPeripheral>& peripheral) {
    if (!peripheral) return;
    log("[CONSUMER] Discovering services...");
    const auto sequence = sequence_;
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    const std::vector<UUID> uuids{catalogueUUID(CNMainService::serviceUUID()),
                                  catalogueUUID(CNNotificationService::serviceUUID())};
    peripheral->discoverServices(uuids, [weak, weakPeripheral, sequence](
                                            const std::vector<std::shared_ptr<LGService>>& services,
                                            const ErrorPtr& error) {
        auto self = weak.lock();
        auto p = weakPeripheral.lock();
        if (!self || !p || sequence != self->sequence_) return;
        log("[CONSUMER] Discovered %lu services! (Error: %@)", services.size(), error);

        if (services.size() == 1) {
            // Only one of the two: the platform's cached view of the phone is stale.
            self->resetAfterStaleCache();
            return;
        }

        auto mainService = firstService(services, catalogueUUID(CNMainService::serviceUUID()));
        if (!mainService) {
            auto identifier = identifierOf(p);
            if (identifier && self->wrongServicesPhone_ == identifier) {
                ++self->wrongServicesRetries_;
            } else {
                self->wrongServicesPhone_ = identifier;
                self->wrongServicesRetries_ = 1;
            }
            if (self->wrongServicesRetries_ > kMaxWrongServicesRetries) {
                self->wrongServicesPhone_.reset();
                self->wrongServicesRetries_ = 0;
                self->failConnection(p,
                                     CNConsumerManagerError(CNConsumerManagerErrorMissingService,
                                                            "The phone does not offer the companion's main service."),
                                     "[CONSUMER] Disconnected because of wrong services! %@");
                return;
            }
            p->disconnectWithCompletion([](const ErrorPtr& disconnectError) {
                log("[CONSUMER] Disconnected because of wrong services! %@", disconnectError);
            });
            self->endSequence();
            self->connectedPeripheral_ = nullptr;
            RunLoop::main().performAfterDelay(self, kConnectToPeripheralCall, seconds(kWrongServicesRetryDelay),
                                              [weak, p] {
                                                  if (auto again = weak.lock()) again->connectToPeripheral(p);
                                              });
            return;
        }

        self->wrongServicesPhone_.reset();
        self->wrongServicesRetries_ = 0;
        log("[CONSUMER] Main service found! %@", mainService);
        if (auto delegate = self->delegate()) {
            delegate->consumerManagerUpdatedConnectionPhase(self.get(), CNConnectionPhasePairing);
        }
        auto answered = std::make_shared<bool>(false);
        self->hookMainService(mainService, p, [weak, weakPeripheral, sequence, answered](
                                                  std::shared_ptr<LGService>, ErrorPtr hookError) {
            auto self2 = weak.lock();
            auto p2 = weakPeripheral.lock();
            if (!self2 || !p2 || *answered || sequence != self2->sequence_) return;
            *answered = true;
            log("[CONSUMER] Hooked to main service (Error: %@)", hookError);
            if (!hookError) {
                const std::vector<UUID> notificationUUIDs{catalogueUUID(CNNotificationService::serviceUUID())};
                p2->discoverServices(notificationUUIDs, [weak, weakPeripheral, sequence](
                                                            const std::vector<std::shared_ptr<LGService>>& found,
                                                            const ErrorPtr& discoverError) {
                    auto self3 = weak.lock();
                    auto p3 = weakPeripheral.lock();
                    if (!self3 || !p3 || sequence != self3->sequence_) return;
                    self3->discoveredNotificationServices(p3, found, discoverError);
                });
            } else if (hookError->domain() == CBATTErrorDomain &&
                       (hookError->code() == CBATTErrorInsufficientAuthorization ||
                        hookError->code() == CBATTErrorInvalidHandle)) {
                self2->resetAfterStaleCache();
            } else {
                self2->failConnection(p2, hookError,
                                      "[CONSUMER] Disconnected because of failed main service (Error: %@)");
            }
        });
    });
}

void CNConsumerManager::discoveredNotificationServices(const std::shared_ptr<LGPeripheral>& peripheral,
                                                       const std::vector<std::shared_ptr<LGService>>& services,
                                                       const ErrorPtr& error) {
    log("[CONSUMER] Discovered %lu services! (Error: %@)", services.size(), error);
    auto notificationService = firstService(services, catalogueUUID(CNNotificationService::serviceUUID()));
    if (!notificationService) {
        failConnection(peripheral,
                       CNConsumerManagerError(CNConsumerManagerErrorMissingService,
                                              "The phone does not offer its notification-center service."),
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
        log("[CONSUMER] Hooked to notification service (Error: %@)", hookError);
        if (hookError) {
            self->failConnection(p, hookError,
                                 "[CONSUMER] Disconnected because of failed notification service (Error: %@)");
            return;
        }
        // Exactly one poll is pending while a phone is connected.
        RunLoop::main().cancelPerform(self.get(), kRequestProviderDataCall);
        RunLoop::main().performAfterDelay(self, kRequestProviderDataCall, seconds(kProviderPollDelay),
                                          [weak] {
                                              if (auto poller = weak.lock()) poller->requestProviderData();
                                          });
        self->setPreferredUUID(identifierOf(p));
        if (auto delegate = self->delegate()) {
            delegate->consumerManagerUpdatedConnectionPhase(self.get(), CNConnectionPhaseConnected);
        }
        if (auto delegate = self->delegate()) delegate->consumerManagerDidConnectToPeripheral(self.get(), p);
    });
}

void CNConsumerManager::hookNotificationCenterService(const std::shared_ptr<LGService>& service,
                                                      const std::shared_ptr<LGPeripheral>& peripheral,
                                                      ServiceCallback callback) {
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
    const std::vector<UUID> uuids{catalogueUUID(CNNotificationSourceCharacteristic::characteristicUUID()),
                                  catalogueUUID(CNControlPointCharacteristic::characteristicUUID()),
                                  catalogueUUID(CNDataSourceCharacteristic::characteristicUUID())};
    service->discoverCharacteristicsWithUUIDs(uuids, [weak, weakService, callback](
                                                         const std::vector<std::shared_ptr<LGCharacteristic>>& found,
                                                         const ErrorPtr&) {
        auto self = weak.lock();
        auto n = weakService.lock();
        if (!self || !n) return;
        log("[ANCS] Discovered %lu characteristics", found.size());

        auto notificationSource =
            lastCharacteristic(found, catalogueUUID(CNNotificationSourceCharacteristic::characteristicUUID()));
        auto controlPoint = lastCharacteristic(found, catalogueUUID(CNControlPointCharacteristic::characteristicUUID()));
        auto dataSource = lastCharacteristic(found, catalogueUUID(CNDataSourceCharacteristic::characteristicUUID()));
        self->notificationSourceCharacteristic_ = notificationSource;
        self->controlPointCharacteristic_ = controlPoint;
        self->dataSourceCharacteristic_ = dataSource;
        log("[ANCS] Notification source: %@", notificationSource);
        log("[ANCS] Control point: %@", controlPoint);
        log("[ANCS] Data source: %@", dataSource);

        // Without both sources the subscription cannot complete: end the hook with an error
        // instead of waiting for an answer that never comes.
        const bool complete = dataSource && notificationSource;
        if (complete) {
            // The completion holds the notification source until it runs (the source does
            // not hold the data source, so this makes no cycle): the hook always answers.
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
                            log("[ANCS] Notification source data: %@ (Error: %@)", optionalBytes(value), valueError);
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
                                               "or notification source."));
        }
    });
}

void CNConsumerManager::disconnect() {
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
        self->connectedPeripheral_ = nullptr;
        if (auto delegate = self->delegate()) {
            delegate->consumerManagerDisconnectedFromPeripheralError(self.get(), peripheral, nullptr);
        }
    });
}

void CNConsumerManager::receivedDisconnectionNotification(const Notification& notification) {
    auto peripheral = std::dynamic_pointer_cast<LGPeripheral>(notification.object);
    if (!peripheral || !peripheral->cbPeripheral()) return;
    if (peripheral->cbPeripheral()->state() != CBPeripheralStateDisconnected || !connectedPeripheral_) return;
    // Explored devices come and go while a phone is connected: only the phone's own link counts.
    if (!isConnectedPhone(peripheral)) return;

    log("[CONSUMER] Disconnected from peripheral: %@", peripheral);
    endSequence();
    connectedPeripheral_ = nullptr;
    RunLoop::main().cancelPerform(this, kRequestProviderDataCall);
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerDisconnectedFromPeripheralError(this, peripheral, nullptr);
    }
}

// --- scan control

void CNConsumerManager::startScanning() {
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
    if (!scanning_) return;
    log("[CONSUMER] Resetting scan...");
    stopScanning();
    startScanning();
}

void CNConsumerManager::stopScanning() {
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
    scanning_ = false;
    if (centralManager_) centralManager_->resetCentralManager();
}

// --- discovery and verification

void CNConsumerManager::discoveredPeripheral(const std::shared_ptr<LGPeripheral>& peripheral) {
    log("[CONSUMER] Discovered peripheral %@", peripheral);
    if (!peripheral) return;
    auto identifier = identifierOf(peripheral);
    for (const auto& known : discoveredPeripherals_) {
        if (known == peripheral || (identifier && identifierOf(known) == identifier)) return;
    }
    discoveredPeripherals_.push_back(peripheral);

    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    explorePeripheral(peripheral, [weak](std::shared_ptr<LGPeripheral> p, bool verified, bool bonded, ErrorPtr) {
        auto self = weak.lock();
        if (!self || !p) return;
        if (!verified) {
            self->unverifiedPeripherals_.push_back(p);
            // A late outcome for the phone that is being connected leaves its link alone.
            if (self->isConnectedPhone(p)) return;
            p->disconnectWithCompletion([](const ErrorPtr& error) {
                log("[EXPLORE] Disconnected from un-Tandril peripheral (%@)", error);
            });
            return;
        }
        log("Peripheral %@ is a Tandril!", p);
        self->verifiedPeripherals_.push_back(p);
        auto preferred = self->preferredUUID();
        if (bonded && preferred) {
            log("pref %@", *preferred);
            if (!self->connectedPeripheral_) {
                self->connectToPeripheral(p);
            } else if (!self->isConnectedPhone(p)) {
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
            p->setConnectionBlock(nullptr);
            // When a newer wrapper took over the device (a new scan period), that wrapper's
            // exploration owns the link: leave it alone.
            auto platform = p->cbPeripheral();
            if (!platform || platform->delegate().get() != static_cast<PlatformPeripheralDelegate*>(p.get())) return;
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
    if (auto adapter = PlatformAdapter::current()) {
        for (const auto& device : adapter->pairedDevices()) {
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
    auto adapter = PlatformAdapter::current();
    if (!adapter || !peripheral) return nullptr;
    const auto advertisedName = peripheral->cbPeripheral() ? peripheral->cbPeripheral()->name() : std::nullopt;
    for (const auto& device : adapter->pairedDevices()) {
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

// --- Bluetooth-cache helper

bool CNConsumerManager::isHelperInstalled() {
    auto installer = CNHelperInstaller::shared();
    // Without an installer the helper comes with the system's packages.
    if (!installer) return true;
    return installer->isJobInstalled(kHelperLabel);
}

bool CNConsumerManager::installHelper() {
    if (isHelperInstalled()) {
        log("[HELPER] Helper already installed!");
        return true;
    }
    auto installer = CNHelperInstaller::shared();
    log("[HELPER] Gaining right to install helper...");
    const auto status = installer->authorizeInstallation();
    if (status != 0) {
        log("[HELPER] Couldn't create AuthorizationRef: error %i", status);
        return false;
    }
    log("[HELPER] Authorization success!");
    if (auto error = installer->installJob(kHelperLabel)) {
        log("[HELPER] Couldn't install privileged helper: %@", error->localizedDescription());
        return false;
    }
    log("[HELPER] Job blessed!");
    return true;
}

void CNConsumerManager::clearCoreBluetoothCache() {
    CNCacheHelperClient client(CNCacheConsent::shared());
    client.clearCache();
}

// --- notification-service codec and companion handshake
//
// The engine's half of the phone's notification-center protocol (events on the
// Notification Source, commands on the Control Point, answers on the Data Source), and
// the companion main-service handshake with its provider poll.

// The phone's date text, "yyyyMMdd'T'HHmmSS": the last two digits are read as hundredths
// of a second, in the desktop's time zone. A text that does not fit gives no date.
std::optional<Date> CNConsumerManager::dateFromNotificationDate(const std::optional<std::string>& text) {
    if (!text || text->size() != 15 || (*text)[8] != 'T') return std::nullopt;
    for (std::size_t i = 0; i < text->size(); ++i) {
        if (i != 8 && ((*text)[i] < '0' || (*text)[i] > '9')) return std::nullopt;
    }
    return dateFromLocalFields(digits(*text, 0, 4), digits(*text, 4, 2), digits(*text, 6, 2), digits(*text, 9, 2),
                               digits(*text, 11, 2), digits(*text, 13, 2));
}

// --- Notification Source

void CNConsumerManager::handleNotificationSourceData(const Bytes& data) {
    // An event is 8 bytes; anything shorter carries no usable identifier.
    if (data.size() < 8) return;
    const std::uint8_t* bytes = byteDataForData(data);
    const Bytes uid(bytes + 4, bytes + 8);

    switch (bytes[0]) {
    case kEventIDNotificationAdded: {
        log("[ANCS] Notification added!");
        // The flags wait here until the attributes answer builds the record.
        if (addedEventFlags_.size() >= kMaxPendingNotifications && !addedEventFlags_.contains(uid)) {
            addedEventFlags_.erase(addedEventFlags_.begin());
        }
        addedEventFlags_[uid] = bytes[1];
        // CommandID, the 4-byte UID, then the five attributes: the app identifier, title,
        // subtitle and message (each with the largest length, FF FF) and the date.
        const Bytes command{kCommandIDGetNotificationAttributes,
                            uid[0], uid[1], uid[2], uid[3],
                            kAttributeIDAppIdentifier,
                            kAttributeIDTitle, 0xFF, 0xFF,
                            kAttributeIDSubtitle, 0xFF, 0xFF,
                            kAttributeIDMessage, 0xFF, 0xFF,
                            kAttributeIDDate};
        if (controlPointCharacteristic_) {
            controlPointCharacteristic_->writeValue(command, [](const ErrorPtr& error) {
                log("[ANCS] Requested notification attributes (Error: %@)", error);
            });
        }
        break;
    }
    case kEventIDNotificationModified:
        log("[ANCS] Notification modified!");
        break;
    case kEventIDNotificationRemoved: {
        log("[ANCS] Notification removed!");
        addedEventFlags_.erase(uid);
        // A record still waiting for its application's name or icon must never reach the
        // desktop once the phone has withdrawn it.
        auto sameUID = [&uid](const std::shared_ptr<CNNotification>& n) {
            return n && n->uniqueIdentifier() && *n->uniqueIdentifier() == uid;
        };
        const auto pendingBefore = pendingNotifications_.size();
        std::erase_if(pendingNotifications_, sameUID);
        if (pendingNotifications_.size() != pendingBefore) updateCurrentNotification();
        std::erase_if(downloadingNotifications_, sameUID);

        auto it = std::find_if(activeNotifications_.begin(), activeNotifications_.end(), sameUID);
        if (it != activeNotifications_.end()) {
            const auto found = *it;
            handleRemovedNotification(found);
        }
        break;
    }
    default:
        break;
    }
}

// --- Data Source

void CNConsumerManager::handleDataSourceData(const Bytes& data) {
    const TimePoint now = RunLoop::main().now();
    if (!dataSourceDataCache_) {
        dataSourceDataCache_.emplace();
    } else if (!lastDataSourceDataCacheUpdate_ || now - *lastDataSourceDataCacheUpdate_ > seconds(kDataSourceStaleSeconds)) {
        dataSourceDataCache_.emplace();
    }
    lastDataSourceDataCacheUpdate_ = now;
    dataSourceDataCache_->insert(dataSourceDataCache_->end(), data.begin(), data.end());

    // No answer to the engine's commands is this long: whatever is buffered is not one.
    if (dataSourceDataCache_->size() > kMaxDataSourceAnswerSize) {
        dataSourceDataCache_.reset();
        return;
    }

    try {
        decodeDataSourceBuffer();
    } catch (const std::exception& failure) {
        log("Caught exception %@", std::string(failure.what()));
    }
}

void CNConsumerManager::decodeDataSourceBuffer() {
    // The decoders take what they need from the buffer before they discard it: the calls
    // that follow a complete answer (catalogue, delegate) may feed the engine again.
    const Bytes& buffer = *dataSourceDataCache_;
    switch (byteAt(buffer, 0)) {
    case kCommandIDGetNotificationAttributes:
        decodeNotificationAttributes(buffer);
        break;
    case kCommandIDGetAppAttributes:
        decodeAppAttributes(buffer);
        break;
    default:
        // Not an answer to any command the engine writes: drop it now rather than let it
        // swallow the answers that follow.
        dataSourceDataCache_.reset();
        break;
    }
}

void CNConsumerManager::decodeNotificationAttributes(const Bytes& buffer) {
    const Bytes uid{byteAt(buffer, 1), byteAt(buffer, 2), byteAt(buffer, 3), byteAt(buffer, 4)};

    std::optional<std::string> appIdentifier;
    std::optional<std::string> title;
    std::optional<std::string> subtitle;
    std::optional<std::string> message;
    std::optional<std::string> dateText;

    // First find the five tuples; the values are decoded only once all of them are here,
    // so that an answer arriving in many fragments is not decoded again for each one.
    struct Tuple {
        std::uint8_t attributeID;
        std::size_t offset;
        std::size_t length;
    };
    std::array<Tuple, kNotificationAttributeCount> tuples{};
    const std::size_t areaStart = 5;
    const std::size_t areaLength = buffer.size() - areaStart;
    std::size_t p = 0;
    for (auto& tuple : tuples) {
        if (p + 1 > areaLength) return;
        const std::uint8_t attributeID = buffer[areaStart + p];
        if (p + 3 > areaLength) return;
        const std::size_t length = uint16At(buffer, areaStart + p + 1);
        if (p + 3 + length > areaLength) return;
        tuple = Tuple{attributeID, areaStart + p + 3, length};
        p += 3 + length;
    }
    for (const auto& tuple : tuples) {
        const std::uint8_t* first = byteDataForData(buffer) + tuple.offset;
        std::optional<std::string> value = CNUTF8::decode(Bytes(first, first + tuple.length));
        switch (tuple.attributeID) {
        case kAttributeIDAppIdentifier: appIdentifier = std::move(value); break;
        case kAttributeIDTitle: title = std::move(value); break;
        case kAttributeIDSubtitle: subtitle = std::move(value); break;
        case kAttributeIDMessage: message = std::move(value); break;
        case kAttributeIDDate: dateText = std::move(value); break;
        default: break;  // counted, not kept
        }
    }
    // Complete: anything after the fifth tuple goes with the buffer (and `buffer` with it).
    dataSourceDataCache_.reset();

    auto notification = std::make_shared<CNNotification>();
    notification->setUniqueIdentifier(uid);
    std::shared_ptr<CNNotificationApplication> application;
    if (auto catalogue = CNNotificationApplicationManager::defaultManager()) {
        application = catalogue->applicationForBundleIdentifier(appIdentifier.value_or(std::string()));
    }
    notification->setApplication(application);
    notification->setTitle(title);
    notification->setSubtitle(subtitle);
    notification->setMessage(message);
    notification->setDate(dateFromNotificationDate(dateText));
    if (const auto flags = addedEventFlags_.find(uid); flags != addedEventFlags_.end()) {
        notification->setPreExisting((flags->second & kEventFlagPreExisting) != 0);
        addedEventFlags_.erase(flags);
    }

    if (application && application->icon() && application->displayName()) {
        handleAddedNotification(notification);
    } else {
        requestAppAttributes(notification);
    }
}

void CNConsumerManager::decodeAppAttributes(const Bytes& buffer) {
    // 01, identifier, 00, AttributeID, Length (2 bytes), Length bytes of display name.
    const auto terminator = std::find(buffer.begin() + 1, buffer.end(), std::uint8_t{0});
    if (terminator == buffer.end()) {
        if (buffer.size() - 1 > kMaxIdentifierLength) dataSourceDataCache_.reset();
        return;
    }
    const std::size_t n = static_cast<std::size_t>(terminator - buffer.begin()) - 1;
    if (buffer.size() < n + 5) return;
    const std::size_t length = uint16At(buffer, n + 3);
    if (buffer.size() < n + 5 + length) return;

    const std::string identifier(buffer.begin() + 1, terminator);
    const auto first = buffer.begin() + static_cast<std::ptrdiff_t>(n + 5);
    const std::optional<std::string> displayName =
        CNUTF8::decode(Bytes(first, first + static_cast<std::ptrdiff_t>(length)));
    dataSourceDataCache_.reset();
    completeAppAttributes(identifier, displayName);
}

// Every record waiting for this application gets the name; they share one application
// record from here on, so that one download, one catalogue entry and one switch serve them.
void CNConsumerManager::completeAppAttributes(const std::string& identifier,
                                              const std::optional<std::string>& displayName) {
    std::vector<std::shared_ptr<CNNotification>> waiting;
    for (auto it = pendingNotifications_.begin(); it != pendingNotifications_.end();) {
        if (identifierOf(*it) == identifier) {
            waiting.push_back(*it);
            it = pendingNotifications_.erase(it);
        } else {
            ++it;
        }
    }
    updateCurrentNotification();
    if (waiting.empty()) return;  // an answer nobody waits for (already served, or withdrawn)

    auto application = waiting.front()->application();
    if (!application) return;
    for (const auto& notification : waiting) notification->setApplication(application);
    application->setDisplayName(displayName);

    auto catalogue = CNNotificationApplicationManager::defaultManager();
    if (application->icon() || !catalogue) {
        // Without a catalogue there is no icon to wait for: the records go out as they are.
        if (catalogue) catalogue->cacheApplication(application);
        for (const auto& notification : waiting) handleAddedNotification(notification);
        return;
    }

    downloadingNotifications_.insert(downloadingNotifications_.end(), waiting.begin(), waiting.end());
    auto self = std::static_pointer_cast<CNConsumerManager>(shared_from_this());
    catalogue->downloadIconForApplication(
        application, [self, application, waiting](std::shared_ptr<Image>, ErrorPtr) {
            if (auto shared = CNNotificationApplicationManager::defaultManager()) {
                shared->cacheApplication(application);
            }
            for (const auto& notification : waiting) {
                // Delivered only while still waiting: the phone may have withdrawn it.
                auto& downloading = self->downloadingNotifications_;
                auto it = std::find(downloading.begin(), downloading.end(), notification);
                if (it == downloading.end()) continue;
                downloading.erase(it);
                self->handleAddedNotification(notification);
            }
        });
}

void CNConsumerManager::requestAppAttributes(const std::shared_ptr<CNNotification>& notification) {
    pendingNotifications_.push_back(notification);
    while (pendingNotifications_.size() > kMaxPendingNotifications) pendingNotifications_.pop_front();
    updateCurrentNotification();

    const std::string identifier = identifierOf(notification);
    // CommandID, the identifier, its terminator, then the one attribute asked for.
    Bytes command(identifier.size() + 3, 0x00);
    command[0] = kCommandIDGetAppAttributes;
    std::copy(identifier.begin(), identifier.end(), command.begin() + 1);
    command[identifier.size() + 2] = kAppAttributeIDDisplayName;
    if (controlPointCharacteristic_) {
        controlPointCharacteristic_->writeValue(command, [](const ErrorPtr& error) {
            log("[ANCS] Requested app attributes (Error: %@)", error);
        });
    }
}

void CNConsumerManager::updateCurrentNotification() {
    currentNotification_ = pendingNotifications_.empty() ? nullptr : pendingNotifications_.front();
}

void CNConsumerManager::handleAddedNotification(const std::shared_ptr<CNNotification>& notification) {
    log("[ANCS] Received notification: %@", notification);
    activeNotifications_.push_back(notification);
    if (activeNotifications_.size() > kMaxActiveNotifications) {
        activeNotifications_.erase(activeNotifications_.begin(),
                                   activeNotifications_.end() - static_cast<std::ptrdiff_t>(kMaxActiveNotifications));
    }
    if (auto d = delegate()) d->consumerManagerAddedNotification(this, notification);
}

void CNConsumerManager::handleRemovedNotification(const std::shared_ptr<CNNotification>& notification) {
    log("[ANCS] Removed notification: %@", notification);
    if (auto d = delegate()) d->consumerManagerRemovedNotification(this, notification);
    auto it = std::find(activeNotifications_.begin(), activeNotifications_.end(), notification);
    if (it != activeNotifications_.end()) activeNotifications_.erase(it);
}

// --- companion main-service handshake

void CNConsumerManager::hookMainService(const std::shared_ptr<LGService>& service,
                                       const std::shared_ptr<LGPeripheral>& peripheral, ServiceCallback callback) {
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
                                                    "The phone's main service lacks one of its characteristics."));
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
