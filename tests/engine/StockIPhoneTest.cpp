// iPhones without the companion application: the desktop advertises, the phone connects
// to it, pairs by numeric comparison, and the engine subscribes to its notification-center
// service without the handshake. The real BLE layer over the simulated radio, in virtual time.
//
// The scenarios shared with the stand-in BlueZ live in StockIPhoneScenarios.cpp; this
// radio's StockRadio is the fixture itself.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/ConnectionFixture.hpp"
#include "engine/StockIPhoneScenarios.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

using Events = std::vector<std::string>;

class StockIPhoneTest : public ConnectionFixture, public StockRadio {
protected:
    StockIPhoneTest() {
        PlatformAdapter::setPairingConfirmer(confirmer);
        engine->setName(std::string("Desk"));
    }
    ~StockIPhoneTest() override { PlatformAdapter::setPairingConfirmer(nullptr); }

    // ---- StockRadio over the simulated radio --------------------------------------------
    std::shared_ptr<SimRadio> simRadio() const override { return radio; }
    bool advertising() const override { return radio->central() && radio->central()->isAdvertising(); }
    std::string advertisedName() const override {
        return radio->central() ? radio->central()->advertisedName() : "";
    }
    std::vector<UUID> advertisedSolicited() const override {
        return radio->central() ? radio->central()->advertisedSolicitedServices() : std::vector<UUID>{};
    }
    std::size_t advertisingStarts() const override {
        return radio->central() ? radio->central()->advertisingCount() : 0;
    }
    UUID identifierOf(const std::shared_ptr<SimPeripheral>& device) const override { return device->identifier(); }
    void setPowered(bool powered) override {
        radio->setState(powered ? CBCentralManagerStatePoweredOn : CBCentralManagerStatePoweredOff);
    }
    void settle() override { runUntilIdle(); }
    void advance(double seconds) override { ConnectionFixture::advance(seconds); }
    bool waitUntil(const std::function<bool()>& done) override {
        runUntilIdle();
        // The icon look-up of a new application runs on a worker thread.
        return done() || loop().runUntil(done, std::chrono::milliseconds(5000));
    }
    void expectQuiescent() override { ConnectionFixture::expectQuiescent(); }

    StockContext context() { return StockContext{*engine, *delegate, logs, *confirmer, *this}; }

    std::shared_ptr<RecordingConfirmer> confirmer = std::make_shared<RecordingConfirmer>();
};

TEST_F(StockIPhoneTest, WholePathFromAdvertisingToTheFirstNotification) {
    auto c = context();
    stock::wholePathFromAdvertisingToTheFirstNotification(c);
}

TEST_F(StockIPhoneTest, BondedPhoneReconnectsByItselfWheneverTheDesktopAdvertises) {
    auto c = context();
    stock::bondedPhoneReconnectsByItselfWheneverTheDesktopAdvertises(c);
}

TEST_F(StockIPhoneTest, PhoneThatNeverPairsIsDroppedAfterAMinuteAndAdvertisingResumes) {
    auto c = context();
    stock::phoneThatNeverPairsIsDroppedAfterAMinuteAndAdvertisingResumes(c);
}

TEST_F(StockIPhoneTest, RejectedPairingOnEitherSideDisconnectsAndAdvertisingResumes) {
    auto c = context();
    stock::rejectedPairingOnEitherSideDisconnectsAndAdvertisingResumes(c);
}

TEST_F(StockIPhoneTest, PeerWithoutTheNotificationServiceIsDisconnectedAndLogged) {
    auto c = context();
    stock::peerWithoutTheNotificationServiceIsDisconnectedAndLogged(c);
}

TEST_F(StockIPhoneTest, SecondPhoneIsRefusedAndTheFirstKept) {
    auto c = context();
    stock::secondPhoneIsRefusedAndTheFirstKept(c);
}

TEST_F(StockIPhoneTest, UserDisconnectStopsAdvertisingUntilTheSwitchIsTurnedOnAgain) {
    auto c = context();
    stock::userDisconnectStopsAdvertisingUntilTheSwitchIsTurnedOnAgain(c);
}

TEST_F(StockIPhoneTest, NoAdvertisingWhileSleepingOrPoweredOff) {
    auto c = context();
    stock::noAdvertisingWhileSleepingOrPoweredOff(c);
}

// ---- This radio only ------------------------------------------------------------------------

TEST_F(StockIPhoneTest, PhoneLinkingLaterWhileOneIsHeldIsRefused) {
    engine->setAllowsIncomingPhones(true);
    runUntilIdle();
    auto first = stockPhone("First");
    ASSERT_TRUE(first->tap());
    runUntilIdle();
    ASSERT_EQ(delegate->count("did"), 1u);
    // A radio lets a device link while nothing advertises (BlueZ: another program's advertisement).
    auto second = stockPhone("Second");
    second->setBonded(true);
    ASSERT_TRUE(second->connectIncoming());
    runUntilIdle();
    EXPECT_FALSE(second->isLinked());
    EXPECT_TRUE(first->isLinked());
    EXPECT_EQ(delegate->count("disconnected"), 0u);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Refusing incoming connection from ").size(), 1u);
    engine->setAllowsIncomingPhones(false);
    expectQuiescent();
}

TEST_F(StockIPhoneTest, PhoneWithTheCompanionApplicationConnectingToUsTakesTheHandshake) {
    auto companion = phone().build();
    engine->setAllowsIncomingPhones(true);
    runUntilIdle();
    ASSERT_TRUE(companion->connectIncoming());
    runUntilIdle();
    EXPECT_EQ(delegate->count("did"), 1u);
    EXPECT_FALSE(engine->isServingStockPhone());
    EXPECT_TRUE(logs.contains("[CONSUMER] Hooked to main service (Error: (null))"));
    advance(30);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Requesting provider data...").size(), 1u);
    engine->setAllowsIncomingPhones(false);
    expectQuiescent();
}

TEST_F(StockIPhoneTest, AdvertisingThatTheRadioRefusesIsLoggedAndRetriedWhenConditionsChange) {
    radio->failNextAdvertising(PlatformError::centralError(CBErrorOperationNotSupported));
    engine->setAllowsIncomingPhones(true);
    runUntilIdle();
    EXPECT_TRUE(logs.contains("[CONSUMER] Failed to advertise (Error: " +
                              PlatformError::centralError(CBErrorOperationNotSupported)->description() + ")"));
    EXPECT_FALSE(engine->isAdvertising());
    engine->setAllowsIncomingPhones(false);
    engine->setAllowsIncomingPhones(true);
    runUntilIdle();
    EXPECT_TRUE(advertising());
    engine->setAllowsIncomingPhones(false);
    expectQuiescent();
}

}  // namespace
}  // namespace tandril::test
