// The engine's end-to-end scenarios over the BlueZ adapter and the stand-in bluetoothd:
// the same phones and expectations as over the simulated radio, with D-Bus in between.

#include <gtest/gtest.h>

#include <random>

#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "bluez/BluezFixture.hpp"
#include "engine/TestEngine.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "engine/RecordingConsumerDelegate.hpp"
#include "engine/TestEngine.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "platform/linux/bluez/BluezCentral.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimScenario.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class EngineOverBluezTest : public BluezFixture {
protected:
    ~EngineOverBluezTest() override {
        engine.reset();
        resetSharedEngineState();
        PlatformAdapter::setCurrent(nullptr);
        adapter.reset();
        loop().runUntilIdle();
    }

    // Starts the agent's side once the phones are described: another client's discovery
    // lets bluetoothd hear them (as it knows a phone it paired with), then the adapter is
    // installed and the engine made.
    void startEngine() {
        const std::string adapterPath = standIn->adapterPath();
        ASSERT_EQ(errorName(call(adapterPath, "org.bluez.Adapter1", "StartDiscovery")), "");
        advance(1);
        ASSERT_EQ(errorName(call(adapterPath, "org.bluez.Adapter1", "StopDiscovery")), "");
        settle();
        BluezAdapter::Options options;
        options.busAddress = bus.address();
        adapter = BluezAdapter::create(options);
        PlatformAdapter::setCurrent(adapter);
        onSettle = [this] { adapter->sync(2000ms); };
        makeEngine();
        ASSERT_TRUE(pumpUntil([&] { return delegate->count("state 5") == 1; }));
        delegate->events.clear();
        logs.clear();
    }
    // The engine and its collaborators, built as the agent builds them.
    void makeEngine() {
        resetSharedEngineState();
        delegate = std::make_shared<RecordingConsumerDelegate>();
        engine = createTestEngine();
        engine->setDelegate(delegate);
    }

    static UUID identifierOf(const std::shared_ptr<SimPeripheral>& device) {
        return BluezCentral::deviceIdentifier(QStringLiteral("00:1A:7D:DA:71:13"),
                                              QString::fromStdString(BluezStandIn::addressFor(device->identifier())));
    }
    // The engine's wrapper of the BlueZ device that stands for a simulated phone.
    std::shared_ptr<LGPeripheral> wrapperOf(const std::shared_ptr<SimPeripheral>& device) {
        auto found = engine->centralManager()->retrievePeripheralsWithIdentifiers({identifierOf(device)});
        return found.empty() ? nullptr : found.front();
    }
    bool waitForEvent(const std::string& event, std::size_t count = 1) {
        return pumpUntil([&] { return delegate->count(event) >= count; });
    }
    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& line : logs.lines())
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }
    // Disconnects and lets every timer run out: nothing of the engine is left pending.
    void expectQuiescent() {
        if (engine->isScanning()) engine->stopScanning();
        if (engine->connectedPeripheral()) engine->disconnect();
        advance(60, 1);
        EXPECT_EQ(engine->connectedPeripheral(), nullptr);
        EXPECT_EQ(loop().pendingPerforms(engine.get()), 0u);
        EXPECT_EQ(adapter->pendingCalls(), 0u);
    }

    std::shared_ptr<BluezAdapter> adapter;
    std::shared_ptr<RecordingConsumerDelegate> delegate;
    std::shared_ptr<CNConsumerManager> engine;
};

TEST_F(EngineOverBluezTest, BondedPreferredPhoneIsFoundConnectedAndDeliversItsNotifications) {
    auto iphone = phone()
                      .app("com.example.chat", "Chat")
                      .notification("com.example.chat", "Anna", "", "See you at 8")
                      .build();
    startEngine();
    engine->setPreferredUUID(UUID::random());
    engine->startScanning();
    advance(10);
    ASSERT_TRUE(waitForEvent("added Anna"));

    EXPECT_EQ(delegate->connectionEvents(),
              (Events{"phase 0", "will", "phase 1", "phase 2", "phase 3", "did", "added Anna"}));
    ASSERT_NE(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(engine->connectedPeripheral()->cbPeripheral()->identifier(), identifierOf(iphone));
    EXPECT_EQ(engine->preferredUUID(), identifierOf(iphone));
    EXPECT_FALSE(engine->isScanning());
    EXPECT_TRUE(logs.contains("paired"));
    EXPECT_EQ(logs.count("[CONSUMER] Discovered 2 services! (Error: (null))"), 2u);
    EXPECT_TRUE(logs.contains("[ANCS] Discovered 3 characteristics"));
    EXPECT_TRUE(logs.contains("[ANCS] Subscribed to data source (Error: (null))"));
    EXPECT_TRUE(logs.contains("[ANCS] Subscribed to notification source (Error: (null))"));
    EXPECT_FALSE(logs.contains("Dead end"));
    expectQuiescent();
}

TEST_F(EngineOverBluezTest, APreExistingBurstArrivesWholeAndInOrder) {
    auto scenario = phone().app("com.example.chat", "Chat");
    for (int i = 0; i < 100; ++i) scenario.notification("com.example.chat", "N" + std::to_string(i), "", "Hi");
    auto iphone = scenario.build();
    startEngine();
    engine->connectToPeripheral(wrapperOf(iphone));
    ASSERT_TRUE(waitForEvent("did"));
    advance(5);
    ASSERT_TRUE(pumpUntil([&] { return delegate->count("added N99") == 1; }, 20000ms));
    Events added;
    for (const auto& e : delegate->events)
        if (e.rfind("added ", 0) == 0) added.push_back(e);
    ASSERT_EQ(added.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(added[static_cast<std::size_t>(i)], "added N" + std::to_string(i));
    expectQuiescent();
}

TEST_F(EngineOverBluezTest, LinkDropIsReportedOnceAndAReconnectionStartsClean) {
    auto iphone = phone().app("com.example.chat", "Chat").notification("com.example.chat", "Anna", "", "Hi").build();
    startEngine();
    engine->connectToPeripheral(wrapperOf(iphone));
    ASSERT_TRUE(waitForEvent("added Anna"));
    iphone->dropLink();
    ASSERT_TRUE(waitForEvent("disconnected"));
    settle();
    EXPECT_EQ(delegate->connectionEvents().back(), "disconnected");
    EXPECT_EQ(delegate->connectedAtReport, std::vector<bool>{false});
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Disconnected from peripheral: ").size(), 1u);

    delegate->events.clear();
    engine->connectToPeripheral(wrapperOf(iphone));
    ASSERT_TRUE(waitForEvent("did"));
    advance(3);
    EXPECT_EQ(delegate->connectionEvents(),
              (Events{"phase 0", "will", "phase 1", "phase 2", "phase 3", "did", "added Anna"}));
    expectQuiescent();
}

TEST_F(EngineOverBluezTest, ConnectionWithoutAnswerFailsWith408AfterFiveSeconds) {
    auto iphone = phone().build();
    iphone->setConnectNeverAnswers(true);
    startEngine();
    engine->connectToPeripheral(wrapperOf(iphone));
    advance(4.9);
    EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will"}));
    advance(0.2);
    ASSERT_TRUE(waitForEvent("failed LGPeripheralConnectionErrorDomain 408"));
    EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will", "failed LGPeripheralConnectionErrorDomain 408"}));
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(delegate->connectedAtReport, std::vector<bool>{false});
    expectQuiescent();
}

TEST_F(EngineOverBluezTest, AHandshakeWriteRefusalIsReportedAsAFailure) {
    auto iphone = phone()
                      .fault(SimOperation::SetNotify, PlatformError::attError(CBATTErrorWriteNotPermitted),
                             SimPhone::connectionUUID())
                      .build();
    startEngine();
    engine->connectToPeripheral(wrapperOf(iphone));
    advance(5);
    ASSERT_TRUE(waitForEvent("failed CBATTErrorDomain 3"));
    EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will", "phase 1", "failed CBATTErrorDomain 3"}));
    EXPECT_EQ(delegate->connectedAtReport, std::vector<bool>{false});
    EXPECT_TRUE(logs.contains("[CONSUMER] Disconnected because of failed main service (Error: (null))"));
    expectQuiescent();
}

TEST_F(EngineOverBluezTest, EitherSubscriptionFailingIsReportedAndDisconnects) {
    std::vector<std::shared_ptr<SimPhone>> phones;
    for (const auto& uuid : {SimPhone::dataSourceUUID(), SimPhone::notificationSourceUUID()})
        phones.push_back(
            phone().fault(SimOperation::SetNotify, PlatformError::attError(CBATTErrorInsufficientEncryption), uuid).build());
    startEngine();
    for (const auto& iphone : phones) {
        delegate->events.clear();
        engine->connectToPeripheral(wrapperOf(iphone));
        advance(5);
        // BlueZ folds the encryption errors into "Not paired": insufficient authentication.
        ASSERT_TRUE(waitForEvent("failed CBATTErrorDomain 5"));
        EXPECT_EQ(delegate->connectionEvents(),
                  (Events{"phase 0", "will", "phase 1", "phase 2", "failed CBATTErrorDomain 5"}));
        EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    }
    // BlueZ holds a live link 2 s before it drops it, as long as the engine's own fallback
    // waits: the disconnection completes twice (fallback, then the event) and is logged so,
    // as over a radio whose disconnect is late; the delegate heard of each attempt once.
    EXPECT_EQ(linesStartingWith("[CONSUMER] Disconnected because of failed notification service").size(), 4u);
    expectQuiescent();
}

TEST_F(EngineOverBluezTest, PoweringTheAdapterOffDropsThePhoneBeforeTheState) {
    auto iphone = phone().build();
    startEngine();
    engine->connectToPeripheral(wrapperOf(iphone));
    ASSERT_TRUE(waitForEvent("did"));
    standIn->setPowered(false);
    ASSERT_TRUE(waitForEvent("state 4"));
    const auto& events = delegate->events;
    EXPECT_EQ(Events(events.end() - 2, events.end()), (Events{"disconnected", "state 4"}));
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    expectQuiescent();
}

TEST_F(EngineOverBluezTest, AnAppleDeviceWithoutEitherServiceIsUnverifiedAndDisconnected) {
    auto speaker = SimPeripheral::create("Speaker");
    speaker->setManufacturerData(SimPhone::appleManufacturerData());
    radio->addPeripheral(speaker);
    startEngine();
    engine->startScanning();
    advance(10);
    EXPECT_EQ(engine->unverifiedPeripherals().size(), 1u);
    EXPECT_TRUE(engine->verifiedPeripherals().empty());
    EXPECT_TRUE(logs.contains("[EXPLORE] Disconnected from un-Tandril peripheral ((null))"));
    EXPECT_FALSE(speaker->isLinked());
    expectQuiescent();
}


// Seeded faults in every phase of the connection, as over the simulated radio: each
// schedule ends idle or connected, with no report given twice and no D-Bus call left open.
enum class Fault { DropLink, FailConnect, FailDiscoverServices, FailRead, FailSetNotify };

class EngineOverBluezFaultTest : public EngineOverBluezTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(EngineOverBluezFaultTest, EverySeededScheduleEndsIdleWithNothingPending) {
    constexpr unsigned schedules = 6;
    std::vector<std::shared_ptr<SimPhone>> phones;
    std::vector<std::optional<double>> disconnectAt;
    std::mt19937 random(1234u + static_cast<unsigned>(GetParam()));
    auto pick = [&random](double maximum) { return std::uniform_real_distribution<double>(0, maximum)(random); };
    const std::vector<UUID> targets{SimPhone::connectionUUID(), SimPhone::deviceNameUUID(), SimPhone::dataSourceUUID(),
                                    SimPhone::notificationSourceUUID()};
    for (unsigned i = 0; i < schedules; ++i) {
        auto scenario = phone().notification("com.example.chat", "Anna", "", "Hi");
        for (auto op : {SimOperation::Connect, SimOperation::DiscoverServices, SimOperation::Read,
                        SimOperation::SetNotify, SimOperation::Write})
            scenario.latency(op, seconds(pick(0.4)));
        const auto attError = PlatformError::attError(random() % 2 ? CBATTErrorInsufficientAuthorization
                                                                   : CBATTErrorWriteNotPermitted);
        const auto target = targets[random() % targets.size()];
        switch (GetParam()) {
            case Fault::DropLink: break;
            case Fault::FailConnect: break;
            case Fault::FailDiscoverServices:
                scenario.fault(SimOperation::DiscoverServices, PlatformError::centralError(CBErrorNotConnected));
                break;
            case Fault::FailRead: scenario.fault(SimOperation::Read, attError, target); break;
            case Fault::FailSetNotify: scenario.fault(SimOperation::SetNotify, attError, target); break;
        }
        auto built = scenario.build();
        if (GetParam() == Fault::FailConnect) {
            if (random() % 2) built->setConnectFailure(PlatformError::centralError(CBErrorConnectionFailed));
            else built->setConnectNeverAnswers(true);
        }
        phones.push_back(built);
        disconnectAt.push_back(random() % 2 ? std::optional<double>(pick(3)) : std::nullopt);
    }
    startEngine();
    for (unsigned i = 0; i < schedules; ++i) {
        SCOPED_TRACE("schedule " + std::to_string(i));
        delegate->events.clear();
        delegate->connectedAtReport.clear();
        auto iphone = phones[i];
        engine->connectToPeripheral(wrapperOf(iphone));
        if (GetParam() == Fault::DropLink) {
            advance(pick(2.5));
            iphone->dropLink();
        }
        if (disconnectAt[i]) {
            advance(*disconnectAt[i]);
            engine->disconnect();
        }
        advance(30, 0.5);
        if (engine->connectedPeripheral()) {
            EXPECT_EQ(delegate->count("did"), 1u);
            engine->disconnect();
            advance(5, 0.5);
        }
        EXPECT_EQ(engine->connectedPeripheral(), nullptr);
        EXPECT_LE(delegate->count("disconnected"), delegate->count("phase 0"));
        const std::size_t ends = delegate->count("disconnected") + delegate->count("did") +
                                 delegate->count("failed LGPeripheralConnectionErrorDomain 408");
        EXPECT_LE(ends, 2 * delegate->count("phase 0"));
        for (bool held : delegate->connectedAtReport) EXPECT_FALSE(held);
        EXPECT_FALSE(iphone->isLinked());
        if (HasFailure()) break;
    }
    advance(60, 1);
    EXPECT_EQ(loop().pendingPerforms(engine.get()), 0u);
    EXPECT_EQ(adapter->pendingCalls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllPhases, EngineOverBluezFaultTest,
                         ::testing::Values(Fault::DropLink, Fault::FailConnect, Fault::FailDiscoverServices,
                                           Fault::FailRead, Fault::FailSetNotify));

}  // namespace
}  // namespace tandril::test
