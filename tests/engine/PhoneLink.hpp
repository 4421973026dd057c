#pragma once

// A simulated phone behind the real BLE layer, linked to a consumer engine the way the
// connection sequence links them: connected, both services discovered, the Data Source
// and the Notification Source subscribed with their values handed to the codec, the
// Control Point set. Used by the engine tests and the codec benchmarks.

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ble/LGCentralManager.hpp"
#include "ble/LGCharacteristic.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/LGService.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformService.hpp"
#include "engine/TestEngine.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNConsumerManagerDelegate.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/VirtualRunLoop.hpp"
#include "http/Image.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimScenario.hpp"

namespace tandril::test {

// Records what the engine reports.
class RecordingDelegate : public CNConsumerManagerDelegate {
public:
    std::vector<std::shared_ptr<CNNotification>> added;
    std::vector<std::shared_ptr<CNNotification>> removed;
    // activeNotifications().size() at each removal, while the delegate runs.
    std::vector<std::size_t> activeCountAtRemoval;

    void consumerManagerUpdatedState(CNConsumerManager*, std::int64_t) override {}
    void consumerManagerDiscoveredPeripheralsPreferredPeripheral(CNConsumerManager*,
                                                                 const std::vector<std::shared_ptr<LGPeripheral>>&,
                                                                 const std::shared_ptr<LGPeripheral>&) override {}
    void consumerManagerDidStartScanning(CNConsumerManager*) override {}
    void consumerManagerDidStopScanning(CNConsumerManager*) override {}
    void consumerManagerUpdatedConnectionPhase(CNConsumerManager*, CNConnectionPhase) override {}
    void consumerManagerWillConnectToPeripheral(CNConsumerManager*, const std::shared_ptr<LGPeripheral>&) override {}
    void consumerManagerDidConnectToPeripheral(CNConsumerManager*, const std::shared_ptr<LGPeripheral>&) override {}
    void consumerManagerFailedToConnectToPeripheralError(CNConsumerManager*, const std::shared_ptr<LGPeripheral>&,
                                                         const ErrorPtr&) override {}
    void consumerManagerDisconnectedFromPeripheralError(CNConsumerManager*, const std::shared_ptr<LGPeripheral>&,
                                                        const ErrorPtr&) override {}
    void consumerManagerAddedNotification(CNConsumerManager*, const std::shared_ptr<CNNotification>& n) override {
        added.push_back(n);
    }
    void consumerManagerRemovedNotification(CNConsumerManager* manager,
                                            const std::shared_ptr<CNNotification>& n) override {
        removed.push_back(n);
        activeCountAtRemoval.push_back(manager->activeNotifications().size());
    }
};

class PhoneLink {
public:
    // Installs a fresh radio, central and catalogue, and creates the engine.
    explicit PhoneLink(VirtualRunLoop& loop) : loop_(loop) {
        radio = SimRadio::install();
        LGCentralManager::resetSharedInstance();
        CNNotificationApplicationManager::setDefaultManager(nullptr);
        engine = createTestEngine();
        delegate = std::make_shared<RecordingDelegate>();
        engine->setDelegate(delegate);
        loop_.runUntilIdle();
    }

    ~PhoneLink() {
        if (peripheral) peripheral->disconnectWithCompletion(nullptr);
        loop_.runUntilIdle();
        RunLoop::main().cancelPerforms(engine.get());
        engine.reset();
        LGCentralManager::resetSharedInstance();
        CNNotificationApplicationManager::setDefaultManager(nullptr);
        Bundle::setMainBundle(nullptr);
        PlatformAdapter::setCurrent(nullptr);
    }

    SimScenario scenario() { return SimScenario(radio); }

    // Connects to the phone and discovers both of its services.
    void connect(std::shared_ptr<SimPhone> simPhone) {
        phone = std::move(simPhone);
        auto central = LGCentralManager::sharedInstance();
        auto found = central->retrievePeripheralsWithIdentifiers({phone->identifier()});
        if (found.empty()) return;
        peripheral = found.front();
        peripheral->connectWithTimeout(5, [](const ErrorPtr&) {});
        loop_.runUntilIdle();
        peripheral->discoverServices(std::vector<UUID>{SimPhone::mainServiceUUID(), SimPhone::notificationServiceUUID()},
                                     [this](const std::vector<std::shared_ptr<LGService>>& services, const ErrorPtr&) {
                                         for (const auto& s : services) {
                                             if (s->cbService()->UUID() == SimPhone::mainServiceUUID()) mainService = s;
                                             if (s->cbService()->UUID() == SimPhone::notificationServiceUUID())
                                                 notificationService = s;
                                         }
                                     });
        loop_.runUntilIdle();
    }

    // Connects, then subscribes to the notification-center service as the connection
    // sequence does (Data Source first, then Notification Source unless told otherwise).
    void link(std::shared_ptr<SimPhone> simPhone, bool subscribeNotifications = true) {
        connect(std::move(simPhone));
        if (!notificationService) return;
        notificationService->discoverCharacteristicsWithUUIDs(
            std::vector<UUID>{SimPhone::notificationSourceUUID(), SimPhone::controlPointUUID(),
                              SimPhone::dataSourceUUID()},
            [this](const std::vector<std::shared_ptr<LGCharacteristic>>& characteristics, const ErrorPtr&) {
                for (const auto& c : characteristics) {
                    const UUID uuid = c->cbCharacteristic()->UUID();
                    if (uuid == SimPhone::notificationSourceUUID()) engine->setNotificationSourceCharacteristic(c);
                    if (uuid == SimPhone::controlPointUUID()) engine->setControlPointCharacteristic(c);
                    if (uuid == SimPhone::dataSourceUUID()) engine->setDataSourceCharacteristic(c);
                }
            });
        loop_.runUntilIdle();
        std::weak_ptr<CNConsumerManager> weakEngine = engine;
        if (auto ds = engine->dataSourceCharacteristic()) {
            ds->setNotifyValue(true, nullptr, [weakEngine](const std::optional<Bytes>& value, const ErrorPtr&) {
                if (auto e = weakEngine.lock(); e && value) e->handleDataSourceData(*value);
            });
        }
        loop_.runUntilIdle();
        if (subscribeNotifications) subscribeNotificationSource();
    }

    // Subscribes to the Notification Source (again): the phone then announces every
    // notification it has.
    void subscribeNotificationSource() {
        std::weak_ptr<CNConsumerManager> weakEngine = engine;
        if (auto ns = engine->notificationSourceCharacteristic()) {
            ns->setNotifyValue(true, nullptr, [weakEngine](const std::optional<Bytes>& value, const ErrorPtr&) {
                if (auto e = weakEngine.lock(); e && value) e->handleNotificationSourceData(*value);
            });
        }
        loop_.runUntilIdle();
    }

    // Gives the listed applications a default icon through a bundle of PNG resources, so
    // that new catalogue records come with an icon and no download is needed.
    static void installDefaultIcons(const std::string& folder, const std::vector<std::string>& bundleIdentifiers) {
        namespace fs = std::filesystem;
        const fs::path bundlePath = fs::path(folder) / "Tandril.app";
        const fs::path resources = bundlePath / "Contents" / "Resources";
        fs::create_directories(resources);
        auto image = Image::create(1, 1, Bytes{0x20, 0x40, 0x80, 0xFF});
        const Bytes png = image ? image->PNGRepresentation().value_or(Bytes{}) : Bytes{};
        for (const auto& identifier : bundleIdentifiers) {
            std::ofstream out(resources / (identifier + ".png"), std::ios::binary);
            out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
        }
        Bundle::setMainBundle(std::make_shared<Bundle>(bundlePath.string()));
    }

    // Puts an application with a display name and an icon in the catalogue.
    static void catalogueKnows(const std::string& bundleIdentifier, const std::string& displayName) {
        auto catalogue = CNNotificationApplicationManager::defaultManager();
        auto app = catalogue->applicationForBundleIdentifier(bundleIdentifier);
        app->setDisplayName(displayName);
        app->setIcon(Image::create(1, 1, Bytes{1, 2, 3, 255}));
        catalogue->cacheApplication(app);
    }

    std::shared_ptr<SimRadio> radio;
    std::shared_ptr<SimPhone> phone;
    std::shared_ptr<CNConsumerManager> engine;
    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<LGPeripheral> peripheral;
    std::shared_ptr<LGService> mainService;
    std::shared_ptr<LGService> notificationService;

private:
    VirtualRunLoop& loop_;
};

}  // namespace tandril::test
