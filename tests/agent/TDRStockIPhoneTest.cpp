// The agent's part for iPhones without the companion application: "Allow iPhones to
// connect" (its default, the settings application's changes, the user's disconnect, sleep)
// and the pairing requests that go to the desktop's dialog.

#include <gtest/gtest.h>

#include "agent/AgentFixture.hpp"
#include "agent/TDRIncomingPhonesDefaults.hpp"
#include "agent/TDRPairingRequests.hpp"
#include "agent/TDRPreferredDeviceDefaults.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformPairingConfirmer.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/UserDefaults.hpp"
#include "shared/TDRControlChannel.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimScenario.hpp"

namespace tandril::test {
namespace {

class TDRStockIPhoneTest : public AgentFixture {
protected:
    bool advertising() const { return radio->central() && radio->central()->isAdvertising(); }
    // What the settings application does: write the key into the agent's file, then ask.
    void settingsApplicationWrites(bool allow) {
        UserDefaults file(TDRPreferredDeviceDefaults::kDefaultsDomain);
        file.setObject(Value(allow), TDRIncomingPhonesDefaults::kAllowIPhonesToConnectKey);
        bus->send(TDRRequestDeviceInformationNotification);
        runUntilIdle();
    }
};

TEST_F(TDRStockIPhoneTest, OnByDefaultWithoutAPreferredDeviceAndTheChoiceIsWrittenDown) {
    launch();
    EXPECT_TRUE(engine()->allowsIncomingPhones());
    EXPECT_EQ(TDRIncomingPhonesDefaults::storedAllowsIPhones(), std::optional<bool>(true));
    EXPECT_TRUE(advertising());
    EXPECT_EQ(radio->central()->advertisedName(), "Study Desktop");
}

TEST_F(TDRStockIPhoneTest, CompanionUserWithoutAStoredChoiceStartsWithTheSwitchOff) {
    TDRPreferredDeviceDefaults().setPreferredDeviceIdentifier(std::string("8E2B1E0C-3D1A-4E8F-9C47-0B1A2C3D4E5F"));
    launch();
    EXPECT_FALSE(engine()->allowsIncomingPhones());
    EXPECT_EQ(TDRIncomingPhonesDefaults::storedAllowsIPhones(), std::optional<bool>(false));
    EXPECT_FALSE(advertising());
}

TEST_F(TDRStockIPhoneTest, SettingsApplicationTurnsTheSwitchWithoutARestart) {
    launch();
    settingsApplicationWrites(false);
    EXPECT_FALSE(engine()->allowsIncomingPhones());
    EXPECT_FALSE(advertising());
    EXPECT_GT(bus->count(TDRReceivedDeviceInformationNotification), 0u);
    settingsApplicationWrites(true);
    EXPECT_TRUE(engine()->allowsIncomingPhones());
    EXPECT_TRUE(advertising());
}

TEST_F(TDRStockIPhoneTest, PairingGoesToTheDialogAndTheUsersAnswerDecides) {
    launch();
    auto phone = SimScenario(radio).stockIPhone().advertisedName("Anna's iPhone").pairingCode("004711").build();
    ASSERT_TRUE(phone->tap());
    runUntilIdle();
    ASSERT_EQ(pairingDialog->requests, std::vector<std::string>{"Anna's iPhone 004711"});
    EXPECT_TRUE(phone->isPairing());
    pairingDialog->answers.front()(true);
    runUntilIdle();
    EXPECT_TRUE(phone->isBonded());
    ASSERT_NE(engine()->connectedPeripheral(), nullptr);
    EXPECT_EQ(engine()->preferredUUID(), phone->identifier());
}

TEST_F(TDRStockIPhoneTest, WithoutADialogEveryPairingIsRejected) {
    TDRPairingRequests requests{std::weak_ptr<TDRPairingConfirmer>()};
    std::optional<bool> answer;
    requests.confirmPairing(std::string("Phone"), "123456", [&answer](bool accepted) { answer = accepted; });
    EXPECT_EQ(answer, std::optional<bool>(false));
    EXPECT_TRUE(logs.contains("[TDRAppDelegate] Pairing request from Phone rejected: no pairing dialog."));

    // A desktop without a dialog installs nothing: the radio rejects on its own.
    pairingDialog = nullptr;
    PlatformAdapter::setPairingConfirmer(nullptr);
    launch();
    EXPECT_EQ(PlatformAdapter::pairingConfirmer(), nullptr);
    auto phone = SimScenario(radio).stockIPhone().build();
    ASSERT_TRUE(phone->tap());
    runUntilIdle();
    EXPECT_FALSE(phone->isBonded());
    EXPECT_EQ(engine()->connectedPeripheral(), nullptr);
}

TEST_F(TDRStockIPhoneTest, UsersDisconnectTurnsTheSwitchOffAndSleepPausesAdvertising) {
    auto phone = SimScenario(radio).stockIPhone().bonded(true).build();
    launch();
    ASSERT_NE(engine()->connectedPeripheral(), nullptr);  // bonded: back by itself

    bus->send(TDRToggleDeviceNotification);
    advance(3.0);
    EXPECT_EQ(engine()->connectedPeripheral(), nullptr);
    EXPECT_FALSE(engine()->allowsIncomingPhones());
    EXPECT_EQ(TDRIncomingPhonesDefaults::storedAllowsIPhones(), std::optional<bool>(false));
    EXPECT_FALSE(advertising());
    EXPECT_FALSE(phone->isLinked());

    settingsApplicationWrites(true);
    ASSERT_NE(engine()->connectedPeripheral(), nullptr);

    workspace->post(NSWorkspaceWillSleepNotification);
    advance(3.0);
    EXPECT_EQ(engine()->connectedPeripheral(), nullptr);
    EXPECT_FALSE(advertising());
    workspace->post(NSWorkspaceDidWakeNotification);
    runUntilIdle();
    EXPECT_NE(engine()->connectedPeripheral(), nullptr);
}

}  // namespace
}  // namespace tandril::test
