// The stock-iPhone scenarios over the BlueZ adapter and the stand-in bluetoothd: the desktop
// registers its advertisement with LEAdvertisingManager1, the simulated iPhone connects to
// it through the stand-in, the pairing agent puts the code to the desktop, and the engine
// serves the phone, with the same expectations as over the simulated radio.

#include <gtest/gtest.h>

#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "bluez/BluezFixture.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "engine/StockIPhoneScenarios.hpp"
#include "engine/TestEngine.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "platform/linux/bluez/BluezCentral.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

using namespace std::chrono_literals;

class StockIPhoneOverBluezTest : public BluezFixture, public StockRadio {
protected:
    StockIPhoneOverBluezTest() {
        BluezAdapter::Options options;
        options.busAddress = bus.address();
        // The engine's own minute for a phone that never pairs is what the scenarios check;
        // the agent's earlier cancel has a test of its own (BluezAdapterTest).
        options.pairingConfirmTimeout = 90;
        adapter = BluezAdapter::create(options);
        PlatformAdapter::setCurrent(adapter);
        PlatformAdapter::setPairingConfirmer(confirmer);
        onSettle = [this] { adapter->sync(2000ms); };
        resetSharedEngineState();
        delegate = std::make_shared<RecordingConsumerDelegate>();
        engine = createTestEngine();
        engine->setDelegate(delegate);
        engine->setName(std::string("Desk"));
        EXPECT_TRUE(pumpUntil([&] { return delegate->count("state 5") == 1; }));
        // The agent is registered as bluetoothd's default agent.
        EXPECT_TRUE(pumpUntil([&] { return standIn->agentCount() == 1; }));
        settle();
        delegate->events.clear();
        logs.clear();
    }
    ~StockIPhoneOverBluezTest() override {
        PlatformAdapter::setPairingConfirmer(nullptr);
        engine.reset();
        resetSharedEngineState();
        PlatformAdapter::setCurrent(nullptr);
        adapter.reset();
        loop().runUntilIdle();
    }

    // ---- StockRadio over D-Bus ----------------------------------------------------------
    std::shared_ptr<SimRadio> simRadio() const override { return radio; }
    bool advertising() const override { return standIn->isAdvertising(); }
    std::string advertisedName() const override { return standIn->advertisedName(); }
    std::vector<UUID> advertisedSolicited() const override { return standIn->advertisedSolicitedServices(); }
    std::size_t advertisingStarts() const override { return standIn->callCount("RegisterAdvertisement"); }
    UUID identifierOf(const std::shared_ptr<SimPeripheral>& device) const override {
        return BluezCentral::deviceIdentifier(QString::fromStdString(standInOptions().adapterAddress),
                                              QString::fromStdString(BluezStandIn::addressFor(device->identifier())));
    }
    void setPowered(bool powered) override { standIn->setPowered(powered); }
    void settle() override { BluezFixture::settle(); }
    void advance(double seconds) override { BluezFixture::advance(seconds, 0.5); }
    bool waitUntil(const std::function<bool()>& done) override {
        // First without time passing (a scenario may count time from here), then with
        // it: BlueZ's disconnect window takes 2 s. The icon look-up runs on a worker.
        for (int round = 0; round < 20; ++round) {
            settle();
            if (done()) return true;
        }
        return advanceUntil(done, 10, 0.1) || pumpUntil(done, 3000ms);
    }
    void expectQuiescent() override {
        if (engine->connectedPeripheral()) engine->disconnect();
        BluezFixture::advance(60, 1);
        EXPECT_EQ(engine->connectedPeripheral(), nullptr);
        EXPECT_EQ(loop().pendingPerforms(engine.get()), 0u);
        EXPECT_EQ(adapter->pendingCalls(), 0u);
    }

    StockContext context() { return StockContext{*engine, *delegate, logs, *confirmer, *this}; }

    std::shared_ptr<BluezAdapter> adapter;
    std::shared_ptr<RecordingConsumerDelegate> delegate;
    std::shared_ptr<CNConsumerManager> engine;
    std::shared_ptr<RecordingConfirmer> confirmer = std::make_shared<RecordingConfirmer>();
};

TEST_F(StockIPhoneOverBluezTest, WholePathFromAdvertisingToTheFirstNotification) {
    auto c = context();
    stock::wholePathFromAdvertisingToTheFirstNotification(c);
    // What bluetoothd was asked, in order: the advertisement up, then down once the phone
    // is served; the phone's code went to the desktop through the agent.
    EXPECT_EQ(standIn->callCount("RegisterAdvertisement"), 1u);
    EXPECT_EQ(standIn->callCount("UnregisterAdvertisement"), 1u);
    EXPECT_EQ(standIn->confirmationCount(), 1u);
}

TEST_F(StockIPhoneOverBluezTest, BondedPhoneReconnectsByItselfWheneverTheDesktopAdvertises) {
    auto c = context();
    stock::bondedPhoneReconnectsByItselfWheneverTheDesktopAdvertises(c);
}

TEST_F(StockIPhoneOverBluezTest, PhoneThatNeverPairsIsDroppedAfterAMinuteAndAdvertisingResumes) {
    auto c = context();
    stock::phoneThatNeverPairsIsDroppedAfterAMinuteAndAdvertisingResumes(c);
    // The link went with the request: bluetoothd cancelled it at the agent.
    EXPECT_TRUE(logs.contains("[BLUEZ] Pairing request cancelled"));
}

TEST_F(StockIPhoneOverBluezTest, RejectedPairingOnEitherSideDisconnectsAndAdvertisingResumes) {
    auto c = context();
    stock::rejectedPairingOnEitherSideDisconnectsAndAdvertisingResumes(c);
}

TEST_F(StockIPhoneOverBluezTest, PeerWithoutTheNotificationServiceIsDisconnectedAndLogged) {
    auto c = context();
    stock::peerWithoutTheNotificationServiceIsDisconnectedAndLogged(c);
    EXPECT_GE(standIn->callCount("Disconnect"), 1u);
}

TEST_F(StockIPhoneOverBluezTest, SecondPhoneIsRefusedAndTheFirstKept) {
    auto c = context();
    stock::secondPhoneIsRefusedAndTheFirstKept(c);
}

TEST_F(StockIPhoneOverBluezTest, UserDisconnectStopsAdvertisingUntilTheSwitchIsTurnedOnAgain) {
    auto c = context();
    stock::userDisconnectStopsAdvertisingUntilTheSwitchIsTurnedOnAgain(c);
}

TEST_F(StockIPhoneOverBluezTest, NoAdvertisingWhileSleepingOrPoweredOff) {
    auto c = context();
    stock::noAdvertisingWhileSleepingOrPoweredOff(c);
}

}  // namespace
}  // namespace tandril::test
