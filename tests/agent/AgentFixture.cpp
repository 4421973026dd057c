#include "agent/AgentFixture.hpp"

#include "agent/TDRUserNotification.hpp"
#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "foundation/UserDefaults.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "sim/SimPeripheral.hpp"
#include "engine/CNAdapterPairedDevices.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {

AgentFixture::AgentFixture() {
    radio = SimRadio::install();
    LGCentralManager::resetSharedInstance();
    CNNotificationApplicationManager::setDefaultManager(nullptr);
    UserDefaults::setStandardDomain("com.Varn.Glimwick");
    UserDefaults::resetStandardUserDefaults();
    setBundleVersion("100");
}

AgentFixture::~AgentFixture() {
    app.reset();
    runUntilIdle();
    CNNotificationApplicationManager::setDefaultManager(nullptr);
    LGCentralManager::resetSharedInstance();
    PlatformAdapter::setCurrent(nullptr);
    PlatformAdapter::setPairingConfirmer(nullptr);
    Bundle::setMainBundle(nullptr);
}

std::string AgentFixture::panePath() const { return home.file("Apps/Tandril.prefPane"); }
std::string AgentFixture::agentPath() const { return panePath() + "/Contents/Resources/Tandril.app"; }

void AgentFixture::setBundleVersion(const std::string& version) {
    Paths::createDirectories(panePath() + "/Contents");
    PropertyList::writeFile(Value(Dictionary{{"CFBundleIdentifier", "com.Varn.GlimwickPane"}}),
                            panePath() + "/Contents/Info.plist");
    Paths::createDirectories(agentPath() + "/Contents/Resources");
    PropertyList::writeFile(
        Value(Dictionary{{"CFBundleIdentifier", "com.Varn.Glimwick"}, {"CFBundleVersion", Value(version)}}),
        agentPath() + "/Contents/Info.plist");
    Bundle::setMainBundle(std::make_shared<Bundle>(agentPath()));
}

void AgentFixture::launch() {
    TDRDesktop desktop;
    desktop.userNotificationCenter = center;
    desktop.messageBus = bus;
    desktop.workspace = workspace;
    desktop.updaterForBundle = [this](const std::shared_ptr<Bundle>& bundle) -> std::shared_ptr<TDRUpdater> {
        updaterBundles.push_back(bundle ? bundle->bundlePath() : "(null)");
        return updater;
    };
    desktop.crashReporter = crashReporter;
    desktop.host = host;
    desktop.deviceChooser = chooser;
    desktop.pairedDevices = std::make_shared<CNAdapterPairedDevices>(radio);
    desktop.pairingConfirmer = pairingDialog;
    app = TDRAppDelegate::create(desktop);
    app->applicationDidFinishLaunching();
    runUntilIdle();
}

std::shared_ptr<LGPeripheral> AgentFixture::makePhone(const std::string& name) {
    auto sim = SimPeripheral::create(name);
    radio->addPeripheral(sim);
    return LGCentralManager::sharedInstance()->wrapperByPeripheral(sim);
}

std::shared_ptr<SimPeripheral> AgentFixture::simOf(const std::shared_ptr<LGPeripheral>& phone) const {
    return std::dynamic_pointer_cast<SimPeripheral>(phone->cbPeripheral());
}

std::shared_ptr<CNNotification> AgentFixture::makeNotification(const std::string& bundleIdentifier,
                                                               std::optional<std::string> displayName, bool enabled,
                                                               std::optional<std::string> title,
                                                               std::optional<std::string> message) {
    auto application = std::make_shared<CNNotificationApplication>();
    application->setBundleIdentifier(bundleIdentifier);
    application->setDisplayName(std::move(displayName));
    application->setEnabled(enabled);
    auto notification = std::make_shared<CNNotification>();
    notification->setUniqueIdentifier(Bytes{1, 2, 3, 4});
    notification->setApplication(application);
    notification->setTitle(std::move(title));
    notification->setMessage(std::move(message));
    return notification;
}

std::string AgentFixture::texts(const std::shared_ptr<TDRUserNotification>& n) {
    const auto part = [](const std::optional<std::string>& s) { return s ? *s : std::string("-"); };
    return part(n->title()) + "|" + part(n->subtitle()) + "|" + part(n->informativeText());
}

std::vector<std::string> AgentFixture::deliveredTexts() const {
    std::vector<std::string> all;
    for (const auto& n : center->delivered) all.push_back(texts(n));
    return all;
}

CNConsumerManager* AgentFixture::engine() const { return app ? app->consumerManager().get() : nullptr; }

}  // namespace tandril::test
