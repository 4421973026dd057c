#include "platform/linux/desktop/BusMessageBus.hpp"

#include <QDBusArgument>
#include <QDBusVariant>

#include "desktop/DesktopFixture.hpp"
#include "shared/TDRControlChannel.hpp"

namespace tandril::test {
namespace {

const std::vector<std::string> kMessages = {
    TDRRequestDeviceInformationNotification, TDREditedApplicationsNotification,   TDRToggleDeviceNotification,
    TDRCheckForUpdatesNotification,          TDRReceivedDeviceInformationNotification, TDRUpdatedApplicationsNotification};

class BusMessageBusTest : public DesktopFixture {
protected:
    // Records every message of the channel that `bus` receives.
    void observeAll(BusMessageBus& observed) {
        for (const auto& name : kMessages) {
            observed.addObserver(name, [this](const TDRMessage& message) { received.push_back(message); });
        }
    }
    // A signal as any other program on the bus could send it.
    void sendRaw(QDBusConnection& connection, const std::string& member, const QVariantList& arguments) {
        QDBusMessage signal = QDBusMessage::createSignal(TDRControlChannelPath, TDRControlChannelInterface,
                                                         QString::fromStdString(member));
        signal.setArguments(arguments);
        ASSERT_TRUE(connection.send(signal));
    }
    std::vector<TDRMessage> received;
};

TEST_F(BusMessageBusTest, TheSixMessagesTravelBetweenTwoConnections) {
    for (const auto& name : kMessages) EXPECT_TRUE(BusMessageBus::isValidMemberName(name)) << name;
    EXPECT_FALSE(BusMessageBus::isValidMemberName("com.example.Dotted"));
    EXPECT_FALSE(BusMessageBus::isValidMemberName("9Lives"));

    BusMessageBus agent(bus());
    QDBusConnection paneConnection = connectAgain();
    BusMessageBus pane(paneConnection);
    observeAll(pane);

    const Dictionary connected{{TDRConnectedDeviceKey, Dictionary{{TDRDeviceNameKey, "Sam's iPhone"},
                                                                  {TDRDeviceUUIDKey, "0A1B2C3D-0000-4000-8000-00000000000F"},
                                                                  {TDRDeviceStateKey, "connected"}}}};
    const Dictionary notConnected{{TDRConnectedDeviceKey, ""}};
    for (const auto& name : kMessages) {
        if (name == TDRReceivedDeviceInformationNotification) {
            agent.postNotificationName(name, connected, true);
            agent.postNotificationName(name, notConnected, true);
        } else {
            agent.postNotificationName(name, std::nullopt, true);
        }
    }
    ASSERT_TRUE(waitUntil([&] { return received.size() == 7; }));
    std::vector<std::string> names;
    for (const auto& message : received) names.push_back(message.name);
    EXPECT_EQ(names, (std::vector<std::string>{kMessages[0], kMessages[1], kMessages[2], kMessages[3], kMessages[4],
                                               kMessages[4], kMessages[5]}));
    ASSERT_TRUE(received[4].userInfo);
    EXPECT_EQ(Value(*received[4].userInfo), Value(connected));
    ASSERT_TRUE(received[5].userInfo);
    EXPECT_EQ(Value(*received[5].userInfo), Value(notConnected));
    for (std::size_t i : {0u, 1u, 2u, 3u, 6u}) EXPECT_FALSE(received[i].userInfo) << received[i].name;
}

TEST_F(BusMessageBusTest, APhoneNameWithANulCharacterIsNotCutShort) {
    BusMessageBus agent(bus());
    QDBusConnection paneConnection = connectAgain();
    BusMessageBus pane(paneConnection);
    observeAll(pane);
    agent.postNotificationName(TDRReceivedDeviceInformationNotification,
                               Dictionary{{TDRConnectedDeviceKey, Dictionary{{TDRDeviceNameKey, std::string("Sam\0's", 6)},
                                                                             {TDRDeviceStateKey, "connected"}}}},
                               true);
    ASSERT_TRUE(waitUntil([&] { return !received.empty(); }));
    EXPECT_EQ((*received[0].userInfo)[TDRConnectedDeviceKey], Value(Dictionary{{TDRDeviceNameKey, "Sam's"},
                                                                              {TDRDeviceStateKey, "connected"}}));
}

TEST_F(BusMessageBusTest, MalformedMessagesAreLoggedAndDropped) {
    BusMessageBus agent(bus());
    observeAll(agent);
    QDBusConnection stranger = connectAgain();
    const std::string info = TDRReceivedDeviceInformationNotification;

    QVariantMap unknownKey{{"connected_device", ""}, {"extra", "x"}};
    QVariantMap numberInRecord{{"connected_device", QVariantMap{{"name", "Phone"}, {"state", 2}}}};
    QVariantMap unknownRecordKey{{"connected_device", QVariantMap{{"name", "Phone"}, {"colour", "red"}}}};
    QVariantMap listValue{{"connected_device", QStringList{"a", "b"}}};
    sendRaw(stranger, info, {});                                   // no payload
    sendRaw(stranger, info, {QString("connected_device")});        // not a map
    sendRaw(stranger, info, {unknownKey});
    sendRaw(stranger, info, {numberInRecord});
    sendRaw(stranger, info, {unknownRecordKey});
    sendRaw(stranger, info, {listValue});
    sendRaw(stranger, info, {QVariantMap{{"connected_device", ""}}, QString("second argument")});
    sendRaw(stranger, TDRToggleDeviceNotification, {QString("unexpected payload")});
    // Then a good one, which must still get through.
    sendRaw(stranger, info, {QVariantMap{{"connected_device", QVariantMap{{"name", "Phone"}, {"state", "connecting"}}}}});

    ASSERT_TRUE(waitUntil([&] { return !received.empty(); }));
    drainEvents();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(Value(*received[0].userInfo),
              Value(Dictionary{{"connected_device", Dictionary{{"name", "Phone"}, {"state", "connecting"}}}}));
    const std::string sender = stranger.baseService().toStdString();
    EXPECT_EQ(logs.count("[BusMessageBus] Ignoring TDRReceivedDeviceInformationNotification from " + sender +
                         ": expected one a{sv} argument"),
              3u);  // none, a string, two arguments
    EXPECT_TRUE(logs.contains("[BusMessageBus] Ignoring TDRReceivedDeviceInformationNotification from " + sender +
                              ": the payload's only key must be connected_device"));
    EXPECT_TRUE(logs.contains("[BusMessageBus] Ignoring TDRReceivedDeviceInformationNotification from " + sender +
                              ": the device record has unknown keys or values that are not strings"));
    EXPECT_EQ(logs.count("[BusMessageBus] Ignoring TDRReceivedDeviceInformationNotification from " + sender +
                         ": the payload holds values other than strings and maps"),
              2u);  // the number in the record, the list
    EXPECT_TRUE(logs.contains("[BusMessageBus] Ignoring TDRToggleDeviceNotification from " + sender +
                              ": this message carries no payload"));
    std::size_t ignored = 0;
    for (const auto& line : logs.lines()) ignored += line.rfind("[BusMessageBus] Ignoring", 0) == 0 ? 1 : 0;
    EXPECT_EQ(ignored, 8u);
}

TEST_F(BusMessageBusTest, ASeparateChannelHearsNothingOfTheRealOne) {
    BusMessageBus real(bus());
    QDBusConnection other = connectAgain();
    BusMessageBus simulator(other, "/com/Varn/Tandril/Simulator/ControlChannel", "com.Varn.Tandril.Simulator.ControlChannel");
    observeAll(simulator);
    real.postNotificationName(TDRToggleDeviceNotification, std::nullopt, true);
    simulator.postNotificationName(TDRCheckForUpdatesNotification, std::nullopt, true);
    ASSERT_TRUE(waitUntil([&] { return !received.empty(); }));
    drainEvents();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].name, TDRCheckForUpdatesNotification);
}

}  // namespace
}  // namespace tandril::test
