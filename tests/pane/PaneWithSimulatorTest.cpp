#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDBusConnectionInterface>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "TandrilPane/TDRPaneProgram.hpp"
#include "desktop/DbusMock.hpp"
#include "desktop/DesktopFixture.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "pane/APSwitch.hpp"
#include "pane/ApplicationView.hpp"
#include "pane/GlimwickPanel.hpp"
#include "shared/CatalogueFlag.hpp"
#include "shared/CataloguePaths.hpp"
#include "support/PrivateBus.hpp"

namespace tandril::test {
namespace {

using std::chrono::seconds;

// Sets an environment variable for the test's life.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = std::string(old);
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

// The way a newcomer tries it: the simulated agent and the settings window, two processes on
// one session bus (this test's private one), meeting on the simulator's control channel and
// the simulator's catalogue file.
class PaneWithSimulatorTest : public DesktopFixture {
protected:
    PaneWithSimulatorTest()
        : dataHome_("XDG_DATA_HOME", home.file("data-home").c_str()),
          display_("DISPLAY", nullptr),
          wayland_("WAYLAND_DISPLAY", nullptr),
          terminal_("TANDRIL_SIMULATOR_TERMINAL", nullptr) {
        bundlePath = home.file("TandrilPane.prefPane");
        Paths::createDirectories(bundlePath + "/Contents/Resources");
        PropertyList::writeFile(Value(Dictionary{{"CFBundleVersion", "1.0"}}), bundlePath + "/Contents/Info.plist");
        std::filesystem::copy_file(std::string(TANDRIL_PANE_RESOURCES) + "/ApplicationView.ui",
                                   bundlePath + "/Contents/Resources/ApplicationView.ui");
    }

    bool simulatorOwnsItsName() {
        auto* names = bus().interface();
        return names && names->isServiceRegistered(QStringLiteral("com.Varn.Glimwick.Simulator")).value();
    }
    // Notify calls whose summary (the application's name) is `name` and whose body holds `text`.
    std::size_t notificationsOf(const DbusMock& server, const QString& name, const QString& text = {}) const {
        std::size_t n = 0;
        for (const auto& call : server.methodCalls(QStringLiteral("Notify"))) {
            if (call.size() > 4 && call[3].toString() == name && call[4].toString().contains(text)) ++n;
        }
        return n;
    }
    QCheckBox* checkBoxOf(GlimwickPanel& panel, const QString& name) {
        auto* table = panel.applicationsTableView();
        for (int r = 0; r < table->rowCount(); ++r) {
            auto* row = qobject_cast<ApplicationView*>(table->cellWidget(r, 0));
            if (row && row->textField() && row->textField()->text() == name) return row->checkButton();
        }
        return nullptr;
    }

    ScopedEnv dataHome_;
    ScopedEnv display_;
    ScopedEnv wayland_;
    ScopedEnv terminal_;
    std::string bundlePath;
};

TEST_F(PaneWithSimulatorTest, TheCheckBoxStopsThatApplicationsNotificationsInTheRunningAgent) {
    DbusMock notifications(DbusMock::notificationDaemon(), bus(), home.file("notifications.log"));
    ASSERT_TRUE(notifications.isReady()) << notifications.error();
    ChildProcess simulator({TANDRIL_SIMULATOR_EXECUTABLE}, home.file("simulator.log"));
    ASSERT_TRUE(waitUntil([&] { return simulatorOwnsItsName(); }, std::chrono::milliseconds(20000),
                          std::chrono::milliseconds(50)))
        << Paths::readFile(home.file("simulator.log")).value_or("");

    TDRPaneProgram::Mode mode;
    mode.simulator = true;
    mode.simulatorExecutable = TANDRIL_SIMULATOR_EXECUTABLE;
    TDRPaneProgram program(bus(), Bundle::bundleWithPath(bundlePath), mode);
    ASSERT_TRUE(program.start());
    program.show();
    auto& panel = program.panel();
    EXPECT_TRUE(panel.statusSwitch()->isOn());

    // The phone connects and its waiting notifications arrive; the list follows the agent.
    ASSERT_TRUE(waitUntil([&] { return checkBoxOf(panel, "Mail") && notificationsOf(notifications, "Mail") > 0; },
                          std::chrono::milliseconds(30000), std::chrono::milliseconds(100)))
        << Paths::readFile(home.file("simulator.log")).value_or("");
    ASSERT_TRUE(waitUntil([&] { return panel.deviceLabel()->text().startsWith("Connected to "); },
                          std::chrono::milliseconds(10000), std::chrono::milliseconds(100)));
    EXPECT_TRUE(panel.deviceButton()->isEnabled());
    EXPECT_EQ(panel.deviceButton()->text(), "Disconnect");

    // Mail off: written to the simulator's catalogue, and the running agent stops showing it.
    auto* mail = checkBoxOf(panel, "Mail");
    ASSERT_NE(mail, nullptr);
    ASSERT_TRUE(mail->isChecked());
    QTest::mouseClick(mail, Qt::LeftButton);
    const auto entries = PropertyList::readFile(CataloguePaths::applicationsPath());
    ASSERT_TRUE(entries && entries->isArray());
    for (const auto& entry : *entries->asArray()) {
        const auto& map = *entry.asDictionary();
        EXPECT_EQ(CatalogueFlag::read(map.at("enabled")), *map.at("bundle_identifier").asString() != "com.apple.mobilemail");
    }
    // The phone raises, one every few seconds, Messages, Mail ("Quarterly report draft…"), then
    // WhatsApp: by the time WhatsApp shows, the agent has had the Mail notification and kept it
    // off the desktop.
    ASSERT_TRUE(waitUntil([&] { return notificationsOf(notifications, "WhatsApp", "grandma") > 0; },
                          std::chrono::milliseconds(40000), std::chrono::milliseconds(200)))
        << Paths::readFile(home.file("simulator.log")).value_or("");
    EXPECT_NE(Paths::readFile(home.file("simulator.log")).value_or("").find(
                  "<com.apple.mobilemail, Mail, Quarterly report draft attached, comments welcome.>"),
              std::string::npos);
    EXPECT_EQ(notificationsOf(notifications, "Mail", "Quarterly report"), 0u);
    EXPECT_EQ(notificationsOf(notifications, "Mail", "3 new messages"), 1u);

    // The switch off quits the agent; the window says so.
    panel.statusSwitch()->setOn(false, false);
    ASSERT_TRUE(waitUntil([&] { return !simulator.isRunning(); }, std::chrono::milliseconds(20000),
                          std::chrono::milliseconds(50)));
    ASSERT_TRUE(waitUntil([&] { return panel.deviceLabel()->text() == "Tandril is not running."; }));
    EXPECT_FALSE(panel.statusSwitch()->isOn());
}

// Not a check: the settings window beside the running simulated agent, its applications
// listed and its phone connected, drawn into $TANDRIL_SCREENSHOT (a PNG) for the documentation.
// scripts/screenshot-pane runs it under Xvfb.
TEST_F(PaneWithSimulatorTest, DISABLED_Screenshot) {
    const char* path = std::getenv("TANDRIL_SCREENSHOT");
    if (!path) GTEST_SKIP() << "TANDRIL_SCREENSHOT names the PNG to write";
    DbusMock notifications(DbusMock::notificationDaemon(), bus(), home.file("notifications.log"));
    ASSERT_TRUE(notifications.isReady()) << notifications.error();
    ChildProcess simulator({TANDRIL_SIMULATOR_EXECUTABLE}, home.file("simulator.log"));
    ASSERT_TRUE(waitUntil([&] { return simulatorOwnsItsName(); }, std::chrono::milliseconds(20000),
                          std::chrono::milliseconds(50)));
    TDRPaneProgram::Mode mode;
    mode.simulator = true;
    mode.simulatorExecutable = TANDRIL_SIMULATOR_EXECUTABLE;
    TDRPaneProgram program(bus(), Bundle::bundleWithPath(bundlePath), mode);
    ASSERT_TRUE(program.start());
    program.show();
    auto& panel = program.panel();
    ASSERT_TRUE(waitUntil([&] { return panel.applicationsTableView()->rowCount() >= 4; },
                          std::chrono::milliseconds(40000), std::chrono::milliseconds(100)));
    ASSERT_TRUE(waitUntil([&] { return panel.deviceLabel()->text().startsWith("Connected to "); },
                          std::chrono::milliseconds(10000), std::chrono::milliseconds(100)));
    if (auto* mail = checkBoxOf(panel, "Mail")) QTest::mouseClick(mail, Qt::LeftButton);
    ASSERT_TRUE(program.window()->grab().save(QString::fromLocal8Bit(path), "PNG"));
}

}  // namespace
}  // namespace tandril::test
