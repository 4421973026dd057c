// The engine's half of the phone's notification-center protocol (events on the
// Notification Source, commands on the Control Point, answers on the Data Source), and
// the companion main-service handshake with its provider poll.

#include <algorithm>
#include <stdexcept>

#include "ble/LGCharacteristic.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/LGService.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformService.hpp"
#include "engine/CNConnectionCharacteristic.hpp"
#include "engine/CNConsumerCharacteristic.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/CNDeviceNameCharacteristic.hpp"
#include "engine/CNMainService.hpp"
#include "engine/CNProviderCharacteristic.hpp"
#include "engine/CNUTF8.hpp"
#include "foundation/Date.hpp"
#include "foundation/Log.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"
#include "model/CNNotificationApplicationManager.hpp"

namespace tandril {

namespace {

constexpr std::uint8_t kEventIDNotificationAdded = 0;
constexpr std::uint8_t kEventIDNotificationModified = 1;
constexpr std::uint8_t kEventIDNotificationRemoved = 2;

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
constexpr double kProviderPollSeconds = 30.0;
constexpr const char* kProviderPollName = "requestProviderData";

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
        Bytes command{kCommandIDGetNotificationAttributes};
        command.insert(command.end(), uid.begin(), uid.end());
        const Bytes attributes{kAttributeIDAppIdentifier, kAttributeIDTitle,   0xFF, 0xFF,
                               kAttributeIDSubtitle,      0xFF,                0xFF, kAttributeIDMessage,
                               0xFF,                      0xFF,                kAttributeIDDate};
        command.insert(command.end(), attributes.begin(), attributes.end());
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
    // Decoding works on a copy: completing an answer discards the buffer, and the calls
    // that follow (catalogue, delegate) may feed the engine again.
    const Bytes buffer = *dataSourceDataCache_;
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

    const std::size_t areaStart = 5;
    const std::size_t areaLength = buffer.size() - areaStart;
    std::size_t p = 0;
    for (int tuple = 0; tuple < kNotificationAttributeCount; ++tuple) {
        if (p + 1 > areaLength) return;
        const std::uint8_t attributeID = buffer[areaStart + p];
        if (p + 3 > areaLength) return;
        const std::size_t length = uint16At(buffer, areaStart + p + 1);
        if (p + 3 + length > areaLength) return;
        const auto first = buffer.begin() + static_cast<std::ptrdiff_t>(areaStart + p + 3);
        std::optional<std::string> value = CNUTF8::decode(Bytes(first, first + static_cast<std::ptrdiff_t>(length)));
        switch (attributeID) {
        case kAttributeIDAppIdentifier: appIdentifier = std::move(value); break;
        case kAttributeIDTitle: title = std::move(value); break;
        case kAttributeIDSubtitle: subtitle = std::move(value); break;
        case kAttributeIDMessage: message = std::move(value); break;
        case kAttributeIDDate: dateText = std::move(value); break;
        default: break;  // counted, not kept
        }
        p += 3 + length;
    }
    // Complete: anything after the fifth tuple goes with the buffer.
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
    if (application->icon()) {
        if (catalogue) catalogue->cacheApplication(application);
        for (const auto& notification : waiting) handleAddedNotification(notification);
        return;
    }

    downloadingNotifications_.insert(downloadingNotifications_.end(), waiting.begin(), waiting.end());
    if (!catalogue) return;
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
    RunLoop::main().performAfterDelay(self, kProviderPollName, seconds(kProviderPollSeconds),
                                      [this] { requestProviderData(); });
}

}  // namespace tandril
