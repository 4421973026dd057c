// The engine object: creation, collaborators, properties and the preferred device. The
// other concerns live beside it: CNConsumerManagerConnection.cpp (the connection sequence),
// CNConsumerManagerHandshake.cpp (the companion handshake and the provider poll),
// CNConsumerManagerScan.cpp (scan periods, exploration and verification),
// CNConsumerManagerCacheRecovery.cpp (the Bluetooth-cache helper) and
// CNConsumerManagerNotifications.cpp (the codec's effects: commands, records, catalogue).

#include "engine/CNConsumerManager.hpp"

#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "engine/CNPreferredDeviceStore.hpp"
#include "foundation/Log.hpp"
#include "foundation/MainThread.hpp"
#include "model/CNNotificationApplicationManager.hpp"

namespace tandril {

namespace {

// The catalogue's shared record for an identifier; nothing without a catalogue.
CNNotificationCodec::ApplicationLookup lookupIn(std::shared_ptr<CNNotificationApplicationManager> catalogue) {
    return [catalogue = std::move(catalogue)](const std::string& identifier)
               -> std::shared_ptr<CNNotificationApplication> {
        return catalogue ? catalogue->applicationForBundleIdentifier(identifier) : nullptr;
    };
}

}  // namespace

std::shared_ptr<CNConsumerManager> CNConsumerManager::create(Collaborators collaborators) {
    TANDRIL_ASSERT_MAIN_THREAD();
    std::shared_ptr<CNConsumerManager> manager(new CNConsumerManager(std::move(collaborators)));
    manager->setUp();
    return manager;
}

CNConsumerManager::CNConsumerManager(Collaborators collaborators)
    : centralManager_(std::move(collaborators.centralManager)),
      pairedDevices_(std::move(collaborators.pairedDevices)),
      catalogue_(std::move(collaborators.catalogue)),
      preferredDeviceStore_(std::move(collaborators.preferredDeviceStore)),
      codec_(lookupIn(catalogue_)) {}

CNConsumerManager::~CNConsumerManager() {
    // The advertisement invites phones to an engine that is no longer there.
    if (advertising_ && centralManager_) centralManager_->stopAdvertising();
}

std::shared_ptr<CNConsumerManager> CNConsumerManager::strongSelf() {
    return std::static_pointer_cast<CNConsumerManager>(shared_from_this());
}

void CNConsumerManager::setUp() {
    std::weak_ptr<CNConsumerManager> weak = strongSelf();

    if (!isHelperInstalled()) installHelper();

    scanning_ = false;
    codec_.setActiveNotifications({});

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
            // Leaving the powered-on state ends any advertisement.
            if (state != CBCentralManagerStatePoweredOn) self->advertising_ = false;
            if (auto delegate = self->delegate()) delegate->consumerManagerUpdatedState(self.get(), state);
            self->updateAdvertising();
        });

        centralManager_->setDiscoveredPeripheralCallback([weak](const std::shared_ptr<LGPeripheral>& peripheral) {
            if (auto self = weak.lock()) self->discoveredPeripheral(peripheral);
        });
        centralManager_->setIncomingPeripheralCallback([weak](const std::shared_ptr<LGPeripheral>& peripheral) {
            if (auto self = weak.lock()) self->receivedIncomingPeripheral(peripheral);
        });
    }
    // The catalogue was loaded by whoever made it, before the first notification arrives.
}

// --- properties

std::optional<UUID> CNConsumerManager::preferredUUID() const {
    if (!preferredDeviceStore_) return std::nullopt;
    auto text = preferredDeviceStore_->preferredDeviceIdentifier();
    if (!text) return std::nullopt;
    auto uuid = UUID::fromString(*text);
    // Only a full 128-bit identifier names a peripheral.
    if (!uuid || uuid->data().size() != 16) return std::nullopt;
    return uuid;
}

void CNConsumerManager::setPreferredUUID(const std::optional<UUID>& uuid) {
    if (!preferredDeviceStore_) return;
    preferredDeviceStore_->setPreferredDeviceIdentifier(uuid ? std::optional<std::string>(uuid->UUIDString())
                                                             : std::nullopt);
}

std::string CNConsumerManager::description() const { return defaultDescription(); }

}  // namespace tandril
