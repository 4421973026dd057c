#include "desktop/DbusMock.hpp"

#include "desktop/DesktopFixture.hpp"

#include <QDBusConnectionInterface>

namespace tandril::test {
namespace {

class DbusMockTest : public DesktopFixture {};

// The helper itself: the server is up when the constructor returns, its calls are recorded
// with their arguments as plain values, and stop() takes its name off the bus.
TEST_F(DbusMockTest, StartsRecordsAndStops) {
    DbusMock server(DbusMock::notificationDaemon(), bus(), home.file("mock.log"), R"({"capabilities": "body actions"})");
    ASSERT_TRUE(server.isReady()) << server.error();
    const QDBusMessage reply = server.call("org.freedesktop.Notifications", "GetCapabilities");
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(DbusMock::plain(reply.arguments().value(0)).toStringList(), (QStringList{"body", "actions"}));
    const auto calls = server.methodCalls("GetCapabilities");
    EXPECT_EQ(calls.size(), 1u);
    server.stop();
    EXPECT_FALSE(bus().interface()->isServiceRegistered("org.freedesktop.Notifications").value());
}

}  // namespace
}  // namespace tandril::test
