#include <gtest/gtest.h>

#include <QWidget>

#include <filesystem>
#include <string>

#include "TandrilPane/TDRPaneProgram.hpp"
#include "desktop/DesktopFixture.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "foundation/UserDefaults.hpp"
#include "pane/GlimwickPanel.hpp"
#include "support/PrivateBus.hpp"

namespace tandril::test {
namespace {

class TDRPaneProgramTest : public DesktopFixture {
protected:
    TDRPaneProgramTest() {
        bundlePath = home.file("TandrilPane.prefPane");
        Paths::createDirectories(bundlePath + "/Contents/Resources");
        PropertyList::writeFile(Value(Dictionary{{"CFBundleVersion", "1.0"}}), bundlePath + "/Contents/Info.plist");
        std::filesystem::copy_file(std::string(TANDRIL_PANE_RESOURCES) + "/ApplicationView.ui",
                                   bundlePath + "/Contents/Resources/ApplicationView.ui");
    }
    // Runs the program with `args` to its end; its output and its exit status.
    std::pair<std::string, int> runProgram(const std::vector<std::string>& args) {
        std::vector<std::string> argv{TANDRIL_PANE_EXECUTABLE};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess child(argv, home.file("pane.log"));
        const bool ended = waitUntil([&] { return !child.isRunning(); }, std::chrono::milliseconds(20000),
                                     std::chrono::milliseconds(20));
        const int status = child.stop();
        return {Paths::readFile(home.file("pane.log")).value_or(""), ended ? status : -1};
    }

    std::string bundlePath;
};

TEST_F(TDRPaneProgramTest, ASecondStartBringsTheFirstWindowForwardAndLeaves) {
    TDRPaneProgram program(bus(), Bundle::bundleWithPath(bundlePath), TDRPaneProgram::Mode{});
    ASSERT_TRUE(program.start());
    EXPECT_FALSE(program.window()->isVisible());

    const auto [output, status] = runProgram({});
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(waitUntil([&] { return program.window()->isVisible(); }));
    // Shown means selected: willSelect read the catalogue (making its folder).
    EXPECT_TRUE(Paths::isDirectory(Paths::join(Paths::applicationSupportDirectory(), "Tandril")));
}

TEST_F(TDRPaneProgramTest, AnswersHelpAndVersionAndRefusesOtherArguments) {
    auto [version, versionStatus] = runProgram({"--version"});
    EXPECT_EQ(version, std::string("TandrilPane ") + TANDRIL_PROJECT_VERSION + "\n");
    EXPECT_EQ(versionStatus, 0);
    auto [help, helpStatus] = runProgram({"--help"});
    EXPECT_EQ(help.rfind("usage: TandrilPane [--simulator | --help | --version]\n", 0), 0u) << help;
    EXPECT_EQ(helpStatus, 0);
    auto [usage, usageStatus] = runProgram({"--frobnicate"});
    EXPECT_EQ(WEXITSTATUS(usageStatus), 2);
}

TEST_F(TDRPaneProgramTest, KeepsItsDefaultsInItsOwnDomain) {
    EXPECT_STREQ(GlimwickPanel::kHostDefaultsDomain, "com.Varn.TandrilPane");
    TDRPaneProgram program(bus(), Bundle::bundleWithPath(bundlePath), TDRPaneProgram::Mode{});
    ASSERT_TRUE(program.start());
    program.panel().autoStartNotify();
    EXPECT_EQ(UserDefaults("com.Varn.TandrilPane").objectForKey("prevStartupVersions"), Value(Array{"1.0"}));
    EXPECT_TRUE(UserDefaults("com.Varn.Glimwick").objectForKey("prevStartupVersions").isNull());
}

}  // namespace
}  // namespace tandril::test
