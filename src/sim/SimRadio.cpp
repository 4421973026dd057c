#include "sim/SimRadio.hpp"

#include <algorithm>
#include <utility>

#include "ble/platform/PlatformCentralDelegate.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "foundation/RunLoop.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimClassicDevice.hpp"
#include "sim/SimPeripheral.hpp"

namespace tandril {

std::shared_ptr<SimRadio> SimRadio::create() {
    return std::shared_ptr<SimRadio>(new SimRadio());
}

std::shared_ptr<SimRadio> SimRadio::install() {
    auto radio = create();
    PlatformAdapter::setCurrent(radio);
    return radio;
}

SimRadio::~SimRadio() = default;

std::shared_ptr<PlatformCentral> SimRadio::createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                         std::shared_ptr<DispatchQueue> queue) {
    auto self = std::static_pointer_cast<SimRadio>(shared_from_this());
    auto central = std::make_shared<SimCentral>(self, std::move(delegate), std::move(queue));
    std::shared_ptr<SimCentral> previous;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = central_.lock();
        central_ = central;
        ++centralCount_;
    }
    if (previous) {
        // The replaced central is released by its owner: its links drop without a word.
        previous->deactivate();
        for (const auto& device : peripherals()) device->dropLinkSilently();
    }
    const int current = state();
    central->deliver([central, current](const std::shared_ptr<PlatformCentralDelegate>& target) {
        target->centralManagerDidUpdateState(central, current);
    });
    return central;
}

std::vector<std::shared_ptr<PlatformClassicDevice>> SimRadio::pairedDevices() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {pairedDevices_.begin(), pairedDevices_.end()};
}

void SimRadio::setState(int state) {
    const int previous = state_.exchange(state);
    if (previous == state) return;
    auto current = central();
    if (state != CBCentralManagerStatePoweredOn) {
        if (current) {
            current->pauseScan();
            current->stopAdvertising();
        }
        for (const auto& device : peripherals()) {
            if (device->isLinked()) device->dropLink(PlatformError::centralError(CBErrorPeripheralDisconnected));
            else device->dropLinkSilently();  // a pending connect ends with the adapter
        }
    }
    if (current) {
        current->deliver([current, state](const std::shared_ptr<PlatformCentralDelegate>& target) {
            target->centralManagerDidUpdateState(current, state);
        });
        // After the state report: a scan that was asked for runs again.
        if (state == CBCentralManagerStatePoweredOn) current->resumeScan();
    }
}

void SimRadio::addPeripheral(const std::shared_ptr<SimPeripheral>& peripheral) {
    if (!peripheral) return;
    peripheral->attach(std::static_pointer_cast<SimRadio>(shared_from_this()));
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(peripherals_.begin(), peripherals_.end(), peripheral) == peripherals_.end())
        peripherals_.push_back(peripheral);
}

void SimRadio::removePeripheral(const std::shared_ptr<SimPeripheral>& peripheral) {
    if (!peripheral) return;
    if (peripheral->isLinked()) peripheral->dropLink(PlatformError::centralError(CBErrorConnectionTimeout));
    std::lock_guard<std::mutex> lock(mutex_);
    peripherals_.erase(std::remove(peripherals_.begin(), peripherals_.end(), peripheral), peripherals_.end());
}

std::vector<std::shared_ptr<SimPeripheral>> SimRadio::peripherals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peripherals_;
}

std::shared_ptr<SimPeripheral> SimRadio::peripheral(const UUID& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& device : peripherals_) {
        if (device->identifier() == identifier) return device;
    }
    return nullptr;
}

void SimRadio::advertise(const std::shared_ptr<SimPeripheral>& peripheral, std::optional<std::int64_t> RSSI) {
    auto current = central();
    if (!current || !peripheral) return;
    RunLoop::main().schedule(peripheral->latency(SimOperation::Advertise), [current, peripheral, RSSI] {
        current->reportAdvertisement(peripheral, RSSI.value_or(peripheral->signalStrength()));
    });
}

std::shared_ptr<SimClassicDevice> SimRadio::addPairedDevice(const std::string& name,
                                                            const std::shared_ptr<SimPeripheral>& peripheral) {
    auto device = std::make_shared<SimClassicDevice>(name, peripheral);
    std::lock_guard<std::mutex> lock(mutex_);
    pairedDevices_.push_back(device);
    return device;
}

void SimRadio::removePairedDevices() {
    std::lock_guard<std::mutex> lock(mutex_);
    pairedDevices_.clear();
}

std::shared_ptr<SimCentral> SimRadio::central() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return central_.lock();
}

void SimRadio::setPairingHandler(PairingHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    pairingHandler_ = std::move(handler);
}

SimRadio::PairingHandler SimRadio::pairingHandler() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pairingHandler_;
}

Duration SimRadio::advertisingLatency() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return advertisingLatency_;
}

void SimRadio::setAdvertisingLatency(Duration latency) {
    std::lock_guard<std::mutex> lock(mutex_);
    advertisingLatency_ = latency;
}

void SimRadio::failNextAdvertising(ErrorPtr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    advertisingFailure_ = std::move(error);
}

ErrorPtr SimRadio::takeAdvertisingFailure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(advertisingFailure_, nullptr);
}

std::size_t SimRadio::centralCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return centralCount_;
}

}  // namespace tandril
