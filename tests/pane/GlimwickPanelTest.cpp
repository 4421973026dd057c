#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <filesystem>
#include <memory>
#include <string>

#include "agent/FakeMessageBus.hpp"
#include "desktop/DesktopFixture.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "foundation/UserDefaults.hpp"
#include "pane/APSwitch.hpp"
#include "pane/ApplicationView.hpp"
#include "pane/GlimwickPanel.hpp"
#include "pane/FakeAlert.hpp"
#include "pane/FakeCommandRunner.hpp"
#include "pane/FakeLoginItems.hpp"
#include "pane/FakePaneWorkspace.hpp"
#include "shared/CataloguePaths.hpp"
#include "shared/TDRAgentDefaults.hpp"
#include "shared/TDRControlChannel.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

constexpr const char* kAgent = "com.Varn.Glimwick";

class GlimwickPanelTest : public LoopFixture {
protected:
    GlimwickPanelTest() {
        DesktopFixture::ensureApplication();
        bundlePath = home.file("TandrilPane.prefPane");
        Paths::createDirectories(bundlePath + "/Contents/Resources/Tandril.app");
        PropertyList::writeFile(Value(Dictionary{{"CFBundleVersion", "1.2"}}), bundlePath + "/Contents/Info.plist");
        std::filesystem::copy_file(std::string(TANDRIL_PANE_RESOURCES) + "/ApplicationView.ui",
                                   bundlePath + "/Contents/Resources/ApplicationView.ui");
        agentPath = bundlePath + "/Contents/Resources/Tandril.app";
        defaults = std::make_unique<UserDefaults>(GlimwickPanel::kHostDefaultsDomain);
    }

    GlimwickPanel& panel() {
        if (!panel_) {
            GlimwickPanel::Platform platform{workspace, loginItems, runner, bus, alert, defaults.get()};
            panel_ = std::make_unique<GlimwickPanel>(Bundle::bundleWithPath(bundlePath), platform);
        }
        return *panel_;
    }
    // The host's calls when the pane is loaded and shown the first time.
    GlimwickPanel& shown() {
        panel().mainViewDidLoad();
        panel().willSelect();
        panel().didSelect();
        return panel();
    }

    void writeCatalogue(const Array& entries) {
        Paths::createDirectories(CataloguePaths::catalogueFolder());
        PropertyList::writeFile(Value(entries), CataloguePaths::applicationsPath());
    }
    Array catalogue() const {
        const auto value = PropertyList::readFile(CataloguePaths::applicationsPath());
        return value && value->isArray() ? *value->asArray() : Array{};
    }
    static Value app(const std::string& id, const std::string& name, const char* enabled) {
        return Value(Dictionary{{"bundle_identifier", id}, {"display_name", name}, {"enabled", enabled}});
    }
    ApplicationView* row(int r) {
        return qobject_cast<ApplicationView*>(panel().applicationsTableView()->cellWidget(r, 0));
    }

    std::string bundlePath;
    std::string agentPath;
    std::shared_ptr<FakePaneWorkspace> workspace = std::make_shared<FakePaneWorkspace>();
    std::shared_ptr<FakeLoginItems> loginItems = std::make_shared<FakeLoginItems>();
    std::shared_ptr<FakeCommandRunner> runner = std::make_shared<FakeCommandRunner>();
    std::shared_ptr<FakeMessageBus> bus = std::make_shared<FakeMessageBus>();
    std::shared_ptr<FakeAlert> alert = std::make_shared<FakeAlert>();
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<GlimwickPanel> panel_;
};

TEST_F(GlimwickPanelTest, ParsesTheLinkManagerVersionOfTheFirstController) {
    EXPECT_EQ(GlimwickPanel::parseBluetoothVersion("LMP Version: 0x6\n"), 6);
    EXPECT_EQ(GlimwickPanel::parseBluetoothVersion("LMP Version: 0x4\n"), 4);
    EXPECT_EQ(GlimwickPanel::parseBluetoothVersion("      LMP Version: 0xa\n"), 10);
    EXPECT_EQ(GlimwickPanel::parseBluetoothVersion("LMP Version: 0x4\nLMP Version: 0x9\n"), 4);
    EXPECT_EQ(GlimwickPanel::parseBluetoothVersion(""), 0);
    EXPECT_EQ(GlimwickPanel::parseBluetoothVersion("LMP Version: n/a"), 0);
    EXPECT_EQ(GlimwickPanel::parseBluetoothVersion("LMP Version: 0xffffffffffffffffff"), 0xffffffff);
}

TEST_F(GlimwickPanelTest, AsksTheShellForTheVersionWithABoundAndCountsNoAnswerAsZero) {
    runner->output = std::nullopt;  // a hung or missing tool
    EXPECT_EQ(panel().bluetoothVersion(), 0);
    ASSERT_EQ(runner->calls.size(), 1u);
    EXPECT_EQ(runner->calls[0].program, "/bin/sh");
    ASSERT_EQ(runner->calls[0].arguments.size(), 2u);
    EXPECT_EQ(runner->calls[0].arguments[0], "-c");
    EXPECT_EQ(runner->calls[0].arguments[1], GlimwickPanel::kBluetoothVersionCommand);
    EXPECT_EQ(runner->calls[0].limit, std::chrono::milliseconds(5000));
}

TEST_F(GlimwickPanelTest, FirstShowingEverStartsTheAgentOnceAndLaterShowingsOnlyRecord) {
    runner->output = "LMP Version: 0x6\n";
    shown();
    ASSERT_EQ(workspace->launches.size(), 1u);
    EXPECT_EQ(workspace->launches[0].path, agentPath);
    EXPECT_EQ(workspace->launches[0].options, 0x200u);
    EXPECT_EQ(loginItems->paths(), std::vector<std::string>{agentPath + "/Contents/MacOS/Tandril"});
    EXPECT_EQ(defaults->objectForKey("prevStartupVersions"), Value(Array{"1.2"}));
    EXPECT_TRUE(alert->shown.empty());

    // The agent is up; the window is shown again.
    workspace->setRunning(kAgent, true);
    panel().willSelect();
    panel().didSelect();
    EXPECT_EQ(workspace->launches.size(), 1u);
    EXPECT_EQ(loginItems->inserts, 1);
    // Written to the file, not just kept in memory.
    EXPECT_EQ(UserDefaults(GlimwickPanel::kHostDefaultsDomain).objectForKey("prevStartupVersions"),
              Value(Array{"1.2"}));
}

TEST_F(GlimwickPanelTest, ANewerVersionIsRecordedWithoutStartingTheAgent) {
    defaults->setObject(Value(Array{"1.1"}), "prevStartupVersions");
    shown();
    EXPECT_TRUE(workspace->launches.empty());
    EXPECT_EQ(defaults->objectForKey("prevStartupVersions"), Value(Array{"1.1", "1.2"}));
}

TEST_F(GlimwickPanelTest, OldBluetoothShowsTheAlertAndStartsNothing) {
    for (const auto& output : {std::optional<std::string>("LMP Version: 0x4\n"), std::optional<std::string>(""),
                               std::optional<std::string>()}) {
        runner->output = output;
        alert->shown.clear();
        panel().didSelect();
        ASSERT_EQ(alert->shown.size(), 1u);
        EXPECT_EQ(alert->shown[0].messageText, "Tandril is not supported on this Mac.");
        EXPECT_EQ(alert->shown[0].buttonTitle, "OK");
        EXPECT_EQ(alert->shown[0].informativeText,
                  "Tandril requires Bluetooth 4.0, which is not supported on this Mac.");
        EXPECT_EQ(alert->parents[0], panel().mainView());
    }
    EXPECT_TRUE(workspace->launches.empty());
    EXPECT_TRUE(defaults->objectForKey("prevStartupVersions").isNull());
}

TEST_F(GlimwickPanelTest, SetUpWithTheAgentRunningShowsItAndAsksForTheDevice) {
    workspace->running = {kAgent};
    panel().mainViewDidLoad();
    EXPECT_EQ(panel().versionLabel()->text(), "1.2");
    EXPECT_TRUE(panel().statusSwitch()->isOn());
    EXPECT_TRUE(panel().updateButton()->isEnabled());
    EXPECT_EQ(bus->count(TDRRequestDeviceInformationNotification), 1u);
    EXPECT_TRUE(workspace->launches.empty());
    EXPECT_EQ(bus->observedNames, (std::vector<std::string>{TDRReceivedDeviceInformationNotification,
                                                            TDRUpdatedApplicationsNotification}));
    // Every change of the running applications re-evaluates, and asks again while it runs.
    workspace->setRunning("org.example.Other", true);
    EXPECT_EQ(bus->count(TDRRequestDeviceInformationNotification), 2u);
}

TEST_F(GlimwickPanelTest, TheAgentQuittingWhileOpenTurnsEverythingOffAndRemovesTheLoginItem) {
    workspace->running = {kAgent};
    loginItems->items = {{"other", std::string("/usr/bin/other")},
                         {"mine", agentPath + "/Contents/MacOS/Tandril"},
                         {"case", agentPath + "/Contents/MacOS/tandril"},
                         {"broken", std::nullopt},
                         {"again", agentPath + "/Contents/MacOS/Tandril"}};
    panel().mainViewDidLoad();
    bus->send(TDRUpdatedApplicationsNotification);
    ASSERT_EQ(loginItems->items.size(), 5u);

    workspace->setRunning(kAgent, false);
    EXPECT_FALSE(panel().statusSwitch()->isOn());
    EXPECT_FALSE(panel().deviceButton()->isEnabled());
    EXPECT_EQ(panel().deviceButton()->text(), "Select Device");
    EXPECT_FALSE(panel().updateButton()->isEnabled());
    EXPECT_EQ(panel().deviceLabel()->text(), "Tandril is not running.");
    // Only the items that start exactly the agent's program go.
    EXPECT_EQ(loginItems->paths(), (std::vector<std::string>{"/usr/bin/other", agentPath + "/Contents/MacOS/tandril",
                                                             "(unresolvable)"}));
    EXPECT_TRUE(workspace->terminated.empty());
}

TEST_F(GlimwickPanelTest, TheSwitchStartsAndStopsTheAgent) {
    panel().mainViewDidLoad();
    EXPECT_TRUE(workspace->launches.empty());

    panel().statusSwitch()->setOn(true, false);
    ASSERT_EQ(workspace->launches.size(), 1u);
    EXPECT_EQ(workspace->launches[0].options, PaneWorkspace::kLaunchWithoutActivation);
    EXPECT_EQ(loginItems->items.size(), 1u);

    workspace->setRunning(kAgent, true);
    EXPECT_TRUE(panel().statusSwitch()->isOn());
    panel().statusSwitch()->setOn(false, false);
    EXPECT_EQ(workspace->terminated, std::vector<std::string>{kAgent});
    EXPECT_TRUE(loginItems->items.empty());

    // Without a login-items list the launch and the quit still happen.
    loginItems->available = false;
    workspace->running.clear();
    panel().statusSwitch()->setOn(true, false);
    EXPECT_EQ(workspace->launches.size(), 2u);
    EXPECT_TRUE(loginItems->items.empty());
}

TEST_F(GlimwickPanelTest, ButtonsPostTheirMessagesAndTheFAQOpensOverHTTPS) {
    workspace->running = {kAgent};
    panel().mainViewDidLoad();
    QTest::mouseClick(panel().updateButton(), Qt::LeftButton);
    bus->send(TDRReceivedDeviceInformationNotification);
    QTest::mouseClick(panel().deviceButton(), Qt::LeftButton);
    EXPECT_EQ(bus->count(TDRCheckForUpdatesNotification), 1u);
    EXPECT_EQ(bus->count(TDRToggleDeviceNotification), 1u);
    for (const auto& post : bus->posts) EXPECT_TRUE(post.deliverImmediately);
    QTest::mouseClick(panel().websiteButton(), Qt::LeftButton);
    EXPECT_EQ(workspace->openedURLs, std::vector<std::string>{"https://tandril.varn.com/faq"});
}

TEST_F(GlimwickPanelTest, DeviceInformationSetsTheLabelAndButton) {
    workspace->running = {kAgent};
    panel().mainViewDidLoad();
    auto received = [&](const Value& device) {
        for (auto& [name, handler] : bus->observers) {
            if (name == TDRReceivedDeviceInformationNotification) {
                handler(TDRMessage{name, Dictionary{{TDRConnectedDeviceKey, device}}});
            }
        }
    };
    received(Value(Dictionary{{"name", "Work Phone"}, {"uuid", "68753A44-4D6F-1226-9C60-0050E4C00067"}, {"state", "connected"}}));
    EXPECT_EQ(panel().deviceLabel()->text(), "Connected to Work Phone.");
    EXPECT_EQ(panel().deviceButton()->text(), "Disconnect");
    EXPECT_TRUE(panel().deviceButton()->isEnabled());
    EXPECT_EQ(logs.lines().back(),
              "Received: {name = TDRReceivedDeviceInformationNotification; userInfo = {\n"
              "    \"connected_device\" =     {\n"
              "        name = \"Work Phone\";\n"
              "        state = connected;\n"
              "        uuid = \"68753A44-4D6F-1226-9C60-0050E4C00067\";\n"
              "    };\n"
              "}}");

    // A name from the phone is text, never markup.
    received(Value(Dictionary{{"name", "<b>x</b> <img src=/etc/passwd>"}, {"state", "connecting"}}));
    EXPECT_EQ(panel().deviceLabel()->text(), "Connecting to <b>x</b> <img src=/etc/passwd>.");
    EXPECT_EQ(panel().deviceLabel()->textFormat(), Qt::PlainText);

    for (const auto& notConnected : {Value(""), Value(Dictionary{{"name", "Work Phone"}}),
                                     Value(Dictionary{{"name", "Work Phone"}, {"state", 2}}), Value(7)}) {
        received(Value(Dictionary{{"name", "Work Phone"}, {"state", "connected"}}));
        received(notConnected);
        EXPECT_EQ(panel().deviceLabel()->text(), "Tandril is not connected to an iOS device.");
        EXPECT_EQ(panel().deviceButton()->text(), "Select Device");
    }
    EXPECT_EQ(GlimwickPanel::deviceText("CONNECTED", "x"), "Connected to x.");
    EXPECT_EQ(GlimwickPanel::deviceText("half connected", "x"), "Half Connected to x.");
}

TEST_F(GlimwickPanelTest, ListsTheCatalogueAsPlainTextRowsThatCannotBeSelected) {
    writeCatalogue({app("com.apple.MobileSMS", "Messages", "1"), app("org.evil", "<img src=/etc/passwd>", "0"),
                    Value("not an application"),
                    Value(Dictionary{{"bundle_identifier", "com.apple.mobilecal"}})});
    // An icon for the first application only.
    Paths::createDirectories(CataloguePaths::iconsFolder());
    QImage icon(60, 60, QImage::Format_ARGB32);
    icon.fill(Qt::red);
    ASSERT_TRUE(icon.save(QString::fromStdString(*CataloguePaths::iconPath("com.apple.MobileSMS")), "PNG"));
    shown();

    ASSERT_EQ(panel().numberOfRowsInTableView(), 3u);
    ASSERT_EQ(panel().applicationsTableView()->rowCount(), 3);
    EXPECT_EQ(row(0)->textField()->text(), "Messages");
    EXPECT_TRUE(row(0)->checkButton()->isChecked());
    EXPECT_FALSE(row(0)->image().isNull());
    EXPECT_EQ(row(1)->textField()->text(), "<img src=/etc/passwd>");
    EXPECT_EQ(row(1)->textField()->textFormat(), Qt::PlainText);
    EXPECT_FALSE(row(1)->checkButton()->isChecked());
    EXPECT_TRUE(row(1)->image().isNull());
    EXPECT_EQ(row(2)->textField()->text(), "");
    EXPECT_FALSE(row(2)->checkButton()->isChecked());  // no "enabled": disabled

    EXPECT_FALSE(panel().tableViewShouldSelectRow(0));
    EXPECT_EQ(panel().applicationsTableView()->selectionMode(), QAbstractItemView::NoSelection);
}

TEST_F(GlimwickPanelTest, AMissingOrDamagedCatalogueGivesAnEmptyTableAndStaysAsItIs) {
    shown();
    EXPECT_EQ(panel().applicationsTableView()->rowCount(), 0);
    EXPECT_TRUE(Paths::isDirectory(CataloguePaths::catalogueFolder()));

    writeCatalogue({app("com.apple.MobileSMS", "Messages", "1")});
    bus->send(TDRUpdatedApplicationsNotification);
    EXPECT_EQ(panel().applicationsTableView()->rowCount(), 1);

    Paths::writeFileAtomically(CataloguePaths::applicationsPath(), "<plist><array><dict>");
    bus->send(TDRUpdatedApplicationsNotification);
    EXPECT_EQ(panel().applicationsTableView()->rowCount(), 0);
    EXPECT_EQ(Paths::readFile(CataloguePaths::applicationsPath()), std::string("<plist><array><dict>"));
}

TEST_F(GlimwickPanelTest, ACheckBoxRewritesThatApplicationAloneAndTellsTheAgentOnce) {
    writeCatalogue({app("com.apple.MobileSMS", "Messages", "1"), app("com.apple.mobilemail", "Mail", "0")});
    shown();
    // The agent adds an application and renames one before the click.
    writeCatalogue({app("com.apple.MobileSMS", "Messages", "1"), app("com.apple.mobilecal", "Calendar", "1"),
                    app("com.apple.mobilemail", "Mail (renamed)", "0")});

    QTest::mouseClick(row(0)->checkButton(), Qt::LeftButton);
    EXPECT_EQ(catalogue(), (Array{app("com.apple.MobileSMS", "Messages", "0"), app("com.apple.mobilecal", "Calendar", "1"),
                                  app("com.apple.mobilemail", "Mail (renamed)", "0")}));
    EXPECT_EQ(bus->count(TDREditedApplicationsNotification), 1u);

    QTest::mouseClick(row(1)->checkButton(), Qt::LeftButton);
    EXPECT_EQ(catalogue(), (Array{app("com.apple.MobileSMS", "Messages", "0"), app("com.apple.mobilecal", "Calendar", "1"),
                                  app("com.apple.mobilemail", "Mail (renamed)", "1")}));
    EXPECT_EQ(bus->count(TDREditedApplicationsNotification), 2u);
}

TEST_F(GlimwickPanelTest, AClickOnARowDrawnBeforeTheListChangedChangesNothing) {
    writeCatalogue({app("com.apple.MobileSMS", "Messages", "1"), app("com.apple.mobilemail", "Mail", "1")});
    shown();
    // The row stays on screen while the pane's list is re-read under it (the table's next
    // redraw would replace it): its tag now names another application, or none.
    std::unique_ptr<ApplicationView> stale(panel().tableViewViewForTableColumnRow(1));
    writeCatalogue({app("com.apple.mobilemail", "Mail", "1"), app("com.apple.MobileSMS", "Messages", "1")});
    bus->send(TDRUpdatedApplicationsNotification);

    stale->checkButton()->click();
    EXPECT_EQ(catalogue(), (Array{app("com.apple.mobilemail", "Mail", "1"), app("com.apple.MobileSMS", "Messages", "1")}));
    EXPECT_EQ(bus->count(TDREditedApplicationsNotification), 0u);

    writeCatalogue({app("com.apple.mobilemail", "Mail", "1")});
    bus->send(TDRUpdatedApplicationsNotification);
    stale->checkButton()->click();
    EXPECT_EQ(catalogue(), (Array{app("com.apple.mobilemail", "Mail", "1")}));
    EXPECT_EQ(bus->count(TDREditedApplicationsNotification), 0u);
    EXPECT_EQ(panel().applicationsTableView()->rowCount(), 1);
}

TEST_F(GlimwickPanelTest, AllowIPhonesCheckBoxWritesTheAgentsKeyAndAsksTheAgent) {
    workspace->running = {kAgent};
    shown();
    QCheckBox* box = panel().allowIPhonesCheckBox();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isEnabled());
    EXPECT_TRUE(box->isChecked());  // nothing stored, no preferred phone
    const auto asked = bus->count(TDRRequestDeviceInformationNotification);

    box->click();
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(UserDefaults(kAgent).objectForKey(TDRAllowIPhonesToConnectKey), Value(false));
    EXPECT_EQ(bus->count(TDRRequestDeviceInformationNotification), asked + 1);

    // The agent turned it on again (or off, after the user's disconnect): the answer shows it.
    UserDefaults(kAgent).setObject(Value(true), TDRAllowIPhonesToConnectKey);
    bus->send(TDRReceivedDeviceInformationNotification);
    EXPECT_TRUE(box->isChecked());
}

TEST_F(GlimwickPanelTest, AllowIPhonesFollowsThePreferredPhoneWhenNothingIsStoredAndWaitsForTheAgent) {
    UserDefaults(kAgent).setObject(Value("8E2B1E0C-3D1A-4E8F-9C47-0B1A2C3D4E5F"), TDRPreferredDeviceKey);
    shown();
    EXPECT_FALSE(panel().allowIPhonesCheckBox()->isChecked());
    // Without the agent nobody would act on it.
    EXPECT_FALSE(panel().allowIPhonesCheckBox()->isEnabled());
}

}  // namespace
}  // namespace tandril::test
