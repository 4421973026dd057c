#include "ble/LGCentralManager.hpp"

#include <algorithm>

#include "ble/LGDelayedBlock.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformCentral.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/Log.hpp"
#include "foundation/MainThread.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

namespace {
constexpr const char* kStopScanSelector = "stopScanForPeripherals";

// (a + b) / 2 truncated toward zero, without overflowing on values an adapter may report
// at the ends of the 64-bit range.
std::int64_t meanTowardZero(std::int64_t a, std::int64_t b) {
    if ((a < 0) != (b < 0)) return (a + b) / 2;  // opposite signs cannot overflow
    return a / 2 + b / 2 + (a % 2 + b % 2) / 2;
}

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<LGCentralManager>& sharedManager() {
    static std::shared_ptr<LGCentralManager> manager;
    return manager;
}
}  // namespace

std::shared_ptr<LGCentralManager> LGCentralManager::sharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex());
    if (!sharedManager()) sharedManager() = create();
    return sharedManager();
}

void LGCentralManager::resetSharedInstance() {
    std::shared_ptr<LGCentralManager> previous;
    {
        std::lock_guard<std::mutex> lock(sharedMutex());
        previous = std::move(sharedManager());
        sharedManager() = nullptr;
    }
    if (previous && RunLoop::hasMain()) RunLoop::main().cancelPerforms(previous.get());
}

std::shared_ptr<LGCentralManager> LGCentralManager::create() {
    std::shared_ptr<LGCentralManager> manager(new LGCentralManager());
    manager->centralQueue_ = DispatchQueue::create(kCentralQueueLabel);
    manager->resetCentralManager();
    return manager;
}

LGCentralManager::LGCentralManager() = default;

LGCentralManager::~LGCentralManager() = default;

std::shared_ptr<LGCentralManager> LGCentralManager::self() {
    return std::static_pointer_cast<LGCentralManager>(shared_from_this());
}

void LGCentralManager::setDiscoveredPeripheralCallback(DiscoveredPeripheralCallback callback) {
    discoveredPeripheralCallback_ = std::move(callback);
}

void LGCentralManager::setStateChangedCallback(StateChangedCallback callback) {
    stateChangedCallback_ = std::move(callback);
}

void LGCentralManager::setScanBlock(ScanBlock block) {
    scanBlock_ = std::move(block);
}

void LGCentralManager::setIncomingPeripheralCallback(IncomingPeripheralCallback callback) {
    incomingPeripheralCallback_ = std::move(callback);
}

// ---- Advertising ------------------------------------------------------------------------------

void LGCentralManager::startAdvertising(const std::string& localName, const std::vector<UUID>& solicitedServiceUUIDs,
                                        AdvertisingCompletion completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!manager_) {
        advertisingCompletion_ = nullptr;
        if (completion) completion(PlatformError::centralError(CBErrorOperationNotSupported));
        return;
    }
    advertisingCompletion_ = std::move(completion);
    manager_->startAdvertising(localName, solicitedServiceUUIDs);
}

void LGCentralManager::stopAdvertising() {
    TANDRIL_ASSERT_MAIN_THREAD();
    advertisingCompletion_ = nullptr;
    if (manager_) manager_->stopAdvertising();
}

bool LGCentralManager::isAdvertising() const {
    return manager_ && manager_->isAdvertising();
}

bool LGCentralManager::isCentralReady() const {
    return manager_ && manager_->state() == CBCentralManagerStatePoweredOn;
}

std::optional<std::string> LGCentralManager::stateMessage() const {
    const int state = manager_ ? manager_->state() : CBCentralManagerStateUnknown;
    switch (state) {
        case CBCentralManagerStateUnknown: return std::string(kCentralNotInitializedMessage);
        case CBCentralManagerStateUnsupported: return std::string(kUnsupportedMessage);
        case CBCentralManagerStateUnauthorized: return std::string(kUnauthorizedMessage);
        case CBCentralManagerStatePoweredOff: return std::string(kPoweredOffMessage);
        default: return std::nullopt;
    }
}

std::vector<std::shared_ptr<LGPeripheral>> LGCentralManager::peripherals() const {
    auto sorted = scannedPeripherals_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const std::shared_ptr<LGPeripheral>& a, const std::shared_ptr<LGPeripheral>& b) {
                         return a->RSSI() > b->RSSI();
                     });
    return sorted;
}

void LGCentralManager::resetCentralManager() {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (manager_) manager_->stopScan();
    auto adapter = PlatformAdapter::current();
    std::weak_ptr<PlatformCentralDelegate> delegate = self();
    manager_ = adapter ? adapter->createCentral(delegate, centralQueue_) : nullptr;
    // The old central's advertisement went with it.
    advertisingCompletion_ = nullptr;
}

void LGCentralManager::scanForPeripherals() {
    scanForPeripheralsWithServices(std::nullopt, Dictionary{{CBCentralManagerScanOptionAllowDuplicatesKey, false}});
}

void LGCentralManager::scanForPeripheralsWithServices(const std::optional<std::vector<UUID>>& serviceUUIDs,
                                                      const std::optional<Dictionary>& options) {
    TANDRIL_ASSERT_MAIN_THREAD();
    // A new scan period starts with fresh wrappers, except for a peripheral whose link is
    // up: its wrapper holds the link's pending completions and the service and
    // characteristic wrappers its subscriptions live in, and must stay the one that receives
    // the peripheral's events.
    std::erase_if(scannedPeripherals_, [](const std::shared_ptr<LGPeripheral>& wrapper) {
        const auto& platform = wrapper->cbPeripheral();
        const bool linked = platform && platform->state() == CBPeripheralStateConnected &&
                            platform->delegate().get() == static_cast<PlatformPeripheralDelegate*>(wrapper.get());
        return !linked;
    });
    scanning_ = true;
    if (manager_) manager_->scanForPeripheralsWithServices(serviceUUIDs, options);
}

void LGCentralManager::scanForPeripheralsByInterval(std::uint64_t seconds, ScanBlock completion) {
    scanForPeripheralsByInterval(seconds, std::nullopt,
                                 Dictionary{{CBCentralManagerScanOptionAllowDuplicatesKey, true}},
                                 std::move(completion));
}

void LGCentralManager::scanForPeripheralsByInterval(std::uint64_t seconds,
                                                    const std::optional<std::vector<UUID>>& serviceUUIDs,
                                                    const std::optional<Dictionary>& options, ScanBlock completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    scanBlock_ = std::move(completion);
    scanForPeripheralsWithServices(serviceUUIDs, options);
    RunLoop::main().cancelPerform(this, kStopScanSelector);
    RunLoop::main().performAfterDelay(self(), kStopScanSelector, delayDuration(static_cast<double>(seconds)),
                                      [this] { stopScanForPeripherals(); });
}

void LGCentralManager::stopScanForPeripherals() {
    TANDRIL_ASSERT_MAIN_THREAD();
    scanning_ = false;
    if (manager_) manager_->stopScan();
    RunLoop::main().cancelPerform(this, kStopScanSelector);
    // Taken out of the slot before the call, so that a timed scan the completion starts
    // keeps its own completion.
    auto block = std::move(scanBlock_);
    scanBlock_ = nullptr;
    if (block) block(peripherals());
}

std::vector<std::shared_ptr<LGPeripheral>> LGCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<UUID>& identifiers) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!manager_) return {};
    return wrappersByPeripherals(manager_->retrievePeripheralsWithIdentifiers(identifiers));
}

std::vector<std::shared_ptr<LGPeripheral>> LGCentralManager::retrieveConnectedPeripheralsWithServices(
    const std::vector<UUID>& serviceUUIDs) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!manager_) return {};
    return wrappersByPeripherals(manager_->retrieveConnectedPeripheralsWithServices(serviceUUIDs));
}

std::shared_ptr<LGPeripheral> LGCentralManager::wrapperByPeripheral(
    const std::shared_ptr<PlatformPeripheral>& peripheral) {
    if (!peripheral) return nullptr;
    for (const auto& wrapper : scannedPeripherals_) {
        if (wrapper->cbPeripheral() == peripheral) return wrapper;
    }
    auto wrapper = LGPeripheral::create(peripheral);
    scannedPeripherals_.push_back(wrapper);
    return wrapper;
}

std::vector<std::shared_ptr<LGPeripheral>> LGCentralManager::wrappersByPeripherals(
    const std::vector<std::shared_ptr<PlatformPeripheral>>& peripherals) {
    std::vector<std::shared_ptr<LGPeripheral>> wrappers;
    wrappers.reserve(peripherals.size());
    for (const auto& peripheral : peripherals) {
        if (auto wrapper = wrapperByPeripheral(peripheral)) wrappers.push_back(std::move(wrapper));
    }
    return wrappers;
}

// ---- Platform events: each hops to the main thread ---------------------------------------

void LGCentralManager::centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>&, int state) {
    dispatchToMain([manager = self(), state] {
        if (auto callback = manager->stateChangedCallback_) callback(state);
    });
}

void LGCentralManager::centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                           const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                           const Dictionary& advertisementData, std::int64_t RSSI) {
    dispatchToMain([manager = self(), peripheral, advertisementData, RSSI] {
        auto wrapper = manager->wrapperByPeripheral(peripheral);
        if (!wrapper) return;
        // Smoothed: the mean of the previous value and the new one, truncated toward zero.
        wrapper->setRSSI(wrapper->RSSI() != 0 ? meanTowardZero(wrapper->RSSI(), RSSI) : RSSI);
        wrapper->setAdvertisingData(advertisementData);
        if (auto callback = manager->discoveredPeripheralCallback_) callback(wrapper);
    });
}

void LGCentralManager::centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                          const std::shared_ptr<PlatformPeripheral>& peripheral) {
    dispatchToMain([manager = self(), peripheral] {
        if (auto wrapper = manager->wrapperByPeripheral(peripheral)) wrapper->handleConnectionWithError(nullptr);
    });
}

void LGCentralManager::centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                                const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                const ErrorPtr& error) {
    log("fail %@", error);
    dispatchToMain([manager = self(), peripheral, error] {
        if (auto wrapper = manager->wrapperByPeripheral(peripheral)) wrapper->handleConnectionWithError(error);
    });
}

void LGCentralManager::centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                             const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                             const ErrorPtr& error) {
    dispatchToMain([manager = self(), peripheral, error] {
        if (auto wrapper = manager->wrapperByPeripheral(peripheral)) wrapper->handleDisconnectWithError(error);
    });
}

void LGCentralManager::centralManagerDidStartAdvertising(const std::shared_ptr<PlatformCentral>& central,
                                                         const ErrorPtr& error) {
    dispatchToMain([manager = self(), central, error] {
        // The answer of a start that a newer start, a stop or a new central replaced is dropped.
        if (central != manager->manager_) return;
        AdvertisingCompletion completion = std::move(manager->advertisingCompletion_);
        manager->advertisingCompletion_ = nullptr;
        if (completion) completion(error);
    });
}

void LGCentralManager::centralManagerDidReceiveIncomingConnection(const std::shared_ptr<PlatformCentral>& central,
                                                                  const std::shared_ptr<PlatformPeripheral>& peripheral) {
    dispatchToMain([manager = self(), central, peripheral] {
        if (central != manager->manager_) return;
        auto wrapper = manager->wrapperByPeripheral(peripheral);
        if (!wrapper) return;
        if (auto callback = manager->incomingPeripheralCallback_) callback(wrapper);
    });
}

}  // namespace tandril
