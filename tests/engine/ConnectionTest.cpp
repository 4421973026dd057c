// The connection sequence end to end: the real BLE layer over the simulated radio and phone.

#include <gtest/gtest.h>

#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/ConnectionFixture.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimService.hpp"

namespace tandril::test {
namespace {

using Events = std::vector<std::string>;

class ConnectionTest : public ConnectionFixture {};

std::shared_ptr<SimPeripheral> handBuiltPhone(const std::shared_ptr<SimRadio>& radio, std::optional<UUID> missing,
                                              bool withNotificationService = true, int mainCopies = 1);

TEST_F(ConnectionTest, BondedPreferredPhoneIsFoundConnectedAndDeliversItsNotifications) {
    auto iphone = phone()
                      .app("com.example.chat", "Chat")
                      .notification("com.example.chat", "Anna", "", "See you at 8")
                      .pairedClassicDevice("iPhone")
                      .build();
    storePreference();
    engine->startScanning();
    advance(10);
    loop().runUntil([&] { return delegate->count("added Anna") == 1; }, std::chrono::milliseconds(5000));

    EXPECT_EQ(delegate->connectionEvents(),
              (Events{"phase 0", "will", "phase 1", "phase 2", "phase 3", "did", "added Anna"}));
    ASSERT_NE(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(engine->connectedPeripheral()->cbPeripheral()->identifier(), iphone->identifier());
    EXPECT_EQ(engine->preferredUUID(), iphone->identifier());
    EXPECT_FALSE(engine->isScanning());
    EXPECT_TRUE(logs.contains("paired"));
    // The second discovery lists every service known so far, as the platform does.
    EXPECT_EQ(logs.count("[CONSUMER] Discovered 2 services! (Error: (null))"), 2u);
    EXPECT_TRUE(logs.contains("[CONSUMER] Hooked to main service (Error: (null))"));
    EXPECT_TRUE(logs.contains("[ANCS] Discovered 3 characteristics"));
    EXPECT_TRUE(logs.contains("[ANCS] Subscribed to data source (Error: (null))"));
    EXPECT_TRUE(logs.contains("[ANCS] Subscribed to notification source (Error: (null))"));
    EXPECT_TRUE(logs.contains("[CONSUMER] Hooked to notification service (Error: (null))"));
    EXPECT_FALSE(logs.contains("Dead end"));
    expectQuiescent();
}

TEST_F(ConnectionTest, ProviderPollRunsThirtySecondsAfterConnectingAndDisconnectCancelsIt) {
    auto iphone = phone().build();
    engine->connectToPeripheral(wrapperOf(iphone));
    runUntilIdle();
    ASSERT_EQ(delegate->count("did"), 1u);
    EXPECT_EQ(engine->preferredUUID(), iphone->identifier());

    advance(29.9);
    EXPECT_TRUE(linesStartingWith("[CONSUMER] Requesting provider data...").empty());
    advance(0.1);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Requesting provider data...").size(), 1u);

    engine->disconnect();
    runUntilIdle();
    EXPECT_EQ(delegate->connectionEvents().back(), "disconnected");
    EXPECT_EQ(delegate->connectedAtReport.back(), false);
    advance(120);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Requesting provider data...").size(), 1u);
    EXPECT_EQ(delegate->count("disconnected"), 1u);
    expectQuiescent();
}

TEST_F(ConnectionTest, ConnectWhileAnotherPhoneIsHeldDoesNothingAtAll) {
    auto first = phone().build();
    auto second = phone().advertisedName("Other").build();
    engine->connectToPeripheral(wrapperOf(first));
    runUntilIdle();
    const auto events = delegate->events;
    const auto lineCount = logs.lines().size();

    engine->connectToPeripheral(wrapperOf(second));
    engine->connectToPeripheral(nullptr);
    runUntilIdle();
    EXPECT_EQ(delegate->events, events);
    EXPECT_EQ(logs.lines().size(), lineCount);
    EXPECT_EQ(second->connectRequestCount(), 0u);
    expectQuiescent();
}

TEST_F(ConnectionTest, ConnectionWithoutAnswerFailsWith408AfterFiveSeconds) {
    auto iphone = phone().build();
    iphone->setConnectNeverAnswers(true);
    engine->connectToPeripheral(wrapperOf(iphone));
    advance(4.9);
    EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will"}));
    advance(0.1);
    runUntilIdle();
    EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will", "failed LGPeripheralConnectionErrorDomain 408"}));
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(delegate->connectedAtReport, std::vector<bool>{false});
    EXPECT_EQ(linesStartingWith("[CONSUMER] Failed connecting to ").size(), 1u);
    expectQuiescent();
}

TEST_F(ConnectionTest, ConnectionTimeLimitWithSilentPlatformReportsAtSevenSeconds) {
    auto iphone = phone().build();
    iphone->setConnectNeverAnswers(true);
    iphone->setReportsCancelledConnect(false);
    engine->connectToPeripheral(wrapperOf(iphone));
    advance(6.9);
    EXPECT_EQ(delegate->count("failed LGPeripheralConnectionErrorDomain 408"), 0u);
    advance(0.1);
    EXPECT_EQ(delegate->count("failed LGPeripheralConnectionErrorDomain 408"), 1u);
    expectQuiescent();
}

TEST_F(ConnectionTest, OnlyOneServiceFoundClearsTheCacheAndRebuildsTheCentralWithoutReport) {
    auto iphone = phone().build();
    iphone->setStaleServiceCache(std::vector<UUID>{SimPhone::notificationServiceUUID()});
    const auto centrals = radio->centralCount();
    engine->connectToPeripheral(wrapperOf(iphone));
    advance(5);
    EXPECT_TRUE(logs.contains("[CONSUMER] Discovered 1 services! (Error: (null))"));
    EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will"}));
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_FALSE(engine->isScanning());
    EXPECT_EQ(radio->centralCount(), centrals + 1);
    // The new central reports its state again; the shell resumes scanning from there.
    EXPECT_EQ(delegate->events.back(), "state 5");
    expectQuiescent();
}

TEST_F(ConnectionTest, NoServiceFoundDisconnectsAndTriesAgainOneSecondLater) {
    auto iphone = phone().build();
    iphone->setStaleServiceCache(std::vector<UUID>{});
    engine->connectToPeripheral(wrapperOf(iphone));
    runUntilIdle();
    ASSERT_TRUE(logs.contains("[CONSUMER] Discovered 0 services! (Error: (null))"));
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    iphone->setStaleServiceCache(std::nullopt);

    advance(0.99);
    EXPECT_EQ(delegate->count("phase 0"), 1u);
    EXPECT_TRUE(logs.contains("[CONSUMER] Disconnected because of wrong services! (null)"));
    advance(0.01);
    EXPECT_EQ(delegate->count("phase 0"), 2u);
    runUntilIdle();
    EXPECT_EQ(delegate->connectionEvents(),
              (Events{"phase 0", "will", "phase 0", "will", "phase 1", "phase 2", "phase 3", "did"}));
    expectQuiescent();
}

TEST_F(ConnectionTest, WrongServicesRetriesAreBoundedAndEndInAFailure) {
    auto iphone = phone().build();
    iphone->setStaleServiceCache(std::vector<UUID>{});
    engine->connectToPeripheral(wrapperOf(iphone));
    advance(30);
    EXPECT_EQ(delegate->count("phase 0"), 4u);
    EXPECT_EQ(delegate->count("failed CNConsumerManagerErrorDomain 3"), 1u);
    EXPECT_EQ(delegate->connectedAtReport, std::vector<bool>{false});
    EXPECT_FALSE(iphone->isLinked());
    expectQuiescent();
}

TEST_F(ConnectionTest, DisconnectCancelsThePendingWrongServicesRetry) {
    auto iphone = phone().build();
    iphone->setStaleServiceCache(std::vector<UUID>{});
    engine->connectToPeripheral(wrapperOf(iphone));
    runUntilIdle();
    engine->disconnect();
    EXPECT_TRUE(logs.contains("[CONSUMER] Disconnecting on request... (null)"));
    advance(10);
    EXPECT_EQ(delegate->count("phase 0"), 1u);
    EXPECT_EQ(delegate->count("disconnected"), 0u);
    expectQuiescent();
}

TEST_F(ConnectionTest, HandshakeErrorsEightAndOneResetWhileOthersAreReportedAsFailures) {
    for (int code : {CBATTErrorInsufficientAuthorization, CBATTErrorInvalidHandle, CBATTErrorWriteNotPermitted}) {
        SCOPED_TRACE(code);
        delegate->events.clear();
        delegate->connectedAtReport.clear();
        const auto centrals = radio->centralCount();
        auto iphone = phone().fault(SimOperation::SetNotify, PlatformError::attError(code), SimPhone::connectionUUID())
                          .build();
        engine->connectToPeripheral(wrapperOf(iphone));
        advance(5);
        if (code == CBATTErrorWriteNotPermitted) {
            EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will", "phase 1", "failed CBATTErrorDomain 3"}));
            EXPECT_EQ(delegate->connectedAtReport, std::vector<bool>{false});
            EXPECT_EQ(radio->centralCount(), centrals);
            EXPECT_FALSE(iphone->isLinked());
            EXPECT_TRUE(logs.contains("[CONSUMER] Disconnected because of failed main service (Error: (null))"));
        } else {
            EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will", "phase 1"}));
            EXPECT_EQ(radio->centralCount(), centrals + 1);
        }
        EXPECT_EQ(engine->connectedPeripheral(), nullptr);
        radio->removePeripheral(iphone);
    }
    expectQuiescent();
}

TEST_F(ConnectionTest, EitherSubscriptionFailingIsReportedAndDisconnects) {
    for (const auto& uuid : {SimPhone::dataSourceUUID(), SimPhone::notificationSourceUUID()}) {
        delegate->events.clear();
        auto iphone = phone().fault(SimOperation::SetNotify, PlatformError::attError(CBATTErrorInsufficientEncryption), uuid)
                          .build();
        engine->connectToPeripheral(wrapperOf(iphone));
        advance(5);
        EXPECT_EQ(delegate->connectionEvents(),
                  (Events{"phase 0", "will", "phase 1", "phase 2", "failed CBATTErrorDomain 15"}));
        EXPECT_EQ(engine->connectedPeripheral(), nullptr);
        EXPECT_FALSE(iphone->isLinked());
        radio->removePeripheral(iphone);
    }
    EXPECT_EQ(linesStartingWith("[CONSUMER] Disconnected because of failed notification service").size(), 2u);
    expectQuiescent();
}

// The engine's own error names what failed; the platform's error that caused it travels
// with it under "NSUnderlyingError".
TEST_F(ConnectionTest, EngineErrorsCarryTheDiscoveryErrorThatCausedThem) {
    auto iphone = phone().fault(SimOperation::DiscoverCharacteristics, PlatformError::attError(0x0E)).build();
    engine->connectToPeripheral(wrapperOf(iphone));
    advance(5);
    ASSERT_EQ(delegate->count("failed CNConsumerManagerErrorDomain 1"), 1u);
    const auto underlying = CNUnderlyingError(delegate->errors.back());
    ASSERT_TRUE(underlying);
    EXPECT_EQ(underlying->domain(), CBATTErrorDomain);
    EXPECT_EQ(underlying->code(), 0x0E);
    EXPECT_EQ(CNUnderlyingError(CNConsumerManagerError(3, "no cause")), nullptr);
    expectQuiescent();
}

TEST_F(ConnectionTest, NotificationServiceMissingOnSecondDiscoveryEndsInFailure) {
    // Two copies of the main service pass the first discovery; the second finds no
    // notification-center service.
    auto device = handBuiltPhone(radio, std::nullopt, false, 2);
    engine->connectToPeripheral(wrapperOf(device));
    advance(5);
    EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will", "phase 1", "failed CNConsumerManagerErrorDomain 3"}));
    EXPECT_EQ(delegate->connectedAtReport, std::vector<bool>{false});
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_FALSE(device->isLinked());
    expectQuiescent();
}

// A bonded phone built by hand: the main service (`mainCopies` times) and, unless
// `withNotificationService` is false, the notification-center service without `missing`.
std::shared_ptr<SimPeripheral> handBuiltPhone(const std::shared_ptr<SimRadio>& radio, std::optional<UUID> missing,
                                              bool withNotificationService, int mainCopies) {
    auto device = SimPeripheral::create("iPhone");
    device->setBonded(true);
    for (int i = 0; i < mainCopies; ++i) {
        auto main = device->addService(SimPhone::mainServiceUUID());
        main->addCharacteristic(SimPhone::deviceNameUUID(), CBCharacteristicPropertyRead,
                                CBAttributePermissionsReadable, bytesFromString("iPhone"));
        main->addCharacteristic(SimPhone::providerUUID(), CBCharacteristicPropertyRead,
                                CBAttributePermissionsReadEncryptionRequired, bytesFromString("p"));
        main->addCharacteristic(SimPhone::consumerUUID(), CBCharacteristicPropertyWrite,
                                CBAttributePermissionsWriteEncryptionRequired);
        main->addCharacteristic(SimPhone::connectionUUID(), CBCharacteristicPropertyNotifyEncryptionRequired,
                                CBAttributePermissionsReadEncryptionRequired);
    }
    if (withNotificationService) {
        auto ancs = device->addService(SimPhone::notificationServiceUUID());
        for (const auto& uuid :
             {SimPhone::notificationSourceUUID(), SimPhone::controlPointUUID(), SimPhone::dataSourceUUID()}) {
            if (missing && uuid == *missing) continue;
            const bool write = uuid == SimPhone::controlPointUUID();
            ancs->addCharacteristic(uuid,
                                    write ? CBCharacteristicPropertyWrite : CBCharacteristicPropertyNotifyEncryptionRequired,
                                    write ? CBAttributePermissionsWriteEncryptionRequired
                                          : CBAttributePermissionsReadEncryptionRequired);
        }
    }
    radio->addPeripheral(device);
    return device;
}

TEST_F(ConnectionTest, MissingSourceCharacteristicIsADeadEndThatEndsInFailure) {
    for (const auto& missing : {SimPhone::dataSourceUUID(), SimPhone::notificationSourceUUID()}) {
        delegate->events.clear();
        auto device = handBuiltPhone(radio, missing);
        engine->connectToPeripheral(wrapperOf(device));
        advance(5);
        EXPECT_EQ(delegate->connectionEvents(),
                  (Events{"phase 0", "will", "phase 1", "phase 2", "failed CNConsumerManagerErrorDomain 2"}));
        EXPECT_FALSE(device->isLinked());
        radio->removePeripheral(device);
    }
    EXPECT_EQ(logs.count("Dead end"), 2u);
    expectQuiescent();
}

TEST_F(ConnectionTest, MissingControlPointAloneStillConnects) {
    auto device = handBuiltPhone(radio, SimPhone::controlPointUUID());
    engine->connectToPeripheral(wrapperOf(device));
    advance(5);
    EXPECT_EQ(delegate->count("did"), 1u);
    EXPECT_TRUE(logs.contains("[ANCS] Control point: (null)"));
    EXPECT_EQ(logs.count("Dead end"), 1u);
    expectQuiescent();
}

TEST_F(ConnectionTest, UnrequestedDisconnectionOfThePhoneIsReportedOnceAndStopsThePoll) {
    auto iphone = phone().build();
    engine->connectToPeripheral(wrapperOf(iphone));
    runUntilIdle();
    ASSERT_EQ(delegate->count("did"), 1u);
    iphone->dropLink();
    runUntilIdle();
    EXPECT_EQ(delegate->connectionEvents().back(), "disconnected");
    EXPECT_EQ(delegate->connectedAtReport, std::vector<bool>{false});
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Disconnected from peripheral: ").size(), 1u);
    EXPECT_EQ(loop().pendingPerforms(engine.get()), 0u);
    expectQuiescent();
}

TEST_F(ConnectionTest, AnotherDeviceDroppingItsLinkLeavesTheConnectionAlone) {
    auto iphone = phone().build();
    auto other = phone().advertisedName("Watch").build();
    engine->connectToPeripheral(wrapperOf(iphone));
    runUntilIdle();
    auto otherWrapper = wrapperOf(other);
    otherWrapper->connectWithCompletion([](const ErrorPtr&) {});
    runUntilIdle();
    ASSERT_TRUE(other->isLinked());
    other->dropLink();
    runUntilIdle();
    EXPECT_EQ(delegate->count("disconnected"), 0u);
    ASSERT_NE(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(loop().pendingPerforms(engine.get()), 1u);  // the provider poll
    expectQuiescent();
}

TEST_F(ConnectionTest, LateSecondCompletionOfADisconnectIsNotReportedAgain) {
    auto iphone = phone().latency(SimOperation::Disconnect, seconds(3)).build();
    engine->connectToPeripheral(wrapperOf(iphone));
    runUntilIdle();
    engine->disconnect();
    advance(2);
    EXPECT_EQ(delegate->count("disconnected"), 1u);
    advance(2);
    EXPECT_EQ(delegate->count("disconnected"), 1u);
    EXPECT_EQ(logs.count("[CONSUMER] Disconnected on request! (Error: (null))"), 2u);
    expectQuiescent();
}

}  // namespace
}  // namespace tandril::test
