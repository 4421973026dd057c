#include "ble/LGPeripheral.hpp"

#include <gtest/gtest.h>

#include "ble/RadioFixture.hpp"

namespace tandril::test {
namespace {

// What one connect or disconnect completion received, and when.
struct Call {
    double at;
    ErrorPtr error;
};

class LGPeripheralTest : public RadioFixture {
protected:
    double now() { return std::chrono::duration<double>(loop().now().time_since_epoch()).count(); }
    LGPeripheral::ErrorCallback recorder(std::vector<Call>& calls) {
        return [this, &calls](const ErrorPtr& error) { calls.push_back({now(), error}); };
    }
    static bool is408(const ErrorPtr& error) {
        return error && error->domain() == "LGPeripheralConnectionErrorDomain" && error->code() == 408 &&
               error->userInfo() == Dictionary{{"msg", "BLE Device can't be connected by given interval"}};
    }
};

TEST_F(LGPeripheralTest, NameAndRecordsFollowThePlatformPeripheral) {
    auto device = addDevice("Phone");
    auto wrapper = wrapperOf(device);
    EXPECT_EQ(wrapper->name(), "Phone");
    wrapper->setRealName(std::string("Anna's iPhone"));
    EXPECT_EQ(wrapper->name(), "Anna's iPhone");
    wrapper->setRealName(std::nullopt);
    device->setName(std::nullopt);
    EXPECT_EQ(wrapper->name(), "Unknown device");
    device->setName(std::string("Phone"));

    const std::string uuid = device->identifier().UUIDString();
    EXPECT_EQ(wrapper->UUIDString(), uuid);
    EXPECT_EQ(wrapper->dictionaryRepresentation(),
              (Dictionary{{"name", "Phone"}, {"uuid", uuid}, {"state", "disconnected"}}));
    EXPECT_EQ(wrapper->description(), wrapper->defaultDescription() + " <" + uuid + " - Phone - disconnected>");

    device->setConnectNeverAnswers(true);
    wrapper->connectWithCompletion(nullptr);
    EXPECT_EQ(wrapper->dictionaryRepresentation().at("state"), Value("connecting"));
    device->setConnectNeverAnswers(false);
    runUntilIdle();
    EXPECT_TRUE(wrapper->isConnected());
    EXPECT_EQ(wrapper->dictionaryRepresentation().at("state"), Value("connected"));
    EXPECT_EQ(LGPeripheral::stateText(3), "");
}

TEST_F(LGPeripheralTest, DiscoveryAndSignalReadWhileDisconnectedFailAtOnceWith409) {
    auto wrapper = wrapperOf(addDevice("Phone"));
    std::vector<ErrorPtr> errors;
    wrapper->discoverServices(std::vector<UUID>{UUID::from16(0x180A)},
                              [&](const auto& services, const ErrorPtr& error) {
                                  EXPECT_TRUE(services.empty());
                                  errors.push_back(error);
                              });
    wrapper->readRSSIValueCompletion([&](std::optional<std::int64_t> rssi, const ErrorPtr& error) {
        EXPECT_FALSE(rssi);
        errors.push_back(error);
    });
    ASSERT_EQ(errors.size(), 2u);  // before the calls returned
    for (const auto& error : errors) {
        EXPECT_EQ(error->domain(), "LGPeripheralConnectionErrorDomain");
        EXPECT_EQ(error->code(), 409);
        EXPECT_EQ(error->userInfo(), (Dictionary{{"msg", "BLE Device is not connected"}}));
    }
    EXPECT_FALSE(wrapper->discoverServicesBlock());
    EXPECT_FALSE(wrapper->rssiValueBlock());
}

TEST_F(LGPeripheralTest, ServicesAndSignalStrengthOfAConnectedPeripheral) {
    auto device = addDevice("Phone", -42);
    auto wrapper = connected(device);
    std::vector<std::shared_ptr<LGService>> found;
    wrapper->discoverServicesWithCompletion([&](const auto& services, const ErrorPtr& error) {
        EXPECT_FALSE(error);
        found = services;
    });
    std::optional<std::int64_t> rssi;
    wrapper->readRSSIValueCompletion([&](std::optional<std::int64_t> value, const ErrorPtr&) { rssi = value; });
    runUntilIdle();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->UUIDString(), "180a");
    EXPECT_EQ(wrapper->wrapperByService(found[0]->cbService()), found[0]);
    EXPECT_EQ(rssi, -42);
    EXPECT_EQ(wrapper->RSSI(), 0);  // the advertisement value is left alone
}

TEST_F(LGPeripheralTest, ConnectionWithinTheLimitCompletesOnceAndTheLimitNeverFires) {
    auto device = addDevice("Phone");
    device->setLatency(SimOperation::Connect, seconds(1));
    auto wrapper = wrapperOf(device);
    NotificationRecorder connects("LGPeripheralDidConnect");
    std::vector<Call> calls;
    wrapper->connectWithTimeout(5, recorder(calls));
    advance(10);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].at, 1.0);
    EXPECT_FALSE(calls[0].error);
    EXPECT_FALSE(wrapper->watchDogRaised());
    EXPECT_EQ(device->cancelRequestCount(), 0u);
    ASSERT_EQ(connects.received.size(), 1u);
    EXPECT_TRUE(connects.received[0].userInfo.at("error").isNull());
}

TEST_F(LGPeripheralTest, ExpiredLimitWithADisconnectReportGives408) {
    auto device = addDevice("Phone");
    device->setInRange(false);
    auto wrapper = wrapperOf(device);
    NotificationRecorder disconnects("LGPeripheralDidDisconnect");
    std::vector<Call> calls;
    wrapper->connectWithTimeout(5, recorder(calls));
    advance(4.9);
    EXPECT_FALSE(wrapper->watchDogRaised());
    advance(0.1);
    EXPECT_TRUE(wrapper->watchDogRaised());
    EXPECT_EQ(device->cancelRequestCount(), 1u);
    advance(5);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].at, 5.0);
    EXPECT_TRUE(is408(calls[0].error));
    EXPECT_TRUE(disconnects.received.empty());
}

TEST_F(LGPeripheralTest, ExpiredLimitWithoutAnyReportGives408TwoSecondsLater) {
    auto device = addDevice("Phone");
    device->setInRange(false);
    device->setReportsCancelledConnect(false);
    auto wrapper = wrapperOf(device);
    std::vector<Call> calls;
    wrapper->connectWithTimeout(5, recorder(calls));
    advance(20);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].at, 7.0);
    EXPECT_TRUE(is408(calls[0].error));
}

TEST_F(LGPeripheralTest, FailureReportedAfterTheLimitReachesTheCompletion) {
    auto device = addDevice("Phone");
    auto failure = PlatformError::centralError(CBErrorConnectionFailed);
    device->setConnectFailure(failure);
    device->setLatency(SimOperation::Connect, seconds(5));
    auto wrapper = wrapperOf(device);
    NotificationRecorder connects("LGPeripheralDidConnect");
    std::vector<Call> calls;
    wrapper->connectWithTimeout(5, recorder(calls));
    advance(10);
    EXPECT_TRUE(wrapper->watchDogRaised());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].error, failure);
    ASSERT_EQ(connects.received.size(), 1u);
    EXPECT_EQ(LGPeripheral::errorFromNotification(connects.received[0])->code(), CBErrorConnectionFailed);
    EXPECT_FALSE(wrapper->disconnectBlock());
}

TEST_F(LGPeripheralTest, ConnectionReportedAfterTheLimitWinsAndTheCancellationIsAnnounced) {
    auto device = addDevice("Phone");
    device->setLatency(SimOperation::Connect, seconds(5));
    device->setLatency(SimOperation::Disconnect, seconds(1));
    auto wrapper = wrapperOf(device);
    NotificationRecorder connects("LGPeripheralDidConnect");
    NotificationRecorder disconnects("LGPeripheralDidDisconnect");
    std::vector<Call> calls;
    wrapper->connectWithTimeout(5, recorder(calls));
    advance(10);
    EXPECT_TRUE(wrapper->watchDogRaised());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].error);
    EXPECT_EQ(connects.received.size(), 1u);
    ASSERT_EQ(disconnects.received.size(), 1u);  // the cancellation asked for at 5 s
    EXPECT_EQ(disconnects.received[0].object, wrapper);
    EXPECT_FALSE(wrapper->isConnected());
}

TEST_F(LGPeripheralTest, NewConnectKeepsAnOlderLimitPending) {
    auto device = addDevice("Phone");
    device->setInRange(false);
    auto wrapper = wrapperOf(device);
    std::vector<Call> first, second;
    wrapper->connectWithTimeout(5, recorder(first));
    advance(3);
    wrapper->connectWithTimeout(5, recorder(second));
    advance(2);
    EXPECT_TRUE(wrapper->watchDogRaised());
    runUntilIdle();
    EXPECT_TRUE(first.empty());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].at, 5.0);
    EXPECT_TRUE(is408(second[0].error));
}

TEST_F(LGPeripheralTest, RequestedDisconnectCompletesInsteadOfAnnouncing) {
    auto device = addDevice("Phone");
    auto wrapper = connected(device);
    NotificationRecorder disconnects("LGPeripheralDidDisconnect");
    std::vector<Call> calls;
    wrapper->disconnectWithCompletion(recorder(calls));
    advance(5);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].error);
    EXPECT_TRUE(disconnects.received.empty());

    connected(device);
    wrapper->disconnectWithCompletion(nullptr);
    advance(5);
    ASSERT_EQ(disconnects.received.size(), 1u);
    EXPECT_TRUE(disconnects.received[0].userInfo.at("error").isNull());
}

TEST_F(LGPeripheralTest, LateDisconnectReportCallsTheCompletionASecondTime) {
    auto device = addDevice("Phone");
    device->setLatency(SimOperation::Disconnect, seconds(3));
    auto wrapper = connected(device);
    std::vector<Call> calls;
    wrapper->disconnectWithCompletion(recorder(calls));
    advance(2.5);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].at, 2.0);
    EXPECT_FALSE(calls[0].error);
    // The device drops the link itself before the cancellation is answered.
    device->dropLink(PlatformError::centralError(CBErrorPeripheralDisconnected));
    advance(5);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].at, 2.5);
    ASSERT_TRUE(calls[1].error);
    EXPECT_EQ(calls[1].error->code(), CBErrorPeripheralDisconnected);
    EXPECT_FALSE(wrapper->disconnectBlock());
}

TEST_F(LGPeripheralTest, ConnectionEventDropsAPendingDisconnectCompletion) {
    auto device = addDevice("Phone");
    device->setInRange(false);
    device->setReportsCancelledConnect(false);
    auto wrapper = wrapperOf(device);
    wrapper->connectWithCompletion(nullptr);
    std::vector<Call> disconnectCalls;
    wrapper->disconnectWithCompletion(recorder(disconnectCalls));
    // The cancelled attempt is answered by nothing; a new connect then succeeds.
    device->setInRange(true);
    wrapper->connectWithCompletion(nullptr);
    runUntilIdle();
    EXPECT_FALSE(wrapper->disconnectBlock());
    advance(5);
    EXPECT_TRUE(disconnectCalls.empty());
}

TEST_F(LGPeripheralTest, SecondConnectReplacesTheFirstCompletion) {
    auto device = addDevice("Phone");
    auto wrapper = wrapperOf(device);
    std::vector<Call> first, second;
    wrapper->connectWithCompletion(recorder(first));
    wrapper->connectWithCompletion(recorder(second));
    runUntilIdle();
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second.size(), 1u);
    EXPECT_EQ(device->connectRequestCount(), 2u);
}

TEST_F(LGPeripheralTest, DisconnectAskedForByTheConnectCompletionKeepsItsCompletion) {
    auto device = addDevice("Phone");
    device->setConnectFailure(PlatformError::centralError(CBErrorConnectionFailed));
    auto wrapper = wrapperOf(device);
    NotificationRecorder disconnects("LGPeripheralDidDisconnect");
    std::vector<Call> disconnectCalls;
    wrapper->connectWithCompletion([&](const ErrorPtr& error) {
        if (error) wrapper->disconnectWithCompletion(recorder(disconnectCalls));
    });
    advance(3);
    ASSERT_EQ(disconnectCalls.size(), 1u);
    EXPECT_EQ(disconnectCalls[0].at, 2.0);
    EXPECT_TRUE(disconnects.received.empty());
}

TEST_F(LGPeripheralTest, UnrequestedDisconnectionIsAnnouncedWithItsError) {
    auto device = addDevice("Phone");
    auto wrapper = connected(device);
    int stateAtDelivery = -1;
    NotificationRecorder disconnects("LGPeripheralDidDisconnect");
    auto token = NotificationCenter::defaultCenter().addObserver(
        "LGPeripheralDidDisconnect", nullptr,
        [&](const Notification&) { stateAtDelivery = wrapper->cbPeripheral()->state(); });
    ObserverRegistration registration(NotificationCenter::defaultCenter(), token);
    device->setInRange(false);
    runUntilIdle();
    ASSERT_EQ(disconnects.received.size(), 1u);
    EXPECT_EQ(disconnects.received[0].object, wrapper);
    auto error = LGPeripheral::errorFromNotification(disconnects.received[0]);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "CBErrorDomain");
    EXPECT_EQ(error->code(), CBErrorConnectionTimeout);
    EXPECT_EQ(stateAtDelivery, CBPeripheralStateDisconnected);
}

TEST_F(LGPeripheralTest, NameChangeIsOnlyLogged) {
    auto device = addDevice("Phone");
    auto wrapper = connected(device);
    device->setName(std::string("Renamed"));
    runUntilIdle();
    EXPECT_TRUE(logs.contains("Updated name " + device->description()));
    EXPECT_EQ(wrapper->name(), "Renamed");
}

}  // namespace
}  // namespace tandril::test
