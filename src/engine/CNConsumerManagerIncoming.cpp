// Phones that connect to us: advertising for iPhones without the companion application,
// the incoming link, and the connection sequence without the handshake.

#include <memory>

#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/CNConsumerManagerInternal.hpp"
#include "engine/CNMainService.hpp"
#include "engine/CNNotificationService.hpp"
#include "foundation/MainThread.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

using namespace consumer;

namespace {
constexpr const char* kDefaultAdvertisedName = "Tandril";
}  // namespace

void CNConsumerManager::setAllowsIncomingPhones(bool allow) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (allowsIncomingPhones_ == allow) return;
    allowsIncomingPhones_ = allow;
    log(allow ? "[CONSUMER] iPhones may connect." : "[CONSUMER] iPhones may no longer connect.");
    updateAdvertising();
}

void CNConsumerManager::setSleeping(bool sleeping) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (sleeping_ == sleeping) return;
    sleeping_ = sleeping;
    updateAdvertising();
}

void CNConsumerManager::clearConnectedPeripheral() {
    connectedPeripheral_ = nullptr;
    stockPhone_ = false;
    RunLoop::main().cancelPerform(this, kPairingTimeoutCall);
    if (allowsIncomingPhones_) scheduleAdvertisingUpdate();
}

void CNConsumerManager::scheduleAdvertisingUpdate() {
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    RunLoop::main().cancelPerform(this, kUpdateAdvertisingCall);
    RunLoop::main().performAfterDelay(strongSelf(), kUpdateAdvertisingCall, Duration::zero(), [weak] {
        if (auto self = weak.lock()) self->updateAdvertising();
    });
}

void CNConsumerManager::updateAdvertising() {
    TANDRIL_ASSERT_MAIN_THREAD();
    RunLoop::main().cancelPerform(this, kUpdateAdvertisingCall);
    const bool ready = centralManager_ && centralManager_->isCentralReady();
    const bool wanted = allowsIncomingPhones_ && !sleeping_ && !connectedPeripheral_ && ready;
    if (wanted == advertising_) return;
    advertising_ = wanted;
    if (!wanted) {
        if (centralManager_) centralManager_->stopAdvertising();
        log("[CONSUMER] Stopped advertising.");
        return;
    }
    const std::string localName = name_.value_or(kDefaultAdvertisedName);
    log("[CONSUMER] Advertising as \"%@\" for iPhones...", localName);
    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    centralManager_->startAdvertising(localName, {catalogueUUID(CNNotificationService::serviceUUID())},
                                      [weak](const ErrorPtr& error) {
                                          auto self = weak.lock();
                                          if (!self || !error) return;
                                          log("[CONSUMER] Failed to advertise (Error: %@)", error);
                                          self->advertising_ = false;
                                      });
}

void CNConsumerManager::receivedIncomingPeripheral(const std::shared_ptr<LGPeripheral>& peripheral) {
    TANDRIL_ASSERT_MAIN_THREAD();
    if (!peripheral) return;
    if (connectedPeripheral_) {
        // Our own phone linking again while we know it: nothing new.
        if (isConnectedPhone(peripheral)) return;
        log("[CONSUMER] Refusing incoming connection from %@: already connected to %@.", peripheral,
            connectedPeripheral_);
        peripheral->disconnectWithCompletion(
            [](const ErrorPtr& error) { log("[CONSUMER] Refused incoming connection! (Error: %@)", error); });
        return;
    }
    if (!allowsIncomingPhones_ || sleeping_) {
        log("[CONSUMER] Refusing incoming connection from %@: iPhones may not connect now.", peripheral);
        peripheral->disconnectWithCompletion(
            [](const ErrorPtr& error) { log("[CONSUMER] Refused incoming connection! (Error: %@)", error); });
        return;
    }

    if (scanning_) stopScanning();
    connectedPeripheral_ = peripheral;
    stockPhone_ = false;
    const auto sequence = ++sequence_;
    log("[CONSUMER] Incoming connection from %@!", peripheral);
    updateAdvertising();
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerUpdatedConnectionPhase(this, CNConnectionPhaseConnecting);
    }
    if (auto delegate = this->delegate()) delegate->consumerManagerWillConnectToPeripheral(this, peripheral);
    if (sequence != sequence_) return;

    std::weak_ptr<CNConsumerManager> weak = strongSelf();
    std::weak_ptr<LGPeripheral> weakPeripheral = peripheral;
    RunLoop::main().performAfterDelay(strongSelf(), kPairingTimeoutCall, seconds(kIncomingPairingTimeoutSeconds),
                                      [weak, weakPeripheral, sequence] {
                                          auto self = weak.lock();
                                          auto p = weakPeripheral.lock();
                                          if (self && p) self->incomingPairingTimedOut(p, sequence);
                                      });

    discoverPhoneServices(peripheral, sequence, &CNConsumerManager::discoveredIncomingServices);
}

void CNConsumerManager::discoveredIncomingServices(const std::shared_ptr<LGPeripheral>& peripheral,
                                                   const std::vector<std::shared_ptr<LGService>>& services,
                                                   const ErrorPtr& error, std::uint64_t sequence) {
    const bool hasMain = firstService(services, catalogueUUID(CNMainService::serviceUUID())) != nullptr;
    const bool hasNotifications = firstService(services, catalogueUUID(CNNotificationService::serviceUUID())) != nullptr;
    if (hasMain && hasNotifications) {
        // A phone with the companion application: the handshake, as for a phone we connected to.
        RunLoop::main().cancelPerform(this, kPairingTimeoutCall);
        discoveredConnectionServices(peripheral, services, error, sequence);
        return;
    }
    if (!hasNotifications) {
        log("[CONSUMER] %@ offers no notification-center service! (Error: %@)", peripheral, error);
        failConnection(peripheral,
                       CNConsumerManagerError(CNConsumerManagerErrorMissingService,
                                              "The device does not offer a notification-center service.", error),
                       "[CONSUMER] Disconnected because of missing notification service (Error: %@)");
        return;
    }
    log("[CONSUMER] No main service: serving %@ without the handshake.", peripheral);
    stockPhone_ = true;
    if (auto delegate = this->delegate()) {
        delegate->consumerManagerUpdatedConnectionPhase(this, CNConnectionPhasePairing);
    }
    if (sequence != sequence_) return;
    // The phone pairs while we subscribe: the Data Source answers once the link is encrypted.
    discoveredNotificationServices(peripheral, services, error);
}

void CNConsumerManager::incomingPairingTimedOut(const std::shared_ptr<LGPeripheral>& peripheral,
                                                std::uint64_t sequence) {
    if (sequence != sequence_ || !isConnectedPhone(peripheral)) return;
    log("[CONSUMER] %@ did not pair within %d seconds, disconnecting.", peripheral,
        static_cast<int>(kIncomingPairingTimeoutSeconds));
    stockPhone_ = false;
    failConnection(peripheral,
                   CNConsumerManagerError(CNConsumerManagerErrorPairingTimeout, "The phone did not pair in time."),
                   "[CONSUMER] Disconnected because pairing timed out (Error: %@)");
}

}  // namespace tandril
