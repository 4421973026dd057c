#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QDBusConnectionInterface>

#include <string>

#include "desktop/DesktopFixture.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "platform/linux/pane/BusPaneWorkspace.hpp"

namespace tandril::test {
namespace {

class BusPaneWorkspaceTest : public DesktopFixture {
protected:
    // An executable script that leaves `marker` behind when it runs.
    std::string script(const std::string& path, const std::string& marker) {
        Paths::writeFileAtomically(path, "#!/bin/sh\ntouch '" + marker + "'\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }
    BusPaneWorkspace workspace{bus()};
};

TEST_F(BusPaneWorkspaceTest, SeesApplicationsComeAndGoOnTheBus) {
    int changes = 0;
    workspace.addRunningApplicationsObserver([&] { ++changes; });
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.Varn.Glimwick").empty());

    auto agent = connectAgain();
    ASSERT_TRUE(agent.interface()->registerService(QStringLiteral("com.Varn.Glimwick")).isValid());
    ASSERT_TRUE(waitUntil([&] { return changes == 1; }));
    const auto apps = workspace.runningApplicationsWithBundleIdentifier("com.Varn.Glimwick");
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0]->bundleIdentifier(), std::string("com.Varn.Glimwick"));

    agent.interface()->unregisterService(QStringLiteral("com.Varn.Glimwick"));
    ASSERT_TRUE(waitUntil([&] { return changes == 2; }));
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.Varn.Glimwick").empty());
}

TEST_F(BusPaneWorkspaceTest, LaunchesABundlesProgramOrAProgramDetached) {
    const std::string bundle = home.file("Tandril.app");
    Paths::createDirectories(bundle + "/Contents/MacOS");
    PropertyList::writeFile(Value(Dictionary{{"CFBundleExecutable", "Tandril"}}), bundle + "/Contents/Info.plist");
    script(bundle + "/Contents/MacOS/Tandril", home.file("bundle-ran"));
    EXPECT_TRUE(workspace.launchApplicationAtURL(bundle, PaneWorkspace::kLaunchWithoutActivation));
    EXPECT_TRUE(workspace.launchApplicationAtURL(script(home.file("program"), home.file("program-ran")), 0));
    EXPECT_TRUE(waitUntil([&] { return Paths::fileExists(home.file("bundle-ran")) && Paths::fileExists(home.file("program-ran")); },
                          std::chrono::milliseconds(10000), std::chrono::milliseconds(20)));

    EXPECT_FALSE(workspace.launchApplicationAtURL(home.file("missing"), 0));
    EXPECT_FALSE(workspace.launchApplicationAtURL("relative/program", 0));
}

}  // namespace
}  // namespace tandril::test
