#include "ble/LGPeripheral.hpp"

#include "ble/LGCentralManager.hpp"
#include "ble/LGDelayedBlock.hpp"
#include "ble/LGCharacteristic.hpp"
#include "ble/LGService.hpp"
#include "ble/platform/PlatformCentral.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "ble/platform/PlatformService.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/Log.hpp"
#include "foundation/MainThread.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

namespace {
constexpr const char* kWatchDogSelector = "connectionWatchDogFired";

std::shared_ptr<PlatformCentral> platformCentral() {
    return LGCentralManager::sharedInstance()->manager();
}
}  // namespace

std::shared_ptr<LGPeripheral> LGPeripheral::create(std::shared_ptr<PlatformPeripheral> peripheral) {
    std::shared_ptr<LGPeripheral> wrapper(new LGPeripheral(std::move(peripheral)));
    if (wrapper->cbPeripheral_) wrapper->cbPeripheral_->setDelegate(wrapper);
    return wrapper;
}

LGPeripheral::LGPeripheral(std::shared_ptr<PlatformPeripheral> peripheral) : cbPeripheral_(std::move(peripheral)) {}

LGPeripheral::~LGPeripheral() = default;

std::shared_ptr<LGPeripheral> LGPeripheral::self() {
    return std::static_pointer_cast<LGPeripheral>(shared_from_this());
}

// ---- Completion slots ----------------------------------------------------------------

LGPeripheral::ErrorCallback LGPeripheral::connectionBlock() const {
    TANDRIL_ASSERT_MAIN_THREAD();
    return connectionBlock_;
}

void LGPeripheral::setConnectionBlock(ErrorCallback block) {
    TANDRIL_ASSERT_MAIN_THREAD();
    connectionBlock_ = std::move(block);
}

LGPeripheral::ErrorCallback LGPeripheral::disconnectBlock() const {
    TANDRIL_ASSERT_MAIN_THREAD();
    return disconnectBlock_;
}

void LGPeripheral::setDisconnectBlock(ErrorCallback block) {
    TANDRIL_ASSERT_MAIN_THREAD();
    disconnectBlock_ = std::move(block);
}

LGPeripheral::ServicesCallback LGPeripheral::discoverServicesBlock() const {
    TANDRIL_ASSERT_MAIN_THREAD();
    return discoverServicesBlock_;
}

void LGPeripheral::setDiscoverServicesBlock(ServicesCallback block) {
    TANDRIL_ASSERT_MAIN_THREAD();
    discoverServicesBlock_ = std::move(block);
}

LGPeripheral::RSSICallback LGPeripheral::rssiValueBlock() const {
    TANDRIL_ASSERT_MAIN_THREAD();
    return rssiValueBlock_;
}

void LGPeripheral::setRssiValueBlock(RSSICallback block) {
    TANDRIL_ASSERT_MAIN_THREAD();
    rssiValueBlock_ = std::move(block);
}

// ---- Derived values --------------------------------------------------------------------

bool LGPeripheral::isConnected() const {
    return cbPeripheral_ && cbPeripheral_->state() == CBPeripheralStateConnected;
}

int LGPeripheral::state() const {
    return cbPeripheral_ ? cbPeripheral_->state() : CBPeripheralStateDisconnected;
}

bool LGPeripheral::receivesPlatformEvents() const {
    return cbPeripheral_ && cbPeripheral_->delegate().get() == static_cast<const PlatformPeripheralDelegate*>(this);
}

std::string LGPeripheral::UUIDString() const {
    return cbPeripheral_ ? cbPeripheral_->identifier().UUIDString() : std::string();
}

std::string LGPeripheral::name() const {
    if (realName_) return *realName_;
    if (cbPeripheral_) {
        if (auto platformName = cbPeripheral_->name()) return *platformName;
    }
    return "Unknown device";
}

std::string LGPeripheral::stateText(int state) {
    switch (state) {
        case CBPeripheralStateDisconnected: return "disconnected";
        case CBPeripheralStateConnecting: return "connecting";
        case CBPeripheralStateConnected: return "connected";
        default: return "";
    }
}

std::string LGPeripheral::description() const {
    const int state = cbPeripheral_ ? cbPeripheral_->state() : CBPeripheralStateDisconnected;
    return defaultDescription() + " <" + UUIDString() + " - " + name() + " - " + stateText(state) + ">";
}

Dictionary LGPeripheral::dictionaryRepresentation() const {
    const int state = cbPeripheral_ ? cbPeripheral_->state() : CBPeripheralStateDisconnected;
    return Dictionary{{"name", name()}, {"uuid", UUIDString()}, {"state", stateText(state)}};
}

// ---- Connection ------------------------------------------------------------------------

void LGPeripheral::connectWithCompletion(ErrorCallback completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    watchDogRaised_ = false;
    setConnectionBlock(std::move(completion));
    if (auto central = platformCentral()) central->connectPeripheral(cbPeripheral_, std::nullopt);
}

void LGPeripheral::connectWithTimeout(std::uint64_t seconds, ErrorCallback completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    connectWithCompletion(std::move(completion));
    // An earlier time limit that is still pending stays in force.
    RunLoop::main().performAfterDelay(self(), kWatchDogSelector, delayDuration(static_cast<double>(seconds)),
                                      [this] { connectionWatchDogFired(); });
}

void LGPeripheral::disconnectWithCompletion(ErrorCallback completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    setDisconnectBlock(std::move(completion));
    // The fallback answers a disconnection the platform does not report in time. It leaves
    // the slot as it is: a later report calls the same completion again.
    auto wrapper = self();
    RunLoop::main().schedule(tandril::seconds(kDisconnectFallbackSeconds), [wrapper] {
        if (auto block = wrapper->disconnectBlock()) block(nullptr);
    });
    if (auto central = platformCentral()) central->cancelPeripheralConnection(cbPeripheral_);
}

void LGPeripheral::connectionWatchDogFired() {
    watchDogRaised_ = true;
    std::weak_ptr<LGPeripheral> weak = self();
    disconnectWithCompletion([weak](const ErrorPtr&) {
        auto wrapper = weak.lock();
        if (!wrapper) return;
        ErrorCallback block = std::move(wrapper->connectionBlock_);
        wrapper->connectionBlock_ = nullptr;
        if (block) {
            block(connectionErrorWithCode(kLGPeripheralConnectionTimeoutErrorCode,
                                          kLGPeripheralConnectionTimeoutMessage));
        }
    });
}

void LGPeripheral::handleConnectionWithError(const ErrorPtr& error) {
    TANDRIL_ASSERT_MAIN_THREAD();
    RunLoop::main().cancelPerform(this, kWatchDogSelector);
    // Both slots are emptied before the completion runs: the disconnect pending from
    // before this event is dropped, while a connect or disconnect that the completion
    // itself starts keeps its completion.
    ErrorCallback block = std::move(connectionBlock_);
    connectionBlock_ = nullptr;
    disconnectBlock_ = nullptr;
    if (block) block(error);
    postNotification(kLGPeripheralDidConnect, error);
}

void LGPeripheral::handleDisconnectWithError(const ErrorPtr& error) {
    TANDRIL_ASSERT_MAIN_THREAD();
    ErrorCallback block = std::move(disconnectBlock_);
    disconnectBlock_ = nullptr;
    if (block) {
        block(error);
    } else {
        postNotification(kLGPeripheralDidDisconnect, error);
    }
}

void LGPeripheral::postNotification(const char* name, const ErrorPtr& error) {
    NotificationCenter::defaultCenter().postNotification(name, self(),
                                                         Dictionary{{kLGPeripheralErrorKey, errorValue(error)}});
}

ErrorPtr LGPeripheral::connectionErrorWithCode(std::int64_t code, const std::string& message) {
    return Error::make(kLGPeripheralConnectionErrorDomain, code, Dictionary{{kLGErrorMessageKey, message}});
}

// ---- Services ----------------------------------------------------------------------------

void LGPeripheral::discoverServicesWithCompletion(ServicesCallback completion) {
    discoverServices(std::nullopt, std::move(completion));
}

void LGPeripheral::discoverServices(const std::optional<std::vector<UUID>>& serviceUUIDs,
                                    ServicesCallback completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    setDiscoverServicesBlock(std::move(completion));
    if (isConnected()) {
        cbPeripheral_->discoverServices(serviceUUIDs);
        return;
    }
    ServicesCallback block = std::move(discoverServicesBlock_);
    discoverServicesBlock_ = nullptr;
    if (block) block({}, connectionErrorWithCode(kLGPeripheralNotConnectedErrorCode, kLGPeripheralNotConnectedMessage));
}

void LGPeripheral::readRSSIValueCompletion(RSSICallback completion) {
    TANDRIL_ASSERT_MAIN_THREAD();
    setRssiValueBlock(std::move(completion));
    if (isConnected()) {
        cbPeripheral_->readRSSI();
        return;
    }
    RSSICallback block = std::move(rssiValueBlock_);
    rssiValueBlock_ = nullptr;
    if (block) {
        block(std::nullopt,
              connectionErrorWithCode(kLGPeripheralNotConnectedErrorCode, kLGPeripheralNotConnectedMessage));
    }
}

std::shared_ptr<LGService> LGPeripheral::wrapperByService(const std::shared_ptr<PlatformService>& service) const {
    for (const auto& wrapper : services_) {
        if (wrapper->cbService() == service) return wrapper;
    }
    return nullptr;
}

void LGPeripheral::updateServiceWrappers() {
    std::vector<std::shared_ptr<LGService>> wrappers;
    if (cbPeripheral_) {
        for (const auto& service : cbPeripheral_->services()) wrappers.push_back(std::make_shared<LGService>(service));
    }
    services_ = std::move(wrappers);
}

std::shared_ptr<LGCharacteristic> LGPeripheral::characteristicWrapper(
    const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    if (!characteristic) return nullptr;
    auto service = wrapperByService(characteristic->service());
    return service ? service->wrapperByCharacteristic(characteristic) : nullptr;
}

// ---- The notification's error entry -------------------------------------------------------

Value LGPeripheral::errorValue(const ErrorPtr& error) {
    if (!error) return Value();
    return Value(Dictionary{{"domain", error->domain()}, {"code", error->code()}, {"userInfo", error->userInfo()}});
}

ErrorPtr LGPeripheral::errorFromValue(const Value& value) {
    const Dictionary* entries = value.asDictionary();
    if (!entries) return nullptr;
    const std::string* domain = value["domain"].asString();
    const auto code = value["code"].asInteger();
    if (!domain || !code) return nullptr;
    const Dictionary* userInfo = value["userInfo"].asDictionary();
    return Error::make(*domain, *code, userInfo ? *userInfo : Dictionary{});
}

ErrorPtr LGPeripheral::errorFromNotification(const Notification& notification) {
    auto entry = notification.userInfo.find(kLGPeripheralErrorKey);
    return entry == notification.userInfo.end() ? nullptr : errorFromValue(entry->second);
}

// ---- Platform events ------------------------------------------------------------------------

void LGPeripheral::peripheralDidUpdateName(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    log("Updated name %@", peripheral);
}

void LGPeripheral::peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>&, const ErrorPtr& error) {
    dispatchToMain([wrapper = self(), error] {
        wrapper->updateServiceWrappers();
        ServicesCallback block = std::move(wrapper->discoverServicesBlock_);
        wrapper->discoverServicesBlock_ = nullptr;
        if (block) block(wrapper->services_, error);
    });
}

void LGPeripheral::peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>&,
                                                                  const std::shared_ptr<PlatformService>& service,
                                                                  const ErrorPtr& error) {
    dispatchToMain([wrapper = self(), service, error] {
        if (!service) return;
        if (auto serviceWrapper = wrapper->wrapperByService(service))
            serviceWrapper->handleDiscoveredCharacteristics(service->characteristics(), error);
    });
}

void LGPeripheral::peripheralDidUpdateValueForCharacteristic(
    const std::shared_ptr<PlatformPeripheral>&, const std::shared_ptr<PlatformCharacteristic>& characteristic,
    const std::optional<Bytes>& value, const ErrorPtr& error) {
    dispatchToMain([wrapper = self(), characteristic, value, error] {
        if (auto characteristicWrapper = wrapper->characteristicWrapper(characteristic))
            characteristicWrapper->handleReadValue(value, error);
    });
}

void LGPeripheral::peripheralDidWriteValueForCharacteristic(
    const std::shared_ptr<PlatformPeripheral>&, const std::shared_ptr<PlatformCharacteristic>& characteristic,
    const ErrorPtr& error) {
    dispatchToMain([wrapper = self(), characteristic, error] {
        if (auto characteristicWrapper = wrapper->characteristicWrapper(characteristic))
            characteristicWrapper->handleWrittenValueWithError(error);
    });
}

void LGPeripheral::peripheralDidUpdateNotificationStateForCharacteristic(
    const std::shared_ptr<PlatformPeripheral>&, const std::shared_ptr<PlatformCharacteristic>& characteristic,
    const ErrorPtr& error) {
    dispatchToMain([wrapper = self(), characteristic, error] {
        if (auto characteristicWrapper = wrapper->characteristicWrapper(characteristic))
            characteristicWrapper->handleSetNotifiedWithError(error);
    });
}

void LGPeripheral::peripheralDidUpdateRSSI(const std::shared_ptr<PlatformPeripheral>&,
                                           std::optional<std::int64_t> RSSI, const ErrorPtr& error) {
    dispatchToMain([wrapper = self(), RSSI, error] {
        RSSICallback block = std::move(wrapper->rssiValueBlock_);
        wrapper->rssiValueBlock_ = nullptr;
        if (block) block(RSSI, error);
    });
}

}  // namespace tandril
