#pragma once

// Engines for the tests: the shared central manager, the installed radio's paired devices,
// the shared catalogue and a preferred-device store in memory.

#include <memory>
#include <optional>
#include <string>

#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "engine/CNAdapterPairedDevices.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "engine/CNPreferredDeviceStore.hpp"
#include "model/CNNotificationApplicationManager.hpp"

namespace tandril::test {

class MemoryPreferredDeviceStore : public CNPreferredDeviceStore {
public:
    std::optional<std::string> stored;
    std::optional<std::string> preferredDeviceIdentifier() override { return stored; }
    void setPreferredDeviceIdentifier(const std::optional<std::string>& identifier) override { stored = identifier; }
};

// Forgets the shared objects an engine picks up (central manager, catalogue, cache consent,
// helper installer), so that the next engine starts from fresh ones.
inline void resetSharedEngineState() {
    LGCentralManager::resetSharedInstance();
    CNNotificationApplicationManager::setDefaultManager(nullptr);
    CNCacheConsent::setShared(nullptr);
    CNHelperInstaller::setShared(nullptr);
}

inline CNConsumerManager::Collaborators testCollaborators(
    std::shared_ptr<CNPreferredDeviceStore> store = std::make_shared<MemoryPreferredDeviceStore>()) {
    CNConsumerManager::Collaborators collaborators;
    collaborators.centralManager = LGCentralManager::sharedInstance();
    collaborators.pairedDevices = std::make_shared<CNAdapterPairedDevices>(PlatformAdapter::current());
    collaborators.catalogue = CNNotificationApplicationManager::defaultManager();
    collaborators.preferredDeviceStore = std::move(store);
    return collaborators;
}

inline std::shared_ptr<CNConsumerManager> createTestEngine(
    std::shared_ptr<CNPreferredDeviceStore> store = std::make_shared<MemoryPreferredDeviceStore>()) {
    return CNConsumerManager::create(testCollaborators(std::move(store)));
}

}  // namespace tandril::test
