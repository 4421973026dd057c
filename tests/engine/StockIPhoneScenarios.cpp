#include "engine/StockIPhoneScenarios.hpp"

#include <gtest/gtest.h>

#include "ble/LGPeripheral.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimScenario.hpp"

namespace tandril::test {

namespace {

using Events = std::vector<std::string>;
using Answer = StockRadio::Answer;

std::vector<std::string> linesStartingWith(const LogCapture& logs, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& line : logs.lines())
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

std::size_t linesContaining(const LogCapture& logs, const std::string& part) {
    std::size_t n = 0;
    for (const auto& line : logs.lines()) n += line.find(part) != std::string::npos;
    return n;
}

bool phoneIsConnected(StockContext& c, const std::shared_ptr<SimPeripheral>& phone) {
    auto connected = c.engine.connectedPeripheral();
    return connected && connected->cbPeripheral()->identifier() == c.radio.identifierOf(phone);
}

// Turns the switch on and lets the advertisement come up.
void allow(StockContext& c) {
    c.engine.setAllowsIncomingPhones(true);
    EXPECT_TRUE(c.radio.waitUntil([&] { return c.radio.advertising(); }));
}

// A stock iPhone that the user already paired and that is linked now.
std::shared_ptr<SimPhone> connectedStockPhone(StockContext& c, const std::string& name = "Anna's iPhone") {
    auto phone = c.radio.stockPhone(name);
    allow(c);
    EXPECT_TRUE(phone->tap());
    EXPECT_TRUE(c.radio.waitUntil([&] { return c.delegate.count("did") == 1; }));
    return phone;
}

// A bonded phone would reconnect as soon as the engine advertises again: the switch goes
// off first.
void quiesce(StockContext& c) {
    c.engine.setAllowsIncomingPhones(false);
    c.radio.expectQuiescent();
    EXPECT_FALSE(c.radio.advertising());
}

}  // namespace

void RecordingConfirmer::confirmPairing(const std::optional<std::string>& name, const std::string& code,
                                        std::function<void(bool)> reply) {
    requests.push_back(name.value_or("(null)") + " " + code);
    switch (mode) {
        case Mode::Accept: reply(true); break;
        case Mode::Reject: reply(false); break;
        case Mode::Hold: held.push_back(std::move(reply)); break;
    }
}

std::shared_ptr<SimPhone> StockRadio::stockPhone(const std::string& name, Answer answer, bool withNotification) {
    SimScenario scenario(simRadio());
    scenario.stockIPhone().advertisedName(name).app("com.example.chat", "Chat").pairingAnswer(answer);
    if (withNotification) scenario.notification("com.example.chat", "Anna", "", "See you at 8");
    return scenario.build();
}

namespace stock {

void wholePathFromAdvertisingToTheFirstNotification(StockContext& c) {
    auto phone = c.radio.stockPhone("Anna's iPhone", Answer::Accept, true);
    // Nothing to connect to before the switch is on.
    EXPECT_FALSE(phone->tap());
    EXPECT_FALSE(c.radio.advertising());

    allow(c);
    EXPECT_TRUE(c.engine.isAdvertising());
    EXPECT_EQ(c.radio.advertisedName(), "Desk");
    EXPECT_EQ(c.radio.advertisedSolicited(), std::vector<UUID>{SimPhone::notificationServiceUUID()});
    EXPECT_TRUE(c.logs.contains("[CONSUMER] Advertising as \"Desk\" for iPhones..."));

    ASSERT_TRUE(phone->tap());
    ASSERT_TRUE(c.radio.waitUntil([&] { return c.delegate.count("added Anna") == 1; }));

    EXPECT_EQ(c.confirmer.requests, Events{"Anna's iPhone 314159"});
    EXPECT_TRUE(phone->isBonded());
    EXPECT_EQ(c.delegate.connectionEvents(),
              (Events{"phase 0", "will", "phase 1", "phase 2", "phase 3", "did", "added Anna"}));
    ASSERT_TRUE(phoneIsConnected(c, phone));
    EXPECT_TRUE(c.engine.isServingStockPhone());
    // The name comes from the radio; the phone becomes the preferred device.
    EXPECT_EQ(c.engine.connectedPeripheral()->name(), std::optional<std::string>("Anna's iPhone"));
    EXPECT_EQ(c.engine.preferredUUID(), c.radio.identifierOf(phone));
    // No advertising while a phone is connected.
    EXPECT_TRUE(c.radio.waitUntil([&] { return !c.radio.advertising(); }));
    EXPECT_TRUE(c.logs.contains("[CONSUMER] Stopped advertising."));
    // The Data Source first, then the Notification Source; no handshake.
    EXPECT_EQ(linesStartingWith(c.logs, "[ANCS] Subscribed to"),
              (Events{"[ANCS] Subscribed to data source (Error: (null))",
                      "[ANCS] Subscribed to notification source (Error: (null))"}));
    EXPECT_EQ(linesStartingWith(c.logs, "[CONSUMER] Incoming connection from ").size(), 1u);
    EXPECT_EQ(linesStartingWith(c.logs, "[CONSUMER] No main service: serving ").size(), 1u);
    EXPECT_FALSE(c.logs.contains("[CONSUMER] Hooked to main service (Error: (null))"));
    // No provider poll, and no pairing time limit left behind.
    c.radio.advance(120);
    EXPECT_TRUE(linesStartingWith(c.logs, "[CONSUMER] Requesting provider data...").empty());
    EXPECT_TRUE(phoneIsConnected(c, phone));
    quiesce(c);
}

void bondedPhoneReconnectsByItselfWheneverTheDesktopAdvertises(StockContext& c) {
    auto phone = connectedStockPhone(c);

    // The link drops: advertising resumes and the bonded phone is back without a tap.
    phone->dropLink();
    ASSERT_TRUE(c.radio.waitUntil([&] { return c.delegate.count("did") == 2; }));
    EXPECT_EQ(c.delegate.count("disconnected"), 1u);
    EXPECT_TRUE(phoneIsConnected(c, phone));
    EXPECT_EQ(c.confirmer.requests.size(), 1u);  // bonded: no second pairing

    // Out of range: the desktop advertises until the phone is back.
    phone->setInRange(false);
    EXPECT_TRUE(c.radio.waitUntil([&] { return !c.engine.connectedPeripheral() && c.radio.advertising(); }));
    c.radio.advance(120);
    EXPECT_EQ(c.delegate.count("did"), 2u);
    phone->setInRange(true);
    ASSERT_TRUE(c.radio.waitUntil([&] { return c.delegate.count("did") == 3; }));
    EXPECT_TRUE(phoneIsConnected(c, phone));
    quiesce(c);
}

void phoneThatNeverPairsIsDroppedAfterAMinuteAndAdvertisingResumes(StockContext& c) {
    auto phone = c.radio.stockPhone("Anna's iPhone", Answer::Never);
    c.confirmer.mode = RecordingConfirmer::Mode::Hold;
    allow(c);
    ASSERT_TRUE(phone->tap());
    ASSERT_TRUE(c.radio.waitUntil([&] { return phone->isPairing() && c.confirmer.held.size() == 1; }));
    EXPECT_TRUE(c.radio.waitUntil([&] { return !c.radio.advertising(); }));

    // The minute runs from the link.
    c.radio.advance(59.9);
    EXPECT_TRUE(phoneIsConnected(c, phone));
    EXPECT_EQ(c.delegate.count("failed CNConsumerManagerErrorDomain 4"), 0u);
    c.radio.advance(0.1);
    EXPECT_EQ(c.delegate.count("failed CNConsumerManagerErrorDomain 4"), 1u);
    EXPECT_EQ(linesContaining(c.logs, " did not pair within 60 seconds, disconnecting."), 1u);
    EXPECT_EQ(c.engine.connectedPeripheral(), nullptr);
    EXPECT_TRUE(c.radio.waitUntil([&] { return !phone->isLinked() && c.radio.advertising(); }));
    EXPECT_FALSE(phone->isBonded());
    // A late answer of the desktop changes nothing.
    for (auto& reply : c.confirmer.held) reply(true);
    c.radio.settle();
    EXPECT_FALSE(phone->isBonded());
    EXPECT_EQ(c.delegate.count("did"), 0u);
    quiesce(c);
}

void rejectedPairingOnEitherSideDisconnectsAndAdvertisingResumes(StockContext& c) {
    struct Case {
        const char* label;
        Answer phoneAnswer;
        RecordingConfirmer::Mode desktopAnswer;
    };
    for (const Case& k : {Case{"phone rejects", Answer::Reject, RecordingConfirmer::Mode::Accept},
                          Case{"desktop rejects", Answer::Accept, RecordingConfirmer::Mode::Reject}}) {
        SCOPED_TRACE(k.label);
        auto phone = c.radio.stockPhone(k.label, k.phoneAnswer);
        c.confirmer.mode = k.desktopAnswer;
        allow(c);
        ASSERT_TRUE(phone->tap());
        EXPECT_TRUE(c.radio.waitUntil([&] { return !phone->isLinked() && c.radio.advertising(); }));
        EXPECT_EQ(c.delegate.count("failed CBATTErrorDomain 5"), 1u);
        EXPECT_EQ(linesContaining(c.logs, " did not pair! (Error: "), 1u);
        // Once over the simulated radio; BlueZ's 2 s disconnect window meets the BLE layer's
        // 2 s fallback, and the late report calls the same completion again.
        EXPECT_GE(c.logs.count("[CONSUMER] Disconnected because of failed notification service (Error: (null))"), 1u);
        EXPECT_EQ(c.engine.connectedPeripheral(), nullptr);
        EXPECT_FALSE(phone->isBonded());
        EXPECT_EQ(c.engine.preferredUUID(), std::nullopt);
        quiesce(c);
        c.radio.simRadio()->removePeripheral(phone);
        c.delegate.events.clear();
        c.logs.clear();
    }
}

void peerWithoutTheNotificationServiceIsDisconnectedAndLogged(StockContext& c) {
    auto speaker = SimPeripheral::create(std::string("Speaker"));
    c.radio.simRadio()->addPeripheral(speaker);
    allow(c);
    ASSERT_TRUE(speaker->connectIncoming());
    EXPECT_TRUE(c.radio.waitUntil([&] { return !speaker->isLinked() && c.radio.advertising(); }));
    EXPECT_EQ(c.delegate.count("failed CNConsumerManagerErrorDomain 3"), 1u);
    EXPECT_EQ(linesContaining(c.logs, " offers no notification-center service! (Error: (null))"), 1u);
    EXPECT_GE(c.logs.count("[CONSUMER] Disconnected because of missing notification service (Error: (null))"), 1u);
    EXPECT_EQ(c.engine.preferredUUID(), std::nullopt);
    quiesce(c);
}

void secondPhoneIsRefusedAndTheFirstKept(StockContext& c) {
    auto first = c.radio.stockPhone("First");
    auto second = c.radio.stockPhone("Second");
    allow(c);
    // Both pick the desktop while it still advertises.
    ASSERT_TRUE(first->tap());
    ASSERT_TRUE(second->tap());
    ASSERT_TRUE(c.radio.waitUntil([&] { return c.delegate.count("did") == 1 && !second->isLinked(); }));
    EXPECT_TRUE(first->isLinked());
    EXPECT_TRUE(phoneIsConnected(c, first));
    EXPECT_EQ(c.delegate.count("disconnected"), 0u);
    EXPECT_EQ(linesStartingWith(c.logs, "[CONSUMER] Refusing incoming connection from ").size(), 1u);
    // The first phone's notifications keep coming.
    first->provider().addNotification("com.example.chat", "Ben", "", "Hi");
    EXPECT_TRUE(c.radio.waitUntil([&] { return c.delegate.count("added Ben") == 1; }));
    quiesce(c);
}

void userDisconnectStopsAdvertisingUntilTheSwitchIsTurnedOnAgain(StockContext& c) {
    auto phone = connectedStockPhone(c);
    const auto starts = c.radio.advertisingStarts();

    // What the agent does when the user lets the phone go.
    c.engine.setAllowsIncomingPhones(false);
    c.engine.disconnect();
    c.radio.advance(120);
    EXPECT_FALSE(phone->isLinked());
    EXPECT_FALSE(c.radio.advertising());
    EXPECT_EQ(c.radio.advertisingStarts(), starts);
    EXPECT_EQ(c.delegate.count("did"), 1u);

    c.engine.setAllowsIncomingPhones(true);
    ASSERT_TRUE(c.radio.waitUntil([&] { return c.delegate.count("did") == 2; }));
    EXPECT_TRUE(phoneIsConnected(c, phone));
    quiesce(c);
}

void noAdvertisingWhileSleepingOrPoweredOff(StockContext& c) {
    auto phone = c.radio.stockPhone("Anna's iPhone");
    phone->setBonded(true);
    c.engine.setSleeping(true);
    c.engine.setAllowsIncomingPhones(true);
    c.radio.settle();
    EXPECT_FALSE(c.radio.advertising());
    EXPECT_FALSE(phone->isLinked());

    c.engine.setSleeping(false);
    ASSERT_TRUE(c.radio.waitUntil([&] { return phoneIsConnected(c, phone); }));

    // Powered off: the link and the advertisement go; powered on again: both come back.
    c.radio.setPowered(false);
    EXPECT_TRUE(c.radio.waitUntil([&] { return !c.engine.connectedPeripheral() && !c.radio.advertising(); }));
    c.radio.setPowered(true);
    ASSERT_TRUE(c.radio.waitUntil([&] { return phoneIsConnected(c, phone); }));
    quiesce(c);
}

}  // namespace stock
}  // namespace tandril::test
