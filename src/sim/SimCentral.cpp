#include "sim/SimCentral.hpp"

#include <algorithm>

#include "ble/platform/PlatformCentralDelegate.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "foundation/DispatchQueue.hpp"
#include "sim/SimPeripheral.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimService.hpp"

namespace tandril {

namespace {
bool intersects(const std::vector<UUID>& a, const std::vector<UUID>& b) {
    return std::any_of(a.begin(), a.end(), [&](const UUID& u) { return std::find(b.begin(), b.end(), u) != b.end(); });
}
}  // namespace

SimCentral::SimCentral(std::weak_ptr<SimRadio> radio, std::weak_ptr<PlatformCentralDelegate> delegate,
                       std::shared_ptr<DispatchQueue> queue)
    : radio_(std::move(radio)), delegate_(std::move(delegate)), queue_(std::move(queue)) {}

SimCentral::~SimCentral() = default;

int SimCentral::state() const {
    auto radio = radio_.lock();
    return radio ? radio->state() : CBCentralManagerStateUnknown;
}

bool SimCentral::isScanning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanning_;
}

std::shared_ptr<PlatformCentralDelegate> SimCentral::delegate() const {
    return delegate_.lock();
}

void SimCentral::deactivate() {
    active_ = false;
    stopScan();
    stopAdvertising();
}

void SimCentral::post(std::function<void()> job) {
    if (!active_ || !queue_) return;
    std::weak_ptr<SimCentral> weak = std::static_pointer_cast<SimCentral>(shared_from_this());
    queue_->async([weak, job = std::move(job)] {
        auto central = weak.lock();
        if (!central || !central->active_) return;
        job();
    });
}

void SimCentral::deliver(std::function<void(const std::shared_ptr<PlatformCentralDelegate>&)> event) {
    std::weak_ptr<SimCentral> weak = std::static_pointer_cast<SimCentral>(shared_from_this());
    post([weak, event = std::move(event)] {
        auto central = weak.lock();
        if (!central) return;
        if (auto delegate = central->delegate()) event(delegate);
    });
}

// ---- Scanning -------------------------------------------------------------------------------

void SimCentral::scanForPeripheralsWithServices(const std::optional<std::vector<UUID>>& serviceUUIDs,
                                                const std::optional<Dictionary>& options) {
    // Asked for while the adapter is not powered on, the scan starts when it is.
    if (!active_) return;
    std::vector<UUID> solicited;
    bool duplicates = false;
    if (options) {
        const Value entries(*options);
        const Value& list = entries[CBCentralManagerScanOptionSolicitedServiceUUIDsKey];
        if (const Array* texts = list.asArray()) {
            for (const auto& text : *texts) {
                if (const std::string* s = text.asString()) {
                    if (auto uuid = UUID::fromString(*s)) solicited.push_back(*uuid);
                }
            }
        }
        duplicates = entries[CBCentralManagerScanOptionAllowDuplicatesKey].asBoolean().value_or(false);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scanning_ = true;
        scanServices_ = serviceUUIDs && !serviceUUIDs->empty() ? serviceUUIDs : std::nullopt;
        solicitedServices_ = std::move(solicited);
        allowDuplicates_ = duplicates;
    }
    startReports();
}

void SimCentral::startReports() {
    auto radio = radio_.lock();
    if (!active_ || !radio || radio->state() != CBCentralManagerStatePoweredOn) return;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!scanning_) return;
        generation = ++scanGeneration_;
        ++scanCount_;
        reported_.clear();
    }
    auto self = std::static_pointer_cast<SimCentral>(shared_from_this());
    for (const auto& peripheral : radio->peripherals()) {
        RunLoop::main().schedule(peripheral->latency(SimOperation::Advertise), [self, peripheral, generation] {
            {
                std::lock_guard<std::mutex> lock(self->mutex_);
                if (self->scanGeneration_ != generation) return;
            }
            self->reportAdvertisement(peripheral, peripheral->signalStrength());
            self->scheduleRepeat(peripheral, generation);
        });
    }
}

void SimCentral::pauseScan() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++scanGeneration_;
}

void SimCentral::resumeScan() {
    startReports();
}

void SimCentral::scheduleRepeat(const std::shared_ptr<SimPeripheral>& peripheral, std::uint64_t scanGeneration) {
    const auto interval = peripheral->advertisingInterval();
    if (!interval || *interval <= Duration::zero()) return;
    std::weak_ptr<SimCentral> weak = std::static_pointer_cast<SimCentral>(shared_from_this());
    RunLoop::main().schedule(*interval, [weak, peripheral, scanGeneration] {
        auto self = weak.lock();
        if (!self || !self->active_) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->scanGeneration_ != scanGeneration || !self->allowDuplicates_) return;
        }
        self->reportAdvertisement(peripheral, peripheral->signalStrength());
        self->scheduleRepeat(peripheral, scanGeneration);
    });
}

void SimCentral::stopScan() {
    std::lock_guard<std::mutex> lock(mutex_);
    scanning_ = false;
    ++scanGeneration_;
}

bool SimCentral::allowsDuplicates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanning_ && allowDuplicates_;
}

std::size_t SimCentral::scanCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanCount_;
}

bool SimCentral::passesFilter(const SimPeripheral& peripheral) const {
    if (!scanServices_) return true;
    return intersects(peripheral.advertisedServiceUUIDs(), *scanServices_) ||
           intersects(peripheral.solicitedServiceUUIDs(), solicitedServices_);
}

void SimCentral::reportAdvertisement(const std::shared_ptr<SimPeripheral>& peripheral, std::int64_t RSSI) {
    if (!active_ || !peripheral || !peripheral->isAdvertising() || !peripheral->isInRange()) return;
    // A scan asked for while the adapter is off hears nothing until it is back on.
    if (state() != CBCentralManagerStatePoweredOn) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!scanning_ || !passesFilter(*peripheral)) return;
        const bool seen = std::find(reported_.begin(), reported_.end(), peripheral->identifier()) != reported_.end();
        if (seen && !allowDuplicates_) return;
        if (!seen) reported_.push_back(peripheral->identifier());
    }
    auto self = std::static_pointer_cast<SimCentral>(shared_from_this());
    deliver([self, peripheral, data = peripheral->advertisementData(),
             RSSI](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
        delegate->centralManagerDidDiscoverPeripheral(self, peripheral, data, RSSI);
    });
}

// ---- Links ------------------------------------------------------------------------------------

void SimCentral::connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                   const std::optional<Dictionary>&) {
    auto device = std::dynamic_pointer_cast<SimPeripheral>(peripheral);
    if (!active_ || !device) return;
    device->connectRequested(std::static_pointer_cast<SimCentral>(shared_from_this()));
}

void SimCentral::cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    auto device = std::dynamic_pointer_cast<SimPeripheral>(peripheral);
    if (!active_ || !device) return;
    device->cancelRequested(std::static_pointer_cast<SimCentral>(shared_from_this()));
}

std::vector<std::shared_ptr<PlatformPeripheral>> SimCentral::retrievePeripheralsWithIdentifiers(
    const std::vector<UUID>& identifiers) {
    std::vector<std::shared_ptr<PlatformPeripheral>> found;
    auto radio = radio_.lock();
    if (!radio) return found;
    for (const auto& identifier : identifiers) {
        if (auto device = radio->peripheral(identifier)) found.push_back(device);
    }
    return found;
}

std::vector<std::shared_ptr<PlatformPeripheral>> SimCentral::retrieveConnectedPeripheralsWithServices(
    const std::vector<UUID>& serviceUUIDs) {
    std::vector<std::shared_ptr<PlatformPeripheral>> found;
    auto radio = radio_.lock();
    if (!radio) return found;
    for (const auto& device : radio->peripherals()) {
        if (!device->isConnectedToSystem() && !device->isLinked()) continue;
        std::vector<UUID> offered;
        for (const auto& service : device->allServices()) offered.push_back(service->UUID());
        if (intersects(offered, serviceUUIDs)) found.push_back(device);
    }
    return found;
}

// ---- Advertising ----------------------------------------------------------------------------

void SimCentral::startAdvertising(const std::string& localName, const std::vector<UUID>& solicitedServiceUUIDs) {
    auto radio = radio_.lock();
    if (!active_ || !radio) return;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        generation = ++advertisingGeneration_;
    }
    auto self = std::static_pointer_cast<SimCentral>(shared_from_this());
    RunLoop::main().schedule(radio->advertisingLatency(), [self, radio, localName, solicitedServiceUUIDs, generation] {
        ErrorPtr error = radio->takeAdvertisingFailure();
        if (!error && radio->state() != CBCentralManagerStatePoweredOn)
            error = PlatformError::centralError(CBErrorOperationCancelled);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->advertisingGeneration_ != generation) return;
            if (!error) {
                self->advertising_ = true;
                self->advertisedName_ = localName;
                self->advertisedSolicited_ = solicitedServiceUUIDs;
                ++self->advertisingCount_;
            }
        }
        self->deliver([self, error](const std::shared_ptr<PlatformCentralDelegate>& delegate) {
            delegate->centralManagerDidStartAdvertising(self, error);
        });
        if (!error) {
            for (const auto& device : radio->peripherals()) device->centralStartedAdvertising();
        }
    });
}

void SimCentral::stopAdvertising() {
    std::lock_guard<std::mutex> lock(mutex_);
    advertising_ = false;
    ++advertisingGeneration_;
}

bool SimCentral::isAdvertising() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertising_;
}

std::string SimCentral::advertisedName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertising_ ? advertisedName_ : std::string();
}

std::vector<UUID> SimCentral::advertisedSolicitedServices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertising_ ? advertisedSolicited_ : std::vector<UUID>{};
}

std::size_t SimCentral::advertisingCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertisingCount_;
}

}  // namespace tandril
