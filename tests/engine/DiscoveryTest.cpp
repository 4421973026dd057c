// Exploration, verification and the bond test, driven by scans of the simulated radio.

#include <gtest/gtest.h>

#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "engine/ConnectionFixture.hpp"
#include "sim/SimClassicDevice.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimService.hpp"

namespace tandril::test {
namespace {

class DiscoveryTest : public ConnectionFixture {
protected:
    void scan(double seconds = 10) {
        engine->startScanning();
        advance(seconds);
    }
    bool bonded() const { return delegate->count("phase 0") == 1; }
};

TEST_F(DiscoveryTest, AppleDeviceWithoutEitherServiceIsUnverifiedAndDisconnected) {
    auto watch = SimPeripheral::create("Watch");
    watch->setManufacturerData(SimPhone::appleManufacturerData());
    radio->addPeripheral(watch);
    scan();
    EXPECT_EQ(engine->unverifiedPeripherals().size(), 1u);
    EXPECT_TRUE(engine->verifiedPeripherals().empty());
    EXPECT_TRUE(logs.contains("[EXPLORE] Disconnected from un-Tandril peripheral ((null))"));
    EXPECT_FALSE(watch->isLinked());
    expectQuiescent();
}

// Only what could be the user's phone is connected to: Apple's company identifier, or one
// of the two services advertised or solicited. Everything else is listed, never touched.
TEST_F(DiscoveryTest, OnlyAdvertisersThatCouldBeAPhoneAreExplored) {
    auto iphone = phone().advertisedName("iPhone").build();
    auto headphones = SimPeripheral::create("Headphones");
    headphones->setManufacturerData(Bytes{0x06, 0x00, 0x01, 0x09});  // another maker's identifier
    auto television = SimPeripheral::create("TV");
    television->setAdvertisedServiceUUIDs({UUID::fromStringOrNil("180F")});
    auto tracker = SimPeripheral::create("Tracker");
    tracker->setManufacturerData(Bytes{0x4C});  // too short to carry an identifier
    auto soliciting = SimPeripheral::create("Soliciting");
    soliciting->setSolicitedServiceUUIDs({SimPhone::notificationServiceUUID()});
    soliciting->addService(SimPhone::notificationServiceUUID());
    for (const auto& device : {headphones, television, tracker, soliciting}) radio->addPeripheral(device);
    scan();

    EXPECT_EQ(engine->discoveredPeripherals().size(), 5u);
    for (const auto& device : {headphones, television, tracker}) {
        EXPECT_EQ(device->connectRequestCount(), 0u) << device->name().value_or("");
        EXPECT_TRUE(logs.contains("[EXPLORE] Not exploring " + wrapperOf(device)->description() +
                                  ": its advertisement is not a phone's"));
    }
    EXPECT_GT(iphone->connectRequestCount(), 0u);
    EXPECT_GT(soliciting->connectRequestCount(), 0u);
    EXPECT_EQ(engine->verifiedPeripherals().size(), 2u);
    EXPECT_TRUE(engine->unverifiedPeripherals().empty());
    expectQuiescent();

    Dictionary advertised{{CBAdvertisementDataServiceUUIDsKey,
                           Value(Array{Value("37788b13-93eb-4c29-a15f-79de5da30a57")})}};
    EXPECT_TRUE(CNConsumerManager::mayBePhone(advertised)) << "the main service, in any letter case";
    EXPECT_FALSE(CNConsumerManager::mayBePhone(Dictionary{{CBAdvertisementDataManufacturerDataKey, Value("4C00")}}))
        << "manufacturer data of the wrong type";
}

TEST_F(DiscoveryTest, PhoneWithOnlyTheNotificationServiceIsVerifiedButNotBonded) {
    auto device = SimPeripheral::create("iPhone");
    device->setManufacturerData(SimPhone::appleManufacturerData());
    device->addService(SimPhone::notificationServiceUUID());
    radio->addPeripheral(device);
    radio->addPairedDevice("iPhone", device);
    storePreference();
    scan();
    ASSERT_EQ(engine->availablePeripherals().size(), 1u);
    EXPECT_FALSE(bonded());
    EXPECT_TRUE(logs.contains("[EXPLORE] Disconnected from unbonded-Tandril peripheral ((null))"));
    expectQuiescent();
}

TEST_F(DiscoveryTest, BondTestByPairedDeviceNames) {
    struct Case {
        std::string advertised;
        std::vector<std::string> paired;
        bool providerFails;
        bool expectBonded;
    };
    const std::vector<Case> cases{
        {"Alice's iPhone", {"Alice's iPhone"}, false, true},
        {"Alice's iPhone", {"Alice's iPhone (2)"}, false, true},
        {"Alice", {"Bob"}, false, false},
        {"Alice", {"Bob", "Bob's iPhone"}, false, true},   // provider read over the bonded link
        {"Alice", {"Bob's iPhone"}, true, false},          // provider read fails
        {"Alice", {}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.advertised + " / " + (c.paired.empty() ? "-" : c.paired.back()));
        delegate->events.clear();
        radio->removePairedDevices();
        auto scenario = phone().advertisedName(c.advertised).deviceName("Phone");
        if (c.providerFails) {
            scenario.fault(SimOperation::Read, PlatformError::attError(CBATTErrorInsufficientAuthentication),
                           SimPhone::providerUUID());
        }
        auto iphone = scenario.build();
        for (const auto& name : c.paired) radio->addPairedDevice(name);
        storePreference();
        scan();
        EXPECT_EQ(bonded(), c.expectBonded);
        EXPECT_EQ(engine->availablePeripherals().size(), 1u);
        if (engine->connectedPeripheral()) engine->disconnect();
        engine->stopScanning();
        advance(5);
        radio->removePeripheral(iphone);
    }
    EXPECT_TRUE(logs.contains("[EXPLORE] Reading provider characteristic"));
    EXPECT_TRUE(logs.contains("Device: Alice's iPhone (2)"));
    EXPECT_TRUE(logs.contains("Peripheral: Alice, Phone"));
    expectQuiescent();
}

TEST_F(DiscoveryTest, BondedPhoneWithoutPreferenceIsDisconnected) {
    phone().advertisedName("Alice's iPhone").pairedClassicDevice("Alice's iPhone").build();
    scan();
    EXPECT_TRUE(logs.contains("paired"));
    EXPECT_FALSE(bonded());
    EXPECT_TRUE(logs.contains("[EXPLORE] Disconnected from unbonded-Tandril peripheral ((null))"));
    expectQuiescent();
}

TEST_F(DiscoveryTest, EmptyAdvertisedNameMatchesNoPairedDevice) {
    auto device = SimPeripheral::create(std::string());
    radio->addPeripheral(device);
    radio->addPairedDevice("Bob");
    auto wrapper = wrapperOf(device);
    EXPECT_EQ(engine->deviceForPeripheral(wrapper), nullptr);
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"Device: Bob", "Peripheral: , (null)"}));
}

TEST_F(DiscoveryTest, DeviceAdvertisingOftenIsExploredOncePerPeriod) {
    auto iphone = phone().build();
    engine->startScanning();
    for (int i = 0; i < 5; ++i) {
        radio->advertise(iphone);
        advance(1);
    }
    EXPECT_EQ(linesStartingWith("[EXPLORE] Exploring ").size(), 1u);
    EXPECT_EQ(engine->discoveredPeripherals().size(), 1u);
    advance(60);
    EXPECT_EQ(linesStartingWith("[EXPLORE] Exploring ").size(), 2u);
    expectQuiescent();
}

TEST_F(DiscoveryTest, WhileAPhoneIsHeldNewDevicesAreListedButNotExplored) {
    auto iphone = phone().build();
    auto other = phone().advertisedName("Other").build();
    engine->connectToPeripheral(wrapperOf(iphone));
    runUntilIdle();
    logs.clear();
    engine->discoveredPeripheral(wrapperOf(other));
    runUntilIdle();
    EXPECT_EQ(engine->discoveredPeripherals().size(), 1u);
    EXPECT_TRUE(linesStartingWith("[EXPLORE]").empty());
    EXPECT_EQ(other->connectRequestCount(), 0u);
    expectQuiescent();
}

TEST_F(DiscoveryTest, SecondBondedPhoneFinishingWhileOneIsConnectedIsDisconnected) {
    auto first = phone().advertisedName("A").pairedClassicDevice("A").build();
    auto second = phone().advertisedName("B").pairedClassicDevice("B").latency(SimOperation::Read, seconds(1)).build();
    storePreference();
    scan();
    ASSERT_EQ(delegate->count("did"), 1u);
    EXPECT_EQ(engine->connectedPeripheral()->cbPeripheral()->identifier(), first->identifier());
    EXPECT_FALSE(second->isLinked());
    EXPECT_EQ(linesStartingWith("[EXPLORE] Disconnected from surplus Tandril peripheral").size(), 1u);
    expectQuiescent();
}

TEST_F(DiscoveryTest, ExplorationConnectionThatNeverAnswersEndsAfterItsTimeLimit) {
    auto iphone = phone().build();
    iphone->setConnectNeverAnswers(true);
    scan(9.9);
    EXPECT_TRUE(engine->unverifiedPeripherals().empty());
    advance(0.1);
    EXPECT_EQ(engine->unverifiedPeripherals().size(), 1u);
    EXPECT_EQ(linesStartingWith("[EXPLORE] Couldn't connect to ").size(), 1u);
    expectQuiescent();
}

TEST_F(DiscoveryTest, ExplorationTimeLimitLeavesAPhoneTheConnectionTookOverAlone) {
    // The user picks the phone while its exploration is still connecting: the connection
    // sequence takes the link over, and the exploration's time limit must not drop it.
    auto iphone = phone().latency(SimOperation::Connect, seconds(3)).build();
    engine->startScanning();
    advance(0.5);
    ASSERT_EQ(engine->discoveredPeripherals().size(), 1u);
    engine->connectToPeripheral(engine->discoveredPeripherals().front());
    advance(15);
    EXPECT_EQ(delegate->count("did"), 1u);
    EXPECT_TRUE(iphone->isLinked());
    EXPECT_NE(engine->connectedPeripheral(), nullptr);
    EXPECT_TRUE(engine->unverifiedPeripherals().empty());
    expectQuiescent();
}

TEST_F(DiscoveryTest, NotConnectedErrorsAreRetriedEverySecondUpToABound) {
    auto scenario = phone();
    for (int i = 0; i < 6; ++i) scenario.fault(SimOperation::DiscoverServices, PlatformError::centralError(CBErrorNotConnected));
    auto iphone = scenario.build();
    scan(20);
    EXPECT_EQ(linesStartingWith("[EXPLORE] Exploring ").size(), 4u);
    EXPECT_EQ(engine->unverifiedPeripherals().size(), 1u);
    expectQuiescent();
}

TEST_F(DiscoveryTest, ForcedDisconnectionClosesThePairedDeviceOrDisconnectsOnce) {
    auto paired = phone().advertisedName("A").build();
    auto classic = radio->addPairedDevice("A", paired);
    int calls = 0;
    engine->forceDisconnection(wrapperOf(paired), [&](std::shared_ptr<LGPeripheral>) { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(classic->closeConnectionCount(), 1u);

    auto lone = phone().advertisedName("B").latency(SimOperation::Disconnect, seconds(3)).build();
    auto wrapper = wrapperOf(lone);
    wrapper->connectWithCompletion([](const ErrorPtr&) {});
    runUntilIdle();
    calls = 0;
    engine->forceDisconnection(wrapper, [&](std::shared_ptr<LGPeripheral>) { ++calls; });
    advance(5);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(lone->isLinked());
}

}  // namespace
}  // namespace tandril::test
