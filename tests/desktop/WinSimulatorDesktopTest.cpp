#include <gtest/gtest.h>

#include <QDBusConnectionInterface>
#include <QProcess>
#include <QProcessEnvironment>

#include "desktop/DbusMock.hpp"
#include "desktop/DesktopFixture.hpp"

namespace tandril {
namespace {

// The simulator program on a (private) desktop session.
class WinSimulatorDesktopTest : public test::DesktopFixture {
protected:
    void start() {
        auto env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("TANDRIL_SIMULATOR_TERMINAL");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_DATA_HOME", QString::fromStdString(home.file("data")));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(home.path()));
        env.insert("NO_COLOR", "1");
        simulator.setProcessEnvironment(env);
        simulator.start(TANDRIL_SIMULATOR_EXECUTABLE, {});
        ASSERT_TRUE(simulator.waitForStarted(10000));
    }
    std::string stop() {
        simulator.terminate();
        EXPECT_TRUE(simulator.waitForFinished(20000));
        EXPECT_EQ(simulator.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(simulator.exitCode(), 0);
        return simulator.readAllStandardOutput().toStdString();
    }
    bool owned(const char* name) { return bus().interface()->isServiceRegistered(name).value(); }

    QProcess simulator;
};

TEST_F(WinSimulatorDesktopTest, PhoneNotificationsBecomeDesktopNotificationsWithIcons) {
    test::DbusMock server(test::DbusMock::notificationDaemon(), bus(), home.file("notifications.log"));
    ASSERT_TRUE(server.isReady()) << server.error();
    start();

    // Without a display the terminal's chooser picks the phone; its notifications reach the
    // server with the application's icon.
    const auto phoneNotification = [&server] {
        for (const auto& call : server.methodCalls("Notify")) {
            const auto hints = call.value(6).toMap();
            if (call.value(3).toString() != "Tandril" && hints.contains("image_data")) return true;
        }
        return false;
    };
    ASSERT_TRUE(waitUntil(phoneNotification, std::chrono::milliseconds(60000)));
    EXPECT_TRUE(owned("com.Varn.Glimwick.Simulator"));
    EXPECT_FALSE(owned("com.Varn.Glimwick"));
    const auto first = server.methodCalls("Notify").front();
    EXPECT_EQ(first.value(0).toString(), "Tandril Simulator");

    const auto out = stop();
    EXPECT_NE(out.find("Notifications: desktop notifications.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Control channel: the session bus (com.Varn.Tandril.Simulator.ControlChannel).\n"),
              std::string::npos);
}

TEST_F(WinSimulatorDesktopTest, WithoutANotificationServerOrADisplayItStaysOnTheTerminal) {
    start();
    ASSERT_TRUE(waitUntil([this] {
        simulator.waitForReadyRead(0);
        return simulator.peek(1 << 20).contains("[chooser]");
    }, std::chrono::milliseconds(30000)));
    EXPECT_FALSE(owned("com.Varn.Glimwick.Simulator"));
    const auto out = stop();
    EXPECT_EQ(out.rfind("Tandril simulator: the agent against one simulated iPhone", 0), 0u) << out;
}

}  // namespace
}  // namespace tandril
