#include <gtest/gtest.h>

#include "agent/AgentFixture.hpp"
#include "agent/TDRUserNotification.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformError.hpp"
#include "engine/CNConsumerManager.hpp"
#include "http/Image.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"
#include "shared/TDRControlChannel.hpp"

namespace tandril::test {
namespace {

class TDRAppDelegatePresentationTest : public AgentFixture {
protected:
    void SetUp() override {
        launch();
        phone = makePhone("Work Phone");
    }
    void connected() { app->consumerManagerDidConnectToPeripheral(engine(), phone); }
    void disconnected() { app->consumerManagerDisconnectedFromPeripheralError(engine(), phone, nullptr); }

    std::shared_ptr<LGPeripheral> phone;
};

// --- status notices

TEST_F(TDRAppDelegatePresentationTest, ConnectionNoticeIsWithdrawnAfterThreeSeconds) {
    connected();
    EXPECT_TRUE(app->securedConnection());
    ASSERT_EQ(deliveredTexts(), std::vector<std::string>{"Tandril|-|Connected to Work Phone."});
    const auto notice = center->delivered[0];
    advance(2.9);
    EXPECT_TRUE(center->isShown(notice));
    advance(0.1);
    EXPECT_FALSE(center->isShown(notice));
}

TEST_F(TDRAppDelegatePresentationTest, DropAndReturnWithinAMinuteIsSilent) {
    connected();
    center->delivered.clear();
    disconnected();
    EXPECT_FALSE(app->securedConnection());
    EXPECT_EQ(app->disconnectedPeripheral(), phone);
    advance(59.0);
    connected();
    advance(120.0);
    EXPECT_TRUE(center->delivered.empty());
    EXPECT_EQ(app->disconnectedPeripheral(), nullptr);
    EXPECT_TRUE(app->securedConnection());
}

TEST_F(TDRAppDelegatePresentationTest, LastingDropIsAnnouncedAfterAMinuteAndNextConnectionAgain) {
    connected();
    center->delivered.clear();
    disconnected();
    advance(59.9);
    EXPECT_TRUE(center->delivered.empty());
    advance(0.1);
    ASSERT_EQ(deliveredTexts(), std::vector<std::string>{"Tandril|-|Disconnected from Work Phone."});
    EXPECT_EQ(app->disconnectedPeripheral(), nullptr);
    advance(3.0);
    EXPECT_TRUE(center->shown.empty());

    connected();
    EXPECT_EQ(deliveredTexts().back(), "Tandril|-|Connected to Work Phone.");
}

TEST_F(TDRAppDelegatePresentationTest, UncompletedConnectionDropCancelsThePendingNotice) {
    connected();
    disconnected();
    center->delivered.clear();
    // A connection attempt that fails leaves the notice pending ...
    app->consumerManagerFailedToConnectToPeripheralError(engine(), phone, nullptr);
    EXPECT_EQ(app->disconnectedPeripheral(), phone);
    // ... a disconnection of a connection that never completed drops it.
    disconnected();
    EXPECT_EQ(app->disconnectedPeripheral(), nullptr);
    advance(120.0);
    for (const auto& text : deliveredTexts()) EXPECT_EQ(text.find("Disconnected"), std::string::npos) << text;
}

TEST_F(TDRAppDelegatePresentationTest, DisconnectionRescansAndWithdrawsAllButCopiesKeptOverADrop) {
    connected();
    engine()->stopScanning();
    const auto notification = makeNotification("com.example.chat", "Chat", true, "Anna", "Hi");
    app->consumerManagerAddedNotification(engine(), notification);
    const auto copy = center->delivered.back();
    // A secured link that drops keeps the phone's notifications for its silent return.
    disconnected();
    EXPECT_TRUE(center->isShown(copy));
    EXPECT_EQ(center->removeAllCount, 1);
    EXPECT_EQ(app->deliveredNotifications().keptCount(), 1u);
    EXPECT_TRUE(engine()->isScanning());
    EXPECT_EQ(bus->lastPayload(TDRReceivedDeviceInformationNotification), Value(Dictionary{{"connected_device", ""}}));
    // A connection that never completed drops too: nothing is kept any more.
    disconnected();
    EXPECT_TRUE(center->shown.empty());
    EXPECT_EQ(center->removeAllCount, 2);
    EXPECT_EQ(app->deliveredNotifications().keptCount(), 0u);
}

TEST_F(TDRAppDelegatePresentationTest, TimeOutIsSilentAndOtherFailuresAreShown) {
    engine()->stopScanning();
    const auto timeout = LGPeripheral::connectionErrorWithCode(408, "BLE Device can't be connected by given interval");
    app->consumerManagerFailedToConnectToPeripheralError(engine(), phone, timeout);
    EXPECT_TRUE(center->delivered.empty());
    EXPECT_TRUE(engine()->isScanning());
    EXPECT_TRUE(logs.contains(
        "Error: Error Domain=LGPeripheralConnectionErrorDomain Code=408 \"The operation couldn’t be completed. "
        "(LGPeripheralConnectionErrorDomain error 408.)\" UserInfo={msg=BLE Device can't be connected by given "
        "interval}"));
    // The engine is told to scan before the error is logged.
    const auto lines = logs.lines();
    const auto start = std::find(lines.begin(), lines.end(), "[CONSUMER] Start scanning...");
    const auto error = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Error: ", 0) == 0; });
    EXPECT_LT(start, error);

    // The same code in another domain is a real failure.
    const auto other = Error::withDescription("CBErrorDomain", 408, "Pairing was refused.");
    app->consumerManagerFailedToConnectToPeripheralError(engine(), phone, other);
    ASSERT_EQ(deliveredTexts(), std::vector<std::string>{"Error whilst connecting!|Work Phone|Pairing was refused."});
    const auto notice = center->delivered[0];
    advance(3.0);
    EXPECT_FALSE(center->isShown(notice));

    // The wrapper's own errors carry their text under "msg" only: the generic text shows.
    app->consumerManagerFailedToConnectToPeripheralError(engine(), phone,
                                                         LGPeripheral::connectionErrorWithCode(409, "BLE Device is not connected"));
    EXPECT_EQ(deliveredTexts().back(),
              "Error whilst connecting!|Work Phone|The operation couldn’t be completed. "
              "(LGPeripheralConnectionErrorDomain error 409.)");
}

TEST_F(TDRAppDelegatePresentationTest, FailedConnectionReturnsTheChooserToScanning) {
    connected();
    app->consumerManagerFailedToConnectToPeripheralError(engine(), phone, PlatformError::centralError(10));
    EXPECT_FALSE(app->securedConnection());
    EXPECT_EQ(chooser->label, "Scanning...");
    EXPECT_TRUE(chooser->progressIndeterminate);
    EXPECT_TRUE(chooser->connectEnabled);
    EXPECT_GE(chooser->reloadCount, 2);
}

// --- phone notifications

TEST_F(TDRAppDelegatePresentationTest, NotificationShowsAppNameSubtitleTextAndIcon) {
    auto n = makeNotification("com.example.chat", "Chat", true, "Anna", "See you at 8");
    const auto icon = Image::create(1, 1, Bytes{0, 0, 0, 255});
    n->application()->setIcon(icon);
    app->consumerManagerAddedNotification(engine(), n);
    ASSERT_EQ(deliveredTexts(), std::vector<std::string>{"Chat|Anna|See you at 8"});
    EXPECT_EQ(center->delivered[0]->identityImage(), icon);
    EXPECT_EQ(n->deliveredNotification(), center->delivered[0]);
    EXPECT_EQ(bus->count(TDRUpdatedApplicationsNotification), 1u);
    EXPECT_FALSE(bus->posts.back().userInfo.has_value());

    // Phone notifications stay until the phone withdraws them.
    advance(30.0);
    EXPECT_TRUE(center->isShown(center->delivered[0]));
    app->consumerManagerRemovedNotification(engine(), n);
    EXPECT_TRUE(center->shown.empty());
}

TEST_F(TDRAppDelegatePresentationTest, TitleEqualToTheAppNameGivesNoSubtitle) {
    app->consumerManagerAddedNotification(engine(), makeNotification("com.example.mail", "Mail", true, "Mail", "New"));
    app->consumerManagerAddedNotification(engine(), makeNotification("com.example.mail", "Mail", true, "mail", "New"));
    app->consumerManagerAddedNotification(engine(), makeNotification("com.example.mail", "Mail", true, std::nullopt, "New"));
    EXPECT_EQ(deliveredTexts(), (std::vector<std::string>{"Mail|-|New", "Mail|mail|New", "Mail|-|New"}));
}

TEST_F(TDRAppDelegatePresentationTest, DisabledOrEmptyNotificationsAreNotShownButStillAnnounced) {
    auto disabled = makeNotification("com.example.game", "Game", false, "Energy", "Full");
    app->consumerManagerAddedNotification(engine(), disabled);
    EXPECT_TRUE(logs.contains("[TDRAppDelegate] Application disabled, ignoring notification..."));
    EXPECT_EQ(disabled->deliveredNotification(), nullptr);

    auto empty = makeNotification("com.example.chat", "Chat", true, "Anna", std::nullopt);
    app->consumerManagerAddedNotification(engine(), empty);
    auto orphan = makeNotification("com.example.chat", "Chat", true, "Anna", "Hi");
    orphan->setApplication(nullptr);
    app->consumerManagerAddedNotification(engine(), orphan);

    EXPECT_TRUE(center->delivered.empty());
    EXPECT_EQ(bus->count(TDRUpdatedApplicationsNotification), 3u);

    // Withdrawing a notification that was never shown does nothing.
    app->consumerManagerRemovedNotification(engine(), disabled);
    app->consumerManagerRemovedNotification(engine(), nullptr);
    EXPECT_TRUE(center->removed.empty());
}

TEST_F(TDRAppDelegatePresentationTest, ReannouncementEndsAfterAQuietPeriodOrAtTheLimit) {
    // Records as the engine builds them; a re-announcement is a new record of equal content.
    const auto record = [&](std::uint8_t uid, const char* message, bool preExisting) {
        auto n = makeNotification("com.example.chat", "Chat", true, "Anna", message);
        n->setUniqueIdentifier(Bytes{uid, 0, 0, 0});
        n->setPreExisting(preExisting);
        return n;
    };
    connected();
    engine()->stopScanning();
    advance(3.0);  // the connection notice goes
    for (std::uint8_t uid = 1; uid <= 3; ++uid) app->consumerManagerAddedNotification(engine(), record(uid, "a", false));
    const auto copies = center->shown;
    ASSERT_EQ(copies.size(), 3u);
    disconnected();
    // Details that arrive while the link is down are kept with the others.
    app->consumerManagerAddedNotification(engine(), record(4, "late", false));
    const auto late = center->delivered.back();
    advance(20.0);
    connected();

    // Each re-announced record restarts the quiet period ...
    advance(4.0);
    app->consumerManagerAddedNotification(engine(), record(1, "a", true));
    app->consumerManagerAddedNotification(engine(), record(4, "late", true));
    advance(4.9);
    EXPECT_EQ(center->shown.size(), 4u);
    advance(0.1);
    EXPECT_EQ(center->shown, (std::vector<std::shared_ptr<TDRUserNotification>>{copies[0], late}));

    // ... even one that is not shown, but the re-announcement ends at the latest
    // kReannouncementLimit after the connection report.
    disconnected();
    connected();
    app->consumerManagerAddedNotification(engine(), record(1, "a", true));
    for (int i = 0; i < 7; ++i) {
        advance(4.0);
        auto disabled = makeNotification("com.example.game", "Game", false, "Energy", "Full");
        disabled->setPreExisting(true);
        app->consumerManagerAddedNotification(engine(), disabled);
    }
    advance(1.9);
    EXPECT_TRUE(center->isShown(late));
    advance(0.1);
    EXPECT_EQ(center->shown, std::vector<std::shared_ptr<TDRUserNotification>>{copies[0]});
    EXPECT_EQ(app->deliveredNotifications().keptCount(), 0u);
    EXPECT_EQ(center->delivered.size(), 5u);  // nothing shown twice

    // Outside a re-announcement a record flagged PreExisting is shown as any other.
    app->consumerManagerAddedNotification(engine(), record(1, "a", true));
    EXPECT_EQ(center->delivered.size(), 6u);
}

// --- desktop notification center

TEST_F(TDRAppDelegatePresentationTest, EveryNotificationIsPresentedAndAClickOpensTheSettings) {
    const auto n = std::make_shared<TDRUserNotification>();
    EXPECT_TRUE(app->userNotificationCenterShouldPresentNotification(center.get(), n));
    app->userNotificationCenterDidActivateNotification(center.get(), n);
    EXPECT_EQ(workspace->openedFiles, std::vector<std::string>{panePath()});
}

// --- device chooser

TEST_F(TDRAppDelegatePresentationTest, ConnectionPhasesDriveTheProgress) {
    engine()->setConnectedPeripheral(phone);
    const std::vector<std::pair<double, std::string>> expected{
        {25, "Connecting to 'Work Phone'..."}, {50, "Enter the passcode on 'Work Phone'."}, {75, "Subscribing..."},
        {100, "Connected!"}};
    for (CNConnectionPhase phase = 0; phase < 4; ++phase) {
        app->consumerManagerUpdatedConnectionPhase(engine(), phase);
        EXPECT_FALSE(chooser->progressIndeterminate);
        EXPECT_EQ(chooser->progressValue, expected[phase].first);
        EXPECT_EQ(chooser->label, expected[phase].second);
    }
    app->consumerManagerUpdatedConnectionPhase(engine(), 4);
    EXPECT_EQ(chooser->label, "Connected!");
    engine()->setConnectedPeripheral(nullptr);
}

TEST_F(TDRAppDelegatePresentationTest, AboutToConnectShowsProgressAndDisablesConnect) {
    chooser->connectEnabled = true;
    const auto before = bus->count(TDRReceivedDeviceInformationNotification);
    app->consumerManagerWillConnectToPeripheral(engine(), phone);
    EXPECT_FALSE(chooser->progressHidden);
    EXPECT_FALSE(chooser->connectEnabled);
    EXPECT_EQ(bus->count(TDRReceivedDeviceInformationNotification), before + 1);
}

TEST_F(TDRAppDelegatePresentationTest, AlertOnlyWhileTheChooserIsVisibleAndItsEndClosesIt) {
    connected();
    EXPECT_TRUE(chooser->alerts.empty());
    disconnected();

    app->presentDeviceWindow();
    EXPECT_TRUE(chooser->visible);
    EXPECT_TRUE(chooser->activatedIgnoringOtherApps);
    connected();
    ASSERT_EQ(chooser->alerts.size(), 1u);
    EXPECT_EQ(chooser->alerts[0].message, "You'll now receive notifications from 'Work Phone'.");
    EXPECT_EQ(chooser->alerts[0].button, "OK");
    EXPECT_EQ(chooser->alerts[0].informative,
              "If you restart your iOS device, make sure to launch the Tandril app on your iOS device. Otherwise, "
              "it won't reconnect to your Mac.");
    chooser->endAlert();
    EXPECT_FALSE(chooser->visible);
}

TEST_F(TDRAppDelegatePresentationTest, ConnectButtonWithoutAUsableSelectionDoesNothing) {
    chooser->selected = -1;
    chooser->pressConnect();
    chooser->selected = 3;  // a row the table still showed after the list emptied
    chooser->pressConnect();
    EXPECT_EQ(engine()->connectedPeripheral(), nullptr);
    EXPECT_TRUE(engine()->isScanning());
    // Asking for a row that is gone yields no cell rather than reading past the list.
    EXPECT_EQ(app->tableViewViewForTableColumnRow(chooser.get(), "DeviceColumn", 0), nullptr);
    EXPECT_EQ(app->tableViewViewForTableColumnRow(chooser.get(), "DeviceColumn", -1), nullptr);
    EXPECT_EQ(app->numberOfRowsInTableView(chooser.get()), 0);
}

TEST_F(TDRAppDelegatePresentationTest, SelectingARowForbidsAnEmptySelectionAndEnablesConnect) {
    EXPECT_TRUE(app->tableViewShouldSelectRow(chooser.get(), 0));
    EXPECT_FALSE(chooser->allowsEmptySelection);
    EXPECT_TRUE(chooser->connectEnabled);
}

}  // namespace
}  // namespace tandril::test
