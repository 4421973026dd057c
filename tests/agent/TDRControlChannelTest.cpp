#include <gtest/gtest.h>

#include "agent/AgentFixture.hpp"
#include "ble/LGPeripheral.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "model/CNNotificationApplication.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "shared/TDRControlChannel.hpp"
#include "sim/SimPeripheral.hpp"

namespace tandril::test {
namespace {

class TDRControlChannelTest : public AgentFixture {
protected:
    void SetUp() override { launch(); }

    Value askForDevice() {
        bus->posts.clear();
        bus->send(TDRRequestDeviceInformationNotification);
        EXPECT_EQ(bus->count(TDRReceivedDeviceInformationNotification), 1u);
        EXPECT_TRUE(bus->posts.back().deliverImmediately);
        return bus->lastPayload(TDRReceivedDeviceInformationNotification);
    }
};

TEST_F(TDRControlChannelTest, DeviceInformationFollowsTheLinkState) {
    EXPECT_EQ(askForDevice(), Value(Dictionary{{"connected_device", ""}}));

    auto phone = makePhone("Work Phone");
    simOf(phone)->setConnectNeverAnswers(true);
    engine()->stopScanning();
    // A phone the engine holds whose link is down still reads as no phone.
    engine()->setConnectedPeripheral(phone);
    EXPECT_EQ(askForDevice(), Value(Dictionary{{"connected_device", ""}}));

    phone->connectWithCompletion([](const ErrorPtr&) {});
    runUntilIdle();
    const Dictionary connecting{{"name", "Work Phone"}, {"uuid", Value(phone->UUIDString())}, {"state", "connecting"}};
    EXPECT_EQ(askForDevice(), Value(Dictionary{{"connected_device", Value(connecting)}}));

    simOf(phone)->setConnectNeverAnswers(false);
    auto other = makePhone("Home Phone");
    other->connectWithCompletion([](const ErrorPtr&) {});
    advance(1.0);
    engine()->setConnectedPeripheral(other);
    const Dictionary connected{{"name", "Home Phone"}, {"uuid", Value(other->UUIDString())}, {"state", "connected"}};
    EXPECT_EQ(askForDevice(), Value(Dictionary{{"connected_device", Value(connected)}}));
    engine()->setConnectedPeripheral(nullptr);
}

TEST_F(TDRControlChannelTest, ToggleWithoutAPhoneOpensTheChooser) {
    bus->send(TDRToggleDeviceNotification);
    EXPECT_TRUE(chooser->visible);
    EXPECT_EQ(chooser->orderFrontCount, 1);
    EXPECT_TRUE(chooser->activatedIgnoringOtherApps);
}

TEST_F(TDRControlChannelTest, ToggleWithAPhoneForgetsItAndDisconnects) {
    auto phone = makePhone("Work Phone");
    phone->connectWithCompletion([](const ErrorPtr&) {});
    advance(1.0);
    ASSERT_TRUE(phone->isConnected());
    engine()->setConnectedPeripheral(phone);
    engine()->setPreferredUUID(simOf(phone)->identifier());

    bus->send(TDRToggleDeviceNotification);
    EXPECT_EQ(engine()->preferredUUID(), std::nullopt);
    advance(3.0);
    EXPECT_FALSE(phone->isConnected());
    EXPECT_FALSE(chooser->visible);
    EXPECT_EQ(bus->lastPayload(TDRReceivedDeviceInformationNotification), Value(Dictionary{{"connected_device", ""}}));
}

TEST_F(TDRControlChannelTest, EditedApplicationsReloadTheCatalogue) {
    const auto folder = Paths::join(Paths::applicationSupportDirectory(), "Tandril");
    Paths::createDirectories(folder);
    PropertyList::writeFile(
        Value(Array{Value(Dictionary{{"bundle_identifier", "com.example.chat"}, {"display_name", "Chat"}, {"enabled", "0"}})}),
        Paths::join(folder, "CachedApplications.dat"));
    bus->send(TDREditedApplicationsNotification);
    const auto& apps = CNNotificationApplicationManager::defaultManager()->cachedApplications();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0]->bundleIdentifier(), std::optional<std::string>("com.example.chat"));
    EXPECT_FALSE(apps[0]->isEnabled());
}

TEST_F(TDRControlChannelTest, CheckForUpdatesAsksForAVisibleCheck) {
    updater->calls.clear();
    bus->send(TDRCheckForUpdatesNotification);
    EXPECT_EQ(updater->calls, std::vector<std::string>{"checkForUpdates:"});
    EXPECT_EQ(updater->sender, app.get());
}

}  // namespace
}  // namespace tandril::test
