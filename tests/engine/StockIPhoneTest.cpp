// iPhones without the companion application: the desktop advertises, the phone connects
// to it, pairs by numeric comparison, and the engine subscribes to its notification-center
// service without the handshake. The real BLE layer over the simulated radio, in virtual time.
//
// The scenarios talk to the radio only through StockRadio, so that another radio (a
// stand-in system Bluetooth service) can run the same bodies with its own implementation.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "ble/platform/PlatformPairingConfirmer.hpp"
#include "engine/CNConsumerManagerErrors.hpp"
#include "engine/ConnectionFixture.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

using Events = std::vector<std::string>;
using Answer = SimPeripheral::PairingAnswer;

// The desktop's side of the numeric comparison: answers at once, or holds the request.
class RecordingConfirmer : public PlatformPairingConfirmer {
public:
    enum class Mode { Accept, Reject, Hold };
    Mode mode = Mode::Accept;
    std::vector<std::string> requests;
    std::vector<std::function<void(bool)>> held;

    void confirmPairing(const std::optional<std::string>& name, const std::string& code,
                        std::function<void(bool)> reply) override {
        requests.push_back(name.value_or("(null)") + " " + code);
        switch (mode) {
            case Mode::Accept: reply(true); break;
            case Mode::Reject: reply(false); break;
            case Mode::Hold: held.push_back(std::move(reply)); break;
        }
    }
};

// What the scenarios do to the radio and its phones.
class StockRadio {
public:
    explicit StockRadio(std::shared_ptr<SimRadio> radio) : radio_(std::move(radio)) {}

    // With `withNotification`, the phone holds one notification ("Anna"); a test that
    // lets it be announced waits for its delivery (the icon look-up runs on a worker).
    std::shared_ptr<SimPhone> stockPhone(const std::string& name, Answer answer = Answer::Accept,
                                         bool withNotification = false) {
        SimScenario scenario(radio_);
        scenario.stockIPhone().advertisedName(name).app("com.example.chat", "Chat").pairingAnswer(answer);
        if (withNotification) scenario.notification("com.example.chat", "Anna", "", "See you at 8");
        return scenario.build();
    }
    bool advertising() const { return radio_->central() && radio_->central()->isAdvertising(); }
    std::string advertisedName() const { return radio_->central() ? radio_->central()->advertisedName() : ""; }
    std::vector<UUID> advertisedSolicited() const {
        return radio_->central() ? radio_->central()->advertisedSolicitedServices() : std::vector<UUID>{};
    }
    std::size_t advertisingStarts() const { return radio_->central() ? radio_->central()->advertisingCount() : 0; }

private:
    std::shared_ptr<SimRadio> radio_;
};

class StockIPhoneTest : public ConnectionFixture {
protected:
    StockIPhoneTest() : stock(radio) {
        PlatformAdapter::setPairingConfirmer(confirmer);
        engine->setName(std::string("Desk"));
    }
    ~StockIPhoneTest() override { PlatformAdapter::setPairingConfirmer(nullptr); }

    // Turns the switch on and lets the advertisement come up.
    void allow() {
        engine->setAllowsIncomingPhones(true);
        runUntilIdle();
    }
    // A stock iPhone that the user already paired and that is linked now.
    std::shared_ptr<SimPhone> connectedStockPhone(const std::string& name = "Anna's iPhone") {
        auto phone = stock.stockPhone(name);
        allow();
        EXPECT_TRUE(phone->tap());
        runUntilIdle();
        EXPECT_EQ(delegate->count("did"), 1u);
        return phone;
    }
    // A bonded phone would reconnect as soon as the engine advertises again: the switch
    // goes off first.
    void quiesce() {
        engine->setAllowsIncomingPhones(false);
        expectQuiescent();
        EXPECT_FALSE(stock.advertising());
    }
    std::size_t linesContaining(const std::string& part) const {
        std::size_t n = 0;
        for (const auto& line : logs.lines()) n += line.find(part) != std::string::npos;
        return n;
    }
    bool phoneIsConnected(const std::shared_ptr<SimPhone>& phone) const {
        auto connected = engine->connectedPeripheral();
        return connected && connected->cbPeripheral()->identifier() == phone->identifier();
    }

    std::shared_ptr<RecordingConfirmer> confirmer = std::make_shared<RecordingConfirmer>();
    StockRadio stock;
};

TEST_F(StockIPhoneTest, WholePathFromAdvertisingToTheFirstNotification) {
    auto phone = stock.stockPhone("Anna's iPhone", Answer::Accept, true);
    // Nothing to connect to before the switch is on.
    EXPECT_FALSE(phone->tap());
    EXPECT_FALSE(stock.advertising());

    allow();
    EXPECT_TRUE(stock.advertising());
    EXPECT_TRUE(engine->isAdvertising());
    EXPECT_EQ(stock.advertisedName(), "Desk");
    EXPECT_EQ(stock.advertisedSolicited(), std::vector<UUID>{SimPhone::notificationServiceUUID()});
    EXPECT_TRUE(logs.contains("[CONSUMER] Advertising as \"Desk\" for iPhones..."));

    ASSERT_TRUE(phone->tap());
    runUntilIdle();
    loop().runUntil([&] { return delegate->count("added Anna") == 1; }, std::chrono::milliseconds(5000));

    EXPECT_EQ(confirmer->requests, Events{"Anna's iPhone 314159"});
    EXPECT_TRUE(phone->isBonded());
    EXPECT_EQ(delegate->connectionEvents(),
              (Events{"phase 0", "will", "phase 1", "phase 2", "phase 3", "did", "added Anna"}));
    ASSERT_TRUE(phoneIsConnected(phone));
    EXPECT_TRUE(engine->isServingStockPhone());
    // The name comes from the radio; the phone becomes the preferred device.
    EXPECT_EQ(engine->connectedPeripheral()->name(), std::optional<std::string>("Anna's iPhone"));
    EXPECT_EQ(engine->preferredUUID(), phone->identifier());
    // No advertising while a phone is connected.
    EXPECT_FALSE(stock.advertising());
    EXPECT_TRUE(logs.contains("[CONSUMER] Stopped advertising."));
    // The Data Source first, then the Notification Source; no handshake.
    auto lines = linesStartingWith("[ANCS] Subscribed to");
    EXPECT_EQ(lines, (Events{"[ANCS] Subscribed to data source (Error: (null))",
                             "[ANCS] Subscribed to notification source (Error: (null))"}));
    EXPECT_EQ(linesStartingWith("[CONSUMER] Incoming connection from ").size(), 1u);
    EXPECT_EQ(linesStartingWith("[CONSUMER] No main service: serving ").size(), 1u);
    EXPECT_FALSE(logs.contains("[CONSUMER] Hooked to main service (Error: (null))"));
    // No provider poll, and no pairing time limit left behind.
    advance(120);
    EXPECT_TRUE(linesStartingWith("[CONSUMER] Requesting provider data...").empty());
    EXPECT_TRUE(phoneIsConnected(phone));
    quiesce();
}

TEST_F(StockIPhoneTest, BondedPhoneReconnectsByItselfWheneverTheDesktopAdvertises) {
    auto phone = connectedStockPhone();

    // The link drops: advertising resumes and the bonded phone is back without a tap.
    phone->dropLink();
    runUntilIdle();
    EXPECT_EQ(delegate->count("disconnected"), 1u);
    EXPECT_EQ(delegate->count("did"), 2u);
    EXPECT_TRUE(phoneIsConnected(phone));
    EXPECT_EQ(confirmer->requests.size(), 1u);  // bonded: no second pairing

    // Out of range: the desktop advertises until the phone is back.
    phone->setInRange(false);
    runUntilIdle();
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_TRUE(stock.advertising());
    advance(600);
    EXPECT_EQ(delegate->count("did"), 2u);
    phone->setInRange(true);
    runUntilIdle();
    EXPECT_EQ(delegate->count("did"), 3u);
    EXPECT_TRUE(phoneIsConnected(phone));
    quiesce();
}

TEST_F(StockIPhoneTest, PhoneThatNeverPairsIsDroppedAfterAMinuteAndAdvertisingResumes) {
    auto phone = stock.stockPhone("Anna's iPhone", Answer::Never);
    confirmer->mode = RecordingConfirmer::Mode::Hold;
    allow();
    ASSERT_TRUE(phone->tap());
    runUntilIdle();
    EXPECT_TRUE(phone->isPairing());
    EXPECT_FALSE(stock.advertising());

    advance(59.9);
    EXPECT_TRUE(phoneIsConnected(phone));
    EXPECT_EQ(delegate->count("failed CNConsumerManagerErrorDomain 4"), 0u);
    advance(0.1);
    runUntilIdle();
    EXPECT_EQ(delegate->count("failed CNConsumerManagerErrorDomain 4"), 1u);
    EXPECT_EQ(linesContaining(" did not pair within 60 seconds, disconnecting."), 1u);
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_FALSE(phone->isLinked());
    EXPECT_TRUE(stock.advertising());
    EXPECT_FALSE(phone->isBonded());
    // A late answer of the desktop changes nothing.
    for (auto& reply : confirmer->held) reply(true);
    runUntilIdle();
    EXPECT_FALSE(phone->isBonded());
    EXPECT_EQ(delegate->count("did"), 0u);
    quiesce();
}

TEST_F(StockIPhoneTest, RejectedPairingOnEitherSideDisconnectsAndAdvertisingResumes) {
    struct Case {
        const char* label;
        Answer phoneAnswer;
        RecordingConfirmer::Mode desktopAnswer;
    };
    for (const Case& c : {Case{"phone rejects", Answer::Reject, RecordingConfirmer::Mode::Accept},
                          Case{"desktop rejects", Answer::Accept, RecordingConfirmer::Mode::Reject}}) {
        SCOPED_TRACE(c.label);
        auto phone = stock.stockPhone(c.label, c.phoneAnswer);
        confirmer->mode = c.desktopAnswer;
        allow();
        ASSERT_TRUE(phone->tap());
        runUntilIdle();
        EXPECT_EQ(delegate->count("failed CBATTErrorDomain 5"), 1u);
        EXPECT_EQ(linesContaining(" did not pair! (Error: "), 1u);
        EXPECT_EQ(logs.count("[CONSUMER] Disconnected because of failed notification service (Error: (null))"), 1u);
        EXPECT_EQ(engine->connectedPeripheral(), nullptr);
        EXPECT_FALSE(phone->isBonded());
        EXPECT_FALSE(phone->isLinked());
        EXPECT_TRUE(stock.advertising());
        EXPECT_EQ(engine->preferredUUID(), std::nullopt);
        quiesce();
        radio->removePeripheral(phone);
        delegate->events.clear();
        logs.clear();
    }
}

TEST_F(StockIPhoneTest, PeerWithoutTheNotificationServiceIsDisconnectedAndLogged) {
    auto speaker = SimPeripheral::create(std::string("Speaker"));
    radio->addPeripheral(speaker);
    allow();
    ASSERT_TRUE(speaker->connectIncoming());
    runUntilIdle();
    EXPECT_EQ(delegate->count("failed CNConsumerManagerErrorDomain 3"), 1u);
    EXPECT_EQ(linesContaining(" offers no notification-center service! (Error: (null))"), 1u);
    EXPECT_EQ(logs.count("[CONSUMER] Disconnected because of missing notification service (Error: (null))"), 1u);
    EXPECT_FALSE(speaker->isLinked());
    EXPECT_TRUE(stock.advertising());
    EXPECT_EQ(engine->preferredUUID(), std::nullopt);
    quiesce();
}

TEST_F(StockIPhoneTest, SecondPhoneIsRefusedAndTheFirstKept) {
    auto first = connectedStockPhone("First");
    auto second = stock.stockPhone("Second");
    second->setBonded(true);
    ASSERT_TRUE(second->connectIncoming());
    runUntilIdle();
    EXPECT_FALSE(second->isLinked());
    EXPECT_TRUE(first->isLinked());
    EXPECT_TRUE(phoneIsConnected(first));
    EXPECT_EQ(delegate->count("did"), 1u);
    EXPECT_EQ(delegate->count("disconnected"), 0u);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Refusing incoming connection from ").size(), 1u);
    // The first phone's notifications keep coming.
    first->provider().addNotification("com.example.chat", "Ben", "", "Hi");
    runUntilIdle();
    loop().runUntil([&] { return delegate->count("added Ben") == 1; }, std::chrono::milliseconds(5000));
    EXPECT_EQ(delegate->count("added Ben"), 1u);
    quiesce();
}

TEST_F(StockIPhoneTest, UserDisconnectStopsAdvertisingUntilTheSwitchIsTurnedOnAgain) {
    auto phone = connectedStockPhone();
    const auto starts = stock.advertisingStarts();

    // What the agent does when the user lets the phone go.
    engine->setAllowsIncomingPhones(false);
    engine->disconnect();
    runUntilIdle();
    advance(120);
    EXPECT_FALSE(phone->isLinked());
    EXPECT_FALSE(stock.advertising());
    EXPECT_EQ(stock.advertisingStarts(), starts);
    EXPECT_EQ(delegate->count("did"), 1u);

    engine->setAllowsIncomingPhones(true);
    runUntilIdle();
    EXPECT_EQ(delegate->count("did"), 2u);
    EXPECT_TRUE(phoneIsConnected(phone));
    quiesce();
}

TEST_F(StockIPhoneTest, NoAdvertisingWhileSleepingOrPoweredOff) {
    auto phone = stock.stockPhone("Anna's iPhone");
    phone->setBonded(true);
    engine->setSleeping(true);
    allow();
    EXPECT_FALSE(stock.advertising());
    EXPECT_FALSE(phone->isLinked());

    engine->setSleeping(false);
    runUntilIdle();
    EXPECT_TRUE(phoneIsConnected(phone));

    // Powered off: the link and the advertisement go; powered on again: both come back.
    radio->setState(CBCentralManagerStatePoweredOff);
    runUntilIdle();
    EXPECT_FALSE(stock.advertising());
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    radio->setState(CBCentralManagerStatePoweredOn);
    runUntilIdle();
    EXPECT_TRUE(phoneIsConnected(phone));
    quiesce();
}

TEST_F(StockIPhoneTest, PhoneWithTheCompanionApplicationConnectingToUsTakesTheHandshake) {
    auto companion = phone().build();
    allow();
    ASSERT_TRUE(companion->connectIncoming());
    runUntilIdle();
    EXPECT_EQ(delegate->count("did"), 1u);
    EXPECT_FALSE(engine->isServingStockPhone());
    EXPECT_TRUE(logs.contains("[CONSUMER] Hooked to main service (Error: (null))"));
    advance(30);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Requesting provider data...").size(), 1u);
    quiesce();
}

TEST_F(StockIPhoneTest, AdvertisingThatTheRadioRefusesIsLoggedAndRetriedWhenConditionsChange) {
    radio->failNextAdvertising(PlatformError::centralError(CBErrorOperationNotSupported));
    allow();
    EXPECT_TRUE(logs.contains("[CONSUMER] Failed to advertise (Error: " +
                              PlatformError::centralError(CBErrorOperationNotSupported)->description() + ")"));
    EXPECT_FALSE(engine->isAdvertising());
    engine->setAllowsIncomingPhones(false);
    allow();
    EXPECT_TRUE(stock.advertising());
    quiesce();
}

}  // namespace
}  // namespace tandril::test
