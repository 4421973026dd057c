#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/TDRAppDelegate.hpp"
#include "agent/FakeCrashReporter.hpp"
#include "agent/FakeDeviceChooser.hpp"
#include "agent/FakeHost.hpp"
#include "agent/FakeMessageBus.hpp"
#include "agent/FakePairingConfirmer.hpp"
#include "agent/FakeUpdater.hpp"
#include "agent/FakeUserNotificationCenter.hpp"
#include "agent/FakeWorkspace.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
class CNNotification;
class LGPeripheral;
class SimPeripheral;
class SimRadio;
}  // namespace tandril

namespace tandril::test {

// The agent shell with recording fakes at every desktop boundary, over the simulated radio,
// in virtual time. The agent bundle sits at <home>/Apps/Tandril.prefPane/Contents/Resources/Tandril.app.
class AgentFixture : public LoopFixture {
protected:
    AgentFixture();
    ~AgentFixture() override;

    // Writes the agent bundle's Info.plist with this version (before launch()).
    void setBundleVersion(const std::string& version);
    // Creates the delegate and runs its start-up.
    void launch();

    std::string panePath() const;
    std::string agentPath() const;

    // A simulated device in range and its wrapper.
    std::shared_ptr<LGPeripheral> makePhone(const std::string& name);
    std::shared_ptr<SimPeripheral> simOf(const std::shared_ptr<LGPeripheral>& phone) const;
    // A notification record of an application.
    std::shared_ptr<CNNotification> makeNotification(const std::string& bundleIdentifier,
                                                     std::optional<std::string> displayName, bool enabled,
                                                     std::optional<std::string> title,
                                                     std::optional<std::string> message);
    // The texts of a delivered notification, "title|subtitle|text" with "-" for absent.
    static std::string texts(const std::shared_ptr<TDRUserNotification>& notification);
    std::vector<std::string> deliveredTexts() const;

    CNConsumerManager* engine() const;

    std::shared_ptr<SimRadio> radio;
    std::shared_ptr<FakeUserNotificationCenter> center = std::make_shared<FakeUserNotificationCenter>();
    std::shared_ptr<FakeMessageBus> bus = std::make_shared<FakeMessageBus>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<FakeUpdater> updater = std::make_shared<FakeUpdater>();
    std::shared_ptr<FakeCrashReporter> crashReporter = std::make_shared<FakeCrashReporter>();
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    std::shared_ptr<FakeDeviceChooser> chooser = std::make_shared<FakeDeviceChooser>();
    std::shared_ptr<FakePairingConfirmer> pairingDialog = std::make_shared<FakePairingConfirmer>();
    // The bundle paths the updater was made for.
    std::vector<std::string> updaterBundles;
    std::shared_ptr<TDRAppDelegate> app;
};

}  // namespace tandril::test
