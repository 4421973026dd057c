#include "platform/linux/desktop/BusWorkspace.hpp"

#include <QDBusConnectionInterface>

#include <sys/stat.h>

#include "desktop/DesktopFixture.hpp"
#include "foundation/Paths.hpp"
#include "platform/linux/desktop/BusApplication.hpp"

namespace tandril::test {
namespace {

class ListObserver : public TDRKeyValueObserver {
public:
    void observeValueForKeyPath(const std::string& keyPath, const void*, const void* context) override {
        changes.emplace_back(keyPath, context);
    }
    std::vector<std::pair<std::string, const void*>> changes;
};

class BusWorkspaceTest : public DesktopFixture {
protected:
    void installDesktopEntry(const std::string& identifier, const std::string& body) {
        const std::string folder = Paths::join(Paths::applicationSupportDirectory(), "applications");
        ASSERT_TRUE(Paths::createDirectories(folder));
        ASSERT_TRUE(Paths::writeFileAtomically(Paths::join(folder, identifier + ".desktop"),
                                               "[Desktop Entry]\nType=Application\nName=Test\n" + body));
    }
};

TEST_F(BusWorkspaceTest, ASecondAgentFindsTheNameTakenAndTheFirstStillQuitsOverTheBus) {
    int firstQuits = 0;
    int secondQuits = 0;
    BusApplication first(bus(), "com.Varn.Glimwick", {[&] { ++firstQuits; }, nullptr});
    ASSERT_TRUE(first.start());

    QDBusConnection secondConnection = connectAgain();
    BusApplication second(secondConnection, "com.Varn.Glimwick", {[&] { ++secondQuits; }, nullptr});
    EXPECT_FALSE(second.start());
    EXPECT_TRUE(logs.contains("[BusApplication] com.Varn.Glimwick is already owned by another process."));
    EXPECT_EQ(bus().interface()->serviceOwner("com.Varn.Glimwick").value(), bus().baseService());

    // The settings application's view: one running agent, asked politely to quit.
    QDBusConnection paneConnection = connectAgain();
    BusWorkspace pane(paneConnection);
    const auto agents = pane.runningApplicationsWithBundleIdentifier("com.Varn.Glimwick");
    ASSERT_EQ(agents.size(), 1u);
    EXPECT_EQ(agents[0]->bundleIdentifier(), "com.Varn.Glimwick");
    EXPECT_TRUE(agents[0]->terminate());
    ASSERT_TRUE(waitUntil([&] { return firstQuits == 1; }));
    EXPECT_TRUE(logs.contains("[BusApplication] Asked to quit over the session bus."));
    EXPECT_EQ(secondQuits, 0);

    EXPECT_TRUE(pane.runningApplicationsWithBundleIdentifier("com.Varn.TandrilPane").empty());
    EXPECT_TRUE(pane.runningApplicationsWithBundleIdentifier(":1.1").empty());  // a connection is no application
    EXPECT_TRUE(pane.runningApplicationsWithBundleIdentifier("not a name").empty());
}

TEST_F(BusWorkspaceTest, RunningApplicationChangesFollowWellKnownNamesOnly) {
    BusWorkspace workspace(bus());
    ListObserver observer;
    static const char marker = 0;
    workspace.addRunningApplicationsObserver(&observer, &marker);

    QDBusConnection settings = connectAgain();  // a bare connection: no application yet
    drainEvents();
    ASSERT_TRUE(settings.registerService("com.Varn.TandrilPane"));
    ASSERT_TRUE(waitUntil([&] { return observer.changes.size() == 1; }));
    EXPECT_EQ(observer.changes[0], std::make_pair(std::string("runningApplications"), static_cast<const void*>(&marker)));
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier("com.Varn.TandrilPane").size(), 1u);

    ASSERT_TRUE(settings.unregisterService("com.Varn.TandrilPane"));
    ASSERT_TRUE(waitUntil([&] { return observer.changes.size() == 2; }));
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.Varn.TandrilPane").empty());

    workspace.removeRunningApplicationsObserver(&observer, &marker);
    ASSERT_TRUE(settings.registerService("com.Varn.TandrilPane"));
    ASSERT_TRUE(waitUntil([&] { return !workspace.runningApplicationsWithBundleIdentifier("com.Varn.TandrilPane").empty(); }));
    drainEvents();
    EXPECT_EQ(observer.changes.size(), 2u);
}

TEST_F(BusWorkspaceTest, ExecLinesAreSplitAsDesktopEntriesRequire) {
    EXPECT_EQ(BusWorkspace::execArguments("TandrilPane"), (QStringList{"TandrilPane"}));
    EXPECT_EQ(BusWorkspace::execArguments("/opt/x/bin/pane --flag %U"), (QStringList{"/opt/x/bin/pane", "--flag"}));
    EXPECT_EQ(BusWorkspace::execArguments(R"("/opt/my apps/pane" "say \"hi\"" 100%%)"),
              (QStringList{"/opt/my apps/pane", "say \"hi\"", "100%"}));
    EXPECT_EQ(BusWorkspace::execArguments(R"("/unterminated)"), QStringList());
    EXPECT_EQ(BusWorkspace::execArguments("  "), QStringList());
}

TEST_F(BusWorkspaceTest, LaunchStartsTheInstalledEntrysProgramDetached) {
    BusWorkspace workspace(bus());
    const std::string marker = home.file("launched marker");
    installDesktopEntry("com.example.Launched", "Exec=touch \"" + marker + "\" %U\n");
    EXPECT_TRUE(workspace.launchAppWithBundleIdentifier("com.example.Launched", NSWorkspaceLaunchDefault));
    // The program runs on its own; its mark is looked for every 20 ms.
    EXPECT_TRUE(waitUntil([&] { return Paths::fileExists(marker); }, std::chrono::seconds(10),
                          std::chrono::milliseconds(20)));

    EXPECT_FALSE(workspace.launchAppWithBundleIdentifier("com.example.Missing", NSWorkspaceLaunchDefault));
    EXPECT_TRUE(logs.contains("[BusWorkspace] No desktop entry for com.example.Missing"));
    installDesktopEntry("com.example.Hidden", "Hidden=true\nExec=touch \"" + marker + "2\"\n");
    EXPECT_FALSE(workspace.launchAppWithBundleIdentifier("com.example.Hidden", NSWorkspaceLaunchDefault));
    EXPECT_FALSE(workspace.launchAppWithBundleIdentifier("../escape", NSWorkspaceLaunchDefault));
}

TEST_F(BusWorkspaceTest, ABundleIsLaunchedFromItsOwnExecutable) {
    const std::string bundle = home.file("Apps/Tandril.app");
    const std::string marker = home.file("agent started");
    ASSERT_TRUE(Paths::createDirectories(bundle + "/Contents/MacOS"));
    ASSERT_TRUE(Paths::writeFileAtomically(
        bundle + "/Contents/Info.plist",
        "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.example.Agent</string>"
        "<key>CFBundleExecutable</key><string>Agent</string></dict></plist>"));
    ASSERT_TRUE(Paths::writeFileAtomically(bundle + "/Contents/MacOS/Agent", "#!/bin/sh\ntouch \"" + marker + "\"\n"));
    ASSERT_EQ(::chmod((bundle + "/Contents/MacOS/Agent").c_str(), 0755), 0);

    BusWorkspace workspace(bus());
    EXPECT_TRUE(workspace.launchApplicationAtPath(bundle));
    EXPECT_TRUE(waitUntil([&] { return Paths::fileExists(marker); }, std::chrono::seconds(10),
                          std::chrono::milliseconds(20)));

    // A bundle whose executable would lie outside it is refused.
    ASSERT_TRUE(Paths::writeFileAtomically(
        bundle + "/Contents/Info.plist",
        "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>../../../x</string></dict></plist>"));
    EXPECT_FALSE(workspace.launchApplicationAtPath(bundle));
    EXPECT_TRUE(logs.contains("[BusWorkspace] " + bundle + " names no executable"));
}

TEST_F(BusWorkspaceTest, OpeningARunningApplicationsBundleBringsItForward) {
    int activations = 0;
    QDBusConnection paneConnection = connectAgain();
    BusApplication pane(paneConnection, "com.example.Pane", {nullptr, [&] { ++activations; }});
    ASSERT_TRUE(pane.start());
    installDesktopEntry("com.example.Pane", "Exec=false\n");
    const std::string bundle = home.file("Example.prefPane");
    ASSERT_TRUE(Paths::createDirectories(bundle + "/Contents"));
    ASSERT_TRUE(Paths::writeFileAtomically(
        bundle + "/Contents/Info.plist",
        "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.example.Pane</string></dict></plist>"));

    BusWorkspace workspace(bus());
    EXPECT_TRUE(workspace.openFile(bundle));
    ASSERT_TRUE(waitUntil([&] { return activations == 1; }));
    EXPECT_FALSE(workspace.openFile(home.file("does not exist")));
}

}  // namespace
}  // namespace tandril::test
