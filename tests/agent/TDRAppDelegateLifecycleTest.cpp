#include <gtest/gtest.h>

#include <regex>

#include "agent/AgentFixture.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/UserDefaults.hpp"
#include "shared/TDRControlChannel.hpp"

namespace tandril::test {
namespace {

constexpr const char* kSettings = TDRAppDelegate::kSettingsApplicationBundleIdentifier;

class TDRAppDelegateLifecycleTest : public AgentFixture {
protected:
    Value versions() { return UserDefaults::standardUserDefaults().objectForKey("prevStartupVersions"); }
    void setVersions(Array list) {
        UserDefaults::standardUserDefaults().setObject(Value(std::move(list)), "prevStartupVersions");
    }
};

TEST_F(TDRAppDelegateLifecycleTest, StartUpWiresEveryPieceInOrder) {
    launch();

    ASSERT_EQ(crashReporter->keys.size(), 1u);
    EXPECT_TRUE(std::regex_match(crashReporter->keys[0], std::regex("[0-9a-f]{40}")));

    // The updater is the whole settings bundle's, and its feed is fetched over HTTPS.
    EXPECT_EQ(updaterBundles, std::vector<std::string>{panePath()});
    EXPECT_EQ(updater->calls,
              (std::vector<std::string>{"setFeedURL:https://tandril.varn.com/app/appcast.xml", "setDelegate:",
                                        "checkForUpdatesInBackground"}));
    EXPECT_EQ(updater->delegate.lock(), app);

    EXPECT_EQ(bus->observedNames,
              (std::vector<std::string>{"TDRRequestDeviceInformationNotification", "TDREditedApplicationsNotification",
                                        "TDRToggleDeviceNotification", "TDRCheckForUpdatesNotification"}));
    EXPECT_EQ(workspace->observedNames,
              (std::vector<std::string>{"NSWorkspaceWillSleepNotification", "NSWorkspaceDidWakeNotification"}));
    EXPECT_FALSE(app->isSleeping());
    EXPECT_FALSE(app->securedConnection());

    ASSERT_NE(engine(), nullptr);
    EXPECT_EQ(engine()->name(), std::optional<std::string>("Study Desktop"));
    EXPECT_EQ(engine()->delegate(), app);

    // Leftovers of an earlier run are withdrawn; the pane learns "not connected".
    EXPECT_EQ(center->delegate.lock(), app);
    EXPECT_EQ(center->removeAllCount, 1);
    ASSERT_FALSE(bus->posts.empty());
    EXPECT_EQ(bus->posts.front().name, "TDRReceivedDeviceInformationNotification");
    EXPECT_TRUE(bus->posts.front().deliverImmediately);
    EXPECT_EQ(bus->lastPayload(TDRReceivedDeviceInformationNotification), Value(Dictionary{{"connected_device", ""}}));

    // The powered-on adapter starts the scan, which the chooser shows.
    EXPECT_TRUE(engine()->isScanning());
    EXPECT_EQ(chooser->label, "Scanning...");
    EXPECT_TRUE(chooser->progressIndeterminate);
}

TEST_F(TDRAppDelegateLifecycleTest, ChooserTableReloadsEveryFiveSeconds) {
    launch();
    EXPECT_EQ(chooser->reloadCount, 1);
    advance(4.9);
    EXPECT_EQ(chooser->reloadCount, 1);
    advance(0.1);
    EXPECT_EQ(chooser->reloadCount, 2);
    advance(10.0);
    EXPECT_EQ(chooser->reloadCount, 4);
}

TEST_F(TDRAppDelegateLifecycleTest, PathsOfTheSettingsBundleAndOfTheRelaunch) {
    launch();
    EXPECT_EQ(app->preferencePanePath(), panePath());
    EXPECT_EQ(app->pathToRelaunchForUpdater(updater.get()), agentPath());

    Bundle::setMainBundle(std::make_shared<Bundle>("/X/Y.prefPane/Contents/Resources/Tandril.app/"));
    EXPECT_EQ(app->preferencePanePath(), "/X/Y.prefPane");
    Bundle::setMainBundle(nullptr);
    EXPECT_EQ(app->preferencePanePath(), "");
}

TEST_F(TDRAppDelegateLifecycleTest, FirstStartRecordsTheVersionAndLeavesSettingsAlone) {
    const auto settings = workspace->launch(kSettings);
    launch();
    EXPECT_EQ(versions(), Value(Array{Value("100")}));
    EXPECT_EQ(settings->terminateCount, 0);
    EXPECT_TRUE(workspace->kvo.empty());
}

TEST_F(TDRAppDelegateLifecycleTest, AVersionOfAnotherTypeCountsAsFirstStart) {
    UserDefaults::standardUserDefaults().setObject(Value("100"), "prevStartupVersions");
    const auto settings = workspace->launch(kSettings);
    launch();
    EXPECT_EQ(versions(), Value(Array{Value("100")}));
    EXPECT_EQ(settings->terminateCount, 0);
}

TEST_F(TDRAppDelegateLifecycleTest, SameVersionAgainChangesNothing) {
    setVersions({Value("99"), Value("100")});
    const auto settings = workspace->launch(kSettings);
    launch();
    EXPECT_EQ(versions(), Value(Array{Value("99"), Value("100")}));
    EXPECT_EQ(settings->terminateCount, 0);
    EXPECT_TRUE(workspace->launches.empty());
}

TEST_F(TDRAppDelegateLifecycleTest, NewVersionWithSettingsClosedIsOnlyRecorded) {
    setVersions({Value("99")});
    launch();
    EXPECT_EQ(versions(), Value(Array{Value("99"), Value("100")}));
    workspace->launch("org.example.editor");
    workspace->quit("org.example.editor");
    EXPECT_TRUE(workspace->launches.empty());
    EXPECT_TRUE(workspace->kvo.empty());
}

TEST_F(TDRAppDelegateLifecycleTest, NewVersionRestartsOpenSettingsExactlyOnce) {
    setVersions({Value("99")});
    const auto settings = workspace->launch(kSettings);
    launch();
    // The watch must be in place before the quit request, or a quick quit would be missed.
    EXPECT_EQ(settings->observersAtTerminate, 1u);
    EXPECT_EQ(settings->terminateCount, 1);
    EXPECT_EQ(versions(), Value(Array{Value("99"), Value("100")}));

    // Unrelated applications coming and going change nothing while settings still runs.
    workspace->launch("org.example.editor");
    workspace->quit("org.example.editor");
    EXPECT_TRUE(workspace->launches.empty());

    workspace->quit(kSettings);
    ASSERT_EQ(workspace->launches.size(), 1u);
    EXPECT_EQ(workspace->launches[0], std::make_pair(std::string(kSettings), NSWorkspaceLaunchDefault));
    EXPECT_TRUE(workspace->kvo.empty());

    // The watch is gone: later changes launch nothing more.
    workspace->launch(kSettings);
    workspace->quit(kSettings);
    EXPECT_EQ(workspace->launches.size(), 1u);
}

TEST_F(TDRAppDelegateLifecycleTest, QuickQuitDuringTerminateIsSeen) {
    setVersions({Value("99")});
    workspace->launch(kSettings)->quitsOnTerminate = true;
    launch();
    EXPECT_EQ(workspace->launches.size(), 1u);
    EXPECT_TRUE(workspace->kvo.empty());
}

TEST_F(TDRAppDelegateLifecycleTest, ForeignObservationsAreIgnored) {
    setVersions({Value("99")});
    workspace->launch(kSettings);
    launch();
    workspace->quit(kSettings);
    workspace->launches.clear();
    static const char otherMarker[] = "RelaunchSystemPreferences";  // same text, another marker
    app->observeValueForKeyPath("runningApplications", workspace.get(), otherMarker);
    EXPECT_TRUE(workspace->launches.empty());
}

TEST_F(TDRAppDelegateLifecycleTest, SleepStopsScanningAndWakeResumes) {
    launch();
    ASSERT_TRUE(engine()->isScanning());
    workspace->post(NSWorkspaceWillSleepNotification);
    EXPECT_TRUE(logs.contains("[TDRAppDelegate] Received sleep notification, terminating connections and scanning."));
    EXPECT_TRUE(app->isSleeping());
    EXPECT_FALSE(engine()->isScanning());

    // A disconnection report while asleep does not start a new scan.
    app->consumerManagerDisconnectedFromPeripheralError(engine(), makePhone("Work Phone"), nullptr);
    EXPECT_FALSE(engine()->isScanning());

    workspace->post(NSWorkspaceDidWakeNotification);
    EXPECT_TRUE(logs.contains("[TDRAppDelegate] Received wake notifications, resuming scanning."));
    EXPECT_FALSE(app->isSleeping());
    EXPECT_TRUE(engine()->isScanning());
}

TEST_F(TDRAppDelegateLifecycleTest, AbsentDesktopPiecesAreSkipped) {
    TDRDesktop empty;
    app = TDRAppDelegate::create(empty);
    app->applicationDidFinishLaunching();
    runUntilIdle();
    app->consumerManagerDidConnectToPeripheral(engine(), makePhone("Work Phone"));
    app->consumerManagerDisconnectedFromPeripheralError(engine(), nullptr, nullptr);
    advance(61);
    app->toggleDevice({});
    app->checkForUpdates(nullptr);
    app->connectDevice(nullptr);
    EXPECT_NE(engine(), nullptr);
}

}  // namespace
}  // namespace tandril::test
