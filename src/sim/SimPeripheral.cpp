#include "sim/SimPeripheral.hpp"

#include <algorithm>

#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformCentralDelegate.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "ble/platform/PlatformPairingConfirmer.hpp"
#include "ble/platform/PlatformPeripheralDelegate.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimService.hpp"

namespace tandril {

namespace {
bool contains(const std::vector<UUID>& list, const UUID& uuid) {
    return std::find(list.begin(), list.end(), uuid) != list.end();
}

Array uuidTexts(const std::vector<UUID>& uuids) {
    Array texts;
    for (const auto& uuid : uuids) texts.emplace_back(uuid.UUIDString());
    return texts;
}
}  // namespace

std::shared_ptr<SimPeripheral> SimPeripheral::create(std::optional<std::string> name, tandril::UUID identifier) {
    return std::shared_ptr<SimPeripheral>(new SimPeripheral(std::move(name), std::move(identifier)));
}

SimPeripheral::SimPeripheral(std::optional<std::string> name, tandril::UUID identifier)
    : identifier_(std::move(identifier)), name_(std::move(name)) {}

SimPeripheral::~SimPeripheral() = default;

std::shared_ptr<SimPeripheral> SimPeripheral::self() {
    return std::static_pointer_cast<SimPeripheral>(shared_from_this());
}

// ---- Platform side: state ---------------------------------------------------------------

std::optional<std::string> SimPeripheral::name() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

int SimPeripheral::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::vector<std::shared_ptr<PlatformService>> SimPeripheral::services() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {discovered_.begin(), discovered_.end()};
}

std::optional<std::int64_t> SimPeripheral::RSSI() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rssi_;
}

std::shared_ptr<PlatformPeripheralDelegate> SimPeripheral::delegate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delegate_.lock();
}

void SimPeripheral::setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
}

// ---- Links ---------------------------------------------------------------------------------

std::optional<std::uint64_t> SimPeripheral::currentLink() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != CBPeripheralStateConnected) return std::nullopt;
    return linkGeneration_;
}

bool SimPeripheral::isLink(std::uint64_t link) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == CBPeripheralStateConnected && linkGeneration_ == link;
}

bool SimPeripheral::isLinked() const {
    return currentLink().has_value();
}

std::shared_ptr<SimCentral> SimPeripheral::linkedCentral() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return central_.lock();
}

void SimPeripheral::afterLatency(SimOperation operation, std::function<void()> job, Duration extra) {
    RunLoop::main().schedule(latency(operation) + extra, std::move(job));
}

void SimPeripheral::deliverOnLink(std::uint64_t link, PeripheralEvent event) {
    auto central = linkedCentral();
    if (!central) return;
    // The check runs on the event queue, at delivery: whatever was in flight when the
    // link dropped never arrives.
    central->post([device = self(), link, event = std::move(event)] {
        if (!device->isLink(link)) return;
        if (auto delegate = device->delegate()) event(delegate);
    });
}

void SimPeripheral::attach(std::weak_ptr<SimRadio> radio) {
    std::lock_guard<std::mutex> lock(mutex_);
    radio_ = std::move(radio);
}

std::shared_ptr<SimRadio> SimPeripheral::radio() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return radio_.lock();
}

void SimPeripheral::connectRequested(const std::shared_ptr<SimCentral>& central) {
    // The radio finishes a cancellation before it starts the next connect: a cancelled
    // connect's report still waiting for its latency goes out now, ahead of anything the
    // new attempt reports.
    flushCancelledConnectReport();
    std::uint64_t attempt = 0;
    std::optional<std::uint64_t> existingLink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connectRequests_;
        if (state_ == CBPeripheralStateConnected && central_.lock() == central) {
            existingLink = linkGeneration_;
        } else {
            central_ = central;
            state_ = CBPeripheralStateConnecting;
            connectPending_ = true;
            attempt = ++connectAttempt_;
        }
    }
    if (existingLink) {
        // Already linked: the platform still answers with a connect event.
        afterLatency(SimOperation::Connect, [device = self(), central, link = *existingLink] {
            if (!device->isLink(link)) return;
            central->deliver([device, central](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
                delegate->centralManagerDidConnectPeripheral(central, device);
            });
        });
        return;
    }
    afterLatency(SimOperation::Connect, [device = self(), attempt] { device->completeConnect(attempt); });
}

void SimPeripheral::completeConnect(std::uint64_t attempt) {
    ErrorPtr failure;
    std::shared_ptr<SimCentral> central;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connectPending_ || attempt != connectAttempt_) return;
        // Stays pending: out of range, or scripted never to answer.
        if (!inRange_ || connectNeverAnswers_) return;
        central = central_.lock();
        if (!central || !central->isActive()) {
            connectPending_ = false;
            state_ = CBPeripheralStateDisconnected;
            return;
        }
    }
    failure = takeFault(SimOperation::Connect, std::nullopt);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure) failure = connectFailure_;
        connectPending_ = false;
        if (failure) {
            state_ = CBPeripheralStateDisconnected;
        } else {
            state_ = CBPeripheralStateConnected;
            ++linkGeneration_;
            encrypted_ = false;
        }
    }
    auto device = self();
    if (failure) {
        central->deliver([device, central, failure](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
            delegate->centralManagerDidFailToConnectPeripheral(central, device, failure);
        });
        return;
    }
    central->deliver([device, central](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidConnectPeripheral(central, device);
    });
    didConnect();
}

void SimPeripheral::retryPendingConnect() {
    std::uint64_t attempt = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connectPending_) return;
        attempt = connectAttempt_;
    }
    afterLatency(SimOperation::Connect, [device = self(), attempt] { device->completeConnect(attempt); });
}

void SimPeripheral::cancelRequested(const std::shared_ptr<SimCentral>& central) {
    bool reportCancelledConnect = false;
    std::optional<std::uint64_t> link;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++cancelRequests_;
        if (central_.lock() != central) return;
        if (connectPending_) {
            connectPending_ = false;
            ++connectAttempt_;
            state_ = CBPeripheralStateDisconnected;
            reportCancelledConnect = reportsCancelledConnect_;
        } else if (state_ == CBPeripheralStateConnected) {
            link = linkGeneration_;
        }
    }
    auto device = self();
    if (reportCancelledConnect) {
        std::uint64_t report = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            report = ++cancelReport_;
            cancelReportCentral_ = central;
        }
        afterLatency(SimOperation::Disconnect, [device, report] { device->flushCancelledConnectReport(report); });
    } else if (link) {
        afterLatency(SimOperation::Disconnect, [device, link = *link] {
            if (device->isLink(link)) device->endLink(nullptr, true);
        });
    }
}

void SimPeripheral::flushCancelledConnectReport(std::optional<std::uint64_t> report) {
    std::shared_ptr<SimCentral> central;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cancelReportCentral_ || (report && *report != cancelReport_)) return;
        central = std::move(cancelReportCentral_);
        cancelReportCentral_ = nullptr;
    }
    central->deliver([device = self(), central](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidDisconnectPeripheral(central, device, nullptr);
    });
}

void SimPeripheral::endLink(ErrorPtr error, bool report) {
    std::shared_ptr<SimCentral> central;
    bool wasLinked = false;
    std::vector<std::shared_ptr<SimService>> database;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == CBPeripheralStateDisconnected && !connectPending_ && !incomingPending_) return;
        central = central_.lock();
        wasLinked = state_ == CBPeripheralStateConnected;
        state_ = CBPeripheralStateDisconnected;
        connectPending_ = false;
        ++connectAttempt_;
        ++linkGeneration_;
        encrypted_ = false;
        incomingPending_ = false;
        pairingLink_.reset();
        waitingForPairing_.clear();
        database = database_;
    }
    for (const auto& service : database) {
        for (const auto& characteristic : service->allCharacteristics()) characteristic->setNotifying(false);
    }
    if (report && central) {
        auto device = self();
        central->deliver([device, central, error](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
            delegate->centralManagerDidDisconnectPeripheral(central, device, error);
        });
    }
    if (wasLinked) didDisconnect();
}

void SimPeripheral::dropLink(ErrorPtr error) {
    endLink(error ? std::move(error) : PlatformError::centralError(CBErrorPeripheralDisconnected), true);
}

void SimPeripheral::dropLinkSilently() {
    endLink(nullptr, false);
}

// ---- Platform side: GATT operations ----------------------------------------------------------

std::shared_ptr<SimService> SimPeripheral::ownService(const std::shared_ptr<PlatformService>& service) const {
    auto simService = std::dynamic_pointer_cast<SimService>(service);
    if (!simService || simService->simPeripheral().get() != this) return nullptr;
    return simService;
}

std::shared_ptr<SimCharacteristic> SimPeripheral::ownCharacteristic(
    const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    auto simCharacteristic = std::dynamic_pointer_cast<SimCharacteristic>(characteristic);
    if (!simCharacteristic) return nullptr;
    auto service = simCharacteristic->simService();
    if (!service || service->simPeripheral().get() != this) return nullptr;
    return simCharacteristic;
}

void SimPeripheral::discoverServices(const std::optional<std::vector<tandril::UUID>>& serviceUUIDs) {
    const auto link = currentLink();
    if (!link) return;
    afterLatency(SimOperation::DiscoverServices, [device = self(), link = *link, serviceUUIDs] {
        if (!device->isLink(link)) return;
        ErrorPtr error = device->takeFault(SimOperation::DiscoverServices, std::nullopt);
        if (!error) {
            std::lock_guard<std::mutex> lock(device->mutex_);
            std::vector<std::shared_ptr<SimService>> merged;
            for (const auto& service : device->database_) {
                const bool cached = !device->staleServiceCache_ || contains(*device->staleServiceCache_, service->UUID());
                const bool wanted = !serviceUUIDs || contains(*serviceUUIDs, service->UUID());
                const bool known =
                    std::find(device->discovered_.begin(), device->discovered_.end(), service) != device->discovered_.end();
                if (known || (cached && wanted)) merged.push_back(service);
            }
            device->discovered_ = std::move(merged);
        }
        device->deliverOnLink(link, [device, error](const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
            delegate->peripheralDidDiscoverServices(device, error);
        });
    });
}

void SimPeripheral::discoverCharacteristics(const std::optional<std::vector<tandril::UUID>>& characteristicUUIDs,
                                            const std::shared_ptr<PlatformService>& service) {
    const auto link = currentLink();
    auto simService = ownService(service);
    if (!link || !simService) return;
    afterLatency(SimOperation::DiscoverCharacteristics, [device = self(), link = *link, simService,
                                                         characteristicUUIDs] {
        if (!device->isLink(link)) return;
        ErrorPtr error = device->takeFault(SimOperation::DiscoverCharacteristics, std::nullopt);
        if (!error) {
            std::vector<std::shared_ptr<SimCharacteristic>> found;
            for (const auto& characteristic : simService->allCharacteristics()) {
                if (!characteristicUUIDs || contains(*characteristicUUIDs, characteristic->UUID()))
                    found.push_back(characteristic);
            }
            simService->addDiscovered(found);
        }
        device->deliverOnLink(link, [device, simService, error](
                                        const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
            delegate->peripheralDidDiscoverCharacteristicsForService(device, simService, error);
        });
    });
}

void SimPeripheral::readValueForCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    const auto link = currentLink();
    auto simCharacteristic = ownCharacteristic(characteristic);
    if (!link || !simCharacteristic) return;
    afterLatency(SimOperation::Read, [device = self(), link = *link, simCharacteristic] {
        if (!device->isLink(link)) return;
        if (simCharacteristic->readNeedsEncryption() &&
            device->deferWhilePairing(link, [device, simCharacteristic] {
                device->readValueForCharacteristic(simCharacteristic);
            }))
            return;
        ErrorPtr error = device->takeFault(SimOperation::Read, simCharacteristic->UUID());
        if (!error && !(simCharacteristic->properties() & CBCharacteristicPropertyRead))
            error = PlatformError::attError(CBATTErrorReadNotPermitted);
        if (!error && simCharacteristic->readNeedsEncryption()) error = device->secureAccess();
        Bytes value;
        if (!error) {
            value = simCharacteristic->storedValue().value_or(Bytes{});
            error = device->handleRead(*simCharacteristic, value);
        }
        device->deliverOnLink(link, [device, simCharacteristic, value, error](
                                        const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
            // A failed read leaves the value the central saw last.
            if (!error) simCharacteristic->setCentralValue(value);
            delegate->peripheralDidUpdateValueForCharacteristic(device, simCharacteristic,
                                                                simCharacteristic->value(), error);
        });
    });
}

void SimPeripheral::writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic,
                               int type) {
    const auto link = currentLink();
    auto simCharacteristic = ownCharacteristic(characteristic);
    if (!link || !simCharacteristic) return;
    const bool withResponse = type == CBCharacteristicWriteWithResponse;
    afterLatency(SimOperation::Write, [device = self(), link = *link, simCharacteristic, data, withResponse] {
        if (!device->isLink(link)) return;
        if (simCharacteristic->writeNeedsEncryption() &&
            device->deferWhilePairing(link, [device, simCharacteristic, data, withResponse] {
                device->writeValue(data, simCharacteristic,
                                   withResponse ? CBCharacteristicWriteWithResponse : CBCharacteristicWriteWithoutResponse);
            }))
            return;
        ErrorPtr error = device->takeFault(SimOperation::Write, simCharacteristic->UUID());
        const std::uint32_t writable = CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse;
        if (!error && !(simCharacteristic->properties() & writable))
            error = PlatformError::attError(CBATTErrorWriteNotPermitted);
        if (!error && simCharacteristic->writeNeedsEncryption()) error = device->secureAccess();
        const bool accepted = !error;
        if (accepted) {
            simCharacteristic->recordWrite(data);
            error = device->handleWrite(*simCharacteristic, data, withResponse);
        }
        if (withResponse) {
            device->deliverOnLink(link, [device, simCharacteristic, error](
                                            const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
                delegate->peripheralDidWriteValueForCharacteristic(device, simCharacteristic, error);
            });
        }
        if (accepted && !error) device->didWrite(*simCharacteristic, data);
    });
}

void SimPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    const auto link = currentLink();
    auto simCharacteristic = ownCharacteristic(characteristic);
    if (!link || !simCharacteristic) return;
    afterLatency(SimOperation::SetNotify, [device = self(), link = *link, simCharacteristic, enabled] {
        if (!device->isLink(link)) return;
        if (enabled && simCharacteristic->notifyNeedsEncryption() &&
            device->deferWhilePairing(link, [device, simCharacteristic, enabled] {
                device->setNotifyValue(enabled, simCharacteristic);
            }))
            return;
        ErrorPtr error = device->takeFault(SimOperation::SetNotify, simCharacteristic->UUID());
        const std::uint32_t notifying = CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate |
                                        CBCharacteristicPropertyNotifyEncryptionRequired |
                                        CBCharacteristicPropertyIndicateEncryptionRequired;
        if (!error && !(simCharacteristic->properties() & notifying))
            error = PlatformError::attError(CBATTErrorRequestNotSupported);
        if (!error && enabled && simCharacteristic->notifyNeedsEncryption()) error = device->secureAccess();
        if (!error) error = device->handleSetNotify(*simCharacteristic, enabled);
        if (!error) simCharacteristic->setNotifying(enabled);
        device->deliverOnLink(link, [device, simCharacteristic, error](
                                        const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
            delegate->peripheralDidUpdateNotificationStateForCharacteristic(device, simCharacteristic, error);
        });
        if (!error) device->didSetNotify(*simCharacteristic, enabled);
    });
}

void SimPeripheral::readRSSI() {
    const auto link = currentLink();
    if (!link) return;
    afterLatency(SimOperation::ReadRSSI, [device = self(), link = *link] {
        if (!device->isLink(link)) return;
        ErrorPtr error = device->takeFault(SimOperation::ReadRSSI, std::nullopt);
        std::optional<std::int64_t> rssi;
        if (!error) {
            std::lock_guard<std::mutex> lock(device->mutex_);
            device->rssi_ = device->signalStrength_;
            rssi = device->rssi_;
        }
        device->deliverOnLink(link, [device, rssi, error](const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
            delegate->peripheralDidUpdateRSSI(device, rssi, error);
        });
    });
}

bool SimPeripheral::notify(const std::shared_ptr<SimCharacteristic>& characteristic, const Bytes& value,
                           Duration delay) {
    const auto link = currentLink();
    if (!link || !characteristic || !characteristic->isNotifying()) return false;
    afterLatency(
        SimOperation::Notification,
        [device = self(), link = *link, characteristic, value] {
            if (!device->isLink(link) || !characteristic->isNotifying()) return;
            device->deliverOnLink(link, [device, characteristic, value](
                                            const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
                characteristic->setCentralValue(value);
                delegate->peripheralDidUpdateValueForCharacteristic(device, characteristic, value, nullptr);
            });
        },
        delay);
    return true;
}

// ---- Hooks -------------------------------------------------------------------------------------

ErrorPtr SimPeripheral::handleRead(SimCharacteristic& characteristic, Bytes& value) {
    if (auto handler = characteristic.readHandler()) return handler(characteristic, value);
    return nullptr;
}

ErrorPtr SimPeripheral::handleWrite(SimCharacteristic& characteristic, const Bytes& data, bool withResponse) {
    if (auto handler = characteristic.writeHandler()) return handler(characteristic, data, withResponse);
    characteristic.setStoredValue(data);
    return nullptr;
}

ErrorPtr SimPeripheral::handleSetNotify(SimCharacteristic& characteristic, bool enabled) {
    if (auto handler = characteristic.notifyHandler()) return handler(characteristic, enabled);
    return nullptr;
}

void SimPeripheral::didWrite(SimCharacteristic&, const Bytes&) {}

void SimPeripheral::didSetNotify(SimCharacteristic&, bool) {}

void SimPeripheral::didConnect() {}

void SimPeripheral::didDisconnect() {}

// ---- Bond ---------------------------------------------------------------------------------------

ErrorPtr SimPeripheral::secureAccess() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (encrypted_) return nullptr;
    if (!bonded_ && acceptsPairing_) bonded_ = true;
    if (!bonded_) return PlatformError::attError(CBATTErrorInsufficientAuthentication);
    encrypted_ = true;
    return nullptr;
}

bool SimPeripheral::isBonded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bonded_;
}

void SimPeripheral::setBonded(bool bonded) {
    std::lock_guard<std::mutex> lock(mutex_);
    bonded_ = bonded;
    if (!bonded) encrypted_ = false;
}

bool SimPeripheral::acceptsPairing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acceptsPairing_;
}

void SimPeripheral::setAcceptsPairing(bool accepts) {
    std::lock_guard<std::mutex> lock(mutex_);
    acceptsPairing_ = accepts;
}

bool SimPeripheral::isLinkEncrypted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return encrypted_;
}

// ---- Advertising ------------------------------------------------------------------------------

void SimPeripheral::setName(std::optional<std::string> name) {
    std::optional<std::uint64_t> link;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (name_ == name) return;
        name_ = std::move(name);
        if (state_ == CBPeripheralStateConnected) link = linkGeneration_;
    }
    if (link) {
        deliverOnLink(*link, [device = self()](const std::shared_ptr<PlatformPeripheralDelegate>& delegate) {
            delegate->peripheralDidUpdateName(device);
        });
    }
}

std::vector<tandril::UUID> SimPeripheral::advertisedServiceUUIDs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertisedServiceUUIDs_;
}

void SimPeripheral::setAdvertisedServiceUUIDs(std::vector<tandril::UUID> uuids) {
    std::lock_guard<std::mutex> lock(mutex_);
    advertisedServiceUUIDs_ = std::move(uuids);
}

std::vector<tandril::UUID> SimPeripheral::solicitedServiceUUIDs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return solicitedServiceUUIDs_;
}

void SimPeripheral::setSolicitedServiceUUIDs(std::vector<tandril::UUID> uuids) {
    std::lock_guard<std::mutex> lock(mutex_);
    solicitedServiceUUIDs_ = std::move(uuids);
}

std::int64_t SimPeripheral::signalStrength() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalStrength_;
}

void SimPeripheral::setSignalStrength(std::int64_t dBm) {
    std::lock_guard<std::mutex> lock(mutex_);
    signalStrength_ = dBm;
}

bool SimPeripheral::isAdvertising() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertising_;
}

void SimPeripheral::setAdvertising(bool advertising) {
    std::lock_guard<std::mutex> lock(mutex_);
    advertising_ = advertising;
}

std::optional<Duration> SimPeripheral::advertisingInterval() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertisingInterval_;
}

void SimPeripheral::setAdvertisingInterval(std::optional<Duration> interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    advertisingInterval_ = interval;
}

std::optional<Bytes> SimPeripheral::manufacturerData() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return manufacturerData_;
}

void SimPeripheral::setManufacturerData(std::optional<Bytes> data) {
    std::lock_guard<std::mutex> lock(mutex_);
    manufacturerData_ = std::move(data);
}

Dictionary SimPeripheral::advertisementData() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Dictionary data{{CBAdvertisementDataIsConnectable, true}};
    if (name_) data[CBAdvertisementDataLocalNameKey] = *name_;
    if (manufacturerData_) data[CBAdvertisementDataManufacturerDataKey] = *manufacturerData_;
    if (!advertisedServiceUUIDs_.empty())
        data[CBAdvertisementDataServiceUUIDsKey] = uuidTexts(advertisedServiceUUIDs_);
    if (!solicitedServiceUUIDs_.empty())
        data[CBAdvertisementDataSolicitedServiceUUIDsKey] = uuidTexts(solicitedServiceUUIDs_);
    return data;
}

bool SimPeripheral::isInRange() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inRange_;
}

void SimPeripheral::setInRange(bool inRange) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (inRange_ == inRange) return;
        inRange_ = inRange;
    }
    if (inRange) {
        retryPendingConnect();
        centralStartedAdvertising();
    } else if (isLinked()) {
        endLink(PlatformError::centralError(CBErrorConnectionTimeout), true);
    }
}

bool SimPeripheral::isConnectedToSystem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectedToSystem_;
}

void SimPeripheral::setConnectedToSystem(bool connected) {
    std::lock_guard<std::mutex> lock(mutex_);
    connectedToSystem_ = connected;
}

// ---- GATT database ------------------------------------------------------------------------------

std::shared_ptr<SimService> SimPeripheral::addService(const tandril::UUID& uuid, bool primary) {
    auto service = std::make_shared<SimService>(uuid, primary, self());
    std::lock_guard<std::mutex> lock(mutex_);
    database_.push_back(service);
    return service;
}

std::shared_ptr<SimService> SimPeripheral::service(const tandril::UUID& uuid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& service : database_) {
        if (service->UUID() == uuid) return service;
    }
    return nullptr;
}

std::vector<std::shared_ptr<SimService>> SimPeripheral::allServices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return database_;
}

std::shared_ptr<SimCharacteristic> SimPeripheral::characteristic(const tandril::UUID& serviceUUID,
                                                                 const tandril::UUID& characteristicUUID) const {
    auto owner = service(serviceUUID);
    return owner ? owner->characteristic(characteristicUUID) : nullptr;
}

std::size_t SimPeripheral::mtu() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mtu_;
}

void SimPeripheral::setMTU(std::size_t mtu) {
    std::lock_guard<std::mutex> lock(mutex_);
    mtu_ = mtu;
}

// ---- Timing and faults -----------------------------------------------------------------------------

Duration SimPeripheral::latency(SimOperation operation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = latencies_.find(operation);
    return entry == latencies_.end() ? Duration::zero() : entry->second;
}

void SimPeripheral::setLatency(SimOperation operation, Duration latency) {
    std::lock_guard<std::mutex> lock(mutex_);
    latencies_[operation] = latency;
}

void SimPeripheral::setConnectNeverAnswers(bool neverAnswers) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connectNeverAnswers_ = neverAnswers;
    }
    if (!neverAnswers) retryPendingConnect();
}

void SimPeripheral::setConnectFailure(ErrorPtr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    connectFailure_ = std::move(error);
}

void SimPeripheral::setReportsCancelledConnect(bool reports) {
    std::lock_guard<std::mutex> lock(mutex_);
    reportsCancelledConnect_ = reports;
}

void SimPeripheral::failNext(SimOperation operation, ErrorPtr error, std::optional<tandril::UUID> characteristicUUID) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(Fault{operation, std::move(error), std::move(characteristicUUID)});
}

ErrorPtr SimPeripheral::takeFault(SimOperation operation, const std::optional<tandril::UUID>& characteristicUUID) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto fault = faults_.begin(); fault != faults_.end(); ++fault) {
        if (fault->operation != operation) continue;
        if (fault->characteristicUUID && fault->characteristicUUID != characteristicUUID) continue;
        ErrorPtr error = fault->error;
        faults_.erase(fault);
        return error;
    }
    return nullptr;
}

void SimPeripheral::setStaleServiceCache(std::optional<std::vector<tandril::UUID>> visibleServices) {
    std::lock_guard<std::mutex> lock(mutex_);
    staleServiceCache_ = std::move(visibleServices);
}

std::size_t SimPeripheral::connectRequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectRequests_;
}

std::size_t SimPeripheral::cancelRequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelRequests_;
}

}  // namespace tandril

namespace tandril {

// ---- Links the device makes itself ----------------------------------------------------------

bool SimPeripheral::connectIncoming() {
    auto owner = radio();
    auto central = owner ? owner->central() : nullptr;
    std::uint64_t attempt = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!central || !central->isActive() || !inRange_ || incomingPending_ || connectPending_ ||
            state_ != CBPeripheralStateDisconnected)
            return false;
        central_ = central;
        incomingPending_ = true;
        attempt = ++connectAttempt_;
    }
    afterLatency(SimOperation::Connect, [device = self(), attempt] { device->completeIncoming(attempt); });
    return true;
}

void SimPeripheral::completeIncoming(std::uint64_t attempt) {
    std::shared_ptr<SimCentral> central;
    std::uint64_t link = 0;
    bool pair = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!incomingPending_ || attempt != connectAttempt_) return;
        incomingPending_ = false;
        central = central_.lock();
        if (!central || !central->isActive() || !inRange_) return;
        state_ = CBPeripheralStateConnected;
        link = ++linkGeneration_;
        encrypted_ = false;
        pair = pairsOnIncomingLink_ && !bonded_;
    }
    auto device = self();
    central->deliver([device, central](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidReceiveIncomingConnection(central, device);
    });
    didConnect();
    if (pair) startPairing(link);
}

void SimPeripheral::startPairing(std::uint64_t link) {
    PairingAnswer answer;
    std::string code;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (linkGeneration_ != link || state_ != CBPeripheralStateConnected) return;
        pairingLink_ = link;
        phoneAccepted_ = false;
        desktopAccepted_ = false;
        answer = pairingAnswer_;
        code = pairingCode_;
    }
    std::weak_ptr<SimPeripheral> weak = self();
    auto desktopAnswer = [weak, link](bool accepted) {
        auto device = weak.lock();
        if (!device) return;
        {
            std::lock_guard<std::mutex> lock(device->mutex_);
            if (device->pairingLink_ != link) return;
            device->desktopAccepted_ = accepted;
            if (accepted && !device->phoneAccepted_) return;
        }
        device->finishPairing(link, accepted);
    };
    auto owner = radio();
    if (auto handler = owner ? owner->pairingHandler() : nullptr) {
        handler(self(), code, desktopAnswer);
    } else if (auto confirmer = PlatformAdapter::pairingConfirmer()) {
        confirmer->confirmPairing(name(), code, desktopAnswer);
    } else {
        finishPairing(link, false);
        return;
    }
    if (answer == PairingAnswer::Reject) {
        finishPairing(link, false);
    } else if (answer == PairingAnswer::Accept) {
        bool both = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pairingLink_ != link) return;
            phoneAccepted_ = true;
            both = desktopAccepted_;
        }
        if (both) finishPairing(link, true);
    }
}

void SimPeripheral::finishPairing(std::uint64_t link, bool accepted) {
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pairingLink_ != link) return;
        pairingLink_.reset();
        if (accepted) bonded_ = true;
        waiting.swap(waitingForPairing_);
    }
    for (auto& job : waiting) job();
}

bool SimPeripheral::deferWhilePairing(std::uint64_t link, std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pairingLink_ != link) return false;
    std::weak_ptr<SimPeripheral> weak = std::static_pointer_cast<SimPeripheral>(shared_from_this());
    waitingForPairing_.push_back([weak, link, job = std::move(job)] {
        auto device = weak.lock();
        if (device && device->isLink(link)) job();
    });
    return true;
}

bool SimPeripheral::isPairing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pairingLink_.has_value();
}

bool SimPeripheral::pairsOnIncomingLink() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pairsOnIncomingLink_;
}

void SimPeripheral::setPairsOnIncomingLink(bool pairs) {
    std::lock_guard<std::mutex> lock(mutex_);
    pairsOnIncomingLink_ = pairs;
}

SimPeripheral::PairingAnswer SimPeripheral::pairingAnswer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pairingAnswer_;
}

void SimPeripheral::setPairingAnswer(PairingAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    pairingAnswer_ = answer;
}

std::string SimPeripheral::pairingCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pairingCode_;
}

void SimPeripheral::setPairingCode(std::string code) {
    std::lock_guard<std::mutex> lock(mutex_);
    pairingCode_ = std::move(code);
}

bool SimPeripheral::reconnectsWhenAdvertised() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reconnectsWhenAdvertised_;
}

void SimPeripheral::setReconnectsWhenAdvertised(bool reconnects) {
    std::lock_guard<std::mutex> lock(mutex_);
    reconnectsWhenAdvertised_ = reconnects;
}

void SimPeripheral::centralStartedAdvertising() {
    auto owner = radio();
    auto central = owner ? owner->central() : nullptr;
    if (!central || !central->isAdvertising()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reconnectsWhenAdvertised_ || !bonded_) return;
    }
    connectIncoming();
}

}  // namespace tandril
