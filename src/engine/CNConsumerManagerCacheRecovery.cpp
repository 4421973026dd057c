// Recovery from a stale Bluetooth cache: the privileged helper's installation, the
// clearing of the cache through it, and the rebuilt central.

#include "engine/CNCacheConsent.hpp"
#include "engine/CNCacheHelperClient.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "foundation/Log.hpp"
#include "foundation/MainThread.hpp"

namespace tandril {

namespace {

// The helper's launch label.
constexpr const char* kHelperLabel = "com.Varn.cbcache";

}  // namespace

void CNConsumerManager::resetAfterStaleCache() {
    endSequence();
    clearConnectedPeripheral();
    clearCoreBluetoothCache();
    reset();
}

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
    TANDRIL_ASSERT_MAIN_THREAD();
    CNCacheHelperClient client(CNCacheConsent::shared());
    client.clearCache();
}

}  // namespace tandril
